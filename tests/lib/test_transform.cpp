// XSLT transforms through the node extension.
#include "LibTest.h"

using namespace libtest;

namespace {

const char16_t kSheet[] =
    u"<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
    u"<xsl:output method=\"text\"/>"
    u"<xsl:template match=\"/\">count=<xsl:value-of select=\"count(//item)\"/>;"
    u"<xsl:for-each select=\"//item\"><xsl:value-of select=\"@n\"/>,</xsl:for-each></xsl:template>"
    u"</xsl:stylesheet>";

const char16_t kToXml[] =
    u"<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
    u"<xsl:template match=\"/\"><out><xsl:for-each select=\"//item\">"
    u"<v><xsl:value-of select=\"@n\"/></v></xsl:for-each></out></xsl:template>"
    u"</xsl:stylesheet>";

ComPtr<IDOMNodeExtension> Ext(IDOMNode* n) { return ComPtr<IDOMNode>(n).try_query<IDOMNodeExtension>(); }

}  // namespace

TEST(LibTransform, ToTextAndToDocument) {
  auto src = Parse(u"<list><item n=\"\u00E9\"/><item n=\"2\"/></list>");
  auto sheet = Parse(kSheet);
  WideString out;
  DOMCheck(Ext(src.get())->TransformToText(sheet.get(), &out), "TransformToText");
  EXPECT_EQ(out, u"count=2;\u00E9,2,");

  auto target = Parse(u"<old/>");
  auto toXml = Parse(kToXml);
  DOMCheck(Ext(src.get())->TransformToDocument(toXml.get(), target.get()), "TransformToDocument");
  EXPECT_EQ(XML8(Root(target.get()).get()), "<out><v>\xC3\xA9</v><v>2</v></out>");
}

TEST(LibTransform, SourceAndSheetMustBeDocuments) {
  auto src = Parse(u"<list><item n=\"1\"/></list>");
  auto sheet = Parse(kSheet);
  WideString out;
  const std::string expected =
      "TransformNode most be called using a document node (not a document element) for the source and the "
      "stylesheet.";
  EXPECT_EQ(FailureText(Ext(Root(src.get()).get())->TransformToText(sheet.get(), &out)), expected);
  EXPECT_EQ(FailureText(Ext(src.get())->TransformToText(Root(sheet.get()).get(), &out)), expected);
}

TEST(LibTransform, BrokenStyleSheetFailsWithXalansReason) {
  auto src = Parse(u"<a/>");
  auto notASheet = Parse(
      u"<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
      u"<xsl:template match=\"/\"><xsl:value-of select=\"(((\"/></xsl:template></xsl:stylesheet>");
  WideString out;
  std::string why = FailureText(Ext(src.get())->TransformToText(notASheet.get(), &out));
  EXPECT_EQ(why.rfind("Transformation failed: ", 0), 0u) << why;
}

// Text output has no declaration to tell its encoding: it is read in the
// encoding the style sheet asked for, not guessed.
TEST(LibTransform, OutputIsReadInTheEncodingTheSheetAskedFor) {
  auto src = Parse(u"<r>\u0142\u00F3d\u017A \u20AC</r>");
  for (const char16_t* encoding : {u"ISO-8859-2", u"windows-1252", u"UTF-8"}) {
    const bool euro = std::u16string_view(encoding) != u"ISO-8859-2";
    auto sheet = Parse(std::u16string(u"<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                                      u"<xsl:output method=\"text\" encoding=\"") +
                       encoding + u"\"/><xsl:template match=\"/\"><xsl:value-of select=\"" +
                       (euro ? u"substring(r, 6)" : u"substring(r, 1, 4)") + u"\"/></xsl:template></xsl:stylesheet>");
    // The sheet read from its store, and from its tree for one encoding.
    if (!euro) BuildTree(sheet.get());
    WideString out;
    DOMCheck(Ext(src.get())->TransformToText(sheet.get(), &out), "TransformToText");
    EXPECT_EQ(out, euro ? u"\u20AC" : u"\u0142\u00F3d\u017A") << Narrow(encoding);
  }
}

// The source keeps its document type, so id() finds what GetElementById
// finds.
TEST(LibTransform, IdFindsTheElementsTheDocumentTypeDeclares) {
  auto sheet = Parse(
      u"<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
      u"<xsl:output method=\"text\"/><xsl:template match=\"/\"><xsl:value-of select=\"id('a')\"/></xsl:template>"
      u"</xsl:stylesheet>");
  // Also when the document type is gone from the tree: the IDs are known.
  // Read from the store, and from Xerces' tree once one is built.
  for (bool dropDoctype : {false, true})
    for (bool tree : {false, true}) {
      auto src = Parse(u"<!DOCTYPE r [<!ATTLIST e k ID #IMPLIED>]><r><e k=\"a\">found</e><e k=\"b\"/></r>");
      if (dropDoctype) DOMCheck(src->RemoveChild(Child(src.get(), 0).get(), nullptr), "RemoveChild");
      if (tree) BuildTree(src.get());
      ComPtr<IDOMElement> byId;
      DOMCheck(src->GetElementById(u"a", byId.put()), "GetElementById");
      ASSERT_TRUE(byId);
      WideString out;
      DOMCheck(Ext(src.get())->TransformToText(sheet.get(), &out), "TransformToText");
      EXPECT_EQ(out, u"found") << dropDoctype << tree;
    }
}
