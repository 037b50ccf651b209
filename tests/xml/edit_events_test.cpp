// Tree edits as the document sees them: the order of events around DOM and
// list changes, update mode, read-only refusals, DOM refusals passing through
// unchanged, and a namespaced, indented document built from nothing.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/xml/vendor/DocTestSupport.h"
#include "tests/xml/vendor/TestVendor.h"
#include "xml/XMLConst.h"
#include "xml/XMLDoc.h"

namespace {

using namespace doctest_support;
using Strings = std::vector<std::string>;

int32_t DOMChildCount(const ComPtr<IXMLNode>& node) {
  ComPtr<IDOMNodeList> children;
  DOMCheck(node->GetDOMNode()->GetChildNodes(children.put()), "GetChildNodes");
  int32_t n = 0;
  DOMCheck(children->GetLength(&n), "GetLength");
  return n;
}

int32_t DOMAttrCount(const ComPtr<IXMLNode>& node) {
  ComPtr<IDOMNamedNodeMap> attrs;
  DOMCheck(node->GetDOMNode()->GetAttributes(attrs.put()), "GetAttributes");
  int32_t n = 0;
  if (attrs) DOMCheck(attrs->GetLength(&n), "GetLength");
  return n;
}

class EditEventsTest : public ::testing::TestWithParam<const char*> {
 protected:
  void Load(const char* xml) {
    doc = NewDocument(GetParam());
    doc->LoadFromXML(W(xml));
    root = doc->GetDocumentElement();
    ASSERT_TRUE(root);
    log = std::make_unique<TEventLog>(Instance(doc));
  }
  // Handlers that also note what the DOM and the list of `watched` hold at
  // the moment of each event.
  void WatchCounts(const ComPtr<IXMLNode>& watched) {
    TXMLDocument* instance = Instance(doc);
    IXMLNode* node = watched.get();
    auto note = [this, node](const char* when, TNodeChange change) {
      log->Note(std::string(when) + ":" + ChangeName(change) + " dom=" +
                std::to_string(DOMChildCount(ComPtr<IXMLNode>(node))) +
                " list=" + std::to_string(node->GetChildNodes()->GetCount()));
    };
    instance->BeforeNodeChange = [note](const ComPtr<IXMLNode>&, TNodeChange c) { note("before", c); };
    instance->AfterNodeChange = [note](const ComPtr<IXMLNode>&, TNodeChange c) { note("after", c); };
  }
  template <class Call>
  std::string DOMErrorOf(Call&& call) {
    try {
      call();
    } catch (const DOMException& e) {
      return e.what();
    }
    return "(no DOMException)";
  }

  ComPtr<IXMLDocumentIntf> doc;
  ComPtr<IXMLNode> root;
  std::unique_ptr<TEventLog> log;
};

TEST_P(EditEventsTest, AListEditIsBeforeEventThenDOMAndListThenAfterEvent) {
  Load("<r><a/></r>");
  WatchCounts(root);
  root->GetChildNodes()->Add(doc->CreateElement(u"b", u""));
  EXPECT_EQ(log->Events, (Strings{"before:ncInsertChild dom=1 list=1",
                                  "after:ncInsertChild dom=2 list=2"}));
  log->Clear();
  root->GetChildNodes()->Delete(0);
  EXPECT_EQ(log->Events, (Strings{"before:ncRemoveChild dom=2 list=2",
                                  "after:ncRemoveChild dom=1 list=1"}));
  EXPECT_EQ(root->GetChildNodes()->Get(0)->GetNodeName(), u"b");
}

TEST_P(EditEventsTest, EventsNameTheNodeWhoseChildrenOrValueChange) {
  Load("<r><a>t</a></r>");
  auto a = root->GetChildNodes()->Get(0);
  a->SetText(u"u");
  root->SetAttribute(u"k", OleVariant(u"v"));
  root->SetAttribute(u"k", OleVariant());
  root->AddChild(u"c");
  EXPECT_EQ(log->Events, (Strings{
                             "before:ncUpdateValue:a", "after:ncUpdateValue:a",
                             "before:ncAddAttribute:r", "after:ncAddAttribute:r",
                             "before:ncRemoveAttribute:r", "after:ncRemoveAttribute:r",
                             "before:ncInsertChild:r", "after:ncInsertChild:r",
                         }));
  EXPECT_TRUE(doc->GetModified());
}

TEST_P(EditEventsTest, AutoCreationAddsOneBeforeEventAheadOfTheInsertion) {
  Load("<r><a/></r>");
  auto x = root->GetChildNodes()->GetNode(OleVariant(u"x"));
  ASSERT_TRUE(x);
  EXPECT_EQ(x->GetNodeName(), u"x");
  EXPECT_EQ(log->Events, (Strings{"before:ncInsertChild:r", "before:ncInsertChild:r",
                                  "after:ncInsertChild:r"}));
  EXPECT_EQ(DOMChildCount(root), 2);
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 2);
}

TEST_P(EditEventsTest, AutoCreationWithIndentationAlsoReportsTheFormatting) {
  Load("<r/>");
  doc->SetOptions(doc->GetOptions() + TXMLDocOptions{doNodeAutoIndent});
  root->GetChildNodes()->GetNode(OleVariant(u"x"));
  Strings expected{"before:ncInsertChild:r"};
  for (int i = 0; i < 4; ++i) {  // line break, indentation, x, line break
    expected.push_back("before:ncInsertChild:r");
    expected.push_back("after:ncInsertChild:r");
  }
  EXPECT_EQ(log->Events, expected);
  EXPECT_EQ(DOMChildCount(root), 4);
}

TEST_P(EditEventsTest, AutoCreatedAttributesAreAddedThroughTheList) {
  Load("<r/>");
  auto attr = root->GetAttributeNodes()->GetNode(OleVariant(u"k"));
  ASSERT_TRUE(attr);
  EXPECT_EQ(attr->GetNodeType(), ntAttribute);
  EXPECT_TRUE(root->HasAttribute(u"k"));
  EXPECT_EQ(log->Events, (Strings{"before:ncAddAttribute:r", "before:ncAddAttribute:r",
                                  "after:ncAddAttribute:r"}));
}

TEST_P(EditEventsTest, WithoutAutoCreationAMissingNameIsAnError) {
  Load("<r/>");
  doc->SetOptions(doc->GetOptions() - TXMLDocOptions{doNodeAutoCreate});
  try {
    root->GetChildNodes()->GetNode(OleVariant(u"x"));
    ADD_FAILURE() << "no exception";
  } catch (const EXMLDocError& e) {
    EXPECT_STREQ(e.what(), "Node \"x\" not found");
  }
  EXPECT_TRUE(log->Events.empty());
  EXPECT_EQ(DOMChildCount(root), 0);
}

TEST_P(EditEventsTest, UpdateModeChangesTheListButNotTheDOM) {
  Load("<r><a/></r>");
  auto list = root->GetChildNodes();
  list->BeginUpdate();
  auto b = doc->CreateElement(u"b", u"");
  list->Insert(0, b);
  EXPECT_EQ(list->GetCount(), 2);
  EXPECT_EQ(list->Get(0)->GetNodeName(), u"b");
  EXPECT_EQ(DOMChildCount(root), 1);
  EXPECT_FALSE(b->GetParentNode());
  EXPECT_EQ(log->Events, (Strings{"before:ncInsertChild:r", "after:ncInsertChild:r"}));
  list->EndUpdate();
  EXPECT_EQ(list->GetUpdateCount(), 0);
  // A resync shows the DOM as it is.
  root->Resync();
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 1);
}

TEST_P(EditEventsTest, ReadOnlyNodesRefuseAfterTheBeforeEvent) {
  Load("<r><a>t</a></r>");
  auto a = root->GetChildNodes()->Get(0);
  root->SetReadOnly(true);
  a->SetReadOnly(true);
  std::string dom = DumpDocument(doc);
  auto expectReadOnly = [](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const EXMLDocError& e) {
      EXPECT_STREQ(e.what(), XMLConst::SNodeReadOnly);
    }
  };
  expectReadOnly([&] { a->SetText(u"changed"); });
  expectReadOnly([&] { root->AddChild(u"c"); });
  expectReadOnly([&] { root->SetAttribute(u"k", OleVariant(u"v")); });
  expectReadOnly([&] { root->GetChildNodes()->Delete(0); });
  EXPECT_EQ(log->Events, (Strings{"before:ncUpdateValue:a", "before:ncInsertChild:r",
                                  "before:ncAddAttribute:r", "before:ncRemoveChild:r"}));
  EXPECT_EQ(DumpDocument(doc), dom);
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 1);
  EXPECT_TRUE(doc->GetModified());
  // The flag is not inherited: a child of a read-only node can change.
  a->SetReadOnly(false);
  a->SetText(u"ok");
  EXPECT_EQ(a->GetText(), u"ok");
}

TEST_P(EditEventsTest, ASecondDocumentElementIsRefusedByTheDOM) {
  Load("<r/>");
  auto docNode = doc->GetDocumentNode();
  int32_t before = docNode->GetChildNodes()->GetCount();
  std::string message = DOMErrorOf([&] { doc->AddChild(u"second"); });
  EXPECT_EQ(message, DOMErrorMessages[3 - 1]);
  message = DOMErrorOf(
      [&] { docNode->GetChildNodes()->Add(doc->CreateElement(u"third", u"")); });
  EXPECT_EQ(message, DOMErrorMessages[3 - 1]);
  EXPECT_EQ(docNode->GetChildNodes()->GetCount(), before);
  EXPECT_EQ(DOMChildCount(docNode), before);
  EXPECT_EQ(doc->GetDocumentElement()->GetNodeName(), u"r");
  // The document saw the before-event of each refused change, and no after-event.
  EXPECT_EQ(log->Events, (Strings{"before:ncInsertChild:#document", "before:ncInsertChild:#document"}));
}

TEST_P(EditEventsTest, ANodeOfAnotherDocumentIsRefusedByTheDOM) {
  Load("<r><a/></r>");
  auto other = NewDocument(GetParam());
  other->LoadFromXML(W("<o/>"));
  auto foreign = other->CreateElement(u"f", u"");
  std::string message = DOMErrorOf([&] { root->GetChildNodes()->Insert(0, foreign); });
  EXPECT_EQ(message, DOMErrorMessages[4 - 1]);
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 1);
  EXPECT_EQ(DOMChildCount(root), 1);
  EXPECT_FALSE(foreign->GetParentNode());
  // The list still works afterwards.
  root->AddChild(u"b");
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 2);
  EXPECT_EQ(DOMChildCount(root), 2);
}

TEST_P(EditEventsTest, BadNamesAreRefusedByTheDOM) {
  Load("<r/>");
  std::string message = DOMErrorOf([&] { root->AddChild(u"bad name"); });
  EXPECT_EQ(message, DOMErrorMessages[5 - 1]);
  // The element is made before anything is inserted, so nothing was notified.
  EXPECT_TRUE(log->Events.empty());
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 0);
  EXPECT_EQ(DOMChildCount(root), 0);

  message = DOMErrorOf([&] { root->SetAttribute(u"1k", OleVariant(u"v")); });
  EXPECT_EQ(message, DOMErrorMessages[5 - 1]);
  EXPECT_EQ(log->Events, Strings{"before:ncAddAttribute:r"});
  EXPECT_EQ(root->GetAttributeNodes()->GetCount(), 0);
  EXPECT_EQ(DOMAttrCount(root), 0);

  message = DOMErrorOf([&] { root->AddChildNS(u"p:", u"urn:x", false); });
  EXPECT_NE(message, "(no DOMException)");
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 0);
  EXPECT_EQ(DOMChildCount(root), 0);
}

// A NUL would cut the value short in the DOM, and XML cannot hold it: the
// edit is refused before the document hears of it, naming the node.
TEST_P(EditEventsTest, AValueWithANulIsRefusedBeforeAnyEvent) {
  Load("<r k=\"v\"><a>t</a></r>");
  const WideString bad(u"x\0y", 3);
  auto a = root->GetChildNodes()->Get(0);
  auto refused = [&](const std::function<void()>& edit, const char* name) {
    try {
      edit();
      ADD_FAILURE() << "accepted a NUL for " << name;
    } catch (const EXMLDocError& e) {
      EXPECT_EQ(e.what(), rtl::Format(XMLConst::SNulInValue, {name}));
    }
  };
  refused([&] { a->SetText(bad); }, "a");
  refused([&] { a->SetNodeValue(OleVariant(bad)); }, "a");
  refused([&] { root->SetAttribute(u"k", OleVariant(bad)); }, "k");
  refused([&] { root->SetAttributeNS(u"k", u"urn:k", OleVariant(bad)); }, "k");
  EXPECT_TRUE(log->Events.empty());
  EXPECT_EQ(a->GetText(), u"t");
  EXPECT_EQ(root->GetAttribute(u"k"), OleVariant(u"v"));
  EXPECT_FALSE(root->HasAttributeNS(u"k", u"urn:k"));
}

TEST_P(EditEventsTest, RemovedNodesKeepTheirDOMNodeAndLoseTheirParent) {
  Load("<r><a x='1'><b/></a></r>");
  auto a = root->GetChildNodes()->Get(0);
  EXPECT_EQ(root->GetChildNodes()->Remove(a), 0);
  EXPECT_FALSE(a->GetParentNode());
  EXPECT_EQ(a->GetAttribute(u"x"), OleVariant(u"1"));
  EXPECT_EQ(a->GetChildNodes()->GetCount(), 1);
  EXPECT_EQ(DOMChildCount(root), 0);
  // It can be inserted again elsewhere.
  root->AddChild(u"c")->GetChildNodes()->Add(a);
  EXPECT_EQ(a->GetParentNode()->GetNodeName(), u"c");
}

INSTANTIATE_TEST_SUITE_P(Vendors, EditEventsTest,
                         ::testing::Values(RealVendorDesc(), testvendor::kTestVendorDesc),
                         [](const auto& info) {
                           return std::string(info.param) == RealVendorDesc() ? "RealDOM"
                                                                              : "PlainDOM";
                         });

// A namespaced, auto-indented document built from nothing saves as
// well-formed, indented text that loads back into the same tree.
class BuildFromNothingTest : public ::testing::TestWithParam<const char*> {
 protected:
  // A dump without the lines of text nodes that hold only white space.
  static std::string WithoutWhitespaceText(const std::string& dump) {
    std::string out;
    for (const std::string& line : SplitLines(dump)) {
      size_t at = line.find(" 3 #text =\"");
      if (at != std::string::npos &&
          line.find_first_not_of("\\nt ", at + 11) == line.size() - 1)
        continue;
      out += line + "\n";
    }
    return out;
  }
};

TEST_P(BuildFromNothingTest, SavedTextIsIndentedAndLoadsIntoTheSameTree) {
  auto doc = NewDocument(GetParam());
  doc->SetOptions(doc->GetOptions() + TXMLDocOptions{doNodeAutoIndent});
  doc->SetActive(true);
  auto root = doc->AddChildNS(u"root", u"urn:r");
  auto c = root->AddChild(u"c");
  auto d = c->AddChildNS(u"d", u"urn:d", true);
  d->SetAttributeNS(u"at", u"urn:d", OleVariant(u"v"));
  d->SetText(u"hello");
  auto e = root->AddChildNS(u"e", u"urn:d", false);
  EXPECT_EQ(c->GetNamespaceURI(), u"urn:r");
  EXPECT_EQ(d->GetNodeName(), u"NS1:d");
  // The declaration on d is out of e's scope, so e declares a default one.
  EXPECT_EQ(e->GetNodeName(), u"e");

  WideString text;
  doc->SaveToXML(text);
  std::string saved = U8(text);
  size_t start = saved.find("<root");
  ASSERT_NE(start, std::string::npos) << saved;
  Strings lines = SplitLines(saved.substr(start));
  ASSERT_EQ(lines.size(), 6u) << saved;
  EXPECT_EQ(lines[0], "<root xmlns=\"urn:r\">");
  EXPECT_EQ(lines[1], "  <c>");
  // The attributes of d may come in either order.
  EXPECT_TRUE(lines[2] == "    <NS1:d xmlns:NS1=\"urn:d\" NS1:at=\"v\">hello</NS1:d>" ||
              lines[2] == "    <NS1:d NS1:at=\"v\" xmlns:NS1=\"urn:d\">hello</NS1:d>")
      << lines[2];
  EXPECT_EQ(lines[3], "  </c>");
  EXPECT_EQ(lines[4], "  <e xmlns=\"urn:d\"/>");
  EXPECT_EQ(lines[5], "</root>");

  // Formatting text nodes were inserted one by one; the parser joins them.
  doc->GetDocumentNode()->Normalize();
  auto again = NewDocument(GetParam());
  again->LoadFromXML(text);
  EXPECT_EQ(WithoutWhitespaceText(DumpDocument(again)), WithoutWhitespaceText(DumpDocument(doc)));
  if (again->GetDOMDocument().try_query<IDOMParseOptions>()) {
    // Kept as parsed, the formatting is part of the tree as well.
    again->SetParseOptions(TParseOptions{poPreserveWhiteSpace});
    again->LoadFromXML(text);
    EXPECT_EQ(DumpDocument(again), DumpDocument(doc));
  }
}

// Without doNamespaceDecl the tree carries namespaces but no declarations;
// the saved text must still declare them, or it either fails to load
// (undeclared prefix) or loads with the namespaces lost.
TEST_P(BuildFromNothingTest, UndeclaredNamespacesAreDeclaredInTheSavedText) {
  auto doc = NewDocument(GetParam());
  doc->SetOptions(doc->GetOptions() - TXMLDocOptions{doNamespaceDecl});
  doc->SetActive(true);
  auto root = doc->AddChildNS(u"root", u"urn:r");
  auto c = root->AddChildNS(u"c", u"urn:c", true);
  c->SetAttributeNS(u"q:a", u"urn:a", OleVariant(u"v"));
  ASSERT_EQ(root->GetAttributeNodes()->GetCount(), 0);
  ASSERT_EQ(c->GetNodeName(), u"NS1:c");

  WideString text;
  doc->SaveToXML(text);
  auto again = NewDocument(GetParam());
  ASSERT_NO_THROW(again->LoadFromXML(text)) << U8(text);
  auto root2 = again->GetDocumentElement();
  EXPECT_EQ(root2->GetNamespaceURI(), u"urn:r") << U8(text);
  auto c2 = root2->GetChildNodes()->Get(0);
  EXPECT_EQ(c2->GetNamespaceURI(), u"urn:c") << U8(text);
  EXPECT_EQ(c2->GetAttributeNS(u"a", u"urn:a"), OleVariant(u"v")) << U8(text);
}

// The example of auto-indentation: what each append leaves among the
// children.
TEST_P(BuildFromNothingTest, IndentationFollowsTheNestingLevels) {
  auto doc = NewDocument(GetParam());
  doc->SetOptions(doc->GetOptions() + TXMLDocOptions{doNodeAutoIndent});
  doc->LoadFromXML(W("<R/>"));
  auto r = doc->GetDocumentElement();
  auto texts = [](const ComPtr<IXMLNode>& node) {
    Strings out;
    auto list = node->GetChildNodes();
    for (int32_t i = 0; i < list->GetCount(); ++i) {
      auto n = list->Get(i);
      out.push_back(n->GetNodeType() == ntText ? "'" + U8(n->GetText()) + "'" : U8(n->GetNodeName()));
    }
    return out;
  };
  auto c = r->AddChild(u"C");
  EXPECT_EQ(texts(r), (Strings{"'\n'", "'  '", "C", "'\n'"}));
  r->AddChild(u"C2");
  EXPECT_EQ(texts(r), (Strings{"'\n'", "'  '", "C", "'\n'", "'  '", "C2", "'\n'"}));
  c->AddChild(u"D");
  EXPECT_EQ(texts(c), (Strings{"'\n  '", "'  '", "D", "'\n  '"}));
  // Children of the document node are never indented.
  EXPECT_EQ(doc->GetDocumentNode()->GetChildNodes()->GetCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(Vendors, BuildFromNothingTest,
                         ::testing::Values(RealVendorDesc(), testvendor::kTestVendorDesc),
                         [](const auto& info) {
                           return std::string(info.param) == RealVendorDesc() ? "RealDOM"
                                                                              : "PlainDOM";
                         });

}  // namespace
