// The test vendor must behave like the real DOM minus the hidden interfaces;
// otherwise tests of the document layer's plain-DOM paths prove nothing.
#include "tests/xml/vendor/TestVendor.h"

#include <gtest/gtest.h>

#include <utility>

#include "dom/xercesxmldom.h"
#include "rtl/TextConv.h"

namespace {

using rtl::ComPtr;
using testvendor::TTestDOMVendor;

ComPtr<IDOMDocument> NewDocument(TDOMVendor& vendor) {
  ComPtr<IDOMDocument> doc;
  DOMCheck(vendor.GetImplementation()->CreateDocument(u"", u"", nullptr, doc.put()),
           "CreateDocument");
  return doc;
}

ComPtr<IDOMDocument> LoadText(TDOMVendor& vendor, WideStringView xml) {
  ComPtr<IDOMDocument> doc = NewDocument(vendor);
  WordBool ok = 0;
  DOMCheck(doc.query<IDOMPersist>()->LoadXMLText(xml, &ok), "LoadXMLText");
  EXPECT_TRUE(rtl::FromWordBool(ok));
  return doc;
}

WideString Text(ComPtr<IDOMDocument> doc) {
  WideString text;
  DOMCheck(doc.query<IDOMPersist>()->GetDocumentText(&text), "GetDocumentText");
  return text;
}

class TestVendorTest : public ::testing::Test {
 protected:
  void SetUp() override { baseline_ = testvendor::LiveForwarderCount(); }
  void TearDown() override { EXPECT_EQ(testvendor::LiveForwarderCount(), baseline_); }

  TTestDOMVendor plain_{testvendor::kTestVendorDesc, testvendor::kHideOptional};
  TTestDOMVendor noPersist_{testvendor::kTestVendorNoPersistDesc,
                            testvendor::kHideOptional | testvendor::hiPersist};
  int32_t baseline_ = 0;
};

TEST_F(TestVendorTest, RegistersUnderItsDescriptionAndUnregistersOnDestruction) {
  EXPECT_EQ(LookupVendor(testvendor::kTestVendorDesc), &plain_);
  {
    TTestDOMVendor extra("Test DOM extra", testvendor::hiNone);
    EXPECT_EQ(LookupVendor("Test DOM extra"), &extra);
  }
  EXPECT_EQ(VendorRegistry().FindByDescription("Test DOM extra"), nullptr);
}

// The premise: the real library offers every optional interface, and the
// forwarding DOM refuses exactly the chosen ones.
TEST_F(TestVendorTest, HidesChosenInterfacesTheRealLibraryOffers) {
  ComPtr<IDOMDocument> real = LoadText(*LookupVendor(SXercesXML), u"<r/>");
  EXPECT_TRUE(real.try_query<IDOMParseOptions>());
  EXPECT_TRUE(real.try_query<IDOMXMLDeclaration>());
  EXPECT_TRUE(real.try_query<IDOMNodeExtension>());
  EXPECT_TRUE(real.try_query<IDOMPersist>());

  ComPtr<IDOMDocument> doc = LoadText(plain_, u"<r/>");
  EXPECT_FALSE(doc.try_query<IDOMParseOptions>());
  EXPECT_FALSE(doc.try_query<IDOMXMLDeclaration>());
  EXPECT_FALSE(doc.try_query<IDOMNodeExtension>());
  EXPECT_TRUE(doc.try_query<IDOMPersist>());
  ComPtr<IDOMElement> root;
  DOMCheck(doc->GetDocumentElement(root.put()), "GetDocumentElement");
  ASSERT_TRUE(root);
  EXPECT_FALSE(root.try_query<IDOMNodeExtension>());
  // Kinds the node really has are still offered; kinds it lacks are not.
  EXPECT_TRUE(root.try_query<IDOMElement>());
  EXPECT_FALSE(root.try_query<IDOMAttr>());
  EXPECT_FALSE(root.try_query<IDOMDocument>());

  ComPtr<IDOMDocument> bare = NewDocument(noPersist_);
  EXPECT_FALSE(bare.try_query<IDOMPersist>());
  EXPECT_TRUE(bare.try_query<IDOMDocument>());

  TTestDOMVendor open("Test DOM open", testvendor::hiNone);
  ComPtr<IDOMDocument> full = LoadText(open, u"<r/>");
  EXPECT_TRUE(full.try_query<IDOMParseOptions>());
  EXPECT_TRUE(full.try_query<IDOMXMLDeclaration>());
  EXPECT_TRUE(full.try_query<IDOMNodeExtension>());
}

// Identity of DOM references is whatever the real library gives: a
// forwarder is shared exactly when the inner object is.
TEST_F(TestVendorTest, EveryReturnedReferenceIsAForwarderWithTheRealIdentity) {
  const WideStringView xml = u"<r a='1'><c/><d/></r>";
  ComPtr<IDOMDocument> real = LoadText(*LookupVendor(SXercesXML), xml);
  ComPtr<IDOMDocument> doc = LoadText(plain_, xml);
  EXPECT_TRUE(testvendor::IsForwarder(doc.get()));
  EXPECT_FALSE(testvendor::IsForwarder(real.get()));

  auto probe = [](ComPtr<IDOMDocument> d, bool expectForwarders) {
    ComPtr<IDOMElement> root;
    DOMCheck(d->GetDocumentElement(root.put()), "GetDocumentElement");
    ComPtr<IDOMNode> first, again, parent;
    DOMCheck(root->GetFirstChild(first.put()), "GetFirstChild");
    ComPtr<IDOMNodeList> children;
    DOMCheck(root->GetChildNodes(children.put()), "GetChildNodes");
    DOMCheck(children->Item(0, again.put()), "Item");
    DOMCheck(first->GetParentNode(parent.put()), "GetParentNode");
    EXPECT_EQ(testvendor::IsForwarder(first.get()), expectForwarders);
    EXPECT_EQ(testvendor::IsForwarder(children.get()), expectForwarders);
    EXPECT_EQ(testvendor::IsForwarder(parent.get()), expectForwarders);
    EXPECT_EQ(DOMNodeName(again.get()), u"c");
    EXPECT_EQ(DOMNodeName(parent.get()), u"r");
    return std::pair(rtl::SameObject(first.get(), again.get()),
                     rtl::SameObject(parent.get(), root.get()));
  };
  EXPECT_EQ(probe(doc, true), probe(real, false));

  ComPtr<IDOMElement> root;
  DOMCheck(doc->GetDocumentElement(root.put()), "GetDocumentElement");
  ComPtr<IDOMNamedNodeMap> attrs;
  DOMCheck(root->GetAttributes(attrs.put()), "GetAttributes");
  ASSERT_TRUE(attrs);
  EXPECT_TRUE(testvendor::IsForwarder(attrs.get()));
  ComPtr<IDOMNode> attr;
  DOMCheck(attrs->Item(0, attr.put()), "Item");
  ASSERT_TRUE(attr);
  EXPECT_TRUE(attr.try_query<IDOMAttr>());
  WideString value;
  DOMCheck(attr.query<IDOMAttr>()->GetValue(&value), "GetValue");
  EXPECT_EQ(value, u"1");
  // Out-of-range items stay null rather than becoming empty forwarders.
  ComPtr<IDOMNodeList> children;
  DOMCheck(root->GetChildNodes(children.put()), "GetChildNodes");
  ComPtr<IDOMNode> none;
  DOMCheck(children->Item(5, none.put()), "Item");
  EXPECT_FALSE(none);
}

TEST_F(TestVendorTest, ArgumentsAreUnwrappedBeforeTheyReachTheRealDOM) {
  ComPtr<IDOMDocument> doc = LoadText(plain_, u"<r><c/></r>");
  ComPtr<IDOMElement> root;
  DOMCheck(doc->GetDocumentElement(root.put()), "GetDocumentElement");
  ComPtr<IDOMElement> added;
  DOMCheck(doc->CreateElementNS(u"urn:x", u"p:e", added.put()), "CreateElementNS");
  ComPtr<IDOMNode> first;
  DOMCheck(root->GetFirstChild(first.put()), "GetFirstChild");
  ComPtr<IDOMNode> inserted;
  DOMCheck(root->InsertBefore(added.get(), first.get(), inserted.put()), "InsertBefore");
  EXPECT_TRUE(testvendor::IsForwarder(inserted.get()));
  EXPECT_EQ(DOMNodeName(inserted.get()), u"p:e");

  ComPtr<IDOMAttr> attr;
  DOMCheck(doc->CreateAttribute(u"k", attr.put()), "CreateAttribute");
  DOMCheck(attr->SetValue(u"v"), "SetValue");
  ComPtr<IDOMAttr> replaced;
  DOMCheck(root->SetAttributeNode(attr.get(), replaced.put()), "SetAttributeNode");
  EXPECT_FALSE(replaced);
  WideString value;
  DOMCheck(root->GetAttribute(u"k", &value), "GetAttribute");
  EXPECT_EQ(value, u"v");
  ComPtr<IDOMNode> now;
  DOMCheck(root->GetFirstChild(now.put()), "GetFirstChild");
  WideString uri;
  DOMCheck(now->GetNamespaceURI(&uri), "GetNamespaceURI");
  EXPECT_EQ(uri, u"urn:x");

  ComPtr<IDOMNode> removed;
  DOMCheck(root->RemoveChild(now.get(), removed.put()), "RemoveChild");
  ComPtr<IDOMAttr> gone;
  DOMCheck(root->RemoveAttributeNode(attr.get(), gone.put()), "RemoveAttributeNode");
  EXPECT_NE(Text(doc).find(u"<r><c/></r>"), WideString::npos) << rtl::Utf8Encode(Text(doc));
}

// A node that is not a forwarder reaches the real DOM as it is, and the real
// DOM's refusal comes back as a failed status.
TEST_F(TestVendorTest, ForeignNodesPassThroughAndAreRefusedByTheRealDOM) {
  ComPtr<IDOMDocument> doc = LoadText(plain_, u"<r/>");
  ComPtr<IDOMDocument> other = LoadText(*LookupVendor(SXercesXML), u"<o/>");
  ComPtr<IDOMElement> foreign;
  DOMCheck(other->CreateElement(u"f", foreign.put()), "CreateElement");
  ComPtr<IDOMElement> root;
  DOMCheck(doc->GetDocumentElement(root.put()), "GetDocumentElement");
  ComPtr<IDOMNode> result;
  EXPECT_THROW(DOMCheck(root->AppendChild(foreign.get(), result.put()), "AppendChild"),
               DOMException);
  EXPECT_FALSE(result);
}

TEST_F(TestVendorTest, ParseErrorsAreReportedThroughTheForwarder) {
  ComPtr<IDOMDocument> doc = NewDocument(plain_);
  WordBool ok = -1;
  DOMCheck(doc.query<IDOMPersist>()->LoadXMLText(u"<r>\n<a>\n</r>", &ok), "LoadXMLText");
  EXPECT_FALSE(rtl::FromWordBool(ok));
  ComPtr<IDOMParseError> error = doc.try_query<IDOMParseError>();
  ASSERT_TRUE(error);
  WideString reason;
  int32_t line = 0;
  DOMCheck(error->GetReason(&reason), "GetReason");
  DOMCheck(error->GetLine(&line), "GetLine");
  EXPECT_FALSE(reason.empty());
  EXPECT_EQ(line, 3);
}

TEST_F(TestVendorTest, ForwardersGoAwayWithTheirLastReference) {
  int32_t before = testvendor::LiveForwarderCount();
  {
    ComPtr<IDOMDocument> doc = LoadText(plain_, u"<r><a/><b/><c/></r>");
    ComPtr<IDOMElement> root;
    DOMCheck(doc->GetDocumentElement(root.put()), "GetDocumentElement");
    ComPtr<IDOMNodeList> children;
    DOMCheck(root->GetChildNodes(children.put()), "GetChildNodes");
    for (int32_t i = 0; i < 3; ++i) {
      ComPtr<IDOMNode> child;
      DOMCheck(children->Item(i, child.put()), "Item");
    }
    EXPECT_GT(testvendor::LiveForwarderCount(), before);
  }
  EXPECT_EQ(testvendor::LiveForwarderCount(), before);
}

}  // namespace
