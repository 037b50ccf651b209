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
