// Saving: text forms, files and streams in the declared encoding, the XML
// declaration, and characters the target encoding cannot hold.
#include "LibTest.h"

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
}
