// Node, element, attribute and document operations, and how their failures
// reach the caller.
#include "LibTest.h"

using namespace libtest;

namespace {

ComPtr<IDOMElement> Element(IDOMDocument* d, std::u16string_view name) {
  ComPtr<IDOMElement> e;
  DOMCheck(d->CreateElement(name, e.put()), "CreateElement");
  return e;
}

ComPtr<IDOMNodeExtension> Ext(IDOMNode* n) { return ComPtr<IDOMNode>(n).try_query<IDOMNodeExtension>(); }

}  // namespace

TEST(LibNodes, DOMErrorsReachTheCallerWithTheirText) {
  auto d = Parse(u"<a><b/></a>");
  auto a = Root(d.get());
  // Not a child.
  auto stray = Element(d.get(), u"stray");
  EXPECT_EQ(FailureText(a->RemoveChild(stray.get(), nullptr)), "Not found error");
  // Invalid name.
  ComPtr<IDOMElement> bad;
  EXPECT_EQ(FailureText(d->CreateElement(u"1bad", bad.put())), "Invalid character error");
  // A second document element.
  EXPECT_EQ(FailureText(d->AppendChild(stray.get(), nullptr)), "Hierarchy request error");
  // Node of another document.
  auto other = Parse(u"<o/>");
  const ComPtr<IDOMNode> o(Root(other.get()).get()), b = Child(a.get(), 0);
  EXPECT_EQ(FailureText(a->AppendChild(o.get(), nullptr)), "Wrong document error");
  EXPECT_EQ(FailureText(a->InsertBefore(stray.get(), o.get(), nullptr)), "Not found error");
  EXPECT_EQ(FailureText(a->ReplaceChild(o.get(), b.get(), nullptr)), "Wrong document error");
  EXPECT_EQ(FailureText(a->ReplaceChild(stray.get(), o.get(), nullptr)), "Not found error");
  EXPECT_EQ(FailureText(a->RemoveChild(o.get(), nullptr)), "Not found error");
  EXPECT_EQ(FailureText(b->AppendChild(o.get(), nullptr)), "Wrong document error");
  // An attribute the element does not hold, of this document or another.
  ComPtr<IDOMAttr> loose, foreign;
  DOMCheck(d->CreateAttribute(u"x", loose.put()), "CreateAttribute");
  DOMCheck(other->CreateAttribute(u"x", foreign.put()), "CreateAttribute");
  EXPECT_EQ(FailureText(a->RemoveAttributeNode(loose.get(), nullptr)), "Not found error");
  EXPECT_EQ(FailureText(a->RemoveAttributeNode(foreign.get(), nullptr)), "Not found error");
  // A node only Xerces holds (imported from a document whose tree is
  // built) is no child either.
  BuildTree(other.get());
  ComPtr<IDOMNode> ref;
  DOMCheck(d->ImportNode(o.get(), 0, ref.put()), "ImportNode");
  EXPECT_EQ(FailureText(a->RemoveChild(ref.get(), nullptr)), "Not found error");
  EXPECT_EQ(FailureText(a->InsertBefore(stray.get(), ref.get(), nullptr)), "Not found error");
  // The document holds no text of its own.
  EXPECT_EQ(FailureText(ComPtr<IDOMDocument>(d).try_query<IDOMNodeExtension>()->SetText(u"t")),
            "No modification allowed error");
  // Namespace misuse.
  ComPtr<IDOMElement> ns;
  EXPECT_EQ(FailureText(d->CreateElementNS(u"", u"p:x", ns.put())), "Namespace error");
  // Unsupported members come through the other callback.
  ComPtr<IDOMDocumentType> dt;
  EXPECT_EQ(FailureText(Impl()->CreateDocumentType(u"r", u"", u"", dt.put())),
            "Property or Method \"CreateDocumentType\" is not supported by DOM Vendor \"Xerces XML\"");
  // Nothing was changed by the failures.
  EXPECT_EQ(XML8(a.get()), "<a><b/></a>");
}

TEST(LibNodes, ElementAttributeOperations) {
  auto d = Parse(u"<r xmlns:p=\"urn:p\" a=\"1\" p:b=\"2\"/>");
  auto r = Root(d.get());
  WideString v;
  DOMCheck(r->GetAttribute(u"a", &v), "GetAttribute");
  EXPECT_EQ(v, u"1");
  DOMCheck(r->GetAttribute(u"missing", &v), "GetAttribute");
  EXPECT_EQ(v, u"");
  DOMCheck(r->GetAttributeNS(u"urn:p", u"b", &v), "GetAttributeNS");
  EXPECT_EQ(v, u"2");
  WordBool has = 0;
  DOMCheck(r->HasAttributeNS(u"urn:p", u"p:b", &has), "HasAttributeNS");
  EXPECT_TRUE(has) << "a qualified name is accepted for the local name";
  DOMCheck(r->HasAttribute(u"a", &has), "HasAttribute");
  EXPECT_TRUE(has);

  DOMCheck(r->SetAttributeNS(u"urn:q", u"q:c", u"3"), "SetAttributeNS");
  ComPtr<IDOMAttr> c;
  DOMCheck(r->GetAttributeNodeNS(u"urn:q", u"c", c.put()), "GetAttributeNodeNS");
  ASSERT_TRUE(c);
  WideString prefix, local;
  DOMCheck(c->GetPrefix(&prefix), "GetPrefix");
  DOMCheck(c->GetLocalName(&local), "GetLocalName");
  EXPECT_EQ(prefix, u"q");
  EXPECT_EQ(local, u"c");
  ComPtr<IDOMElement> owner;
  DOMCheck(c->GetOwnerElement(owner.put()), "GetOwnerElement");
  EXPECT_EQ(Name(owner.get()), u"r");

  // A removed attribute's wrapper stays valid and keeps its value.
  ComPtr<IDOMAttr> a;
  DOMCheck(r->GetAttributeNode(u"a", a.put()), "GetAttributeNode");
  DOMCheck(r->RemoveAttribute(u"a"), "RemoveAttribute");
  DOMCheck(r->RemoveAttributeNS(u"urn:q", u"q:c"), "RemoveAttributeNS");
  DOMCheck(a->GetValue(&v), "GetValue");
  EXPECT_EQ(v, u"1");
  DOMCheck(a->GetOwnerElement(owner.put()), "GetOwnerElement");
  EXPECT_FALSE(owner);
  DOMCheck(r->HasAttribute(u"a", &has), "HasAttribute");
  EXPECT_FALSE(has);

  // Attribute nodes move between elements through the node operations.
  ComPtr<IDOMAttr> fresh;
  DOMCheck(d->CreateAttribute(u"n", fresh.put()), "CreateAttribute");
  DOMCheck(fresh->SetValue(u"v<&\""), "SetValue");
  DOMCheck(r->SetAttributeNode(fresh.get(), nullptr), "SetAttributeNode");
  EXPECT_EQ(XML8(r.get()), "<r xmlns:p=\"urn:p\" p:b=\"2\" n=\"v&lt;&amp;&quot;\"/>");
  EXPECT_EQ(FailureText(Element(d.get(), u"x")->SetAttributeNode(fresh.get(), nullptr)), "Inuse attribute error");
  DOMCheck(r->RemoveAttributeNode(fresh.get(), nullptr), "RemoveAttributeNode");
  EXPECT_EQ(AttrList(r.get()), "xmlns:p=urn:p p:b=2");

  // The map edits too.
  auto map = Attrs(r.get());
  ComPtr<IDOMNode> gone;
  DOMCheck(map->RemoveNamedItem(u"p:b", gone.put()), "RemoveNamedItem");
  EXPECT_EQ(Value(gone.get()), u"2");
  ComPtr<IDOMNode> none;
  EXPECT_EQ(FailureText(map->RemoveNamedItem(u"p:b", none.put())), "Not found error");
  EXPECT_EQ(FailureText(map->SetNamedItem(nullptr, nullptr)), "Not found error");
  DOMCheck(map->SetNamedItem(gone.get(), nullptr), "SetNamedItem");
  EXPECT_EQ(AttrList(r.get()), "xmlns:p=urn:p p:b=2");
}

TEST(LibNodes, NamespacesOfParsedNodes) {
  auto d = Parse(u"<r xmlns=\"urn:d\" xmlns:p=\"urn:p\"><p:a p:x=\"1\" y=\"2\"/><b xmlns=\"\"/><xml:c/></r>");
  auto r = Root(d.get());
  WideString uri;
  DOMCheck(r->GetNamespaceURI(&uri), "GetNamespaceURI");
  EXPECT_EQ(uri, u"urn:d");
  auto a = Child(r.get(), 0);
  DOMCheck(a->GetNamespaceURI(&uri), "GetNamespaceURI");
  EXPECT_EQ(uri, u"urn:p");
  ComPtr<IDOMNode> y;
  DOMCheck(Attrs(a.get())->GetNamedItem(u"y", y.put()), "GetNamedItem");
  DOMCheck(y->GetNamespaceURI(&uri), "GetNamespaceURI");
  EXPECT_EQ(uri, u"") << "unprefixed attributes have no namespace";
  ComPtr<IDOMNode> xmlns;
  DOMCheck(Attrs(r.get())->GetNamedItemNS(u"http://www.w3.org/2000/xmlns/", u"p", xmlns.put()), "GetNamedItemNS");
  ASSERT_TRUE(xmlns);
  EXPECT_EQ(Value(xmlns.get()), u"urn:p");
  DOMCheck(Child(r.get(), 1)->GetNamespaceURI(&uri), "GetNamespaceURI");
  EXPECT_EQ(uri, u"") << "xmlns=\"\" undeclares the default namespace";
  DOMCheck(Child(r.get(), 2)->GetNamespaceURI(&uri), "GetNamespaceURI");
  EXPECT_EQ(uri, u"http://www.w3.org/XML/1998/namespace");
  WideString local;
  DOMCheck(a->GetLocalName(&local), "GetLocalName");
  EXPECT_EQ(local, u"a");

  // Namespace errors in the input are parse errors.
  auto bad = NewDoc();
  EXPECT_FALSE(LoadInto(bad.get(), u"<r>\n<q:x/></r>"));
  EXPECT_EQ(ErrorOf(bad.get()).line, 2);
  EXPECT_NE(ErrorOf(bad.get()).reason.find("\"q\""), std::string::npos);
  EXPECT_FALSE(LoadInto(bad.get(), u"<r xmlns:a=\"urn:x\" xmlns:b=\"urn:x\" a:k=\"1\" b:k=\"2\"/>"));
  EXPECT_FALSE(LoadInto(bad.get(), u"<r xmlns:a=\"\"/>"));
}

TEST(LibNodes, DocumentCreatesEveryKindOfNode) {
  auto d = NewDoc();
  EXPECT_FALSE(Root(d.get()));
  auto root = Element(d.get(), u"root");
  DOMCheck(d->AppendChild(root.get(), nullptr), "AppendChild");
  ComPtr<IDOMNode> n;
  DOMCheck(d->CreateTextNode(u"t<", n.put()), "CreateTextNode");
  DOMCheck(root->AppendChild(n.get(), nullptr), "AppendChild");
  DOMCheck(d->CreateComment(u"c", n.put()), "CreateComment");
  DOMCheck(root->AppendChild(n.get(), nullptr), "AppendChild");
  DOMCheck(d->CreateCDATASection(u"x]]>y", n.put()), "CreateCDATASection");
  DOMCheck(root->AppendChild(n.get(), nullptr), "AppendChild");
  DOMCheck(d->CreateProcessingInstruction(u"pi", u"d", n.put()), "CreateProcessingInstruction");
  DOMCheck(root->AppendChild(n.get(), nullptr), "AppendChild");
  ComPtr<IDOMElement> nsEl;
  DOMCheck(d->CreateElementNS(u"urn:x", u"x:e", nsEl.put()), "CreateElementNS");
  DOMCheck(root->AppendChild(nsEl.get(), nullptr), "AppendChild");
  ComPtr<IDOMNode> frag;
  DOMCheck(d->CreateDocumentFragment(frag.put()), "CreateDocumentFragment");
  DOMCheck(frag->AppendChild(Element(d.get(), u"f1").get(), nullptr), "AppendChild");
  DOMCheck(frag->AppendChild(Element(d.get(), u"f2").get(), nullptr), "AppendChild");
  DOMCheck(root->InsertBefore(frag.get(), Child(root.get(), 0).get(), nullptr), "InsertBefore");
  EXPECT_EQ(XML8(root.get()),
            "<root><f1/><f2/>t&lt;<!--c--><![CDATA[x]]]]><![CDATA[>y]]><?pi d?><x:e xmlns:x=\"urn:x\"/></root>");
  EXPECT_EQ(ChildCount(frag.get()), 0);

  // Reloading the saved text gives the same data back.
  auto again = NewDoc();
  ASSERT_TRUE(LoadInto(again.get(), DocText(d.get()))) << ErrorOf(again.get()).reason;
  WideString text;
  DOMCheck(Ext(Root(again.get()).get())->GetText(&text), "GetText");
  EXPECT_EQ(text, u"t<x]]>y");

  ComPtr<IDOMNodeList> found;
  DOMCheck(d->GetElementsByTagName(u"f2", found.put()), "GetElementsByTagName");
  EXPECT_EQ(Length(found.get()), 1);
  DOMCheck(d->GetElementsByTagNameNS(u"urn:x", u"e", found.put()), "GetElementsByTagNameNS");
  EXPECT_EQ(Length(found.get()), 1);
  EXPECT_EQ(Name(Item(found.get(), 0).get()), u"x:e");
}

TEST(LibNodes, ReplaceCloneImportAndNormalize) {
  auto d = Parse(u"<r><a k=\"1\"><b>x</b></a><c/></r>");
  auto r = Root(d.get());
  ComPtr<IDOMNode> shallow, deep;
  DOMCheck(Child(r.get(), 0)->CloneNode(0, shallow.put()), "CloneNode");
  DOMCheck(Child(r.get(), 0)->CloneNode(-1, deep.put()), "CloneNode");
  EXPECT_EQ(XML8(shallow.get()), "<a k=\"1\"/>");
  EXPECT_EQ(XML8(deep.get()), "<a k=\"1\"><b>x</b></a>");
  ComPtr<IDOMNode> parent;
  DOMCheck(deep->GetParentNode(parent.put()), "GetParentNode");
  EXPECT_FALSE(parent) << "a clone is unattached";

  ComPtr<IDOMNode> old;
  DOMCheck(r->ReplaceChild(deep.get(), Child(r.get(), 1).get(), old.put()), "ReplaceChild");
  EXPECT_EQ(Name(old.get()), u"c");
  EXPECT_EQ(XML8(r.get()), "<r><a k=\"1\"><b>x</b></a><a k=\"1\"><b>x</b></a></r>");

  auto other = NewDoc();
  ComPtr<IDOMNode> imported;
  DOMCheck(other->ImportNode(r.get(), -1, imported.put()), "ImportNode");
  DOMCheck(other->AppendChild(imported.get(), nullptr), "AppendChild");
  EXPECT_EQ(XML8(Root(other.get()).get()), XML8(r.get()));

  // Normalize merges adjacent text and drops empty text.
  auto b = Child(Child(r.get(), 0).get(), 0);
  ComPtr<IDOMNode> t;
  DOMCheck(d->CreateTextNode(u"y", t.put()), "CreateTextNode");
  DOMCheck(b->AppendChild(t.get(), nullptr), "AppendChild");
  DOMCheck(d->CreateTextNode(u"", t.put()), "CreateTextNode");
  DOMCheck(b->AppendChild(t.get(), nullptr), "AppendChild");
  EXPECT_EQ(ChildCount(b.get()), 3);
  DOMCheck(r->Normalize(), "Normalize");
  EXPECT_EQ(ChildCount(b.get()), 1);
  EXPECT_EQ(Value(Child(b.get(), 0).get()), u"xy");

  // Deep clone of the whole document is a separate document.
  ComPtr<IDOMNode> copy;
  DOMCheck(d->CloneNode(-1, copy.put()), "CloneNode");
  auto copyDoc = copy.try_query<IDOMDocument>();
  ASSERT_TRUE(copyDoc);
  DOMCheck(Root(copyDoc.get())->SetAttribute(u"changed", u"1"), "SetAttribute");
  WordBool has = -1;
  DOMCheck(r->HasAttribute(u"changed", &has), "HasAttribute");
  EXPECT_FALSE(has);
}

// Clones list their attributes in document order, as the load does, from
// the store as from a tree: an element alone or deep, and a whole document.
TEST(LibNodes, ClonesKeepTheAttributesInDocumentOrder) {
  const std::string body = "<r z=\"1\" a=\"2\" m=\"3\"><e y=\"1\" b=\"2\"/></r>";
  for (const char16_t* prolog : {u"", u"<!DOCTYPE r>"}) {
    auto d = Parse(prolog + rtl::Utf8Decode(body));
    ComPtr<IDOMNode> shallow, deep, copy;
    DOMCheck(Root(d.get())->CloneNode(0, shallow.put()), "CloneNode");
    DOMCheck(Root(d.get())->CloneNode(-1, deep.put()), "CloneNode");
    DOMCheck(d->CloneNode(-1, copy.put()), "CloneNode");
    EXPECT_EQ(AttrList(shallow.get()), "z=1 a=2 m=3");
    EXPECT_EQ(XML8(deep.get()), body);
    EXPECT_EQ(AttrList(Child(deep.get(), 0).get()), "y=1 b=2");
    ComPtr<IDOMNode> copyRoot(Root(copy.try_query<IDOMDocument>().get()).get());
    EXPECT_EQ(XML8(copyRoot.get()), body);
    EXPECT_EQ(AttrList(Child(copyRoot.get(), 0).get()), "y=1 b=2");
    // Imports into another document, on either path, too.
    auto other = Parse(u"<o/>");
    ComPtr<IDOMNode> flat, whole;
    DOMCheck(other->ImportNode(Root(d.get()).get(), 0, flat.put()), "ImportNode");
    DOMCheck(other->ImportNode(Root(d.get()).get(), -1, whole.put()), "ImportNode");
    EXPECT_EQ(AttrList(flat.get()), "z=1 a=2 m=3");
    EXPECT_EQ(XML8(whole.get()), body);
  }
}

TEST(LibNodes, ACopyOfAFirstChildPutLastHasItsPreviousSibling) {
  // Xerces' copies of character data kept the first child's mark: put last,
  // the copy had no previous sibling and a list read backwards stopped.
  for (const char16_t* first : {u"t", u"<!--c-->", u"<![CDATA[d]]>", u"<?p q?>"}) {
    for (const char16_t* prolog : {u"", u"<!DOCTYPE r>"}) {
      SCOPED_TRACE(rtl::Utf8Encode(std::u16string(prolog) + first));
      auto d = Parse(std::u16string(prolog) + u"<r>" + first + u"<e/></r>");
      auto r = Root(d.get());
      for (const int16_t deep : {0, -1}) {
        ComPtr<IDOMNode> copy, added, prev;
        DOMCheck(Child(r.get(), 0)->CloneNode(deep, copy.put()), "CloneNode");
        DOMCheck(r->AppendChild(copy.get(), added.put()), "AppendChild");
        DOMCheck(added->GetPreviousSibling(prev.put()), "GetPreviousSibling");
        EXPECT_TRUE(prev.get() != nullptr);
      }
      auto list = Children(r.get());
      EXPECT_EQ(Length(list.get()), 4);
      for (int32_t i = 3; i >= 0; --i) EXPECT_TRUE(Item(list.get(), i).get() != nullptr) << i;
    }
  }
}

TEST(LibNodes, TextOfNodesAndSettingIt) {
  auto d = Parse(u"<r>a<!--c--><b>b<![CDATA[c]]></b><?p q?>d</r>");
  auto r = Root(d.get());
  WideString text;
  DOMCheck(Ext(r.get())->GetText(&text), "GetText");
  EXPECT_EQ(text, u"abcd") << "comments and processing instructions are not text";
  ComPtr<IDOMNode> b = Child(r.get(), 2);
  ComPtr<IDOMNode> bText = Child(b.get(), 0);
  DOMCheck(Ext(b.get())->SetText(u"new"), "SetText");
  EXPECT_EQ(XML8(r.get()), "<r>a<!--c--><b>new</b><?p q?>d</r>");
  EXPECT_EQ(Value(bText.get()), u"b") << "replaced children stay valid";
  DOMCheck(Ext(Child(r.get(), 1).get())->SetText(u"cc"), "SetText");
  EXPECT_EQ(Value(Child(r.get(), 1).get()), u"cc");
  DOMCheck(Child(r.get(), 0)->SetNodeValue(u"A"), "SetNodeValue");
  EXPECT_EQ(XML8(r.get()), "<r>A<!--cc--><b>new</b><?p q?>d</r>");
  WordBool has = 0;
  DOMCheck(r->HasChildNodes(&has), "HasChildNodes");
  EXPECT_TRUE(has);
  DOMCheck(r->HasAttributes(&has), "HasAttributes");
  EXPECT_FALSE(has);
  ComPtr<IDOMNamedNodeMap> none;
  DOMCheck(Child(r.get(), 0)->GetAttributes(none.put()), "GetAttributes");
  EXPECT_FALSE(none) << "only elements have attributes";
}

TEST(LibNodes, SiblingNavigation) {
  auto d = Parse(u"<r><a/><b/><c/></r>");
  auto r = Root(d.get());
  ComPtr<IDOMNode> first, second, last, beforeLast, none;
  DOMCheck(r->GetFirstChild(first.put()), "GetFirstChild");
  EXPECT_EQ(Name(first.get()), u"a");
  DOMCheck(first->GetNextSibling(second.put()), "GetNextSibling");
  EXPECT_EQ(Name(second.get()), u"b");
  DOMCheck(r->GetLastChild(last.put()), "GetLastChild");
  EXPECT_EQ(Name(last.get()), u"c");
  DOMCheck(last->GetPreviousSibling(beforeLast.put()), "GetPreviousSibling");
  EXPECT_EQ(Name(beforeLast.get()), u"b");
  DOMCheck(r->GetNextSibling(none.put()), "GetNextSibling");
  EXPECT_FALSE(none);
  ComPtr<IDOMDocument> noOwner;
  DOMCheck(d->GetOwnerDocument(noOwner.put()), "GetOwnerDocument");
  EXPECT_FALSE(noOwner) << "a document has no owner";
}

TEST(LibNodes, AttributesCloneAndImportWithTheirValueOnce) {
  auto d = Parse(u"<r a=\"v\"/>");
  ComPtr<IDOMAttr> a;
  DOMCheck(Root(d.get())->GetAttributeNode(u"a", a.put()), "GetAttributeNode");
  ComPtr<IDOMNode> copy;
  DOMCheck(a->CloneNode(-1, copy.put()), "CloneNode");
  EXPECT_EQ(Value(copy.get()), u"v");
  EXPECT_EQ(ChildCount(copy.get()), 1);
  auto other = NewDoc();
  DOMCheck(other->ImportNode(a.get(), -1, copy.put()), "ImportNode");
  EXPECT_EQ(Value(copy.get()), u"v");
  EXPECT_EQ(ChildCount(copy.get()), 1);
}
