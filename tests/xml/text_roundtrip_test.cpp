// Real documents in UTF-8, UTF-16 and ISO-8859-1 survive save and reload:
// every text, attribute, namespace, comment, processing instruction and
// CDATA section, and characters the file's encoding cannot hold.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "rtl/StringList.h"
#include "tests/xml/vendor/DocTestSupport.h"
#include "tests/xml/vendor/TestVendor.h"
#include "xml/XMLDoc.h"

namespace {

using namespace doctest_support;

enum class Enc { Utf8, Utf16LE, Utf16BE, Latin1 };

const char* EncName(Enc e) {
  switch (e) {
    case Enc::Utf8: return "UTF-8";
    case Enc::Utf16LE:
    case Enc::Utf16BE: return "UTF-16";
    case Enc::Latin1: return "ISO-8859-1";
  }
  return "";
}

// Only characters up to U+00FF, so every encoding can hold the source.
WideString Source(Enc e) {
  return W(std::string("<?xml version=\"1.0\" encoding=\"") + EncName(e) + "\"?>\n" +
           "<!-- leading comment \xC3\xA9 -->\n"
           "<?app first=\"1\"?>\n"
           "<root xmlns=\"urn:default\" xmlns:p=\"urn:p\" p:attr=\"a&amp;b &lt; &quot;q&quot; "
           "&#9;tab\" plain=\"\xC3\xA9 \xC3\xBC \xC3\x9F\">\n"
           "  <p:child p:x=\"1\">Text with &amp; and &lt;tags&gt; and \xC3\xA9</p:child>\n"
           "  <empty/>\n"
           "  <!-- inner comment -->\n"
           "  <?pi some data?>\n"
           "  <![CDATA[cdata <raw> & \xC3\xA9]]>\n"
           "  <mixed>a<b>c</b>d&#10;e</mixed>\n"
           "  <other xmlns=\"urn:other\" xmlns:q=\"urn:q\"><q:leaf q:y=\"2\" z=\"\"/></other>\n"
           "</root>\n");
}

std::string FileBytes(Enc e, const WideString& text) {
  switch (e) {
    case Enc::Utf8: return U8(text);
    case Enc::Utf16LE: return std::string("\xFF\xFE") + Utf16Bytes(text, false);
    case Enc::Utf16BE: return std::string("\xFE\xFF") + Utf16Bytes(text, true);
    case Enc::Latin1: return Latin1Bytes(text);
  }
  return "";
}

// Euro sign, Greek capital omega and a character outside the basic plane.
const char* const kWide = "\xE2\x82\xAC \xCE\xA9 \xF0\x9F\x98\x80";

class RoundTripTest : public ::testing::TestWithParam<std::tuple<const char*, Enc>> {
 protected:
  const char* Vendor() const { return std::get<0>(GetParam()); }
  Enc Encoding() const { return std::get<1>(GetParam()); }

  // Loads the source file, adds characters beyond Latin-1 to a text, an
  // attribute and a new element, saves to another file and loads that.
  void RoundTrip() {
    source = dir.File("source.xml");
    target = dir.File("target.xml");
    WriteFileBytes(source, FileBytes(Encoding(), Source(Encoding())));
    doc = NewDocument(Vendor());
    doc->LoadFromFile(W(source));
    original = DumpDocument(doc);
    auto root = doc->GetDocumentElement();
    root->SetAttribute(u"wide", OleVariant(W(kWide)));
    root->GetChildNodes()->FindNode(u"empty")->SetText(W(std::string("wide ") + kWide));
    root->AddChild(u"added")->SetText(W(kWide));
    edited = DumpDocument(doc);
    doc->SaveToFile(W(target));
    saved = ReadFileBytes(target);
    reloaded = NewDocument(Vendor());
    reloaded->LoadFromFile(W(target));
  }

  TScratchDir dir;
  std::string source, target, original, edited, saved;
  ComPtr<IXMLDocumentIntf> doc, reloaded;
};

TEST_P(RoundTripTest, EveryNodeSurvivesSaveAndReload) {
  RoundTrip();
  // The parse kept what the source holds.
  EXPECT_NE(original.find("8 #comment =\" leading comment \xC3\xA9 \""), std::string::npos)
      << original;
  EXPECT_NE(original.find("7 app =\"first=\"1\"\""), std::string::npos) << original;
  EXPECT_NE(original.find("4 #cdata-section =\"cdata <raw> & \xC3\xA9\""), std::string::npos)
      << original;
  EXPECT_NE(original.find("p:attr{urn:p}=\"a&b < \"q\" \\ttab\""), std::string::npos)
      << original;
  EXPECT_NE(original.find("1 q:leaf {urn:q} q:y{urn:q}=\"2\" z=\"\""), std::string::npos)
      << original;
  EXPECT_EQ(DumpDocument(reloaded), edited) << "saved bytes:\n" << saved;
}

TEST_P(RoundTripTest, TheSavedFileKeepsItsEncoding) {
  RoundTrip();
  switch (Encoding()) {
    case Enc::Utf8:
      EXPECT_NE(saved.find(kWide), std::string::npos);
      break;
    case Enc::Utf16LE:
    case Enc::Utf16BE: {
      // UTF-16 with or without a byte-order mark, either byte order.
      bool le = saved.rfind("\xFF\xFE", 0) == 0 || saved.rfind(std::string("<\0?\0", 4), 0) == 0;
      bool be = saved.rfind("\xFE\xFF", 0) == 0 || saved.rfind(std::string("\0<\0?", 4), 0) == 0;
      EXPECT_TRUE(le || be);
      EXPECT_NE(saved.find(Utf16Bytes(u"\u20AC \u03A9", be)), std::string::npos);
      break;
    }
    case Enc::Latin1:
      EXPECT_EQ(saved.rfind("<?xml", 0), 0u);
      EXPECT_NE(saved.find("ISO-8859-1"), std::string::npos);
      EXPECT_NE(saved.find("\xE9 \xFC \xDF"), std::string::npos) << "Latin-1 letters stay bytes";
      EXPECT_EQ(saved.find("\xC3\xA9"), std::string::npos) << "no UTF-8 in a Latin-1 file";
      break;
  }
}

// What the encoding cannot hold is written as character references, one per
// character (a surrogate pair is one character).
// Only Latin-1 lacks these characters: run with that encoding alone.
class NarrowRoundTripTest : public RoundTripTest {};

TEST_P(NarrowRoundTripTest, CharactersOutsideLatin1BecomeCharacterReferences) {
  RoundTrip();
  bool euro = saved.find("&#x20AC;") != std::string::npos || saved.find("&#8364;") != std::string::npos;
  bool omega = saved.find("&#x3A9;") != std::string::npos || saved.find("&#937;") != std::string::npos;
  bool astral =
      saved.find("&#x1F600;") != std::string::npos || saved.find("&#128512;") != std::string::npos;
  EXPECT_TRUE(euro) << saved;
  EXPECT_TRUE(omega) << saved;
  EXPECT_TRUE(astral) << saved;
  EXPECT_EQ(reloaded->GetDocumentElement()->GetAttribute(u"wide"), OleVariant(W(kWide)));
  EXPECT_EQ(reloaded->GetDocumentElement()->GetChildNodes()->FindNode(u"added")->GetText(), W(kWide));
}

// The XML lines are the narrow text: loading them again gives the same tree
// whatever the file's encoding was.
TEST_P(RoundTripTest, XMLLinesLoadAgainIntoTheSameTree) {
  RoundTrip();
  rtl::TStrings* lines = reloaded->GetXML();
  auto fromLines = NewDocument(Vendor());
  fromLines->SetXML(*lines);
  fromLines->SetActive(true);
  EXPECT_EQ(DumpDocument(fromLines), DumpDocument(reloaded));
}

std::string CaseName(const ::testing::TestParamInfo<RoundTripTest::ParamType>& info) {
  std::string name = std::string(std::get<0>(info.param)) == RealVendorDesc() ? "RealDOM_" : "PlainDOM_";
  switch (std::get<1>(info.param)) {
    case Enc::Utf8: return name + "Utf8";
    case Enc::Utf16LE: return name + "Utf16LE";
    case Enc::Utf16BE: return name + "Utf16BE";
    case Enc::Latin1: return name + "Latin1";
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Vendors, RoundTripTest,
                         ::testing::Combine(::testing::Values(RealVendorDesc(), testvendor::kTestVendorDesc),
                                            ::testing::Values(Enc::Utf8, Enc::Utf16LE, Enc::Utf16BE, Enc::Latin1)),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(Vendors, NarrowRoundTripTest,
                         ::testing::Combine(::testing::Values(RealVendorDesc(), testvendor::kTestVendorDesc),
                                            ::testing::Values(Enc::Latin1)),
                         CaseName);

}  // namespace
