// Broken input and awkward files through the document layer on the real
// vendor: each must fail with a showable message in bounded time, leave the
// document closed, and the next load must work.
#include <gtest/gtest.h>

#include <random>

#include "HostileUtil.h"
#include "rtl/Streams.h"

using namespace hostile;

namespace {

struct Input {
  const char* name;
  std::string bytes;
};

std::string Utf16LE(std::u16string_view text, bool bom) {
  std::string out = bom ? "\xFF\xFE" : "";
  for (char16_t c : text) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

std::string Binary(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(gen() & 0xFF);
  return out;
}

std::vector<Input> BrokenInputs() {
  using namespace std::string_literals;
  return {
      {"empty file", ""},
      {"only white space", " \n\t\r\n "},
      {"only a declaration", "<?xml version=\"1.0\"?>"},
      {"only text", "hello"},
      {"truncated in a tag", "<r><a>text</a"},
      {"truncated in an attribute", "<r a=\"va"},
      {"truncated in a comment", "<r><!-- no end"},
      {"truncated in CDATA", "<r><![CDATA[x"},
      {"unclosed root", "<r><a/>"},
      {"mismatched tags", "<r><a></b></r>"},
      {"two roots", "<r/><s/>"},
      {"duplicate attribute", "<r a=\"1\" a=\"2\"/>"},
      {"undeclared prefix", "<p:r/>"},
      {"undefined entity", "<r>&nope;</r>"},
      {"bad character reference", "<r>&#0;&#xD800;</r>"},
      {"binary", Binary(4096, 1)},
      {"binary after a valid start", "<?xml version=\"1.0\"?><r>" + Binary(4096, 2)},
      {"invalid UTF-8 sequence", "<r>\xC3\x28</r>"},
      {"overlong UTF-8", "<r>\xC0\xAF</r>"},
      {"UTF-8 encoded surrogate", "<r>\xED\xA0\x80</r>"},
      {"UTF-8 cut in a character", "<r>\xE2\x82"},
      {"invalid UTF-8 in a name", "<r\xFF/>"},
      {"truncated UTF-16", Utf16LE(u"<r>text</r>", true).substr(0, 15)},
      {"UTF-16 unpaired surrogate", Utf16LE(u"<r>\xD800</r>", true)},
      {"unknown encoding", "<?xml version=\"1.0\" encoding=\"X-NO-SUCH\"?><r/>"},
      {"NUL in text", "<r>a\0b</r>"s},
      {"NUL in a name", "<r\0x/>"s},
      {"all NUL", std::string(64, '\0')},
  };
}

// Loads bytes by the given road; returns the failure message or "".
std::string LoadBytes(const ComPtr<IXMLDocumentIntf>& doc, const TempDir& dir, const std::string& bytes, int road) {
  return FailureOf([&] {
    switch (road) {
      case 0: doc->LoadFromFile(W(dir.Write("in.xml", bytes))); break;
      case 1: {
        rtl::TStringStream stream(bytes);
        doc->LoadFromStream(&stream);
        break;
      }
      case 2: doc->LoadFromXML(AnsiString(bytes)); break;
    }
  });
}

const char* const kRoads[] = {"LoadFromFile", "LoadFromStream", "LoadFromXML (narrow)"};

}  // namespace

TEST(Broken, MalformedInputFailsCleanlyAndTheNextLoadWorks) {
  TempDir dir;
  auto doc = NewDoc();
  for (const Input& input : BrokenInputs()) {
    for (int road = 0; road < 3; ++road) {
      SCOPED_TRACE(std::string(input.name) + " by " + kRoads[road]);
      const auto t0 = std::chrono::steady_clock::now();
      const std::string why = LoadBytes(doc, dir, input.bytes, road);
      EXPECT_LT(SecondsSince(t0), 5.0);
      EXPECT_FALSE(why.empty()) << "loaded";
      EXPECT_TRUE(IsShowable(why)) << why;
      EXPECT_NE(why.find("Line: "), std::string::npos) << why;
      EXPECT_FALSE(doc->GetActive());
      EXPECT_TRUE(doc->IsEmptyDocument());
      EXPECT_EQ(LoadBytes(doc, dir, "<ok a='1'>fine</ok>", road), "");
      EXPECT_EQ(doc->GetDocumentElement()->GetText(), u"fine");
    }
  }
}

TEST(Broken, NulsAfterTheRootFailOrAreIgnored) {
  // From a file the parser stops reading at trailing NULs and the document
  // loads; from a stream or text they are refused. Either is clean: nothing
  // of the document is lost or invented.
  TempDir dir;
  auto doc = NewDoc();
  for (int road = 0; road < 3; ++road) {
    SCOPED_TRACE(kRoads[road]);
    const std::string why = LoadBytes(doc, dir, std::string("<r>t</r>\0\0", 10), road);
    if (why.empty())
      EXPECT_EQ(doc->GetDocumentElement()->GetText(), u"t");
    else
      EXPECT_TRUE(IsShowable(why)) << why;
  }
}

TEST(Broken, WideTextWithNulsAndLoneSurrogatesFailsCleanly) {
  auto doc = NewDoc();
  const std::u16string texts[] = {std::u16string(u"<r>a\0b</r>", 10), std::u16string(u"<r>\xDC00</r>"),
                                  std::u16string(u"<r\xFFFF/>"), std::u16string(16, u'\0')};
  for (const std::u16string& text : texts) {
    SCOPED_TRACE(N(text));
    const std::string why = FailureOf([&] { doc->LoadFromXML(WideString(text)); });
    EXPECT_TRUE(IsShowable(why)) << why;
    EXPECT_FALSE(doc->GetActive());
  }
  doc->LoadFromXML(WideString(u"<ok/>"));
  EXPECT_EQ(doc->GetDocumentElement()->GetNodeName(), u"ok");
}

TEST(Broken, AMarkContradictingTheDeclarationFailsOrLoadsTheRightText) {
  // The byte-order mark tells how the bytes are encoded; a declaration that
  // says otherwise may be refused, or ignored, but never mixes the two.
  TempDir dir;
  auto doc = NewDoc();
  const Input contradicting[] = {
      {"UTF-8 mark, UTF-16 declared", "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-16\"?><r>\xC3\xA9</r>"},
      {"UTF-16 mark, UTF-8 declared", Utf16LE(u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><r>\u00E9</r>", true)},
      {"UTF-16 mark, Latin-1 declared", Utf16LE(u"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>\u00E9</r>", true)},
  };
  for (const Input& input : contradicting)
    for (int road = 0; road < 3; ++road) {
      SCOPED_TRACE(std::string(input.name) + " by " + kRoads[road]);
      const std::string why = LoadBytes(doc, dir, input.bytes, road);
      if (why.empty())
        EXPECT_EQ(doc->GetDocumentElement()->GetText(), u"\u00E9");
      else
        EXPECT_TRUE(IsShowable(why)) << why;
    }
}

TEST(Broken, AUtf8MarkWithLatin1DeclaredDoesNotGarbleTheText) {
  // The parser follows the declaration and reads UTF-8 bytes as Latin-1:
  // the document loads with every non-ASCII character garbled.
  TempDir dir;
  auto doc = NewDoc();
  const std::string bytes = "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>\xC3\xA9</r>";
  for (int road = 0; road < 3; ++road) {
    SCOPED_TRACE(kRoads[road]);
    const std::string why = LoadBytes(doc, dir, bytes, road);
    if (why.empty())
      EXPECT_EQ(doc->GetDocumentElement()->GetText(), u"\u00E9");
    else
      EXPECT_TRUE(IsShowable(why)) << why;
  }
}

TEST(Broken, EncodingsThatAgreeLoadTheSameText) {
  // The control for the contradicting marks above: agreeing marks and
  // declarations load, and the text arrives intact.
  TempDir dir;
  auto doc = NewDoc();
  const Input good[] = {
      {"UTF-8 mark", "\xEF\xBB\xBF<r>\xC3\xA9t\xC3\xA9</r>"},
      {"UTF-8 declared", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r>\xC3\xA9t\xC3\xA9</r>"},
      {"Latin-1 declared", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>\xE9t\xE9</r>"},
      {"UTF-16 mark", Utf16LE(u"<r>\u00E9t\u00E9</r>", true)},
      {"UTF-16 mark and declaration", Utf16LE(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><r>\u00E9t\u00E9</r>", true)},
  };
  for (const Input& input : good)
    for (int road = 0; road < 3; ++road) {
      SCOPED_TRACE(std::string(input.name) + " by " + kRoads[road]);
      ASSERT_EQ(LoadBytes(doc, dir, input.bytes, road), "");
      EXPECT_EQ(doc->GetDocumentElement()->GetText(), u"\u00E9t\u00E9");
    }
}

// ---------------------------------------------------------------------------
// Files that are not plain readable files

TEST(Broken, ADirectoryFailsCleanly) {
  TempDir dir;
  auto doc = NewDoc();
  const std::string why = FailureOf([&] { doc->LoadFromFile(W(dir.Path())); });
  EXPECT_TRUE(IsShowable(why)) << why;
  EXPECT_FALSE(doc->GetActive());
}

TEST(Broken, APipeWithoutWriterDoesNotHangTheLoad) {
  // Root can read every file, so a named pipe stands in for a file that
  // cannot be read: opening it blocks until somebody writes.
  TempDir dir;
  SilentPipe pipe(dir.File("pipe.xml"), 10);
  auto doc = NewDoc();
  const auto t0 = std::chrono::steady_clock::now();
  const std::string why = FailureOf([&] { doc->LoadFromFile(W(pipe.Path())); });
  EXPECT_FALSE(pipe.Rescued()) << "the load waited for a writer";
  EXPECT_LT(SecondsSince(t0), 5.0);
  EXPECT_TRUE(IsShowable(why)) << why;
  EXPECT_FALSE(doc->GetActive());
  doc->LoadFromXML(W("<ok/>"));
  EXPECT_TRUE(doc->GetActive());
}

TEST(Broken, DevicesFailCleanlyInBoundedTime) {
  auto doc = NewDoc();
  for (const char* device : {"/dev/zero", "/dev/urandom", "/dev/null"}) {
    SCOPED_TRACE(device);
    const auto t0 = std::chrono::steady_clock::now();
    const std::string why = FailureOf([&] { doc->LoadFromFile(W(device)); });
    EXPECT_LT(SecondsSince(t0), 5.0);
    EXPECT_TRUE(IsShowable(why)) << why;
    EXPECT_FALSE(doc->GetActive());
  }
}

TEST(Broken, AFileGoneOrChangedBeforeLoadingIsTakenAsItIsThen) {
  TempDir dir;
  auto doc = NewDoc();
  const std::string file = dir.Write("chosen.xml", "<first/>");

  // Deleted between choosing and loading: the message names the file.
  std::filesystem::remove(file);
  std::string why = FailureOf([&] { doc->LoadFromFile(W(file)); });
  EXPECT_TRUE(IsShowable(why)) << why;
  EXPECT_NE(why.find("chosen.xml"), std::string::npos) << why;
  EXPECT_FALSE(doc->GetActive());

  // A dangling link and a link loop fail the same way.
  std::filesystem::create_symlink(dir.File("nowhere.xml"), dir.File("dangling.xml"));
  std::filesystem::create_symlink(dir.File("loop.xml"), dir.File("loop.xml"));
  for (const char* name : {"dangling.xml", "loop.xml"}) {
    why = FailureOf([&] { doc->LoadFromFile(W(dir.File(name))); });
    EXPECT_TRUE(IsShowable(why)) << why;
  }

  // Replaced by garbage: a parse error; replaced by another document: that
  // document, not a mixture.
  dir.Write("chosen.xml", "<first><broken");
  why = FailureOf([&] { doc->LoadFromFile(W(file)); });
  EXPECT_NE(why.find("Line: "), std::string::npos) << why;
  dir.Write("chosen.xml", "<second>new</second>");
  doc->LoadFromFile(W(file));
  EXPECT_EQ(doc->GetDocumentElement()->GetNodeName(), u"second");
  // Removed while open: the loaded document does not depend on the file.
  std::filesystem::remove(file);
  EXPECT_EQ(doc->GetDocumentElement()->GetText(), u"new");
  WideString saved;
  doc->SaveToXML(saved);
  EXPECT_NE(saved.find(u"<second>new</second>"), WideString::npos);
}

TEST(Broken, AFailedLoadInASessionLeavesNothingOfTheOldDocument) {
  TempDir dir;
  rtl::TComponent owner(nullptr);
  auto* doc = rtl::CreateComponent<TXMLDocument>(&owner);
  doc->SetDOMVendor(LookupVendor("Xerces XML"));
  const std::string good = dir.Write("good.xml", "<a><b k='v'>t</b></a>");
  const std::string bad = dir.Write("bad.xml", "<a><b></a>");

  doc->LoadFromFile(W(good));
  ComPtr<IXMLNode> kept = doc->GetDocumentElement()->GetChildNodes()->Get(0);
  const std::string why = FailureOf([&] { doc->LoadFromFile(W(bad)); });
  EXPECT_NE(why.find("Line: 1"), std::string::npos) << why;
  EXPECT_FALSE(doc->GetActive());
  EXPECT_TRUE(doc->IsEmptyDocument());
  EXPECT_EQ(doc->GetXML()->Count(), 0);
  // A wrapper kept from the old document still reads what it had.
  EXPECT_EQ(kept->GetAttribute(u"k"), OleVariant(WideString(u"v")));
  kept = nullptr;

  doc->LoadFromFile(W(good));
  EXPECT_EQ(doc->GetDocumentElement()->GetChildNodes()->Get(0)->GetText(), u"t");
}

// ---------------------------------------------------------------------------
// Encoding names come from the file or the user; only names are names

TEST(Broken, EncodingNamesThatAreNoNamesFailCleanly) {
  // Found by fuzzing: a long non-ASCII "name" handed to the converter
  // library overran its fixed-size name buffer.
  const std::string names[] = {std::string(30, '\xE9'), std::string(20, '\xC3') + std::string(20, '\xBF'),
                               "UTF-8" + std::string(1, '\0') + "x", std::string(300, 'A'), "\xFF\xFE"};
  for (const std::string& name : names) {
    for (int road = 0; road < 2; ++road) {
      SCOPED_TRACE(road == 0 ? "declared in a loaded document" : "set before saving");
      ChildRun run = RunInChild(
          [&] {
            auto doc = NewDoc();
            if (road == 0)
              return FailureOf([&] {
                doc->LoadFromXML(AnsiString("<?xml version=\"1.0\" encoding=\"" + name + "\"?>\n<r>x</r>"));
              });
            doc->LoadFromXML(W("<r>x</r>"));
            return FailureOf([&] {
              doc->SetEncoding(WideString(name.begin(), name.end()));
              AnsiString saved;
              doc->SaveToXML(saved);
            });
          },
          30);
      ASSERT_TRUE(run.finished);
      EXPECT_FALSE(run.crashed) << "the load or save crashed";
      EXPECT_TRUE(IsShowable(run.result)) << run.result;
    }
  }
}

TEST(Broken, TheFuzzedEncodingNameFailsCleanly) {
  // The input as the fuzzer found it: the "name" runs from the quote after
  // "encoding" to the next quote, over NULs and bytes above 0x7F.
  const std::string found("<\x3Fxml version=\x22" "0.0\x22 encoding\x00S\x00\x00" "F-8\x22[<x>]]>tail "
                          "\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80&amp; &#x20;>tail "
                          "&am<\x3F\x97g\x03\x00\xF0`\x00\x00ion\xE2=p\xC5\x22" "0.0\x22\xFF" "enc\xDF\xD9\xDCo",
                          114);
  TempDir dir;
  for (int road = 0; road < 3; ++road) {
    SCOPED_TRACE(kRoads[road]);
    ChildRun run = RunInChild([&] { return LoadBytes(NewDoc(), dir, found, road); }, 30);
    ASSERT_TRUE(run.finished);
    EXPECT_FALSE(run.crashed) << "the load crashed";
    EXPECT_TRUE(IsShowable(run.result)) << run.result;
  }
}
