// Saving: text forms, files and streams in the declared encoding, the XML
// declaration, and characters the target encoding cannot hold.
#include "LibTest.h"

#include <sys/stat.h>

#include <functional>

using namespace libtest;

namespace {

ComPtr<IDOMXMLDeclaration> Decl(IDOMDocument* d) {
  return ComPtr<IDOMDocument>(d).try_query<IDOMXMLDeclaration>();
}

std::string SaveToString(IDOMDocument* d) {
  rtl::TStringStream s;
  DOMCheck(Persist(d)->SaveToStream(&s), "SaveToStream");
  return s.DataString();
}

}  // namespace

TEST(LibSave, DeclarationValuesRoundTrip) {
  auto d = Parse(u"<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><r/>");
  WideString v;
  DOMCheck(Decl(d.get())->GetVersion(&v), "GetVersion");
  EXPECT_EQ(v, u"1.0");
  DOMCheck(Decl(d.get())->GetEncoding(&v), "GetEncoding");
  EXPECT_EQ(v, u"UTF-8");
  DOMCheck(Decl(d.get())->GetStandalone(&v), "GetStandalone");
  EXPECT_EQ(v, u"yes");
  EXPECT_EQ(Narrow(DocText(d.get())), "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<r/>\n");

  // What is set is what is written.
  DOMCheck(Decl(d.get())->SetStandalone(u""), "SetStandalone");
  DOMCheck(Decl(d.get())->SetEncoding(u"ISO-8859-1"), "SetEncoding");
  EXPECT_EQ(SaveToString(d.get()), "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<r/>\n");

  // Without a declaration nothing is invented; the values are empty.
  auto plain = Parse(u"<r/>");
  DOMCheck(Decl(plain.get())->GetVersion(&v), "GetVersion");
  EXPECT_EQ(v, u"");
  EXPECT_EQ(SaveToString(plain.get()), "<r/>\n");
}

TEST(LibSave, UnrepresentableCharactersBecomeCharacterReferences) {
  const std::u16string xml =
      u"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
      u"<r a=\"\u00E9\u20AC\">\u00E9\u4E2D\U0001F600<![CDATA[\u20AC]]><!--\u00E9--></r>";
  auto d = Parse(xml);
  std::string bytes = SaveToString(d.get());
  EXPECT_EQ(bytes,
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
            "<r a=\"\xE9&#x20AC;\">\xE9&#x4E2D;&#x1F600;<![CDATA[]]>&#x20AC;<![CDATA[]]><!--\xE9--></r>\n");
  // Reading the bytes back gives the same characters.
  rtl::TStringStream in(bytes);
  auto back = NewDoc();
  WordBool ok = 0;
  DOMCheck(Persist(back.get())->LoadFromStream(&in, &ok), "LoadFromStream");
  ASSERT_TRUE(ok) << ErrorOf(back.get()).reason;
  ComPtr<IDOMNodeExtension> ext = ComPtr<IDOMElement>(Root(back.get())).try_query<IDOMNodeExtension>();
  WideString text;
  DOMCheck(ext->GetText(&text), "GetText");
  EXPECT_EQ(text, u"\u00E9\u4E2D\U0001F600\u20AC");
  DOMCheck(Root(back.get())->GetAttribute(u"a", &text), "GetAttribute");
  EXPECT_EQ(text, u"\u00E9\u20AC");
}

TEST(LibSave, EncodingsOfStreamsAndFiles) {
  // UTF-8 without a declared encoding.
  auto d = Parse(u"<r>\u00E9</r>");
  EXPECT_EQ(SaveToString(d.get()), "<r>\xC3\xA9</r>\n");
  // UTF-16 gets a byte-order mark and reads back.
  DOMCheck(Decl(d.get())->SetVersion(u"1.0"), "SetVersion");
  DOMCheck(Decl(d.get())->SetEncoding(u"UTF-16"), "SetEncoding");
  std::string dir = TempDir();
  WideString path = rtl::Utf8Decode(dir + "/out.xml");
  DOMCheck(Persist(d.get())->SaveToDestination(rtl::OleVariant(path)), "SaveToDestination");
  std::string bytes = ReadFile(dir + "/out.xml");
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\xFF\xFE<\0", 4));
  auto back = NewDoc();
  ASSERT_TRUE(LoadFile(back.get(), dir + "/out.xml")) << ErrorOf(back.get()).reason;
  EXPECT_EQ(Value(Child(Root(back.get()).get(), 0).get()), u"\u00E9");

  // An encoding nobody knows fails before the file is touched.
  DOMCheck(Decl(d.get())->SetEncoding(u"X-NO-SUCH-ENCODING"), "SetEncoding");
  EXPECT_NE(FailureText(Persist(d.get())->SaveToDestination(rtl::OleVariant(path))).find("X-NO-SUCH-ENCODING"),
            std::string::npos);
  EXPECT_EQ(ReadFile(dir + "/out.xml"), bytes);
}

TEST(LibSave, FileThatCannotBeCreatedReportsItsName) {
  auto d = Parse(u"<r/>");
  WideString path = u"/nonexistent-dir/x.xml";
  EXPECT_EQ(FailureText(Persist(d.get())->SaveToDestination(rtl::OleVariant(path))),
            "Error creating file /nonexistent-dir/x.xml");
  // Only regular files are written: a pipe nobody reads would block.
  std::string dir = TempDir();
  ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0600), 0);
  EXPECT_EQ(FailureText(Persist(d.get())->SaveToDestination(rtl::OleVariant(rtl::Utf8Decode(dir + "/pipe")))),
            "\"" + dir + "/pipe\" is not a regular file");
  // A refused document leaves the file as it was.
  WriteFile(dir + "/old.xml", "<old/>");
  ComPtr<IDOMNode> comment;
  DOMCheck(d->CreateComment(u"a--b", comment.put()), "CreateComment");
  DOMCheck(Root(d.get())->AppendChild(comment.get(), nullptr), "AppendChild");
  EXPECT_NE(FailureText(Persist(d.get())->SaveToDestination(rtl::OleVariant(rtl::Utf8Decode(dir + "/old.xml")))), "");
  EXPECT_EQ(ReadFile(dir + "/old.xml"), "<old/>");
}

TEST(LibSave, EscapingKeepsValuesIntact) {
  auto d = NewDoc();
  ComPtr<IDOMElement> r;
  DOMCheck(d->CreateElement(u"r", r.put()), "CreateElement");
  DOMCheck(d->AppendChild(r.get(), nullptr), "AppendChild");
  const std::u16string attr = u"a<b>&\"c'\td\ne\rf";
  const std::u16string text = u"x<y>&z\r\nw]]>";
  DOMCheck(r->SetAttribute(u"v", attr), "SetAttribute");
  ComPtr<IDOMNode> t;
  DOMCheck(d->CreateTextNode(text, t.put()), "CreateTextNode");
  DOMCheck(r->AppendChild(t.get(), nullptr), "AppendChild");
  auto back = NewDoc();
  ASSERT_TRUE(LoadInto(back.get(), DocText(d.get())));
  WideString v;
  DOMCheck(Root(back.get())->GetAttribute(u"v", &v), "GetAttribute");
  EXPECT_EQ(v, attr);
  EXPECT_EQ(Value(Child(Root(back.get()).get(), 0).get()), text);
}

TEST(LibSave, NamespaceDeclarationsAreAddedWhereMissing) {
  auto d = Parse(u"<r xmlns=\"urn:d\"/>");
  auto r = Root(d.get());
  ComPtr<IDOMElement> same, none, other;
  DOMCheck(d->CreateElementNS(u"urn:d", u"same", same.put()), "CreateElementNS");
  DOMCheck(d->CreateElementNS(u"", u"none", none.put()), "CreateElementNS");
  DOMCheck(d->CreateElementNS(u"urn:o", u"o:other", other.put()), "CreateElementNS");
  DOMCheck(other->SetAttributeNS(u"urn:a", u"a:k", u"1"), "SetAttributeNS");
  DOMCheck(r->AppendChild(same.get(), nullptr), "AppendChild");
  DOMCheck(r->AppendChild(none.get(), nullptr), "AppendChild");
  DOMCheck(r->AppendChild(other.get(), nullptr), "AppendChild");
  EXPECT_EQ(XML8(r.get()),
            "<r xmlns=\"urn:d\"><same/><none xmlns=\"\"/><o:other a:k=\"1\" xmlns:o=\"urn:o\" xmlns:a=\"urn:a\"/></r>");
  auto back = NewDoc();
  ASSERT_TRUE(LoadInto(back.get(), DocText(d.get()))) << ErrorOf(back.get()).reason;
  WideString uri;
  DOMCheck(Child(Root(back.get()).get(), 2)->GetNamespaceURI(&uri), "GetNamespaceURI");
  EXPECT_EQ(uri, u"urn:o");
}

TEST(LibSave, DocumentTypeAndTopLevelNodesAreWritten) {
  auto d = Parse(u"<!DOCTYPE r PUBLIC \"-//X//Y\" \"r.dtd\" [<!ENTITY e \"v\">]><!--top--><r>&e;</r><?after x?>");
  EXPECT_EQ(Narrow(DocText(d.get())),
            "<!DOCTYPE r PUBLIC \"-//X//Y\" \"r.dtd\" [<!ENTITY e \"v\">]>\n<!--top-->\n<r>v</r>\n<?after x?>\n");

  // Declared values that hold quotes, percent signs, ampersands and the like
  // after parsing, and parameter entities, are written so that they read
  // back as the same declarations: the text saved again is the same.
  auto subset = Parse(
      u"<!DOCTYPE r [<!ENTITY % p0 '<!ENTITY g \"from p0\">'> %p0; <!ENTITY % p1 \"&#37;p0;\">"
      u"<!ENTITY q \"a&#34;b &#38;#38; &amp; &#37; &#13;\"><!ATTLIST r d CDATA \"1&#60;2 &#34; &amp; &#9;\">]>"
      u"<r>&q;&g;</r>");
  const std::u16string saved = DocText(subset.get());
  auto again = Parse(saved);
  EXPECT_EQ(DocText(again.get()), saved);
  EXPECT_NE(saved.find(u"<!ENTITY % p1 \"&#37;p0;\">"), std::u16string::npos) << Narrow(saved);
  EXPECT_NE(saved.find(u"<r d=\"1&lt;2 &quot; &amp; &#x9;\">a\"b &amp; &amp; % &#xD;from p0</r>"), std::u16string::npos)
      << Narrow(saved);
}

namespace {

ComPtr<IDOMNodeExtension> Ext(IDOMNode* n) { return ComPtr<IDOMNode>(n).try_query<IDOMNodeExtension>(); }

ComPtr<IDOMNode> Append(IDOMNode* parent, const ComPtr<IDOMNode>& child) {
  DOMCheck(parent->AppendChild(child.get(), nullptr), "AppendChild");
  return child;
}

ComPtr<IDOMDocument> WithDecl(std::u16string_view xml, const char16_t* version, const char16_t* encoding) {
  auto d = Parse(xml);
  DOMCheck(Decl(d.get())->SetVersion(version), "SetVersion");
  DOMCheck(Decl(d.get())->SetEncoding(encoding), "SetEncoding");
  return d;
}

struct Refusal {
  const char16_t* version;
  const char16_t* encoding;
  std::function<void(IDOMDocument*)> edit;
  const char* message;
};

}  // namespace

// What has no text form that loads back the same is refused with a message
// naming the node and the reason, and nothing is written: edited text must
// never turn into markup, and a save must never report success for text
// that does not load.
TEST(LibSave, WhatHasNoTextFormIsRefusedBeforeAnythingIsWritten) {
  auto comment = [](const char16_t* text) {
    return [text](IDOMDocument* d) {
      ComPtr<IDOMNode> c;
      DOMCheck(d->CreateComment(text, c.put()), "CreateComment");
      Append(Root(d).get(), c);
    };
  };
  auto pi = [](const char16_t* target, const char16_t* data) {
    return [target, data](IDOMDocument* d) {
      ComPtr<IDOMNode> c;
      DOMCheck(d->CreateProcessingInstruction(target, data, c.put()), "CreateProcessingInstruction");
      Append(Root(d).get(), c);
    };
  };
  auto text = [](const char16_t* value) {
    return [value](IDOMDocument* d) { DOMCheck(Ext(Root(d).get())->SetText(value), "SetText"); };
  };
  auto cdata = [](const char16_t* value) {
    return [value](IDOMDocument* d) {
      ComPtr<IDOMNode> c;
      DOMCheck(d->CreateCDATASection(value, c.put()), "CreateCDATASection");
      Append(Root(d).get(), c);
    };
  };
  auto attr = [](const char16_t* ns, const char16_t* name, const char16_t* value) {
    return [=](IDOMDocument* d) { DOMCheck(Root(d)->SetAttributeNS(ns, name, value), "SetAttributeNS"); };
  };
  auto child = [](const char16_t* name) {
    return [name](IDOMDocument* d) {
      ComPtr<IDOMElement> e;
      DOMCheck(d->CreateElement(name, e.put()), "CreateElement");
      Append(Root(d).get(), e);
    };
  };
  const Refusal cases[] = {
      {u"1.0", u"", comment(u"--><injected/><!--"), "Cannot save the comment in element \"r\": a comment cannot contain \"--\" or end with \"-\""},
      {u"1.0", u"", comment(u"ends-"), "Cannot save the comment in element \"r\": a comment cannot contain \"--\" or end with \"-\""},
      {u"1.0", u"", pi(u"pi", u"?><injected/><?x"), "Cannot save processing instruction \"pi\": the data of a processing instruction cannot contain \"?>\""},
      {u"1.0", u"", pi(u"XmL", u"version=\"1.0\""), "Cannot save processing instruction \"XmL\": the target \"XmL\" is reserved for the XML declaration"},
      {u"1.0", u"", pi(u"p:i", u"d"), "Cannot save processing instruction \"p:i\": \"p:i\" is not a name in XML 1.0"},
      {u"1.0", u"", text(u"a\u0001b"), "Cannot save the text in element \"r\": it contains the character U+0001, which XML 1.0 does not allow"},
      {u"1.1", u"", text(u"a\uFFFEb"), "Cannot save the text in element \"r\": it contains the character U+FFFE, which XML 1.1 does not allow"},
      {u"1.0", u"", attr(u"", u"a", u"\xD800"), "Cannot save attribute \"a\" of element \"r\": it contains the character U+D800, which XML 1.0 does not allow"},
      {u"1.0", u"", cdata(u"\u001F"), "Cannot save the CDATA section in element \"r\": it contains the character U+001F, which XML 1.0 does not allow"},
      {u"1.1", u"", comment(u"\u0001"), "Cannot save the comment in element \"r\": it contains the character U+0001, which XML 1.1 allows only as a character reference, and this node cannot hold one"},
      {u"1.0", u"US-ASCII", comment(u"\u00E9"), "Cannot save the comment in element \"r\": it contains the character U+00E9, which the encoding \"US-ASCII\" cannot hold"},
      {u"1.0", u"ISO-8859-1", child(u"\u20AC"), "Cannot save element \"\u20AC\": it contains the character U+20AC, which the encoding \"ISO-8859-1\" cannot hold"},
      {u"1.0", u"", [](IDOMDocument* d) {
         ComPtr<IDOMNode> ref;
         DOMCheck(d->CreateEntityReference(u"nowhere", ref.put()), "CreateEntityReference");
         Append(Root(d).get(), ref);
       }, "Cannot save the entity reference \"&nowhere;\": the entity \"nowhere\" is not declared"},
      {u"1.0", u"", child(u"q:d"), "Cannot save element \"q:d\": the prefix \"q\" is not bound to a namespace"},
      {u"1.0", u"", attr(u"http://www.w3.org/2000/xmlns/", u"xmlns:xml", u"urn:x"), "Cannot save attribute \"xmlns:xml\" of element \"r\": the namespace declaration \"xmlns:xml\" is not allowed"},
      {u"1.0", u"", attr(u"http://www.w3.org/2000/xmlns/", u"xmlns:p", u""), "Cannot save attribute \"xmlns:p\" of element \"r\": XML 1.0 cannot bind the prefix \"p\" to an empty namespace"},
      {u"1.0", u"", attr(u"http://www.w3.org/2000/xmlns/", u"xmlns", u"urn:z"), "Cannot save element \"r\": its namespace is \"\" but it declares \"urn:z\" as the default namespace"},
      {u"1.0", u"", [](IDOMDocument* d) {
         DOMCheck(Root(d)->SetAttribute(u"xmlns:p", u"urn:a"), "SetAttribute");
         DOMCheck(Root(d)->SetAttributeNS(u"http://www.w3.org/2000/xmlns/", u"xmlns:p", u"urn:b"), "SetAttributeNS");
       }, "Cannot save element \"r\": the attribute \"xmlns:p\" would be written twice"},
      {u"1.0", u"", attr(u"http://www.w3.org/2000/xmlns/", u"a", u""), "Cannot save attribute \"a\" of element \"r\": the prefix \"\" cannot name the namespace \"http://www.w3.org/2000/xmlns/\""},
      {u"1.0", u"", [](IDOMDocument* d) {
         ComPtr<IDOMNode> old;
         DOMCheck(d->RemoveChild(Root(d).get(), old.put()), "RemoveChild");
       }, "Cannot save the document: it has no document element"},
      {u"1.0", u"", [](IDOMDocument* d) {
         // The DOM takes white space there, which then can become text.
         ComPtr<IDOMNode> t;
         DOMCheck(d->CreateTextNode(u" ", t.put()), "CreateTextNode");
         Append(d, t);
         DOMCheck(t->SetNodeValue(u"x"), "SetNodeValue");
       }, "Cannot save the text outside the document element: XML holds no text outside the document element"},
  };
  for (const Refusal& c : cases) {
    auto d = WithDecl(u"<!--top--><r/>", c.version, c.encoding);
    c.edit(d.get());
    rtl::TStringStream stream("before");
    EXPECT_EQ(FailureText(Persist(d.get())->SaveToStream(&stream)), c.message);
    EXPECT_EQ(stream.DataString(), "before") << c.message;
    WideString text = u"untouched";
    HResult hr = Persist(d.get())->GetDocumentText(&text);
    if (*c.encoding) continue;  // UTF-16 text holds every character
    EXPECT_EQ(FailureText(hr), c.message);
    EXPECT_EQ(text, u"untouched");
  }
}

// Where a standard lossless form exists, it is written instead of refusing.
TEST(LibSave, LosslessRepairsReadBackTheSameValues) {
  struct Repair {
    const char16_t* version;
    const char16_t* source;
    std::function<void(IDOMDocument*)> edit;
    const char* written;  // the root element as saved
  };
  // Attributes added come after the element's own, in the order added.
  const Repair cases[] = {
      {u"1.0", u"<r/>", [](IDOMDocument* d) {
         ComPtr<IDOMNode> c;
         DOMCheck(d->CreateCDATASection(u"a]]>b\rc", c.put()), "CreateCDATASection");
         Append(Root(d).get(), c);
       }, "<r><![CDATA[a]]]]><![CDATA[>b]]>&#xD;<![CDATA[c]]></r>"},
      {u"1.1", u"<r/>", [](IDOMDocument* d) {
         DOMCheck(Ext(Root(d).get())->SetText(u"\u0001\u007F\u0085\u2028\r"), "SetText");
         DOMCheck(Root(d)->SetAttribute(u"a", u"\u0085\u2028\u0008"), "SetAttribute");
       }, "<r a=\"&#x85;&#x2028;&#x8;\">&#x1;&#x7F;&#x85;&#x2028;&#xD;</r>"},
      // An unprefixed attribute in a namespace takes a prefix of its own.
      {u"1.0", u"<r xmlns=\"urn:d\"/>", [](IDOMDocument* d) {
         DOMCheck(Root(d)->SetAttributeNS(u"urn:d", u"a", u"v"), "SetAttributeNS");
       }, "<r xmlns=\"urn:d\" NS1:a=\"v\" xmlns:NS1=\"urn:d\"/>"},
      // A prefix the element binds elsewhere is not used for another namespace.
      {u"1.0", u"<r xmlns:p=\"urn:p\"/>", [](IDOMDocument* d) {
         DOMCheck(Root(d)->SetAttributeNS(u"urn:q", u"p:a", u"v"), "SetAttributeNS");
         DOMCheck(Root(d)->SetAttributeNS(u"urn:p", u"b", u"w"), "SetAttributeNS");
       }, "<r xmlns:p=\"urn:p\" NS1:a=\"v\" p:b=\"w\" xmlns:NS1=\"urn:q\"/>"},
      // Nor one an inner element binds again to another namespace.
      {u"1.0", u"<r xmlns:p=\"urn:a\"><i xmlns:p=\"urn:b\"/></r>", [](IDOMDocument* d) {
         DOMCheck(Child(Root(d).get(), 0).try_query<IDOMElement>()->SetAttributeNS(u"urn:a", u"k", u"v"), "SetAttributeNS");
       }, "<r xmlns:p=\"urn:a\"><i xmlns:p=\"urn:b\" NS1:k=\"v\" xmlns:NS1=\"urn:a\"/></r>"},
  };
  for (const Repair& c : cases) {
    auto d = WithDecl(c.source, c.version, u"");
    c.edit(d.get());
    EXPECT_EQ(XML8(Root(d.get()).get()), c.written);
    // White-space-only text (a line end between two sections) is kept
    // only when the load preserves white space.
    auto back = NewDoc();
    DOMCheck(Options(back.get())->SetPreserveWhiteSpace(rtl::kWordTrue), "SetPreserveWhiteSpace");
    ASSERT_TRUE(LoadInto(back.get(), DocText(d.get()))) << ErrorOf(back.get()).reason;
    EXPECT_EQ(Narrow(DocText(back.get())), Narrow(DocText(d.get())));
  }
}

// A DOM user without declaration values (the document layer over such a
// DOM) writes the declaration as a processing instruction "xml" first in the
// document: it is written, and read back, as the declaration.
TEST(LibSave, ALeadingXmlProcessingInstructionIsTheDeclaration) {
  auto d = Parse(u"<r>\u00E9\u20AC</r>");
  ComPtr<IDOMNode> decl;
  DOMCheck(d->CreateProcessingInstruction(u"xml", u"version=\"1.0\" encoding=\"ISO-8859-1\"", decl.put()),
           "CreateProcessingInstruction");
  DOMCheck(d->InsertBefore(decl.get(), Root(d.get()).get(), nullptr), "InsertBefore");
  EXPECT_EQ(SaveToString(d.get()), "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<r>\xE9&#x20AC;</r>\n");
  // Declaration text it cannot stand for is refused.
  DOMCheck(decl->SetNodeValue(u"version=\"2.0\""), "SetNodeValue");
  EXPECT_EQ(FailureText(Persist(d.get())->GetDocumentText(nullptr)),
            "Cannot save processing instruction \"xml\": the target \"xml\" is reserved for the XML declaration");
}
