// What the layers save must load again. Editing can move an element away
// from the attribute that declared its prefix; the saved text must still
// bind every prefix it uses, or the user's next load fails on their own file.
#include <gtest/gtest.h>

#include "HostileUtil.h"

using namespace hostile;

namespace {

constexpr char kSource[] =
    "<r xmlns:p=\"urn:p\" xmlns=\"urn:d\"><p:c p:k=\"v\"><d>t</d></p:c><e/></r>";

// Saves doc and loads the text into a new document.
ComPtr<IXMLDocumentIntf> SaveAndReload(const ComPtr<IXMLDocumentIntf>& doc) {
  WideString saved;
  doc->SaveToXML(saved);
  auto again = NewDoc();
  const std::string why = FailureOf([&] { again->LoadFromXML(saved); });
  EXPECT_EQ(why, "") << N(saved);
  return why.empty() ? again : nullptr;
}

}  // namespace

TEST(RoundTrip, AChildMadeDocumentElementKeepsItsNamespaces) {
  auto doc = NewDoc();
  doc->LoadFromXML(W(kSource));
  doc->SetDocumentElement(doc->GetDocumentElement()->GetChildNodes()->Get(0));
  auto again = SaveAndReload(doc);
  ASSERT_TRUE(again);
  auto root = again->GetDocumentElement();
  EXPECT_EQ(root->GetNamespaceURI(), u"urn:p");
  EXPECT_EQ(root->GetAttributeNS(u"k", u"urn:p"), OleVariant(WideString(u"v")));
  EXPECT_EQ(root->GetChildNodes()->Get(0)->GetNamespaceURI(), u"urn:d");
}

TEST(RoundTrip, RemovingADeclarationStillInUseKeepsTheSavedTextLoadable) {
  auto doc = NewDoc();
  doc->LoadFromXML(W(kSource));
  auto root = doc->GetDocumentElement();
  root->GetAttributeNodes()->Delete(u"xmlns:p");
  auto again = SaveAndReload(doc);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->GetDocumentElement()->GetChildNodes()->Get(0)->GetNamespaceURI(), u"urn:p");
}

TEST(RoundTrip, DeclarationValuesThatBreakTheTextAreRefusedOrHarmless) {
  // Found by fuzzing: a version given as any text was written into the
  // declaration as it was, and the saved file did not load again.
  for (const char16_t* version : {u"<&>", u"1.0\"?><evil/><?x v=\"", u"?>", u""}) {
    auto doc = NewDoc();
    doc->LoadFromXML(W("<?xml version=\"1.0\"?><r>t</r>"));
    const std::string why = FailureOf([&] { doc->SetVersion(version); });
    if (!why.empty()) continue;  // refused: fine
    auto again = SaveAndReload(doc);
    ASSERT_TRUE(again) << N(version);
    EXPECT_EQ(again->GetDocumentElement()->GetNodeName(), u"r");
  }
}

TEST(RoundTrip, APrefixDeclaredForTheEmptyNamespaceSavesOnlyInXml11) {
  // XML 1.0 cannot bind a prefix to the empty namespace: such a declaration
  // saved as it is made the file unloadable, and left out it would be lost.
  // XML 1.1 undeclares the prefix with it.
  for (const char* version : {"1.0", "1.1"}) {
    auto doc = NewDoc();
    doc->LoadFromXML(W(std::string("<?xml version=\"") + version + "\"?><r><c/></r>"));
    doc->GetDocumentElement()->DeclareNamespace(u"p", u"");
    WideString saved;
    const std::string why = FailureOf([&] { doc->SaveToXML(saved); });
    if (std::string(version) == "1.0") {
      EXPECT_EQ(why, "Cannot save attribute \"xmlns:p\" of element \"r\": XML 1.0 cannot bind the prefix \"p\" to an "
                     "empty namespace");
      continue;
    }
    auto again = SaveAndReload(doc);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->GetDocumentElement()->GetAttribute(u"xmlns:p"), OleVariant(WideString()));
  }
}

TEST(RoundTrip, APrefixTheSaveInventsCapturesNoElement) {
  // A child named with a prefix nothing binds, and an attribute in a
  // namespace without a declaration on its parent: the declaration the save
  // adds for the attribute must not bind the child's prefix, or the child
  // reads back in the attribute's namespace.
  auto doc = NewDoc();
  doc->LoadFromXML(W("<r><em/></r>"));
  auto em = doc->GetDocumentElement()->GetChildNodes()->Get(0);
  ASSERT_EQ(em->AddChildNS(u"other", u"", true)->GetNodeName(), u"NS1:other");
  em->SetAttributeNS(u"k", u"urn:p", OleVariant(u"v"));
  WideString saved;
  // The child's prefix is bound nowhere: refused, as it is when saved alone.
  EXPECT_EQ(FailureOf([&] { doc->SaveToXML(saved); }),
            "Cannot save element \"NS1:other\": the prefix \"NS1\" is not bound to a namespace");
  EXPECT_EQ(saved, u"");
}

TEST(RoundTrip, TheLastCodePointSurvivesNarrowText) {
  // The first and the last code point beyond the basic plane, as UTF-16
  // pairs in the tree and four bytes each in the narrow text.
  const std::u16string text = u"\U00010000\U0010FFFF";
  auto doc = NewDoc();
  doc->LoadFromXML(WideString(u"<r a=\"") + text + u"\">" + text + u"</r>");
  AnsiString narrow;
  doc->SaveToXML(narrow);
  EXPECT_EQ(narrow, "<r a=\"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\">\xF0\x90\x80\x80\xF4\x8F\xBF\xBF</r>\n");
  auto again = NewDoc();
  again->LoadFromXML(narrow);
  EXPECT_EQ(again->GetDocumentElement()->GetText(), text);
  EXPECT_EQ(again->GetDocumentElement()->GetAttribute(u"a"), OleVariant(WideString(text)));
}
