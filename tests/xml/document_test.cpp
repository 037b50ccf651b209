// The document component: activation and its events, the four load
// sources, parse errors, the XML lines against FileName, Refresh, reference
// counting and ownership, the document node and element, unique prefixes,
// node-change notification and the stored vendor description.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "rtl/FormReader.h"
#include "rtl/Streams.h"
#include "rtl/StringList.h"
#include "tests/xml/XmlTestUtil.h"
#include "xml/XMLConst.h"
#include "xml/XMLDoc.h"
#ifdef XMLTEST_HAVE_TEST_VENDOR
#include "tests/xml/vendor/TestVendor.h"
#endif

namespace {

using namespace xmltest;

// A file in the temporary folder, removed afterwards.
struct TempFile {
  std::string path;
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/xmldoc_testXXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    close(fd);
    path = name;
    Write(content);
  }
  ~TempFile() { std::remove(path.c_str()); }
  void Write(const std::string& content) const { std::ofstream(path, std::ios::binary) << content; }
  std::string Read() const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  WideString Wide() const { return W(path); }
};

// Records the open and close events of a document.
// Declare it after the document's reference: it detaches itself first.
struct OpenCloseLog {
  std::vector<std::string> events;
  TXMLDocument* doc;
  ~OpenCloseLog() { doc->BeforeOpen = doc->AfterOpen = doc->BeforeClose = doc->AfterClose = nullptr; }
  explicit OpenCloseLog(TXMLDocument* d) : doc(d) {
    doc->BeforeOpen = [this](rtl::TObject*) { events.push_back("BeforeOpen"); };
    doc->AfterOpen = [this](rtl::TObject*) { events.push_back("AfterOpen"); };
    doc->BeforeClose = [this](rtl::TObject*) { events.push_back("BeforeClose"); };
    doc->AfterClose = [this](rtl::TObject*) { events.push_back("AfterClose"); };
  }
};

TEST(Document, OpeningWithoutSourceGivesAnEmptyDocument) {
  ComPtr<IXMLDocumentIntf> doc = NewDoc();
  OpenCloseLog log(Inst(doc));
  EXPECT_FALSE(doc->GetActive());
  EXPECT_TRUE(doc->IsEmptyDocument());
  EXPECT_EQ(ErrorOf([&] { doc->GetDocumentElement(); }), "No active document");
  EXPECT_EQ(ErrorOf([&] { doc->GetDocumentNode(); }), "No active document");
  EXPECT_EQ(ErrorOf([&] { doc->CreateNode(u"x"); }), "No active document");
  EXPECT_EQ(ErrorOf([&] { doc->GetVersion(); }), "No active document");
  EXPECT_EQ(ErrorOf([&] { doc->GetAsyncLoadState(); }), "No active document");
  doc->SetActive(true);
  EXPECT_TRUE(doc->GetActive());
  EXPECT_TRUE(doc->IsEmptyDocument());
  EXPECT_FALSE(doc->GetDocumentElement());
  EXPECT_EQ(doc->GetChildNodes()->GetCount(), 0);
  doc->SetActive(true);  // no change, no events
  doc->SetActive(false);
  EXPECT_EQ(log.events, (std::vector<std::string>{"BeforeOpen", "AfterOpen", "BeforeClose", "AfterClose"}));
  EXPECT_EQ(Inst(doc)->GetDocumentSource(), dsNone);
}

TEST(Document, LoadFromFileAndReload) {
  TempFile file("<?xml version=\"1.0\"?>\n<root a=\"1\"><c>x</c></root>\n");
  ComPtr<IXMLDocumentIntf> doc = NewDoc();
  doc->LoadFromFile(file.Wide());
  EXPECT_TRUE(doc->GetActive());
  EXPECT_EQ(doc->GetFileName(), file.Wide());
  EXPECT_EQ(Inst(doc)->GetDocumentSource(), dsFile);
  EXPECT_EQ(doc->GetDocumentElement()->GetNodeName(), u"root");
  EXPECT_FALSE(doc->GetModified());
  // An empty argument reloads the current file.
  file.Write("<other/>");
  doc->LoadFromFile();
  EXPECT_EQ(doc->GetDocumentElement()->GetNodeName(), u"other");
  // Both empty.
  ComPtr<IXMLDocumentIntf> blank = NewDoc();
  EXPECT_EQ(ErrorOf([&] { blank->LoadFromFile(); }), "FileName cannot be blank");
  EXPECT_FALSE(blank->GetActive());
  // A missing file is a load failure.
  EXPECT_THROW(blank->LoadFromFile(u"/nonexistent/dir/file.xml"), EDOMParseError);
  EXPECT_FALSE(blank->GetActive());
}

TEST(Document, ParseErrorLayout) {
  std::string xml = "<root>\n<a/>\n<b/>\n<c/>\n<d/>\n<e/>\n";
  xml += "<f>" + std::string(50, 'x') + "</g>\n</root>";
  ComPtr<IXMLDocumentIntf> doc = NewDoc();
  OpenCloseLog log(Inst(doc));
  try {
    doc->LoadFromXML(W(xml));
    FAIL() << "no parse error";
  } catch (const EDOMParseError& e) {
    ASSERT_TRUE(e.ParseError);
    WideString reason;
    WideString source;
    int32_t line = 0;
    e.ParseError->GetReason(&reason);
    e.ParseError->GetSourceText(&source);
    e.ParseError->GetLine(&line);
    EXPECT_EQ(line, 7);
    EXPECT_GT(source.size(), 40u);
    const std::string expected =
        rtl::WideToNarrow(reason) + "\nLine: 7\n" + rtl::WideToNarrow(WideStringView(source).substr(0, 40));
    EXPECT_EQ(e.Message(), expected);
    EXPECT_FALSE(reason.empty());
  }
  EXPECT_FALSE(doc->GetActive());
  EXPECT_EQ(Inst(doc)->GetDocumentSource(), dsNone);
  EXPECT_EQ(log.events, (std::vector<std::string>{"BeforeOpen"}));
}

TEST(Document, WideTextLosesByteOrderMarkAndNarrowEncodings) {
  ComPtr<IXMLDocumentIntf> doc = NewDoc();
  doc->LoadFromXML(WideString(u"\uFEFF<r>\u00E9\u4E2D</r>"));
  EXPECT_EQ(doc->GetDocumentElement()->GetText(), u"\u00E9\u4E2D");
  EXPECT_EQ(Inst(doc)->GetDocumentSource(), dsXMLText);
  doc->LoadFromXML(WideString(u"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>\u4E2D</r>"));
  EXPECT_EQ(doc->GetDocumentElement()->GetText(), u"\u4E2D");
  doc->LoadFromXML(WideString(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><r>\u4E2D</r>"));
  EXPECT_EQ(doc->GetDocumentElement()->GetText(), u"\u4E2D");
}

TEST(Document, StreamsAndNarrowText) {
  ComPtr<IXMLDocumentIntf> doc = NewDoc();
  rtl::TStringStream stream("<s>stream</s>");
  stream.SetPosition(5);  // loading starts at the beginning whatever the position
  doc->LoadFromStream(&stream);
  EXPECT_EQ(doc->GetDocumentElement()->GetText(), u"stream");
  EXPECT_EQ(Inst(doc)->GetDocumentSource(), dsStream);
  doc->LoadFromXML(AnsiString("<n>narrow</n>"));
  EXPECT_EQ(doc->GetDocumentElement()->GetText(), u"narrow");
  // A failed stream load leaves no pending stream behind.
  {
    rtl::TStringStream bad("<broken>");
    EXPECT_THROW(doc->LoadFromStream(&bad), EDOMParseError);
  }
  doc->SetActive(true);
  EXPECT_TRUE(doc->IsEmptyDocument());
}

TEST(Document, XMLLinesAndFileNameAreAlternatives) {
  TempFile file("<f/>");
  OwnerComponent owner;
  auto* doc = new TXMLDocument(&owner);
  doc->SetDOMVendor(LookupVendor("Xerces XML"));
  rtl::TStrings* lines = doc->GetXML();
  lines->SetText("<lines>\n<a/>\n</lines>");
  doc->SetActive(true);
  EXPECT_EQ(doc->GetDocumentSource(), dsXMLLines);
  // Whitespace between the lines is not kept by default.
  EXPECT_EQ(doc->GetDocumentElement()->GetChildNodes()->GetCount(), 1);
  doc->SetFileName(file.Wide());
  EXPECT_TRUE(doc->GetActive());  // another source stays active...
  EXPECT_EQ(lines->Count(), 0);   // ...but the lines are emptied
  doc->LoadFromFile();
  EXPECT_EQ(doc->GetDocumentSource(), dsFile);
  // Changing the lines from outside closes the document and forgets FileName.
  lines->SetText("<new/>");
  EXPECT_FALSE(doc->GetActive());
  EXPECT_TRUE(doc->GetFileName().empty());
  EXPECT_EQ(lines->GetText(), "<new/>");
  doc->SetActive(true);
  EXPECT_EQ(doc->GetDocumentElement()->GetNodeName(), u"new");
  // Edits show in the lines when they are next read.
  doc->GetDocumentElement()->SetAttribute(u"x", u"1");
  EXPECT_NE(doc->GetXML()->GetText().find("<new x=\"1\"/>"), std::string::npos);
  EXPECT_TRUE(doc->GetActive());
  // A different FileName on an inactive document empties the lines.
  doc->SetActive(false);
  EXPECT_EQ(lines->GetText().empty(), false);
  doc->SetFileName(file.Wide());
  EXPECT_EQ(lines->Count(), 0);
  // SetXML copies lines and closes.
  doc->LoadFromFile();
  rtl::TStringList other;
  other.SetText("<copied/>");
  doc->SetXML(other);
  EXPECT_FALSE(doc->GetActive());
  doc->SetActive(true);
  EXPECT_EQ(doc->GetDocumentElement()->GetNodeName(), u"copied");
}

TEST(Document, FailingLinesLeaveTheDocumentInactiveAndEmpty) {
  OwnerComponent owner;
  auto* doc = new TXMLDocument(&owner);
  doc->SetDOMVendor(LookupVendor("Xerces XML"));
  doc->GetXML()->SetText("<a><b></a>");
  EXPECT_THROW(doc->SetActive(true), EDOMParseError);
  EXPECT_FALSE(doc->GetActive());
  EXPECT_EQ(doc->GetXML()->Count(), 0);
}

TEST(Document, Refresh) {
  TempFile file("<v1/>");
  ComPtr<IXMLDocumentIntf> doc = NewDoc();
  OpenCloseLog log(Inst(doc));
  doc->LoadFromFile(file.Wide());
  ComPtr<IDOMDocument> first = doc->GetDOMDocument();
  file.Write("<v2/>");
  log.events.clear();
  doc->Refresh();
  EXPECT_NE(doc->GetDOMDocument(), first);
  EXPECT_EQ(doc->GetDocumentElement()->GetNodeName(), u"v2");
  EXPECT_TRUE(log.events.empty());
  // From the lines.
  doc->GetXML()->SetText("<l1/>");
  doc->SetActive(true);
  doc->GetDocumentElement()->SetAttribute(u"x", u"1");
  doc->Refresh();
  EXPECT_EQ(Body(doc), "<l1/>");
  // Not from a file or the lines.
  doc->LoadFromXML(W("<t/>"));
  EXPECT_EQ(ErrorOf([&] { doc->Refresh(); }),
            "Refresh is only supported if the FileName or XML properties are set");
  EXPECT_FALSE(doc->GetActive());
  EXPECT_EQ(ErrorOf([&] { doc->Refresh(); }), "No active document");
}

struct CountedDocument : TXMLDocument {
  using TXMLDocument::TXMLDocument;
  ~CountedDocument() override { ++destroyed; }
  static inline int destroyed = 0;
};

TEST(Document, UnownedDiesWithItsLastReferenceOwnedWithItsOwner) {
  CountedDocument::destroyed = 0;
  {
    ComPtr<IXMLDocumentIntf> doc(new CountedDocument(nullptr));
    EXPECT_EQ(Inst(doc)->RefCount(), 1);
    ComPtr<IXMLDocumentAccess> access = doc.query<IXMLDocumentAccess>();
    doc = nullptr;
    EXPECT_EQ(CountedDocument::destroyed, 0);
  }
  EXPECT_EQ(CountedDocument::destroyed, 1);
  {
    OwnerComponent owner;
    auto* doc = new CountedDocument(&owner);
    EXPECT_TRUE(doc->OwnedByComponent());
    { ComPtr<IXMLDocumentIntf> intf(doc); }
    EXPECT_EQ(CountedDocument::destroyed, 1);
    EXPECT_EQ(doc->RefCount(), 0);
  }
  EXPECT_EQ(CountedDocument::destroyed, 2);
}

TEST(Document, ParseOptionsNeedTheirInterface) {
  ComPtr<IXMLDocumentIntf> doc = NewDoc();
  doc->SetParseOptions(TParseOptions{poPreserveWhiteSpace});
  doc->LoadFromXML(W("<r>\n  <a/>\n</r>"));
  EXPECT_EQ(doc->GetDocumentElement()->GetChildNodes()->GetCount(), 3);
  doc->SetParseOptions(TParseOptions{});
  doc->LoadFromXML(W("<r>\n  <a/>\n</r>"));
  EXPECT_EQ(doc->GetDocumentElement()->GetChildNodes()->GetCount(), 1);
  std::vector<int32_t> states;
  doc->SetOnAsyncLoad([&](rtl::TObject* sender, int32_t state) {
    EXPECT_EQ(sender, Inst(doc));
    states.push_back(state);
  });
  doc->LoadFromXML(W("<r/>"));
  EXPECT_GE(doc->GetAsyncLoadState(), 0);
#ifdef XMLTEST_HAVE_TEST_VENDOR
  testvendor::TTestDOMVendor plain("Plain DOM for document tests", testvendor::hiParseOptions);
  ComPtr<IXMLDocumentIntf> other = NewDoc();
  Inst(other)->SetDOMVendor(&plain);
  other->LoadFromXML(W("<r/>"));
  EXPECT_TRUE(other->GetActive());
  other->SetParseOptions(TParseOptions{poValidateOnParse});
  EXPECT_EQ(ErrorOf([&] { other->LoadFromXML(W("<r/>")); }),
            "DOM Implementation does not support IDOMParseOptions");
  EXPECT_FALSE(other->GetActive());
  other = nullptr;
#endif
}

TEST(Document, AutoSaveOnClose) {
  TempFile file("<r/>");
  ComPtr<IXMLDocumentIntf> doc = NewDoc();
  doc->SetOptions(kDefaultXMLDocOptions + TXMLDocOptions{doAutoSave});
  doc->LoadFromFile(file.Wide());
  doc->SetActive(false);
  EXPECT_EQ(file.Read(), "<r/>");  // unmodified: not saved
  doc->SetActive(true);
  doc->GetDocumentElement()->SetAttribute(u"saved", u"yes");
  EXPECT_TRUE(doc->GetModified());
  doc->SetActive(false);
  EXPECT_NE(file.Read().find("saved=\"yes\""), std::string::npos);
  // From the lines: closing writes the DOM back into them.
  doc->GetXML()->SetText("<l/>");
  doc->SetActive(true);
  doc->GetDocumentElement()->AddChild(u"c");
  doc->SetActive(false);
  EXPECT_NE(doc->GetXML()->GetText().find("<l><c/></l>"), std::string::npos);
}

TEST(Document, DocumentElementAmongOtherChildren) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<!--before--><?pi x?><root/><!--after-->");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  ASSERT_TRUE(root);
  EXPECT_EQ(root->GetNodeName(), u"root");
  EXPECT_EQ(doc->GetChildNodes()->GetCount(), 4);
  ComPtr<IXMLNode> replacement = doc->CreateElement(u"other", u"");
  doc->SetDocumentElement(replacement);
  EXPECT_EQ(doc->GetDocumentElement(), replacement);
  EXPECT_EQ(doc->GetChildNodes()->GetCount(), 4);
  doc->GetChildNodes()->Remove(replacement);
  EXPECT_FALSE(doc->GetDocumentElement());
  doc->SetDocumentElement(doc->CreateElement(u"third", u""));
  EXPECT_EQ(doc->GetDocumentElement()->GetNodeName(), u"third");
}

TEST(Document, SecondDocumentElementIsRefused) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<root/>");
  EXPECT_THROW(doc->AddChild(u"x"), DOMException);
  EXPECT_EQ(doc->GetChildNodes()->GetCount(), 1);
}

TEST(Document, CreateNodeMakesUnattachedNodes) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r/>");
  ComPtr<IXMLNode> element = doc->CreateElement(u"p:e", u"urn:p");
  EXPECT_FALSE(element->GetParentNode());
  EXPECT_EQ(element->GetNamespaceURI(), u"urn:p");
  EXPECT_EQ(element->GetOwnerDocument(), doc);
  EXPECT_EQ(Body(doc), "<r/>");
  EXPECT_EQ(doc->CreateNode(u"c", ntComment)->GetNodeType(), ntComment);
  EXPECT_EQ(doc->CreateNode(u"t", ntProcessingInstr, u"d")->GetText(), u"d");
  EXPECT_EQ(ErrorOf([&] { doc->CreateNode(u"x", ntDocument); }), "Invalid node type");
}

TEST(Document, UniquePrefixes) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r xmlns:NS2=\"urn:taken\"/>");
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  EXPECT_EQ(doc->MakeUniquePrefix(root), u"NS1");
  EXPECT_EQ(doc->MakeUniquePrefix(root), u"NS3");  // NS2 is bound in scope
  EXPECT_EQ(doc->MakeUniquePrefix(root), u"NS4");
  doc->SetActive(false);
  doc->SetActive(true);
  EXPECT_EQ(doc->MakeUniquePrefix(doc->GetDocumentNode()), u"NS1");
}

TEST(Document, NodeChangesFireOnceBeforeAndAfter) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r><c>v</c></r>");
  std::vector<std::string> events;
  Inst(doc)->BeforeNodeChange = [&](const ComPtr<IXMLNode>& n, TNodeChange c) {
    events.push_back("before " + std::to_string(c) + " " + N(n->GetNodeName()));
  };
  Inst(doc)->AfterNodeChange = [&](const ComPtr<IXMLNode>& n, TNodeChange c) {
    events.push_back("after " + std::to_string(c) + " " + N(n->GetNodeName()));
  };
  ComPtr<IXMLNode> c = doc->GetDocumentElement()->GetChildNodes()->Get(0);
  EXPECT_FALSE(doc->GetModified());
  c->SetText(u"w");
  c->SetAttribute(u"a", u"1");
  c->SetAttribute(u"a", OleVariant::Null());
  doc->GetDocumentElement()->GetChildNodes()->Remove(c);
  EXPECT_EQ(events, (std::vector<std::string>{"before 0 c", "after 0 c", "before 3 c", "after 3 c",
                                              "before 4 c", "after 4 c", "before 2 r", "after 2 r"}));
  EXPECT_TRUE(doc->GetModified());
}

TEST(Document, ResetDocumentNodeBuildsFreshWrappers) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r/>");
  ComPtr<IXMLNode> before = doc->GetDocumentElement();
  EXPECT_EQ(doc->GetDocumentElement(), before);
  doc->ResetDocumentNode();
  ComPtr<IXMLNode> after = doc->GetDocumentElement();
  EXPECT_NE(after, before);
  EXPECT_EQ(after->GetNodeName(), u"r");
}

TEST(Document, SetDOMDocumentOpensWithoutLoading) {
  ComPtr<IXMLDocumentIntf> source = LoadDoc("<shared/>");
  ComPtr<IXMLDocumentIntf> doc = NewDoc();
  OpenCloseLog log(Inst(doc));
  doc->SetDOMDocument(source->GetDOMDocument());
  EXPECT_TRUE(doc->GetActive());
  EXPECT_EQ(doc->GetDocumentElement()->GetNodeName(), u"shared");
  EXPECT_EQ(log.events, (std::vector<std::string>{"BeforeOpen", "AfterOpen"}));
}

TEST(Document, ChangingTheVendorCloses) {
  ComPtr<IXMLDocumentIntf> doc = LoadDoc("<r/>");
  TXMLDocument* instance = Inst(doc);
  TDOMVendor* vendor = instance->GetDOMVendor();
  instance->SetDOMVendor(vendor);  // same vendor: nothing happens
  EXPECT_TRUE(doc->GetActive());
  instance->SetDOMImplementation(nullptr);
  EXPECT_FALSE(doc->GetActive());
  instance->SetDOMVendor(nullptr);
  instance->SetDOMVendor(vendor);
  doc->SetActive(true);
  EXPECT_TRUE(doc->GetActive());
  instance->SetDOMVendor(nullptr);
  EXPECT_FALSE(doc->GetActive());
}

struct FormOwner : rtl::TComponent {
  using rtl::TComponent::TComponent;
};

TEST(Document, FormDescriptionSetsTheVendorAndOpensOnceLoaded) {
  rtl::RegisterComponentClass<TXMLDocument>("TXMLDocument");
  FormOwner owner(nullptr);
  rtl::ReadForm("XMLDocument1: TXMLDocument\n  DOMVendorDesc = \"Xerces XML\"\n", &owner);
  auto* doc = dynamic_cast<TXMLDocument*>(owner.FindComponent("XMLDocument1"));
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(doc->GetDOMVendor(), LookupVendor("Xerces XML"));
  EXPECT_FALSE(doc->GetActive());
  EXPECT_EQ(doc->GetOptions().Byte(), 0x1D);

  // Active is held while reading and applied when loading ends, after the
  // vendor (which comes later in the text) is known.
  FormOwner second(nullptr);
  auto* opened = rtl::CreateComponent<TXMLDocument>(&second);
  opened->SetName("Doc");
  opened->GetXML()->SetText("<loaded/>");
  bool openedWhileLoading = true;
  opened->BeforeOpen = [&](rtl::TObject*) { openedWhileLoading = opened->ComponentState().Contains(rtl::csLoading); };
  rtl::ReadForm("Doc: TXMLDocument\n  Active = true\n  DOMVendorDesc = \"Xerces XML\"\n", &second);
  EXPECT_FALSE(openedWhileLoading) << "opened before loading ended";
  EXPECT_TRUE(opened->GetActive());
  EXPECT_EQ(opened->GetDOMVendor(), LookupVendor("Xerces XML"));
  EXPECT_EQ(opened->GetDocumentElement()->GetNodeName(), u"loaded");

  // An unknown vendor fails the reading; an empty description is ignored.
  FormOwner third(nullptr);
  EXPECT_EQ(ErrorOf([&] { rtl::ReadForm("D: TXMLDocument\n  DOMVendorDesc = \"Nobody XML\"\n", &third); }),
            "No matching DOM Vendor: \"Nobody XML\"");
  EXPECT_EQ(third.ComponentCount(), 0);
  rtl::ReadForm("D: TXMLDocument\n  DOMVendorDesc = \"\"\n", &third);
  EXPECT_EQ(dynamic_cast<TXMLDocument*>(third.FindComponent("D"))->GetDOMVendor(), nullptr);
}

}  // namespace
