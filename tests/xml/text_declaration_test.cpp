// Declaration values, narrow document text and schema location, each on the
// real DOM (which has IDOMXMLDeclaration) and on the test vendor's DOM (which
// has not, so the layer falls back to the "xml" processing instruction).
#include <gtest/gtest.h>

#include <string>

#include "rtl/Streams.h"
#include "tests/xml/vendor/DocTestSupport.h"
#include "tests/xml/vendor/TestVendor.h"
#include "xml/XMLConst.h"
#include "xml/XMLDoc.h"

namespace {

using namespace doctest_support;

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class DocTextTest : public ::testing::TestWithParam<const char*> {
 protected:
  ComPtr<IXMLDocumentIntf> NewDoc() { return NewDocument(GetParam()); }
  bool HasDeclInterface() const { return std::string(GetParam()) == RealVendorDesc(); }

  // The DOM's own bytes for the document.
  static std::string StreamBytes(const ComPtr<IXMLDocumentIntf>& doc) {
    rtl::TStringStream stream;
    doc->SaveToStream(&stream);
    return stream.DataString();
  }
  static std::string Narrow(const ComPtr<IXMLDocumentIntf>& doc) {
    AnsiString text = "not touched";
    doc->SaveToXML(text);
    return text;
  }
};

TEST_P(DocTextTest, NarrowTextOfAnActiveEmptyDocumentIsEmpty) {
  auto doc = NewDoc();
  doc->SetActive(true);
  ASSERT_TRUE(doc->IsEmptyDocument());
  EXPECT_EQ(Narrow(doc), "");
}

TEST_P(DocTextTest, NarrowTextOfAUtf8DocumentIsExactlyTheDOMsBytes) {
  auto doc = NewDoc();
  doc->LoadFromXML(AnsiString("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                              "<r a=\"\xC3\xA9\"><c>\xE2\x82\xAC</c></r>"));
  std::string bytes = StreamBytes(doc);
  ASSERT_EQ(bytes.rfind("<?xml", 0), 0u) << "the DOM was expected to write UTF-8 without BOM";
  EXPECT_EQ(Narrow(doc), bytes);
}

// The DOM writes a UTF-16 document as UTF-16; the narrow form must be UTF-8
// with exactly one declaration, naming UTF-8, and must load again.
TEST_P(DocTextTest, NarrowTextOfAUtf16DocumentIsUtf8WithOneFreshDeclaration) {
  auto doc = NewDoc();
  doc->LoadFromXML(W("<?xml version=\"1.0\" encoding=\"UTF-16\"?><r a=\"\xCE\xA9\">t\xE2\x82\xAC</r>"));
  std::string bytes = StreamBytes(doc);
  {
    rtl::TStringStream probe(bytes);
    TDetectedEncoding kind = DetectStreamEncoding(&probe);
    ASSERT_TRUE(kind == deUTF16LE || kind == deUTF16BE) << "the DOM did not write UTF-16";
  }
  std::string text = Narrow(doc);
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\"", 0), 0u) << text;
  EXPECT_EQ(CountOf(text, "<?xml"), 1u) << text;
  std::string decl = text.substr(0, text.find("?>") + 2);
  EXPECT_NE(decl.find("encoding=\"UTF-8\""), std::string::npos) << decl;
  EXPECT_EQ(decl.find("UTF-16"), std::string::npos) << decl;
  // The DOM's own declaration is replaced; what followed it stays as it was,
  // with no line feed added.
  WideString domText;
  doc->SaveToXML(domText);
  ASSERT_EQ(domText.rfind(u"<?xml", 0), 0u);
  EXPECT_EQ(text.substr(decl.size()), U8(domText.substr(domText.find(u'>') + 1)));
  EXPECT_NE(text.find("<r a=\"\xCE\xA9\">t\xE2\x82\xAC</r>"), std::string::npos) << text;
  if (!HasDeclInterface()) {
    EXPECT_EQ(decl, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
  }

  auto again = NewDoc();
  again->LoadFromXML(AnsiString(text));
  EXPECT_EQ(DumpDocument(again), DumpDocument(doc));
}

// A standalone document re-encoded to UTF-8 must still be well-formed XML:
// in a declaration, encoding comes before standalone.
TEST_P(DocTextTest, NarrowTextOfAStandaloneUtf16DocumentLoadsAgain) {
  auto doc = NewDoc();
  doc->LoadFromXML(W("<?xml version=\"1.0\" encoding=\"UTF-16\" standalone=\"yes\"?><r>x</r>"));
  std::string text = Narrow(doc);
  EXPECT_EQ(CountOf(text, "<?xml"), 1u) << text;
  size_t enc = text.find("encoding=");
  size_t sa = text.find("standalone=");
  if (sa != std::string::npos && sa < text.find("?>")) {
    EXPECT_LT(enc, sa) << text;
  }
  auto again = NewDoc();
  EXPECT_NO_THROW(again->LoadFromXML(AnsiString(text))) << text;
  EXPECT_TRUE(again->GetActive());
}

TEST_P(DocTextTest, DeclarationValuesNeedAnActiveDocument) {
  auto doc = NewDoc();
  auto expectInactive = [](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const EXMLDocError& e) {
      EXPECT_STREQ(e.what(), XMLConst::SNotActive);
    }
  };
  expectInactive([&] { doc->GetVersion(); });
  expectInactive([&] { doc->GetEncoding(); });
  expectInactive([&] { doc->SetStandalone(u"yes"); });
  expectInactive([&] { doc->SaveToFile(u"/tmp/never-written.xml"); });
  expectInactive([&] {
    WideString text;
    doc->SaveToXML(text);
  });
}

TEST_P(DocTextTest, SchemaLocationTakesTheLocationAfterTheNamespace) {
  auto doc = NewDoc();
  doc->LoadFromXML(W("<r xmlns='urn:a' xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' "
                     "xsi:schemaLocation='urn:a  loc.xsd'/>"));
  EXPECT_EQ(doc->GetSchemaLocation(), u"loc.xsd");

  doc->LoadFromXML(W("<r xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' "
                     "xsi:schemaLocation='urn:a a.xsd urn:b b.xsd'/>"));
  EXPECT_EQ(doc->GetSchemaLocation(), u"a.xsd urn:b b.xsd");
}

TEST_P(DocTextTest, SchemaLocationFallsBackToNoNamespaceSchemaLocation) {
  auto doc = NewDoc();
  doc->LoadFromXML(W("<r xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' "
                     "xsi:noNamespaceSchemaLocation='plain.xsd'/>"));
  EXPECT_EQ(doc->GetSchemaLocation(), u"plain.xsd");

  // Unprefixed attributes of the same name are not in the instance namespace.
  doc->LoadFromXML(W("<r schemaLocation='urn:a a.xsd' noNamespaceSchemaLocation='b.xsd'/>"));
  EXPECT_EQ(doc->GetSchemaLocation(), u"");

  doc->SetActive(false);
  doc->SetActive(true);
  EXPECT_EQ(doc->GetSchemaLocation(), u"");
}

TEST_P(DocTextTest, ADocumentTypesSystemIdentifierWinsOverTheSchemaAttributes) {
  TScratchDir dir;
  WriteFileBytes(dir.File("r.dtd"), "<!ELEMENT r EMPTY>\n");
  std::string file = dir.File("doc.xml");
  WriteFileBytes(file,
                 "<?xml version=\"1.0\"?>\n<!DOCTYPE r SYSTEM \"r.dtd\">\n"
                 "<r xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' "
                 "xsi:schemaLocation='urn:a a.xsd' xsi:noNamespaceSchemaLocation='b.xsd'/>");
  auto doc = NewDoc();
  doc->LoadFromFile(W(file));
  EXPECT_EQ(doc->GetSchemaLocation(), u"r.dtd");

  // A document type without a system identifier ends the search there only
  // for the document type; the element's attributes still count.
  WriteFileBytes(file,
                 "<!DOCTYPE r [<!ELEMENT r EMPTY>]>"
                 "<r xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' "
                 "xsi:noNamespaceSchemaLocation='b.xsd'/>");
  doc->LoadFromFile(W(file));
  EXPECT_EQ(doc->GetSchemaLocation(), u"b.xsd");
}

INSTANTIATE_TEST_SUITE_P(Vendors, DocTextTest,
                         ::testing::Values(RealVendorDesc(), testvendor::kTestVendorDesc),
                         [](const auto& info) {
                           return std::string(info.param) == RealVendorDesc() ? "RealDOM"
                                                                              : "PlainDOM";
                         });

// Without IDOMXMLDeclaration the declaration lives in an "xml" processing
// instruction that the layer reads and rewrites itself.
class PlainDeclarationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    doc = NewDocument(testvendor::kTestVendorDesc);
    doc->LoadFromXML(W("<r/>"));
    ASSERT_FALSE(doc->GetDOMDocument().try_query<IDOMXMLDeclaration>());
  }
  ComPtr<IXMLNode> First() { return doc->GetDocumentNode()->GetChildNodes()->Get(0); }
  int32_t DeclNodes() {
    auto children = doc->GetDocumentNode()->GetChildNodes();
    int32_t n = 0;
    for (int32_t i = 0; i < children->GetCount(); ++i) {
      auto c = children->Get(i);
      if (c->GetNodeType() == ntProcessingInstr && c->GetNodeName() == u"xml") ++n;
    }
    return n;
  }
  ComPtr<IXMLDocumentIntf> doc;
};

TEST_F(PlainDeclarationTest, WithoutDeclarationNodeValuesAreEmpty) {
  EXPECT_EQ(doc->GetVersion(), u"");
  EXPECT_EQ(doc->GetEncoding(), u"");
  EXPECT_EQ(doc->GetStandalone(), u"");
}

TEST_F(PlainDeclarationTest, SetVersionInsertsADeclarationAsFirstChild) {
  doc->SetVersion(u"1.0");
  auto first = First();
  EXPECT_EQ(first->GetNodeType(), ntProcessingInstr);
  EXPECT_EQ(first->GetNodeName(), u"xml");
  EXPECT_EQ(first->GetNodeValue(), OleVariant(u"version=\"1.0\""));
  EXPECT_EQ(doc->GetVersion(), u"1.0");
  EXPECT_EQ(DeclNodes(), 1);
  ASSERT_TRUE(doc->GetDocumentElement());
  EXPECT_EQ(doc->GetDocumentElement()->GetNodeName(), u"r");
}

TEST_F(PlainDeclarationTest, SettingAValueRebuildsTheDeclarationInFixedOrder) {
  doc->SetVersion(u"1.0");
  doc->SetStandalone(u"yes");
  EXPECT_EQ(First()->GetNodeValue(), OleVariant(u"version=\"1.0\" standalone=\"yes\""));
  doc->SetEncoding(u"UTF-8");
  EXPECT_EQ(First()->GetNodeValue(),
            OleVariant(u"version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\""));
  EXPECT_EQ(DeclNodes(), 1);
  EXPECT_EQ(doc->GetEncoding(), u"UTF-8");
  EXPECT_EQ(doc->GetStandalone(), u"yes");
  EXPECT_EQ(doc->GetVersion(), u"1.0");

  // Empty text removes the attribute.
  doc->SetStandalone(u"");
  EXPECT_EQ(First()->GetNodeValue(), OleVariant(u"version=\"1.0\" encoding=\"UTF-8\""));
  EXPECT_EQ(DeclNodes(), 1);
}

TEST_F(PlainDeclarationTest, AFirstValueOtherThanVersionGetsTheDefaultVersion) {
  doc->SetEncoding(u"ISO-8859-1");
  EXPECT_EQ(First()->GetNodeValue(), OleVariant(u"version=\"1.0\" encoding=\"ISO-8859-1\""));
  EXPECT_EQ(doc->GetVersion(), u"1.0");
}

TEST_F(PlainDeclarationTest, AnExistingDeclarationIsReadByAttributeName) {
  auto pi = doc->CreateNode(u"xml", ntProcessingInstr, u"version=\"1.1\" standalone=\"no\"");
  doc->GetDocumentNode()->GetChildNodes()->Insert(0, pi);
  EXPECT_EQ(doc->GetVersion(), u"1.1");
  EXPECT_EQ(doc->GetStandalone(), u"no");
  EXPECT_EQ(doc->GetEncoding(), u"");
  doc->SetEncoding(u"UTF-8");
  EXPECT_EQ(First()->GetNodeValue(),
            OleVariant(u"version=\"1.1\" encoding=\"UTF-8\" standalone=\"no\""));
}

// With IDOMXMLDeclaration the values go to the DOM and the tree stays as it
// is.
TEST(RealDeclarationTest, ValuesGoThroughTheDeclarationInterface) {
  auto doc = NewDocument(RealVendorDesc());
  doc->LoadFromXML(W("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><r/>"));
  ASSERT_TRUE(doc->GetDOMDocument().try_query<IDOMXMLDeclaration>());
  EXPECT_EQ(doc->GetVersion(), u"1.0");
  EXPECT_EQ(doc->GetStandalone(), u"yes");
  doc->SetEncoding(u"ISO-8859-1");
  doc->SetStandalone(u"no");
  EXPECT_EQ(doc->GetEncoding(), u"ISO-8859-1");
  EXPECT_EQ(doc->GetStandalone(), u"no");
  auto first = doc->GetDocumentNode()->GetChildNodes()->Get(0);
  EXPECT_EQ(first->GetNodeType(), ntElement);
}

}  // namespace
