// Saving to files: the target, the modified state, failures that must leave
// everything as it was, replacing the file as a whole, auto-save on close,
// and the XML lines following the saved text.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "rtl/StringList.h"
#include "tests/xml/vendor/DocTestSupport.h"
#include "tests/xml/vendor/TestVendor.h"
#include "xml/XMLDoc.h"

namespace {

using namespace doctest_support;

// Written with single quotes and odd spacing, which any save by the DOM
// rewrites, so an unwanted save shows in the bytes.
const char* const kOriginal = "<?xml version='1.0' encoding='UTF-8'?>\n<r  a='1'><c>text</c></r>\n";

class DocSaveTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    file = dir.File("doc.xml");
    WriteFileBytes(file, kOriginal);
    doc = NewDocument(GetParam());
    doc->LoadFromFile(W(file));
  }
  void Modify() {
    doc->GetDocumentElement()->SetAttribute(u"added", OleVariant(u"yes"));
    ASSERT_TRUE(doc->GetModified());
  }
  // An active document over the XML lines text, saving itself on close.
  rtl::ComPtr<IXMLDocumentIntf> AutoSavingLines(const char* text) {
    auto lines = NewDocument(GetParam());
    lines->SetOptions(lines->GetOptions() + TXMLDocOptions{doAutoSave});
    rtl::TStringList source;
    source.SetText(text);
    lines->SetXML(source);
    lines->SetActive(true);
    return lines;
  }
  // A failed save raises, names the place it could not write, and changes
  // nothing: file name, modified state, document and the original file.
  void ExpectSaveFails(const std::string& target) {
    std::string before = DumpDocument(doc);
    try {
      doc->SaveToFile(W(target));
      ADD_FAILURE() << "saving to " << target << " did not fail";
    } catch (const rtl::Exception& e) {
      std::string message = e.what();
      EXPECT_FALSE(message.empty());
      std::string base = target.substr(target.rfind('/') + 1);
      EXPECT_NE(message.find(base), std::string::npos) << "unclear message: " << message;
    }
    EXPECT_EQ(doc->GetFileName(), W(file));
    EXPECT_TRUE(doc->GetModified());
    EXPECT_TRUE(doc->GetActive());
    EXPECT_EQ(DumpDocument(doc), before);
    EXPECT_EQ(ReadFileBytes(file), kOriginal);
  }

  TScratchDir dir;
  std::string file;
  ComPtr<IXMLDocumentIntf> doc;
};

TEST_P(DocSaveTest, EmptyNameSavesToFileNameAndClearsModified) {
  Modify();
  doc->SaveToFile(u"");
  EXPECT_FALSE(doc->GetModified());
  EXPECT_EQ(doc->GetFileName(), W(file));
  std::string saved = ReadFileBytes(file);
  EXPECT_NE(saved.find("added=\"yes\""), std::string::npos) << saved;

  auto again = NewDocument(GetParam());
  again->LoadFromFile(W(file));
  EXPECT_EQ(DumpDocument(again), DumpDocument(doc));
}

TEST_P(DocSaveTest, NamedTargetLeavesFileNameAndTheOriginalAlone) {
  Modify();
  std::string other = dir.File("copy.xml");
  doc->SaveToFile(W(other));
  EXPECT_EQ(doc->GetFileName(), W(file));
  EXPECT_FALSE(doc->GetModified());
  EXPECT_EQ(ReadFileBytes(file), kOriginal);
  EXPECT_NE(ReadFileBytes(other).find("added=\"yes\""), std::string::npos);
}

TEST_P(DocSaveTest, SavingWithoutAnyFileNameIsRefused) {
  auto text = NewDocument(GetParam());
  text->LoadFromXML(W("<r/>"));
  text->GetDocumentElement()->SetAttribute(u"k", OleVariant(u"v"));
  try {
    text->SaveToFile(u"");
    ADD_FAILURE() << "no exception";
  } catch (const EXMLDocError& e) {
    EXPECT_STREQ(e.what(), "FileName cannot be blank");
  }
  EXPECT_TRUE(text->GetModified());
}

TEST_P(DocSaveTest, SavingIntoAMissingFolderFailsCleanly) {
  Modify();
  ExpectSaveFails(dir.File("missing/deeper/out.xml"));
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"doc.xml"});
}

TEST_P(DocSaveTest, SavingBelowARegularFileFailsCleanly) {
  Modify();
  ExpectSaveFails(file + "/out.xml");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"doc.xml"});
}

// Root may write almost anywhere; a kernel file that accepts no XML is a
// target that refuses whoever asks.
TEST_P(DocSaveTest, SavingOntoAnUnwritableFileFailsCleanly) {
  Modify();
  std::string before = ReadFileBytes("/proc/version");
  ExpectSaveFails("/proc/version");
  EXPECT_EQ(ReadFileBytes("/proc/version"), before);
}

// Another name for the file (a hard link) stays a name of the saved file:
// the file is rewritten in place rather than replaced, and nothing is left
// beside it.
TEST_P(DocSaveTest, SaveKeepsTheFilesOtherNames) {
  std::string link = dir.File("hardlink.xml");
  ASSERT_EQ(::link(file.c_str(), link.c_str()), 0);
  Modify();
  doc->SaveToFile(u"");
  EXPECT_NE(ReadFileBytes(file).find("added=\"yes\""), std::string::npos);
  EXPECT_EQ(ReadFileBytes(link), ReadFileBytes(file));
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"doc.xml", "hardlink.xml"}));
}

TEST_P(DocSaveTest, ReplacingKeepsTheFilesPermissions) {
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  Modify();
  doc->SaveToFile(u"");
  struct stat st{};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_P(DocSaveTest, ANewFileGetsTheUsualPermissions) {
  mode_t mask = umask(022);
  std::string other = dir.File("new.xml");
  doc->SaveToFile(W(other));
  umask(mask);
  struct stat st{};
  ASSERT_EQ(stat(other.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// Saving through a symbolic link updates the file it points to and keeps the
// link.
TEST_P(DocSaveTest, SavingThroughASymbolicLinkKeepsTheLink) {
  std::string link = dir.File("link.xml");
  ASSERT_EQ(symlink("doc.xml", link.c_str()), 0);
  Modify();
  doc->SaveToFile(W(link));
  struct stat st{};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_NE(ReadFileBytes(file).find("added=\"yes\""), std::string::npos);
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"doc.xml", "link.xml"}));
}

TEST_P(DocSaveTest, AutoSaveWritesAModifiedFileOnClose) {
  doc->SetOptions(doc->GetOptions() + TXMLDocOptions{doAutoSave});
  Modify();
  doc->SetActive(false);
  EXPECT_NE(ReadFileBytes(file).find("added=\"yes\""), std::string::npos);
}

TEST_P(DocSaveTest, AutoSaveLeavesAnUnmodifiedFileAlone) {
  doc->SetOptions(doc->GetOptions() + TXMLDocOptions{doAutoSave});
  ASSERT_FALSE(doc->GetModified());
  doc->SetActive(false);
  EXPECT_EQ(ReadFileBytes(file), kOriginal);
}

TEST_P(DocSaveTest, WithoutAutoSaveClosingDiscardsChanges) {
  Modify();
  doc->SetActive(false);
  EXPECT_EQ(ReadFileBytes(file), kOriginal);
}

TEST_P(DocSaveTest, AutoSaveOfDocumentFromLinesRewritesTheLines) {
  auto lines = AutoSavingLines("<r>\n<c/>\n</r>");
  lines->GetDocumentElement()->SetAttribute(u"k", OleVariant(u"v"));
  lines->SetActive(false);
  std::string after = lines->GetXML()->GetText();
  EXPECT_NE(after.find("k=\"v\""), std::string::npos) << after;
  // The rewritten lines open again as the changed document.
  lines->SetActive(true);
  EXPECT_EQ(lines->GetDocumentElement()->GetAttribute(u"k"), OleVariant(u"v"));
}

TEST_P(DocSaveTest, XMLLinesFollowTheSavedNarrowText) {
  Modify();
  AnsiString saved;
  doc->SaveToXML(saved);
  EXPECT_EQ(SplitLines(doc->GetXML()->GetText()), SplitLines(saved));

  doc->GetDocumentElement()->GetChildNodes()->Get(0)->SetText(u"changed");
  doc->SaveToXML(saved);
  ASSERT_NE(saved.find("changed"), std::string::npos);
  EXPECT_EQ(SplitLines(doc->GetXML()->GetText()), SplitLines(saved));
}

// A save starts the modification count again; the XML lines written for an
// earlier count must not pass for the content after it.
TEST_P(DocSaveTest, XMLLinesFollowEditsAroundASave) {
  auto text = NewDocument(GetParam());
  text->LoadFromXML(W("<r/>"));
  (void)text->GetXML();
  text->GetDocumentElement()->SetAttribute(u"k", OleVariant(u"1"));
  text->SaveToFile(W(dir.File("a.xml")));
  EXPECT_NE(text->GetXML()->GetText().find("k=\"1\""), std::string::npos) << text->GetXML()->GetText();

  auto lines = AutoSavingLines("<r/>");
  lines->GetDocumentElement()->SetAttribute(u"k", OleVariant(u"1"));
  (void)lines->GetXML();
  lines->SaveToFile(W(dir.File("b.xml")));
  lines->GetDocumentElement()->SetAttribute(u"k", OleVariant(u"2"));
  lines->SetActive(false);
  EXPECT_NE(lines->GetXML()->GetText().find("k=\"2\""), std::string::npos) << lines->GetXML()->GetText();
}

// XML lines are UTF-8 text with a declaration of its own when the document
// is written in a wide encoding; that declaration must carry a version, or
// the lines do not open again and auto-save empties them.
TEST_P(DocSaveTest, LinesOfADocumentInAWideEncodingOpenAgain) {
  auto lines = AutoSavingLines("<r/>");
  lines->SetEncoding(u"UTF-16");
  lines->GetDocumentElement()->SetAttribute(u"k", OleVariant(u"\u20AC"));
  lines->SetActive(false);
  lines->SetActive(true);
  EXPECT_EQ(lines->GetDocumentElement()->GetAttribute(u"k"), OleVariant(u"\u20AC"));
}

// A DOM that fails half-way through writing must not cost the user the file
// that was there, whether it is replaced or (having another name) rewritten
// in place.
TEST(DocFailingSaveTest, TheOldFileSurvivesADOMFailingMidWrite) {
  for (bool linked : {false, true}) {
    TScratchDir dir;
    std::string file = dir.File("doc.xml");
    WriteFileBytes(file, kOriginal);
    if (linked) ASSERT_EQ(::link(file.c_str(), dir.File("hardlink.xml").c_str()), 0);
    auto doc = NewDocument(testvendor::kTestVendorFailingSaveDesc);
    doc->LoadFromFile(W(file));
    doc->GetDocumentElement()->SetAttribute(u"added", OleVariant(u"yes"));
    try {
      doc->SaveToFile(u"");
      ADD_FAILURE() << "the save did not fail";
    } catch (const DOMException& e) {
      EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos) << e.what();
    }
    EXPECT_EQ(ReadFileBytes(file), kOriginal);
    EXPECT_TRUE(doc->GetModified());
    EXPECT_EQ(doc->GetFileName(), W(file));
    EXPECT_EQ(dir.Entries().size(), linked ? 2u : 1u) << "the partial file was left";
  }
}

INSTANTIATE_TEST_SUITE_P(Vendors, DocSaveTest,
                         ::testing::Values(RealVendorDesc(), testvendor::kTestVendorDesc),
                         [](const auto& info) {
                           return std::string(info.param) == RealVendorDesc() ? "RealDOM"
                                                                              : "PlainDOM";
                         });

// A DOM that cannot persist makes every load and save fail with the
// interface-cast error instead of pretending to work.
TEST(DocSaveWithoutPersistTest, SavingRaisesTheCastError) {
  auto doc = NewDocument(testvendor::kTestVendorNoPersistDesc);
  doc->SetActive(true);
  EXPECT_THROW(doc->SaveToFile(u"/tmp/not-written-by-xmltest.xml"), rtl::EIntfCastError);
  WideString text;
  EXPECT_THROW(doc->SaveToXML(text), rtl::EIntfCastError);
  EXPECT_NE(access("/tmp/not-written-by-xmltest.xml", F_OK), 0);
}

}  // namespace
