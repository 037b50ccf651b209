// Who keeps whom alive: the document element holding its document, wrappers
// outliving an owned document, and many load/close cycles. Meant to run under
// AddressSanitizer, which turns a dangling back reference or a leak into a
// failure.
#include <gtest/gtest.h>

#include <string>

#include "rtl/Component.h"
#include "rtl/Streams.h"
#include "tests/xml/vendor/DocTestSupport.h"
#include "tests/xml/vendor/TestVendor.h"
#include "xml/XMLDoc.h"

namespace {

using namespace doctest_support;

// Tells when it is destroyed.
class TTrackedDocument : public TXMLDocument {
 public:
  TTrackedDocument(rtl::TComponent* owner, bool* destroyed)
      : TXMLDocument(owner), destroyed_(destroyed) {}
  ~TTrackedDocument() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

TTrackedDocument* NewTracked(rtl::TComponent* owner, bool* destroyed, const char* vendor) {
  EnsureTestVendors();
  auto* doc = rtl::CreateComponent<TTrackedDocument>(owner, destroyed);
  doc->SetDOMVendor(LookupVendor(vendor));
  return doc;
}

class LifetimeTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    EnsureTestVendors();
    forwarders_ = testvendor::LiveForwarderCount();
  }
  // Everything the test vendor handed out must be gone again.
  void TearDown() override { EXPECT_EQ(testvendor::LiveForwarderCount(), forwarders_); }

 private:
  int32_t forwarders_ = 0;
};

TEST_P(LifetimeTest, TheDocumentElementKeepsAnUnownedDocumentAlive) {
  bool destroyed = false;
  ComPtr<IXMLNode> root;
  {
    ComPtr<IXMLDocumentIntf> doc(NewTracked(nullptr, &destroyed, GetParam()));
    doc->LoadFromXML(W("<r a='1'><c>t</c></r>"));
    root = doc->GetDocumentElement();
  }
  ASSERT_FALSE(destroyed);
  ASSERT_TRUE(root->GetOwnerDocument());
  EXPECT_TRUE(root->GetOwnerDocument()->GetActive());
  EXPECT_EQ(root->GetChildNodes()->Get(0)->GetText(), u"t");
  root->AddChild(u"added")->SetAttribute(u"k", OleVariant(u"v"));
  EXPECT_TRUE(root->GetOwnerDocument()->GetModified());

  // A second reference holds the document as well; dropping it releases
  // that hold again.
  {
    ComPtr<IXMLNode> second = root;
    EXPECT_FALSE(destroyed);
  }
  EXPECT_FALSE(destroyed);
  root = nullptr;
  EXPECT_TRUE(destroyed);
}

TEST_P(LifetimeTest, AnUnownedDocumentGoesWithItsLastReference) {
  bool destroyed = false;
  {
    ComPtr<IXMLDocumentIntf> doc(NewTracked(nullptr, &destroyed, GetParam()));
    doc->LoadFromXML(W("<r><c/></r>"));
    // Wrappers below the document element do not hold the document.
    ComPtr<IXMLNode> child = doc->GetDocumentElement()->GetChildNodes()->Get(0);
    child = nullptr;
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);
}

// Wrappers may outlive a document that its owner destroyed; they keep their
// DOM nodes and forget the document instead of pointing into freed memory.
TEST_P(LifetimeTest, WrappersOutliveAnOwnedDocument) {
  bool destroyed = false;
  auto* owner = new rtl::TComponent(nullptr);
  TTrackedDocument* doc = NewTracked(owner, &destroyed, GetParam());
  doc->LoadFromXML(W("<r a='1'><c x='2'>t</c><d/></r>"));
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  ComPtr<IXMLNode> c = root->GetChildNodes()->Get(0);
  ComPtr<IXMLNode> attr = c->GetAttributeNodes()->Get(0);
  ComPtr<IXMLNodeList> list = root->GetChildNodes();
  ComPtr<IXMLNode> docNode = doc->GetDocumentNode();

  delete owner;
  ASSERT_TRUE(destroyed);

  EXPECT_EQ(root->GetNodeName(), u"r");
  EXPECT_FALSE(root->GetOwnerDocument());
  EXPECT_FALSE(c->GetOwnerDocument());
  EXPECT_EQ(c->GetText(), u"t");
  EXPECT_EQ(attr->GetText(), u"2");
  EXPECT_EQ(list->GetCount(), 2);
  // Orphaned nodes report absent attributes as Null.
  EXPECT_TRUE(c->GetAttribute(u"missing").IsNull());
  // Changes no longer notify anyone, but still reach the DOM.
  c->SetText(u"changed");
  EXPECT_EQ(c->GetText(), u"changed");
  EXPECT_EQ(docNode->GetChildNodes()->GetCount(), 1);
}

// Only the document element counts on the document, so wrappers further
// down must be cut loose too, or they point into a freed document.
TEST_P(LifetimeTest, DeepWrappersOutliveAnOwnedDocument) {
  bool destroyed = false;
  auto* owner = new rtl::TComponent(nullptr);
  TTrackedDocument* doc = NewTracked(owner, &destroyed, GetParam());
  doc->LoadFromXML(W("<r><c><d>t</d></c></r>"));
  ComPtr<IXMLNode> d =
      doc->GetDocumentElement()->GetChildNodes()->Get(0)->GetChildNodes()->Get(0);
  delete owner;
  ASSERT_TRUE(destroyed);
  EXPECT_FALSE(d->GetOwnerDocument());
  d->SetText(u"changed");
  d->SetAttribute(u"k", OleVariant(u"v"));
  d->AddChild(u"e");
  EXPECT_EQ(d->GetChildNodes()->GetCount(), 2);
}

// Nodes that were never part of the tree, or were taken out of it, hold a
// document reference just the same.
TEST_P(LifetimeTest, DetachedWrappersOutliveAnOwnedDocument) {
  bool destroyed = false;
  auto* owner = new rtl::TComponent(nullptr);
  TTrackedDocument* doc = NewTracked(owner, &destroyed, GetParam());
  doc->LoadFromXML(W("<r><c/></r>"));
  ComPtr<IXMLNode> created = doc->CreateElement(u"made", u"");
  ComPtr<IXMLNode> removed = doc->GetDocumentElement()->GetChildNodes()->Get(0);
  doc->GetDocumentElement()->GetChildNodes()->Remove(removed);
  delete owner;
  ASSERT_TRUE(destroyed);
  created->SetAttribute(u"k", OleVariant(u"v"));
  removed->AddChild(u"x");
  EXPECT_EQ(created->GetAttribute(u"k"), OleVariant(u"v"));
  EXPECT_EQ(removed->GetChildNodes()->GetCount(), 1);
}

TEST_P(LifetimeTest, AnOwnedDocumentIgnoresItsReferenceCount) {
  bool destroyed = false;
  auto* owner = new rtl::TComponent(nullptr);
  TTrackedDocument* doc = NewTracked(owner, &destroyed, GetParam());
  {
    ComPtr<IXMLDocumentIntf> intf(doc);
    intf->LoadFromXML(W("<r/>"));
  }
  EXPECT_FALSE(destroyed);
  EXPECT_TRUE(doc->GetActive());
  delete owner;
  EXPECT_TRUE(destroyed);
}

TEST_P(LifetimeTest, ManyLoadAndCloseCyclesLeaveNothingBehind) {
  TScratchDir dir;
  std::string file = dir.File("cycle.xml");
  std::string text = "<?xml version=\"1.0\"?><r xmlns:p='urn:p'>";
  for (int i = 0; i < 20; ++i)
    text += "<p:item n='" + std::to_string(i) + "'>text " + std::to_string(i) + "<!--c--></p:item>";
  text += "</r>";
  WriteFileBytes(file, text);

  auto owned = std::make_unique<rtl::TComponent>(nullptr);
  auto* kept = rtl::CreateComponent<TXMLDocument>(owned.get());
  kept->SetDOMVendor(LookupVendor(GetParam()));
  for (int cycle = 0; cycle < 1000; ++cycle) {
    switch (cycle % 4) {
      case 0: kept->LoadFromFile(W(file)); break;
      case 1: kept->LoadFromXML(W(text)); break;
      case 2: kept->LoadFromXML(AnsiString(text)); break;
      case 3: {
        rtl::TStringStream stream(text);
        kept->LoadFromStream(&stream);
        break;
      }
    }
    auto root = kept->GetDocumentElement();
    auto items = root->GetChildNodes();
    ASSERT_EQ(items->GetCount(), 20);
    ASSERT_EQ(items->Get(cycle % 20)->GetAttribute(u"n"), OleVariant(W(std::to_string(cycle % 20))));
    if (cycle % 10 == 0) root->AddChild(u"p:extra")->SetText(u"x");
    kept->SetActive(false);

    // A fresh unowned document each time, dropped with its last reference.
    auto doc = NewDocument(GetParam());
    doc->LoadFromXML(W(text));
    ComPtr<IXMLNode> keepRoot = doc->GetDocumentElement();
    doc = nullptr;
    ASSERT_EQ(keepRoot->GetChildNodes()->GetCount(), 20);
  }
}

INSTANTIATE_TEST_SUITE_P(Vendors, LifetimeTest,
                         ::testing::Values(RealVendorDesc(), testvendor::kTestVendorDesc),
                         [](const auto& info) {
                           return std::string(info.param) == RealVendorDesc() ? "RealDOM"
                                                                              : "PlainDOM";
                         });

}  // namespace
