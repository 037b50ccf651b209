// The node list: access by position and name, neighbours, editing through
// the owner's notification, auto-creation and auto-indentation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/xml/XmlTestUtil.h"
#include "xml/XMLConst.h"
#include "xml/XMLDoc.h"

namespace {

using namespace xmltest;

struct EventLog {
  std::vector<std::string> entries;
  explicit EventLog(const ComPtr<IXMLDocumentIntf>& doc) {
    TXMLDocument* d = Inst(doc);
    d->BeforeNodeChange = [this](const ComPtr<IXMLNode>& n, TNodeChange c) {
      entries.push_back("before " + std::to_string(c) + " " + N(n->GetNodeName()));
    };
    d->AfterNodeChange = [this](const ComPtr<IXMLNode>& n, TNodeChange c) {
      entries.push_back("after " + std::to_string(c) + " " + N(n->GetNodeName()));
    };
  }
};

// The values of the DOM children of a node, elements as <name>.
std::vector<std::string> DOMChildren(const ComPtr<IXMLNode>& node) {
  std::vector<std::string> out;
  ComPtr<IDOMNodeList> children;
  DOMCheck(node->GetDOMNode()->GetChildNodes(children.put()), "GetChildNodes");
  int32_t n = 0;
  DOMCheck(children->GetLength(&n), "GetLength");
  for (int32_t i = 0; i < n; ++i) {
    ComPtr<IDOMNode> child;
    DOMCheck(children->Item(i, child.put()), "Item");
    if (DOMNodeType(child.get()) == ntElement) {
      out.push_back("<" + N(DOMNodeName(child.get())) + ">");
    } else {
      WideString v;
      DOMCheck(child->GetNodeValue(&v), "GetNodeValue");
      out.push_back(N(v));
    }
  }
  return out;
}

TEST(NodeList, EmptyListAccess) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r/>");
  ComPtr<IXMLNodeList> list = doc->GetDocumentElement()->GetChildNodes();
  EXPECT_EQ(list->GetCount(), 0);
  EXPECT_FALSE(list->First());
  EXPECT_FALSE(list->Last());
  try {
    list->GetNode(0);
    FAIL();
  } catch (const rtl::EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (0)");
  }
  EXPECT_THROW(list->Get(-1), rtl::EListError);
  EXPECT_THROW(list->Delete(0), rtl::EListError);
}

TEST(NodeList, GetNodeByPositionAndName) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a>1</a><b>2</b><a>3</a></r>");
  ComPtr<IXMLNodeList> list = doc->GetDocumentElement()->GetChildNodes();
  ASSERT_EQ(list->GetCount(), 3);
  EXPECT_EQ(list->GetNode(1)->GetText(), u"2");
  EXPECT_EQ(list->GetNode(u"a")->GetText(), u"1");
  EXPECT_EQ(list->Get(2), list->GetNode(2));
  EXPECT_EQ(list->First(), list->Get(0));
  EXPECT_EQ(list->Last(), list->Get(2));
  EXPECT_EQ(list->IndexOf(list->Get(2)), 2);
  EXPECT_EQ(list->IndexOf(doc->GetDocumentElement()), -1);
  EXPECT_EQ(list->IndexOf(u"b"), 1);
  EXPECT_EQ(list->IndexOf(u"zz"), -1);
  EXPECT_FALSE(list->FindNode(u"zz"));
  // The same wrappers every time: the list is a cache.
  EXPECT_EQ(doc->GetDocumentElement()->GetChildNodes(), list);
}

TEST(NodeList, GetNodeAutoCreatesOrRaises) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a/></r>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  EventLog log(doc);
  ComPtr<IXMLNode> x = root->GetChildNodes()->GetNode(u"x");
  ASSERT_TRUE(x);
  EXPECT_EQ(x->GetNodeName(), u"x");
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 2);
  EXPECT_EQ(root->GetChildNodes()->Last(), x);
  EXPECT_EQ(Body(doc), "<r><a/><x/></r>");
  EXPECT_EQ(x->GetParentNode(), root);
  // One before-call for the creation, then the insertion's pair.
  EXPECT_EQ(log.entries, (std::vector<std::string>{"before 1 r", "before 1 r", "after 1 r"}));

  doc->SetOptions(kDefaultXMLDocOptions - TXMLDocOptions{doNodeAutoCreate});
  try {
    root->GetChildNodes()->GetNode(u"y");
    FAIL();
  } catch (const EXMLDocError& e) {
    EXPECT_STREQ(e.what(), "Node \"y\" not found");
  }
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 2);
}

TEST(NodeList, AttributeListAutoCreate) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r a=\"1\"/>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  ComPtr<IXMLNodeList> attrs = root->GetAttributeNodes();
  EXPECT_EQ(attrs->GetNode(u"a")->GetText(), u"1");
  ComPtr<IXMLNode> b = attrs->GetNode(u"b");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->GetNodeType(), ntAttribute);
  EXPECT_TRUE(root->HasAttribute(u"b"));
  EXPECT_EQ(attrs->GetCount(), 2);
}

TEST(NodeList, NameLookupFollowsTheNamespaceRule) {
  ComPtr<IXMLDocumentIntf> doc =
      LoadDoc("<r xmlns:p=\"urn:P\"><a/><p:a/><u:x xmlns:u=\"urn:U\"><a/><u:a/><v:a xmlns:v=\"URN:u\"/></u:x></r>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  ComPtr<IXMLNodeList> top = root->GetChildNodes();
  // r has no namespace: any namespace matches, by qualified or local name.
  EXPECT_EQ(top->IndexOf(u"a"), 0);
  EXPECT_EQ(top->IndexOf(u"p:a"), 1);
  EXPECT_EQ(top->IndexOf(u"a", u"urn:P"), 1);
  EXPECT_EQ(top->IndexOf(u"a", u"URN:p"), 1);  // namespace compare ignores case
  EXPECT_EQ(top->IndexOf(u"A"), -1);           // names compare exactly
  // u:x is in urn:U: only children in urn:U match by default.
  ComPtr<IXMLNodeList> inner = top->Get(2)->GetChildNodes();
  EXPECT_EQ(inner->IndexOf(u"a"), 1);
  EXPECT_EQ(inner->FindNode(u"a")->GetNodeName(), u"u:a");
  EXPECT_EQ(inner->IndexOf(u"v:a"), 2);
  EXPECT_EQ(inner->IndexOf(u"a", u""), 0);
}

TEST(NodeList, FindSiblingAndFindNodeByInterface) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a/><b/><c/></r>");
  ComPtr<IXMLNodeList> list = doc->GetDocumentElement()->GetChildNodes();
  EXPECT_FALSE(list->FindSibling(list->First(), -1));
  EXPECT_FALSE(list->FindSibling(list->Last(), 1));
  EXPECT_EQ(list->FindSibling(list->First(), 2), list->Last());
  // A node not in the list stands at -1.
  EXPECT_EQ(list->FindSibling(doc->GetDocumentElement(), 1), list->First());
  EXPECT_EQ(list->FindNode(IXMLNode::IID), list->First());
  EXPECT_FALSE(list->FindNode(IXMLDocumentIntf::IID));
}

TEST(NodeList, DeleteAndRemove) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a/><b/><c/></r>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  ComPtr<IXMLNodeList> list = root->GetChildNodes();
  EventLog log(doc);
  EXPECT_EQ(list->Delete(u"missing"), -1);
  EXPECT_TRUE(log.entries.empty());
  ComPtr<IXMLNode> b = list->Get(1);
  EXPECT_EQ(list->Delete(u"b"), 1);
  EXPECT_EQ(log.entries, (std::vector<std::string>{"before 2 r", "after 2 r"}));
  EXPECT_FALSE(b->GetParentNode());
  EXPECT_EQ(Body(doc), "<r><a/><c/></r>");
  EXPECT_EQ(list->Delete(0), 0);
  EXPECT_EQ(list->Remove(list->First()), 0);
  EXPECT_EQ(Body(doc), "<r/>");
  EXPECT_EQ(list->GetCount(), 0);
  // A wrapper whose DOM node is no child: the DOM refuses, the list stays.
  EXPECT_THROW(list->Remove(b), DOMException);
  EXPECT_EQ(list->GetCount(), 0);
}

TEST(NodeList, ReplaceNodeAndClear) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a/><b/></r>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  ComPtr<IXMLNodeList> list = root->GetChildNodes();
  ComPtr<IXMLNode> x = doc->CreateElement(u"x", u"");
  ComPtr<IXMLNode> old = list->Get(0);
  EXPECT_EQ(list->ReplaceNode(old, x), old);
  EXPECT_EQ(Body(doc), "<r><x/><b/></r>");
  EXPECT_EQ(list->Get(0), x);
  EXPECT_EQ(x->GetParentNode(), root);
  ComPtr<IXMLNode> y = doc->CreateElement(u"y", u"");
  ComPtr<IXMLNode> absent = doc->CreateElement(u"absent", u"");
  // Not in the list: the DOM refuses the removal of a non-child first.
  EXPECT_THROW(list->ReplaceNode(absent, y), DOMException);
  list->BeginUpdate();
  // In update mode nothing reaches the DOM, so the absent node is simply
  // not found and the new one appended to the list.
  EXPECT_EQ(list->ReplaceNode(absent, y), absent);
  EXPECT_EQ(list->Last(), y);
  // Out of update mode the list is the DOM's again.
  list->EndUpdate();
  EXPECT_EQ(list->GetCount(), 2);
  EXPECT_EQ(list->Last()->GetNodeName(), u"b");
  EXPECT_EQ(Body(doc), "<r><x/><b/></r>");

  EventLog log(doc);
  ComPtr<IXMLNodeList> fresh = (root->Resync(), root->GetChildNodes());
  fresh->Clear();
  EXPECT_EQ(fresh->GetCount(), 0);
  EXPECT_EQ(Body(doc), "<r/>");
  EXPECT_EQ(log.entries.size(), 4u);
}

TEST(NodeList, InsertPositionsReachTheDOM) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a/><c/></r>");
  ComPtr<IXMLNodeList> list = doc->GetDocumentElement()->GetChildNodes();
  EXPECT_EQ(list->Insert(1, doc->CreateElement(u"b", u"")), 1);
  EXPECT_EQ(list->Add(doc->CreateElement(u"d", u"")), 3);
  EXPECT_EQ(list->Insert(0, doc->CreateElement(u"z", u"")), 0);
  EXPECT_EQ(Body(doc), "<r><z/><a/><b/><c/><d/></r>");
  // A position beyond the end is refused before the DOM changes.
  EXPECT_THROW(list->Insert(9, doc->CreateElement(u"q", u"")), rtl::EListError);
  EXPECT_THROW(list->Insert(-2, doc->CreateElement(u"q", u"")), rtl::EListError);
  EXPECT_EQ(Body(doc), "<r><z/><a/><b/><c/><d/></r>");
  EXPECT_EQ(list->GetCount(), 5);
}

// Count is a position (the end), Count + 1 is not: live, where the DOM
// takes the node, and in update mode, where the list alone stores it.
TEST(NodeList, InsertAtCountAppendsAndOneBeyondIsRefused) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a/><b/></r>");
  ComPtr<IXMLNodeList> list = doc->GetDocumentElement()->GetChildNodes();
  EXPECT_EQ(list->Insert(2, doc->CreateElement(u"c", u"")), 2);
  EXPECT_EQ(list->Insert(0, doc->CreateElement(u"z", u"")), 0);
  EXPECT_EQ(list->Insert(2, doc->CreateElement(u"m", u"")), 2);
  EXPECT_THROW(list->Insert(6, doc->CreateElement(u"q", u"")), rtl::EListError);
  EXPECT_EQ(Body(doc), "<r><z/><a/><m/><b/><c/></r>");
  EXPECT_EQ(N(list->Get(4)->GetNodeName()), "c");
  list->BeginUpdate();
  const ComPtr<IXMLNode> last = doc->CreateElement(u"y", u"");
  EXPECT_EQ(list->Insert(5, last), 5);
  EXPECT_THROW(list->Insert(7, doc->CreateElement(u"q", u"")), rtl::EListError);
  EXPECT_EQ(list->GetCount(), 6);
  EXPECT_EQ(list->Get(5), last);
  list->EndUpdate();
}

TEST(NodeList, UpdateCountLeavesTheDOMAlone) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r/>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  ComPtr<IXMLNodeList> list = root->GetChildNodes();
  list->EndUpdate();
  EXPECT_EQ(list->GetUpdateCount(), -1);
  EventLog log(doc);
  ComPtr<IXMLNode> a = doc->CreateElement(u"a", u"");
  EXPECT_EQ(list->Add(a), 0);
  EXPECT_EQ(list->GetCount(), 1);
  EXPECT_EQ(Body(doc), "<r/>");
  EXPECT_FALSE(a->GetParentNode());
  EXPECT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(list->Remove(a), 0);
  EXPECT_EQ(list->GetCount(), 0);
  list->BeginUpdate();
  EXPECT_EQ(list->GetUpdateCount(), 0);
  list->Add(a);
  EXPECT_EQ(Body(doc), "<r><a/></r>");
  EXPECT_EQ(a->GetParentNode(), root);
}

// An empty attribute list is not cached while only its user holds it; one
// left in update mode is the node's list still, and still leaves the DOM alone.
TEST(NodeList, EmptyAttributeListLeftInUpdateModeStaysTheNodes) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a/></r>");
  ComPtr<IXMLNode> a = doc->GetDocumentElement()->GetChildNodes()->Get(0);
  a->GetAttributeNodes()->BeginUpdate();
  ComPtr<IXMLNodeList> again = a->GetAttributeNodes();
  EXPECT_EQ(again->GetUpdateCount(), 1);
  again->Add(doc->CreateNode(u"k", ntAttribute));
  EXPECT_EQ(again->GetCount(), 1);
  EXPECT_EQ(Body(doc), "<r><a/></r>");
}

TEST(NodeList, AutoIndentFollowsTheExample) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<R/>", kDefaultXMLDocOptions + TXMLDocOptions{doNodeAutoIndent});
  ComPtr<IXMLNode> r = doc->GetDocumentElement();
  ComPtr<IXMLNodeList> list = r->GetChildNodes();
  ComPtr<IXMLNode> c = doc->CreateElement(u"C", u"");
  EXPECT_EQ(list->Add(c), 2);
  EXPECT_EQ(list->GetCount(), 4);
  EXPECT_EQ(DOMChildren(r), (std::vector<std::string>{"\n", "  ", "<C>", "\n"}));
  EXPECT_EQ(list->Add(doc->CreateElement(u"C2", u"")), 5);
  EXPECT_EQ(DOMChildren(r), (std::vector<std::string>{"\n", "  ", "<C>", "\n", "  ", "<C2>", "\n"}));
  EXPECT_EQ(c->GetChildNodes()->Add(doc->CreateElement(u"D", u"")), 2);
  EXPECT_EQ(DOMChildren(c), (std::vector<std::string>{"\n  ", "  ", "<D>", "\n  "}));
  // Text and attributes are never indented.
  EXPECT_EQ(c->GetChildNodes()->Add(doc->CreateNode(u"t", ntText)), 4);
  EXPECT_EQ(c->GetChildNodes()->GetCount(), 5);
  // An insertion at a position: the break after it has the owner's level.
  EXPECT_EQ(list->Insert(0, doc->CreateElement(u"F", u"")), 0);
  EXPECT_EQ(DOMChildren(r)[0], "<F>");
  EXPECT_EQ(DOMChildren(r)[1], "\n  ");
}

TEST(NodeList, DocumentNodeChildrenAreNeverIndented) {
  ComPtr<IXMLDocumentIntf> doc = NewDoc();
  doc->SetOptions(kDefaultXMLDocOptions + TXMLDocOptions{doNodeAutoIndent});
  doc->SetActive(true);
  ComPtr<IXMLNode> root = doc->AddChild(u"root");
  EXPECT_EQ(doc->GetChildNodes()->GetCount(), 1);
  EXPECT_EQ(doc->GetDocumentElement(), root);
  doc->GetChildNodes()->Insert(0, doc->CreateNode(u"c", ntComment));
  EXPECT_EQ(doc->GetChildNodes()->GetCount(), 2);
}

TEST(NodeList, ReadOnlyOwnerRefusesListEdits) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a/></r>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  root->SetReadOnly(true);
  EventLog log(doc);
  try {
    root->GetChildNodes()->Add(doc->CreateElement(u"b", u""));
    FAIL();
  } catch (const EXMLDocError& e) {
    EXPECT_STREQ(e.what(), "Node is readonly");
  }
  EXPECT_EQ(log.entries, (std::vector<std::string>{"before 1 r"}));
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 1);
  EXPECT_EQ(Body(doc), "<r><a/></r>");
  // The flag is not inherited.
  root->GetChildNodes()->Get(0)->SetAttribute(u"x", u"1");
  EXPECT_EQ(Body(doc), "<r><a x=\"1\"/></r>");
}

TEST(NodeList, DroppedListStaysUsable) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a/></r>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  ComPtr<IXMLNodeList> old = root->GetChildNodes();
  root->Resync();
  ComPtr<IXMLNodeList> fresh = root->GetChildNodes();
  EXPECT_NE(old, fresh);
  EXPECT_NE(old->Get(0), fresh->Get(0));
  // Edits through the dropped list still reach the DOM through the owner,
  // and every list over that DOM node sees them.
  old->Add(doc->CreateElement(u"b", u""));
  EXPECT_EQ(Body(doc), "<r><a/><b/></r>");
  EXPECT_EQ(fresh->GetCount(), 2);
  // Even once everything else is gone.
  root = nullptr;
  fresh = nullptr;
  doc = nullptr;
  EXPECT_EQ(old->GetCount(), 2);
  EXPECT_EQ(old->Get(1)->GetNodeName(), u"b");
}

}  // namespace
