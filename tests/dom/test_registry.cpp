// The vendor registry, the status check and the name helpers.
#include <gtest/gtest.h>

#include <functional>

#include "dom/xercesxmldom.h"
#include "dom/xmldom.h"
#include "rtl/SafeCall.h"

namespace {

class FakeVendor : public TDOMVendor {
 public:
  explicit FakeVendor(std::string description) : description_(std::move(description)) {}
  std::string VendorDescription() override { return description_; }
  rtl::ComPtr<IDOMImplementation> GetImplementation() override {
    ++requests;
    return nullptr;
  }
  int requests = 0;

 private:
  std::string description_;
};

// Each test starts from an empty registry and leaves the start-up state
// (the Xerces vendor registered) behind for the next one.
class Registry : public ::testing::Test {
 protected:
  void SetUp() override { FinalizeVendorRegistry(); }
  void TearDown() override {
    FinalizeVendorRegistry();
    RegisterVendor(XercesVendor);
  }
};

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const rtl::Exception& e) {
    return e.Message();
  }
  ADD_FAILURE() << "no exception";
  return {};
}

// A DOM node that answers the name operations from its fields; `failAll`
// makes every operation fail without a message, and `extension` decides
// whether it provides IDOMNodeExtension.
class FakeNode : public rtl::TInterfacedObject<IDOMNodeExtension> {
 public:
  FakeNode(WideString name, WideString localName, WideString uri)
      : name_(std::move(name)), localName_(std::move(localName)), uri_(std::move(uri)) {}
  bool failAll = false;
  bool extension = false;
  uint16_t type = ntElement;

  HResult QueryInterface(const rtl::GUID& iid, void** obj) override {
    if (iid == IDOMNodeExtension::IID && !extension) {
      *obj = nullptr;
      return rtl::E_NOINTERFACE_;
    }
    return TInterfacedObject::QueryInterface(iid, obj);
  }

  HResult GetNodeName(WideString* r) override { return Give(r, name_); }
  HResult GetLocalName(WideString* r) override { return Give(r, localName_); }
  HResult GetNamespaceURI(WideString* r) override { return Give(r, uri_); }
  HResult GetNodeType(uint16_t* r) override {
    if (failAll) return rtl::E_FAIL_;
    *r = type;
    return rtl::S_OK_;
  }

  HResult GetNodeValue(WideString*) override { return rtl::E_NOTIMPL_; }
  HResult SetNodeValue(WideStringView) override { return rtl::E_NOTIMPL_; }
  HResult GetParentNode(IDOMNode**) override { return rtl::E_NOTIMPL_; }
  HResult GetChildNodes(IDOMNodeList**) override { return rtl::E_NOTIMPL_; }
  HResult GetFirstChild(IDOMNode**) override { return rtl::E_NOTIMPL_; }
  HResult GetLastChild(IDOMNode**) override { return rtl::E_NOTIMPL_; }
  HResult GetPreviousSibling(IDOMNode**) override { return rtl::E_NOTIMPL_; }
  HResult GetNextSibling(IDOMNode**) override { return rtl::E_NOTIMPL_; }
  HResult GetAttributes(IDOMNamedNodeMap**) override { return rtl::E_NOTIMPL_; }
  HResult GetOwnerDocument(IDOMDocument**) override { return rtl::E_NOTIMPL_; }
  HResult GetPrefix(WideString*) override { return rtl::E_NOTIMPL_; }
  HResult InsertBefore(IDOMNode*, IDOMNode*, IDOMNode**) override { return rtl::E_NOTIMPL_; }
  HResult ReplaceChild(IDOMNode*, IDOMNode*, IDOMNode**) override { return rtl::E_NOTIMPL_; }
  HResult RemoveChild(IDOMNode*, IDOMNode**) override { return rtl::E_NOTIMPL_; }
  HResult AppendChild(IDOMNode*, IDOMNode**) override { return rtl::E_NOTIMPL_; }
  HResult HasChildNodes(WordBool*) override { return rtl::E_NOTIMPL_; }
  HResult CloneNode(WordBool, IDOMNode**) override { return rtl::E_NOTIMPL_; }
  HResult Normalize() override { return rtl::E_NOTIMPL_; }
  HResult HasAttributes(WordBool*) override { return rtl::E_NOTIMPL_; }
  HResult GetText(WideString*) override { return rtl::E_NOTIMPL_; }
  HResult GetXMLText(WideString*) override { return rtl::E_NOTIMPL_; }
  HResult SetText(WideStringView) override { return rtl::E_NOTIMPL_; }
  HResult TransformToText(IDOMNode*, WideString*) override { return rtl::E_NOTIMPL_; }
  HResult TransformToDocument(IDOMNode*, IDOMDocument*) override { return rtl::E_NOTIMPL_; }
  HResult ReadTextElement(WideString*, WordBool*) override { return rtl::E_NOTIMPL_; }

 private:
  HResult Give(WideString* r, const WideString& v) {
    if (failAll) return rtl::E_FAIL_;
    *r = v;
    return rtl::S_OK_;
  }
  WideString name_, localName_, uri_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Registry

TEST_F(Registry, ExactDescriptionOrEmptyFindsTheVendorOtherCaseFails) {
  FakeVendor xerces("Xerces XML");
  RegisterVendor(&xerces);
  EXPECT_EQ(LookupVendor(""), &xerces);
  EXPECT_EQ(LookupVendor("Xerces XML"), &xerces);
  EXPECT_EQ(MessageOf([] { LookupVendor("Xerces xml"); }),
            "No matching DOM Vendor: \"Xerces xml\"");
}

TEST_F(Registry, EmptyDescriptionWithNoVendorFailsWithEmptyName) {
  EXPECT_EQ(MessageOf([] { LookupVendor(""); }), "No matching DOM Vendor: \"\"");
}

TEST_F(Registry, DuplicateDescriptionIsRefusedAndListUnchanged) {
  FakeVendor first("Xerces XML"), second("Xerces XML");
  RegisterVendor(&first);
  EXPECT_EQ(MessageOf([&] { RegisterVendor(&second); }),
            "\"Xerces XML\" DOMImplementation already registered");
  ASSERT_EQ(VendorRegistry().Count(), 1);
  EXPECT_EQ(VendorRegistry().VendorAt(0), &first);
}

TEST_F(Registry, RemoveKeepsOrderAndIgnoresAbsentVendor) {
  FakeVendor a("A"), b("B"), c("C");
  RegisterVendor(&a);
  RegisterVendor(&b);
  RegisterVendor(&c);
  UnregisterVendor(&b);
  ASSERT_EQ(VendorRegistry().Count(), 2);
  EXPECT_EQ(VendorRegistry().VendorAt(0), &a);
  EXPECT_EQ(VendorRegistry().VendorAt(1), &c);
  UnregisterVendor(&b);
  ASSERT_EQ(VendorRegistry().Count(), 2);
  EXPECT_EQ(VendorRegistry().VendorAt(0), &a);
  EXPECT_EQ(VendorRegistry().VendorAt(1), &c);
}

TEST_F(Registry, EmptyDescriptionGivesFirstStillRegisteredVendor) {
  FakeVendor a("A"), b("B");
  RegisterVendor(&a);
  RegisterVendor(&b);
  EXPECT_EQ(LookupVendor(""), &a);
  UnregisterVendor(&a);
  EXPECT_EQ(LookupVendor(""), &b);
}

TEST_F(Registry, DefaultDescriptionStandsInForEmptyAndIsClearedAtShutdown) {
  FakeVendor a("A"), b("B");
  RegisterVendor(&a);
  RegisterVendor(&b);
  DefaultVendorDescription = "B";
  EXPECT_EQ(LookupVendor(""), &b);
  DefaultVendorDescription = "Z";
  EXPECT_EQ(MessageOf([] { LookupVendor(""); }), "No matching DOM Vendor: \"Z\"");
  FinalizeVendorRegistry();
  EXPECT_EQ(DefaultVendorDescription, "");
}

TEST_F(Registry, UnregisterAfterShutdownDoesNotRecreateRegistry) {
  FakeVendor a("A");
  RegisterVendor(&a);
  FinalizeVendorRegistry();
  EXPECT_FALSE(VendorRegistryExists());
  UnregisterVendor(&a);
  EXPECT_FALSE(VendorRegistryExists());
  // Shutdown forgot the vendor without touching it; it can come back.
  RegisterVendor(&a);
  EXPECT_EQ(LookupVendor("A"), &a);
}

TEST_F(Registry, ImplementationByDescriptionAsksTheVendorEachTime) {
  FakeVendor a("A");
  RegisterVendor(&a);
  ImplementationByDescription("A");
  ImplementationByDescription("");
  EXPECT_EQ(a.requests, 2);
  EXPECT_EQ(MessageOf([] { ImplementationByDescription("B"); }), "No matching DOM Vendor: \"B\"");
}

TEST(XercesVendorUnit, RegisteredAtStartUpAndNotLoaded) {
  ASSERT_NE(XercesVendor, nullptr);
  EXPECT_EQ(XercesVendor->VendorDescription(), "Xerces XML");
  EXPECT_EQ(LookupVendor("Xerces XML"), XercesVendor);
  EXPECT_FALSE(XercesVendor->IsLoaded());
}

// ---------------------------------------------------------------------------
// Errors

TEST(DOMErrors, TableFollowsTheW3CCodes) {
  EXPECT_STREQ(DOMErrorMessages[0], "Index size error");
  EXPECT_STREQ(DOMErrorMessages[2], "Hierarchy request error");
  EXPECT_STREQ(DOMErrorMessages[7], "Not found error");
  EXPECT_STREQ(DOMErrorMessages[9], "Inuse attribute error");
  EXPECT_STREQ(DOMErrorMessages[13], "Namespace error");
  EXPECT_STREQ(DOMErrorMessages[14], "Invalid access error");
  for (int code = 1; code <= 15; ++code) EXPECT_EQ(DOMErrorText(code, "x"), DOMErrorMessages[code - 1]);
}

TEST(DOMErrors, ErrorTextOfLibraryCodes) {
  EXPECT_EQ(DOMErrorText(257, "ignored"),
            "TransformNode most be called using a document node (not a document element) for "
            "the source and the stylesheet.");
  EXPECT_EQ(DOMErrorText(258, "/tmp/out.xml"), "Error creating file /tmp/out.xml");
  EXPECT_EQ(DOMErrorText(0, "text"), "");
  EXPECT_EQ(DOMErrorText(16, "text"), "");
  EXPECT_EQ(DOMErrorText(-1, "text"), "");
}

TEST(DOMErrors, FailedStatusCarriesThePendingMessageOnce) {
  rtl::SetSafeCallExceptionMsg("Hierarchy request error");
  try {
    DOMCheck(rtl::E_FAIL_, "AppendChild");
    FAIL() << "no exception";
  } catch (const DOMException& e) {
    EXPECT_EQ(e.Message(), "Hierarchy request error");
    EXPECT_EQ(e.Code, 0);
  }
  // The message was used up: the next failure names its own operation.
  EXPECT_EQ(MessageOf([] { DOMCheck(rtl::E_FAIL_, "RemoveChild"); }),
            "DOM operation RemoveChild failed with status 0x80004005 and no message from the DOM "
            "library");
}

TEST(DOMErrors, EmptyPendingMessageStillGivesAClearOne) {
  rtl::SetSafeCallExceptionMsg("");
  std::string m = MessageOf([] { DOMCheck(rtl::E_NOTIMPL_, "Normalize"); });
  EXPECT_NE(m.find("Normalize"), std::string::npos) << m;
  EXPECT_NE(m.find("0x80004001"), std::string::npos) << m;
}

TEST(DOMErrors, SuccessDoesNotRaise) {
  EXPECT_NO_THROW(DOMCheck(rtl::S_OK_, "x"));
  EXPECT_NO_THROW(DOMCheck(rtl::S_FALSE_, "x"));
}

// ---------------------------------------------------------------------------
// Name helpers

TEST(NameHelpers, SplitAtTheFirstColon) {
  EXPECT_EQ(PrefixOf(u"a:b:c"), u"a");
  EXPECT_EQ(LocalNameOf(u"a:b:c"), u"b:c");
  EXPECT_TRUE(IsQualifiedName(u"a:b:c"));
  EXPECT_FALSE(IsQualifiedName(u"x"));
  EXPECT_EQ(PrefixOf(u"x"), u"");
  EXPECT_EQ(LocalNameOf(u"x"), u"x");
  EXPECT_TRUE(IsQualifiedName(u":x"));
  EXPECT_EQ(PrefixOf(u":x"), u"");
  EXPECT_EQ(LocalNameOf(u":x"), u"x");
  EXPECT_TRUE(IsQualifiedName(u"x:"));
  EXPECT_EQ(PrefixOf(u"x:"), u"x");
  EXPECT_EQ(LocalNameOf(u"x:"), u"");
}

TEST(NameHelpers, MakeQualifiedName) {
  EXPECT_EQ(MakeQualifiedName(u"", u"x"), u"x");
  EXPECT_EQ(MakeQualifiedName(u"p", u"x"), u"p:x");
}

TEST(NameHelpers, SameTextWideIgnoresCaseOfAsciiLettersOnly) {
  EXPECT_TRUE(SameTextWide(u"URN:A", u"urn:a"));
  EXPECT_TRUE(SameTextWide(u"", u""));
  EXPECT_FALSE(SameTextWide(u"abc", u"abcd"));
  EXPECT_FALSE(SameTextWide(u"a[", u"a{"));
  EXPECT_FALSE(SameTextWide(u"\u00C4", u"\u00E4"));
  EXPECT_TRUE(SameTextWide(u"\u00C4b", u"\u00C4B"));
}

TEST(NameHelpers, NodeMatchesNamesExactlyAndNamespaceWithoutCase) {
  rtl::ComPtr<FakeNode> node(new FakeNode(u"p:item", u"item", u"urn:a"));
  EXPECT_TRUE(NodeMatches(node.get(), u"item", u""));
  EXPECT_TRUE(NodeMatches(node.get(), u"p:item", u""));
  EXPECT_FALSE(NodeMatches(node.get(), u"P:item", u""));
  EXPECT_FALSE(NodeMatches(node.get(), u"Item", u""));
  EXPECT_TRUE(NodeMatches(node.get(), u"item", u"URN:A"));
  EXPECT_FALSE(NodeMatches(node.get(), u"item", u"urn:b"));
  EXPECT_FALSE(NodeMatches(nullptr, u"item", u""));
}

TEST(NameHelpers, NodeMatchesPassesNodeFailuresOn) {
  rtl::ComPtr<FakeNode> node(new FakeNode(u"x", u"x", u""));
  node->failAll = true;
  EXPECT_THROW(NodeMatches(node.get(), u"x", u""), DOMException);
  EXPECT_THROW(NodeMatches(node.get(), u"x", u"urn:a"), DOMException);
}

TEST(NameHelpers, RequireNodeExtension) {
  rtl::ComPtr<FakeNode> plain(new FakeNode(u"x", u"x", u""));
  EXPECT_EQ(MessageOf([&] { RequireNodeExtension(plain.get()); }),
            "Selected DOM Vendor does not support this property or method");
  EXPECT_THROW(RequireNodeExtension(nullptr), DOMException);
  rtl::ComPtr<FakeNode> rich(new FakeNode(u"x", u"x", u""));
  rich->extension = true;
  rtl::ComPtr<IDOMNodeExtension> ext = RequireNodeExtension(rich.get());
  EXPECT_TRUE(rtl::SameObject(ext.get(), static_cast<IDOMNode*>(rich.get())));
}

TEST(NameHelpers, NodeNameAndTypeConveniences) {
  rtl::ComPtr<FakeNode> node(new FakeNode(u"p:item", u"item", u""));
  node->type = 0x0103;  // only the low byte is the W3C type
  EXPECT_EQ(DOMNodeName(node.get()), u"p:item");
  EXPECT_EQ(DOMNodeType(node.get()), ntText);
  EXPECT_EQ(DOMNodeName(nullptr), u"");
  EXPECT_EQ(DOMNodeType(nullptr), ntReserved);
  node->failAll = true;
  std::string m = MessageOf([&] { DOMNodeName(node.get()); });
  EXPECT_NE(m.find("GetNodeName"), std::string::npos) << m;
}
