// The node wrapper: reading, text, attributes, change notification and the
// read-only guard, node classes, hosting, and reference counting of the
// document element.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/xml/XmlTestUtil.h"
#include "xml/XMLConst.h"
#include "xml/XMLDoc.h"

namespace {

using namespace xmltest;

TEST(Node, ReadingNamesAndTypes) {
  ComPtr<IXMLDocumentIntf> doc =
      LoadDoc("<p:r xmlns:p=\"urn:p\" a=\"1\"><!--c--><?pi data?><![CDATA[x]]>t<p:e/></p:r>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  EXPECT_EQ(root->GetNodeName(), u"p:r");
  EXPECT_EQ(root->GetLocalName(), u"r");
  EXPECT_EQ(root->GetPrefix(), u"p");
  EXPECT_EQ(root->GetNamespaceURI(), u"urn:p");
  EXPECT_EQ(root->GetNodeType(), ntElement);
  EXPECT_TRUE(root->HasChildNodes());
  ComPtr<IXMLNodeList> children = root->GetChildNodes();
  ASSERT_EQ(children->GetCount(), 5);
  EXPECT_EQ(children->Get(0)->GetNodeType(), ntComment);
  EXPECT_EQ(children->Get(1)->GetNodeType(), ntProcessingInstr);
  EXPECT_EQ(children->Get(1)->GetNodeName(), u"pi");
  EXPECT_EQ(children->Get(1)->GetText(), u"data");
  EXPECT_EQ(children->Get(2)->GetNodeType(), ntCDATASection);
  EXPECT_EQ(children->Get(3)->GetNodeValue(), OleVariant(u"t"));
  EXPECT_EQ(children->Get(4)->GetParentNode(), root);
  EXPECT_EQ(children->Get(4)->GetNamespaceURI(), u"urn:p");
  EXPECT_EQ(root->GetParentNode(), doc->GetDocumentNode());
  EXPECT_FALSE(doc->GetDocumentNode()->GetParentNode());
  EXPECT_EQ(doc->GetDocumentNode()->GetNodeType(), ntDocument);
  EXPECT_EQ(root->GetOwnerDocument(), doc);
  EXPECT_EQ(root->GetXML(), W("<p:r xmlns:p=\"urn:p\" a=\"1\"><!--c--><?pi data?><![CDATA[x]]>t<p:e/></p:r>"));
  ComPtr<IXMLNode> attr = root->GetAttributeNodes()->FindNode(u"a");
  ASSERT_TRUE(attr);
  EXPECT_FALSE(attr->GetParentNode());
  EXPECT_EQ(attr->GetNodeValue(), OleVariant(u"1"));
}

TEST(Node, TextOfElements) {
  ComPtr<IXMLDocumentIntf> doc =
      LoadDoc("<r><empty/><t>hi</t><cd><![CDATA[raw]]></cd><mix>a<b/></mix><mc>a<!--c--></mc><e2></e2></r>");
  ComPtr<IXMLNodeList> list = doc->GetDocumentElement()->GetChildNodes();
  ComPtr<IXMLNode> empty = list->GetNode(u"empty");
  EXPECT_FALSE(empty->HasChildNodes());
  EXPECT_EQ(empty->GetText(), u"");
  EXPECT_TRUE(empty->HasChildNodes());  // reading added an empty text child
  EXPECT_EQ(empty->GetChildNodes()->GetCount(), 1);
  EXPECT_TRUE(empty->IsTextElement());
  EXPECT_TRUE(empty->GetNodeValue().IsNull());

  ComPtr<IXMLNode> t = list->GetNode(u"t");
  EXPECT_TRUE(t->IsTextElement());
  EXPECT_EQ(t->GetNodeValue(), OleVariant(u"hi"));

  ComPtr<IXMLNode> cd = list->GetNode(u"cd");
  EXPECT_EQ(cd->GetText(), u"raw");
  EXPECT_FALSE(cd->IsTextElement());

  for (const char16_t* name : {u"mix", u"mc"}) {
    ComPtr<IXMLNode> mixed = list->GetNode(name);
    EXPECT_FALSE(mixed->IsTextElement());
    EXPECT_EQ(ErrorOf([&] { mixed->GetText(); }), "Element does not contain a single text node");
    EXPECT_EQ(ErrorOf([&] { mixed->GetNodeValue(); }), "Element does not contain a single text node");
    EXPECT_EQ(ErrorOf([&] { mixed->SetText(u"x"); }), "Element does not contain a single text node");
  }
  ComPtr<IXMLNode> e2 = list->GetNode(u"e2");
  e2->SetNodeValue(OleVariant(u"v"));
  EXPECT_EQ(e2->GetText(), u"v");
  e2->SetNodeValue(OleVariant::Null());
  EXPECT_EQ(e2->GetText(), u"");
  EXPECT_TRUE(e2->GetNodeValue().IsNull());
  t->SetText(u"new");
  EXPECT_EQ(Body(doc).find("<t>new</t>") != std::string::npos, true);

  // Reading test and text in one go answers as the two calls do, and
  // leaves the text alone when the answer is no.
  for (int i = 0; i < list->GetCount(); ++i) {
    ComPtr<IXMLNode> node = list->Get(i);
    WideString text = u"untouched";
    const bool textElement = NodeObjectOf(node.get())->ReadTextElement(text);
    EXPECT_EQ(textElement, node->IsTextElement()) << i;
    EXPECT_EQ(text, textElement ? node->GetText() : u"untouched") << i;
  }
}

TEST(Node, ChildValues) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><a>1</a></r>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  EXPECT_EQ(root->GetChildValue(u"a"), OleVariant(u"1"));
  EXPECT_TRUE(root->GetChildValue(u"zz").IsNull());
  root->SetChildValue(u"a", u"2");
  root->SetChildValue(u"b", u"3");  // auto-created
  root->SetChildValue(0, u"4");
  EXPECT_EQ(Body(doc), "<r><a>4</a><b>3</b></r>");
}

TEST(Node, AttributesOfElements) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r a=\"1\" e=\"\" xmlns:q=\"urn:q\" q:n=\"ns\"><s/></r>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  // Whether there are attributes is answered without making a list.
  TXMLNode* rootObject = NodeObjectOf(root.get());
  TXMLNode* plain = NodeObjectOf(root->GetChildNodes()->Get(0).get());
  EXPECT_TRUE(rootObject->HasAttributeNodes());
  EXPECT_FALSE(plain->HasAttributeNodes());
  EXPECT_FALSE(rootObject->CachesAttributeNodes() || plain->CachesAttributeNodes());
  plain->SetAttribute(u"x", u"1");
  EXPECT_TRUE(plain->HasAttributeNodes());
  EXPECT_TRUE(root->HasAttribute(u"a"));
  EXPECT_EQ(root->GetAttribute(u"a"), OleVariant(u"1"));
  // An empty value stays an empty string.
  EXPECT_EQ(root->GetAttribute(u"e"), OleVariant(u""));
  EXPECT_TRUE(root->GetAttribute(u"zz").IsNull());
  EXPECT_TRUE(root->HasAttributeNS(u"n", u"urn:q"));
  EXPECT_EQ(root->GetAttributeNS(u"n", u"urn:q"), OleVariant(u"ns"));
  EXPECT_EQ(root->GetAttributeNS(u"q:n", u"urn:q"), OleVariant(u"ns"));
  EXPECT_TRUE(root->GetAttributeNS(u"n", u"urn:other").IsNull());

  ComPtr<IXMLNodeList> before = root->GetAttributeNodes();
  EXPECT_EQ(before->GetCount(), 4);
  root->SetAttribute(u"b", u"2");
  EXPECT_EQ(root->GetAttribute(u"b"), OleVariant(u"2"));
  // The attribute list was dropped and is rebuilt.
  EXPECT_NE(root->GetAttributeNodes(), before);
  EXPECT_EQ(root->GetAttributeNodes()->GetCount(), 5);
  root->SetAttribute(u"a", OleVariant::Null());
  EXPECT_FALSE(root->HasAttribute(u"a"));
  EXPECT_TRUE(root->GetAttribute(u"a").IsNull());
  doc->SetOptions(kDefaultXMLDocOptions - TXMLDocOptions{doAttrNull});
  EXPECT_EQ(root->GetAttribute(u"a"), OleVariant(u""));
  EXPECT_EQ(root->GetAttributeNS(u"a", u"urn:q"), OleVariant(u""));
}

TEST(Node, AttributesOfOtherNodes) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r>text<!--c--></r>");
  ComPtr<IXMLNode> text = doc->GetDocumentElement()->GetChildNodes()->Get(0);
  EXPECT_FALSE(text->HasAttribute(u"a"));
  EXPECT_FALSE(text->HasAttributeNS(u"a", u"urn:x"));
  EXPECT_FALSE(NodeObjectOf(text.get())->HasAttributeNodes());
  EXPECT_EQ(text->GetAttributeNodes()->GetCount(), 0);
  EXPECT_TRUE(text->GetAttribute(u"a").IsNull());
  EXPECT_EQ(ErrorOf([&] { text->GetAttributeNS(u"a", u""); }), "Attributes are not supported on this node type");
  int events = 0;
  Inst(doc)->BeforeNodeChange = [&](const ComPtr<IXMLNode>&, TNodeChange) { ++events; };
  EXPECT_EQ(ErrorOf([&] { text->SetAttribute(u"a", u"1"); }), "Attributes are not supported on this node type");
  EXPECT_EQ(ErrorOf([&] { text->SetAttributeNS(u"a", u"urn:x", u"1"); }),
            "Attributes are not supported on this node type");
  // The refusal comes after the document's before-event.
  EXPECT_EQ(events, 2);
  EXPECT_EQ(ErrorOf([&] { text.query<IXMLNodeAccess>()->GetDOMElement(); }),
            "Attributes are not supported on this node type");
}

TEST(Node, OrphanedNodeReadsAbsentAttributesAsNull) {
  ComPtr<IXMLNode> root;
  {
    OwnerComponent owner;
    auto* doc = new TXMLDocument(&owner);
    doc->SetDOMVendor(LookupVendor("Xerces XML"));
    doc->SetOptions(kDefaultXMLDocOptions - TXMLDocOptions{doAttrNull});
    doc->LoadFromXML(W("<r a=\"1\"><c/></r>"));
    root = doc->GetDocumentElement();
    EXPECT_EQ(root->GetAttribute(u"zz"), OleVariant(u""));
  }
  // The owner freed the document; the wrapper reads its DOM node still.
  EXPECT_FALSE(root->GetOwnerDocument());
  EXPECT_EQ(root->GetAttribute(u"a"), OleVariant(u"1"));
  EXPECT_TRUE(root->GetAttribute(u"zz").IsNull());
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 1);
  root->SetAttribute(u"b", u"2");  // no document to tell
  EXPECT_EQ(root->GetAttribute(u"b"), OleVariant(u"2"));
}

TEST(Node, ReadOnlyRefusesAfterTheBeforeEvent) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><t>v</t></r>");
  ComPtr<IXMLNode> t = doc->GetDocumentElement()->GetChildNodes()->Get(0);
  EXPECT_FALSE(doc->GetModified());
  std::vector<std::string> events;
  Inst(doc)->BeforeNodeChange = [&](const ComPtr<IXMLNode>& n, TNodeChange c) {
    events.push_back("before " + std::to_string(c) + " " + N(n->GetNodeName()));
  };
  Inst(doc)->AfterNodeChange = [&](const ComPtr<IXMLNode>&, TNodeChange) { events.push_back("after"); };
  t->SetReadOnly(true);
  EXPECT_TRUE(t->GetReadOnly());
  EXPECT_EQ(ErrorOf([&] { t->SetText(u"x"); }), "Node is readonly");
  EXPECT_EQ(ErrorOf([&] { t->SetAttribute(u"a", u"1"); }), "Node is readonly");
  EXPECT_EQ(ErrorOf([&] { t->AddChild(u"c"); }), "Node is readonly");
  EXPECT_EQ(events, (std::vector<std::string>{"before 0 t", "before 3 t", "before 1 t"}));
  EXPECT_TRUE(doc->GetModified());
  EXPECT_EQ(Body(doc), "<r><t>v</t></r>");
  t->SetReadOnly(false);
  events.clear();
  t->SetText(u"x");
  EXPECT_EQ(events, (std::vector<std::string>{"before 0 t", "after"}));
}

TEST(Node, SiblingsOfAttributesDocumentAndClones) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r a=\"1\"><x/><y/></r>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  ComPtr<IXMLNode> x = root->GetChildNodes()->Get(0);
  EXPECT_EQ(x->NextSibling(), root->GetChildNodes()->Get(1));
  EXPECT_FALSE(x->PreviousSibling());
  EXPECT_EQ(root->GetChildNodes()->Get(1)->PreviousSibling(), x);
  EXPECT_FALSE(root->GetChildNodes()->Get(1)->NextSibling());
  EXPECT_FALSE(root->GetAttributeNodes()->Get(0)->NextSibling());
  EXPECT_FALSE(doc->GetDocumentNode()->NextSibling());
  ComPtr<IXMLNode> clone = x->CloneNode(true);
  EXPECT_FALSE(clone->NextSibling());
  EXPECT_FALSE(clone->PreviousSibling());
  EXPECT_FALSE(clone->GetParentNode());
  EXPECT_EQ(clone->GetOwnerDocument(), doc);
  ComPtr<IXMLNode> deep = root->CloneNode(true);
  ComPtr<IXMLNode> shallow = root->CloneNode(false);
  EXPECT_EQ(deep->GetChildNodes()->GetCount(), 2);
  EXPECT_EQ(shallow->GetChildNodes()->GetCount(), 0);
  EXPECT_EQ(shallow->GetAttribute(u"a"), OleVariant(u"1"));
}

struct Special : TXMLNode {
  using TXMLNode::TXMLNode;
  Special(HostedTag tag, TXMLNode* host) : TXMLNode(tag, host) {}
  XMLNODE_CLASS(Special)
  void SetHostedItemInfo(const rtl::GUID&, const WideString& tag, const WideString& ns) override {
    itemTag = tag;
    itemNS = ns;
  }
  WideString itemTag;
  WideString itemNS;
};

// Has no hosting constructor.
struct Other : TXMLNode {
  Other(const ComPtr<IDOMNode>& domNode, TXMLNode* parent, TXMLDocument* doc) : TXMLNode(domNode, parent, doc) {}
  XMLNODE_CLASS(Other)
};

TEST(Node, ChildNodeClasses) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r xmlns=\"urn:d\"><s/><o/><s/></r>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  ComPtr<IXMLNode> before = root->GetChildNodes()->Get(0);
  auto access = root.query<IXMLNodeAccess>();
  access->RegisterChildNode(u"s", NodeClassOf<Special>());
  // The registration took the node's namespace.
  ASSERT_EQ(access->GetChildNodeClasses().size(), 1u);
  EXPECT_EQ(access->GetChildNodeClasses()[0].NamespaceURI, u"urn:d");
  // Earlier wrappers keep their class; the list gives new ones.
  EXPECT_EQ(dynamic_cast<Special*>(before.get()), nullptr);
  ComPtr<IXMLNodeList> list = root->GetChildNodes();
  EXPECT_NE(list->Get(0), before);
  EXPECT_NE(dynamic_cast<Special*>(list->Get(0).get()), nullptr);
  EXPECT_EQ(dynamic_cast<Special*>(list->Get(1).get()), nullptr);
  EXPECT_NE(dynamic_cast<Special*>(list->Get(2).get()), nullptr);
  // A clone keeps the class; added children get it too.
  EXPECT_NE(dynamic_cast<Special*>(list->Get(0)->CloneNode(false).get()), nullptr);
  EXPECT_NE(dynamic_cast<Special*>(root->AddChild(u"s").get()), nullptr);
  EXPECT_NE(dynamic_cast<Other*>(access->AddChildOfClass(u"q", u"urn:d", NodeClassOf<Other>()).get()), nullptr);

  access->RegisterChildNodes({u"o"}, {NodeClassOf<Other>()});
  EXPECT_NE(dynamic_cast<Other*>(root->GetChildNodes()->Get(1).get()), nullptr);
  EXPECT_EQ(ErrorOf([&] { access->RegisterChildNodes({u"a", u"b"}, {NodeClassOf<Other>()}); }),
            "Mismatched paramaters to RegisterChildNodes");
  access->RegisterChildNode(u"s", nullptr);
  EXPECT_EQ(dynamic_cast<Special*>(root->GetChildNodes()->Get(0).get()), nullptr);
}

TEST(Node, RootNodeClassAndBindRootElement) {
  ComPtr<IXMLDocumentIntf> doc = NewDoc();
  ComPtr<IXMLNode> root = doc->BindRootElement(u"top", NodeClassOf<Special>(), u"");
  ASSERT_TRUE(root);
  EXPECT_TRUE(doc->GetActive());
  EXPECT_NE(dynamic_cast<Special*>(root.get()), nullptr);
  EXPECT_EQ(Body(doc), "<top/>");
  ComPtr<IXMLNode> again = doc->BindRootElement(u"top", NodeClassOf<Special>(), u"");
  EXPECT_NE(dynamic_cast<Special*>(again.get()), nullptr);
  EXPECT_EQ(Body(doc), "<top/>");
  ComPtr<IXMLDocumentIntf> ns = NewDoc();
  ComPtr<IXMLNode> nsRoot = ns->BindRootElement(u"top", NodeClassOf<Other>(), u"urn:t");
  EXPECT_NE(dynamic_cast<Other*>(nsRoot.get()), nullptr);
  EXPECT_EQ(nsRoot->GetNamespaceURI(), u"urn:t");
}

TEST(Node, HostedNodesShareTheHostsLists) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r xmlns=\"urn:d\"><a/><b/></r>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  auto access = root.query<IXMLNodeAccess>();
  ComPtr<IXMLNodeList> list = root->GetChildNodes();
  ComPtr<IXMLNode> hosted = access->CreateHostedNode(NodeClassOf<Special>(), IXMLNode::IID, u"item", u"");
  ASSERT_TRUE(hosted);
  auto* special = dynamic_cast<Special*>(hosted.get());
  ASSERT_NE(special, nullptr);
  EXPECT_EQ(special->itemTag, u"item");
  EXPECT_EQ(special->itemNS, u"urn:d");
  EXPECT_EQ(special->GetHostNode(), dynamic_cast<TXMLNode*>(root.get()));
  EXPECT_EQ(hosted->GetDOMNode(), root->GetDOMNode());
  EXPECT_EQ(hosted->GetChildNodes(), root->GetChildNodes());
  EXPECT_EQ(access->FindHostedNode(NodeClassOf<Special>()), hosted);
  EXPECT_EQ(access->FindHostedNode(NodeClassOf<TXMLNode>()), hosted);  // a descendant counts
  EXPECT_FALSE(access->FindHostedNode(NodeClassOf<Other>()));
  EXPECT_FALSE(access->CreateHostedNode(NodeClassOf<Other>(), IXMLNode::IID, u"x", u""));

  // Callbacks of hosted nodes hear every child-list notification.
  static std::vector<std::string> heard;
  heard.clear();
  special->SetOnChildListChange(TNodeListNotification(
      [](void*, TNodeListOperation op, ComPtr<IXMLNode>&, const OleVariant&, bool before) {
        heard.push_back(std::to_string(op) + (before ? "b" : "a"));
      },
      nullptr));
  root->AddChild(u"c");
  EXPECT_EQ(heard, (std::vector<std::string>{"0b", "0a"}));
  hosted = nullptr;
  EXPECT_FALSE(access->FindHostedNode(NodeClassOf<Special>()));
}

TEST(Node, DocumentElementCountsOnTheDocument) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><c/></r>");
  TXMLDocument* instance = Inst(doc);
  EXPECT_EQ(instance->RefCount(), 1);
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  // The document node's list holds the first reference, the caller the
  // second, which counts on the document.
  EXPECT_EQ(dynamic_cast<TXMLNode*>(root.get())->RefCount(), 2);
  EXPECT_EQ(instance->RefCount(), 2);
  ComPtr<IXMLNode> again = root;
  EXPECT_EQ(instance->RefCount(), 3);
  again = nullptr;
  EXPECT_EQ(instance->RefCount(), 2);
  // Other nodes do not count.
  ComPtr<IXMLNode> child = root->GetChildNodes()->Get(0);
  EXPECT_EQ(instance->RefCount(), 2);
  // The document element alone keeps the document alive.
  doc = nullptr;
  EXPECT_EQ(instance->RefCount(), 1);
  EXPECT_TRUE(root->GetOwnerDocument());
  EXPECT_EQ(root->GetOwnerDocument()->GetDocumentElement(), root);
  EXPECT_EQ(child->GetParentNode(), root);
  root = nullptr;  // frees the document (checked under the sanitizer)
  EXPECT_FALSE(child->GetParentNode());
  EXPECT_FALSE(child->GetOwnerDocument());
  EXPECT_EQ(child->GetNodeName(), u"c");
}

TEST(Node, MovingANodeToAnotherDocument) {
  ComPtr<IXMLDocumentIntf> one = LoadDoc("<one/>");
  ComPtr<IXMLDocumentIntf> two = LoadDoc("<two/>");
  ComPtr<IXMLNode> node = two->CreateElement(u"n", u"");
  EXPECT_EQ(node->GetOwnerDocument(), two);
  // The DOM refuses a node of another document and nothing moves.
  EXPECT_THROW(one->GetDocumentElement()->GetChildNodes()->Add(node), DOMException);
  EXPECT_EQ(node->GetOwnerDocument(), two);
  // A wrapper inserted through the list of a node of another layer
  // document (same DOM document) moves to that document.
  ComPtr<IXMLDocumentIntf> view = NewDoc();
  view->SetDOMDocument(two->GetDOMDocument());
  view->GetDocumentElement()->GetChildNodes()->Add(node);
  EXPECT_EQ(node->GetOwnerDocument(), view);
  EXPECT_EQ(Body(two), "<two><n/></two>");
}

TEST(Node, NestingLevelAndHasChildNode) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r xmlns:p=\"urn:p\"><a><p:b/></a></r>");
  ComPtr<IXMLNode> a = doc->GetDocumentElement()->GetChildNodes()->Get(0);
  ComPtr<IXMLNode> b = a->GetChildNodes()->Get(0);
  EXPECT_EQ(doc->GetDocumentNode().query<IXMLNodeAccess>()->NestingLevel(), 0);
  EXPECT_EQ(doc->GetDocumentElement().query<IXMLNodeAccess>()->NestingLevel(), 1);
  EXPECT_EQ(b.query<IXMLNodeAccess>()->NestingLevel(), 3);
  auto access = a.query<IXMLNodeAccess>();
  EXPECT_TRUE(access->HasChildNode(u"b"));
  EXPECT_TRUE(access->HasChildNode(u"p:b"));
  EXPECT_TRUE(access->HasChildNode(u"b", u"URN:P"));
  EXPECT_FALSE(access->HasChildNode(u"b", u"urn:q"));
  EXPECT_FALSE(access->HasChildNode(u"c"));
}

TEST(Node, MissingDOMNode) {
  EXPECT_EQ(ErrorOf([] { TXMLNode node(nullptr, nullptr, nullptr); }), "IDOMNode required");
}

TEST(Node, NormalizeAndResyncDropTheLists) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r>a</r>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 1);
  ComPtr<IDOMNode> extra;
  DOMCheck(doc->GetDOMDocument()->CreateTextNode(u"b", extra.put()), "CreateTextNode");
  ComPtr<IDOMNode> appended;
  DOMCheck(root->GetDOMNode()->AppendChild(extra.get(), appended.put()), "AppendChild");
  // A change made directly in the DOM is not seen by the built list...
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 1);
  root->Resync();
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 2);
  root->Normalize();
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 1);
  EXPECT_EQ(root->GetText(), u"ab");
}

}  // namespace
