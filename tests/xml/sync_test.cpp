// Cases users ran into where a list disagreed with the DOM, a wrapper outlived
// what it pointed at, or a null argument crashed. The random sequences of
// model_test.cpp cover the same ground at large; these pin each case down.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "XmlTestUtil.h"
#include "rtl/Streams.h"
#include "xml/XMLConst.h"

namespace {

using namespace xmltest;

// The names of the items of a list, "|"-separated.
std::string Names(const ComPtr<IXMLNodeList>& list) {
  std::string out;
  for (int32_t i = 0; i < list->GetCount(); ++i) out += (i ? "|" : "") + N(list->Get(i)->GetNodeName());
  return out;
}

ComPtr<IXMLNode> Child(const ComPtr<IXMLNode>& node, int32_t i) { return node->GetChildNodes()->Get(i); }

TEST(ListsFollowTheDOM, MovesWithinAndBetweenParents) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a/><b/></r>");
  ComPtr<IXMLNode> r = doc->GetDocumentElement();
  ComPtr<IXMLNodeList> list = r->GetChildNodes();
  EXPECT_EQ(list->Insert(0, list->Get(1)), 0);
  EXPECT_EQ(Names(list), "b|a");
  EXPECT_EQ(Body(doc), "<r><b/><a/></r>");

  doc = LoadDoc("<r><p><a/></p><s/></r>");
  ComPtr<IXMLNode> p = Child(doc->GetDocumentElement(), 0), s = Child(doc->GetDocumentElement(), 1);
  ComPtr<IXMLNode> a = Child(p, 0);
  s->GetChildNodes()->Add(a);
  EXPECT_EQ(p->GetChildNodes()->GetCount(), 0);
  EXPECT_EQ(Names(s->GetChildNodes()), "a");
  EXPECT_EQ(a->GetParentNode(), s);
  EXPECT_EQ(Body(doc), "<r><p/><s><a/></s></r>");
}

TEST(ListsFollowTheDOM, NewRootUnderItsOldChildEndsTheWalk) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><b/></r>");
  ComPtr<IXMLNode> r = doc->GetDocumentElement();
  ComPtr<IXMLNode> b = Child(r, 0);
  doc->SetDocumentElement(b);
  b->GetChildNodes()->Add(r);
  EXPECT_EQ(Body(doc), "<b><r/></b>");
  EXPECT_EQ(doc->GetDocumentElement(), b);
  EXPECT_EQ(Names(b->GetChildNodes()), "r");
  EXPECT_EQ(r->GetChildNodes()->GetCount(), 0);
  EXPECT_EQ(r->GetParentNode(), b);
}

TEST(ListsFollowTheDOM, FragmentsAndAttributeReplacement) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r a='1'><x/></r>");
  ComPtr<IXMLNode> r = doc->GetDocumentElement();
  ComPtr<IXMLNode> fragment = doc->CreateNode(u"", ntDocumentFragment);
  fragment->GetChildNodes()->Add(doc->CreateElement(u"f", u""));
  fragment->GetChildNodes()->Add(doc->CreateElement(u"g", u""));
  EXPECT_EQ(r->GetChildNodes()->Insert(0, fragment), 0);
  EXPECT_EQ(Names(r->GetChildNodes()), "f|g|x");
  EXPECT_EQ(fragment->GetChildNodes()->GetCount(), 0);
  EXPECT_EQ(Child(r, 1)->GetParentNode(), r);

  r->GetAttributeNodes()->Add(doc->CreateNode(u"a", ntAttribute));
  r->GetAttributeNodes()->Add(doc->CreateNode(u"b", ntAttribute));
  EXPECT_EQ(Names(r->GetAttributeNodes()), "a|b");
}

TEST(ListsFollowTheDOM, HeldWrappersKeepTheirPlaceAfterTheListIsRebuilt) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r xmlns:q='urn:q'><a/>t<b/></r>");
  ComPtr<IXMLNode> r = doc->GetDocumentElement();
  ComPtr<IXMLNode> a = Child(r, 0), b = Child(r, 2);
  const std::vector<std::function<void()>> rebuilds = {
      [&] { r->Resync(); }, [&] { r->Normalize(); },
      [&] { r.query<IXMLNodeAccess>()->RegisterChildNode(u"a", NodeClassOf<TXMLNode>()); }};
  for (const auto& rebuild : rebuilds) {
    rebuild();
    EXPECT_NE(Child(r, 0), a);  // new wrappers for the list...
    EXPECT_EQ(a->GetParentNode(), r);  // ...and the old ones still know their place
    EXPECT_EQ(N(a->NextSibling()->GetText()), "t");
    EXPECT_EQ(b->NextSibling(), nullptr);
    EXPECT_EQ(b->PreviousSibling()->GetNodeType(), ntText);
    EXPECT_EQ(a->FindNamespaceURI(u"q"), u"urn:q");
    EXPECT_EQ(a->AddChild(u"q:c")->GetNamespaceURI(), u"urn:q");
    a->GetChildNodes()->Clear();
  }
}

TEST(ListsFollowTheDOM, AReloadClosesWhatWasTakenBefore) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a/></r>");
  ComPtr<IXMLNodeList> oldList = doc->GetDocumentElement()->GetChildNodes();
  ComPtr<IXMLNode> oldA = oldList->Get(0);
  ComPtr<IXMLNode> made = doc->CreateElement(u"m", u"");
  doc->LoadFromXML(W("<s><b/></s>"));
  // What was taken before describes the document it came from...
  EXPECT_EQ(Names(oldList), "a");
  EXPECT_EQ(Names(doc->GetDocumentElement()->GetChildNodes()), "b");
  // ...which is closed: editing it no longer reaches this document.
  EXPECT_FALSE(oldA->GetOwnerDocument());
  oldA->SetAttribute(u"x", OleVariant(WideString(u"1")));
  EXPECT_FALSE(doc->GetModified());
  // A node of the closed document cannot join the new one.
  EXPECT_THROW(doc->GetDocumentElement()->GetChildNodes()->Add(made), DOMException);
  EXPECT_EQ(Body(doc), "<s><b/></s>");
}

TEST(WrappersNeverDangle, RemovedInUpdateModeThenDocumentReleased) {
  ComPtr<IXMLNode> removed;
  {
    ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a/></r>");
    ComPtr<IXMLNodeList> list = doc->GetDocumentElement()->GetChildNodes();
    removed = list->Get(0);
    list->BeginUpdate();
    list->Remove(removed);
  }
  EXPECT_FALSE(removed->GetParentNode());
  EXPECT_EQ(removed->GetNodeName(), u"a");
}

TEST(WrappersNeverDangle, HostedNodeOutlivesHostAndParent) {
  ComPtr<IXMLNode> hosted;
  {
    ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a/></r>");
    ComPtr<IXMLNode> a = Child(doc->GetDocumentElement(), 0);
    hosted = a.query<IXMLNodeAccess>()->CreateHostedNode(NodeClassOf<TXMLNode>(), IXMLNode::IID, u"", u"");
    EXPECT_EQ(hosted->GetParentNode(), doc->GetDocumentElement());
  }
  EXPECT_FALSE(hosted->GetParentNode());
  EXPECT_EQ(hosted->GetNodeName(), u"a");
}

TEST(WrappersNeverDangle, IndentingAfterTheDocumentClosed) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a/></r>", kDefaultXMLDocOptions + TXMLDocOptions{doNodeAutoIndent});
  ComPtr<IXMLNode> r = doc->GetDocumentElement();
  ComPtr<IXMLNode> a = Child(r, 0);
  doc->SetActive(false);
  EXPECT_EQ(a->AddChild(u"x")->GetNodeName(), u"x");
  EXPECT_EQ(N(a->GetXML()), "<a><x/></a>");
}

TEST(NullArguments, AreRefusedAndChangeNothing) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r a='1'><b/></r>");
  ComPtr<IXMLNode> r = doc->GetDocumentElement(), b = Child(r, 0);
  ComPtr<IXMLNodeList> children = r->GetChildNodes();
  int events = 0;
  Inst(doc)->BeforeNodeChange = [&](const ComPtr<IXMLNode>&, TNodeChange) { ++events; };
  WideString out;
  const std::vector<std::function<void()>> calls = {
      [&] { children->Add(nullptr); },
      [&] { children->Insert(0, nullptr); },
      [&] { children->Remove(nullptr); },
      [&] { children->ReplaceNode(nullptr, b); },
      [&] { children->ReplaceNode(b, nullptr); },
      [&] { r->GetAttributeNodes()->Add(nullptr); },
      [&] { doc->SetDocumentElement(nullptr); },
      [&] { doc->MakeUniquePrefix(nullptr); },
      [&] { r->TransformNode(nullptr, out); },
      [&] { r->TransformNode(nullptr, doc); },
      [&] { r->TransformNode(b, ComPtr<IXMLDocumentIntf>()); },
      [&] { doc->LoadFromStream(nullptr); },
  };
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_THROW(calls[i](), EXMLDocError) << "call " << i;
    EXPECT_TRUE(doc->GetActive()) << "call " << i;
    EXPECT_EQ(Body(doc), "<r a=\"1\"><b/></r>") << "call " << i;
    EXPECT_EQ(Names(children), "b") << "call " << i;
  }
  EXPECT_EQ(events, 0);
  EXPECT_FALSE(doc->GetModified());
}

}  // namespace
