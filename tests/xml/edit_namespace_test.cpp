// Adding children and attributes with namespaces: inherited prefixes,
// generated prefixes, automatic declarations and the lookups behind them.
#include <gtest/gtest.h>

#include <string>

#include "tests/xml/vendor/DocTestSupport.h"
#include "tests/xml/vendor/TestVendor.h"
#include "xml/XMLConst.h"
#include "xml/XMLDoc.h"

namespace {

using namespace doctest_support;

const WideString kU = u"urn:test:u";

class EditNamespaceTest : public ::testing::TestWithParam<const char*> {
 protected:
  void Load(const char* xml) {
    doc = NewDocument(GetParam());
    doc->LoadFromXML(W(xml));
    root = doc->GetDocumentElement();
    ASSERT_TRUE(root);
  }
  void SetOption(TXMLDocOption option, bool on) {
    TXMLDocOptions options = doc->GetOptions();
    if (on) options.Include(option);
    else options.Exclude(option);
    doc->SetOptions(options);
  }
  // The node's attributes as "name{uri}=value", in list order.
  static std::string Attrs(const ComPtr<IXMLNode>& node) {
    std::string out;
    auto attrs = node->GetAttributeNodes();
    for (int32_t i = 0; i < attrs->GetCount(); ++i) {
      auto a = attrs->Get(i);
      if (!out.empty()) out += ' ';
      out += U8(a->GetNodeName());
      if (!a->GetNamespaceURI().empty()) out += "{" + U8(a->GetNamespaceURI()) + "}";
      out += "=" + U8(a->GetText());
    }
    return out;
  }

  ComPtr<IXMLDocumentIntf> doc;
  ComPtr<IXMLNode> root;
};

TEST_P(EditNamespaceTest, AddChildInheritsThePrefixAndNamespaceOfItsParent) {
  Load("<p:a xmlns:p='urn:test:u'/>");
  auto b = root->AddChild(u"b");
  EXPECT_EQ(b->GetNodeName(), u"p:b");
  EXPECT_EQ(b->GetNamespaceURI(), kU);
  EXPECT_EQ(b->GetPrefix(), u"p");
  EXPECT_EQ(b->GetLocalName(), u"b");
  EXPECT_EQ(Attrs(b), "");

  Load("<a/>");
  auto plain = root->AddChild(u"b");
  EXPECT_EQ(plain->GetNodeName(), u"b");
  EXPECT_EQ(plain->GetNamespaceURI(), u"");
}

TEST_P(EditNamespaceTest, AddChildWithADeclaredPrefixTakesItsNamespace) {
  Load("<a xmlns:q='urn:q'><inner/></a>");
  auto inner = root->GetChildNodes()->Get(0);
  auto b = inner->AddChild(u"q:b");
  EXPECT_EQ(b->GetNodeName(), u"q:b");
  EXPECT_EQ(b->GetNamespaceURI(), u"urn:q");
}

TEST_P(EditNamespaceTest, AddChildWithAnUndeclaredPrefixHasNoNamespace) {
  Load("<a/>");
  auto b = root->AddChild(u"q:b");
  EXPECT_EQ(b->GetNodeName(), u"q:b");
  EXPECT_EQ(b->GetNamespaceURI(), u"");
  EXPECT_EQ(root->GetChildNodes()->GetCount(), 1);
}

TEST_P(EditNamespaceTest, AddChildNSGeneratesAndDeclaresAPrefix) {
  Load("<a/>");
  auto b = root->AddChildNS(u"b", kU, true);
  EXPECT_EQ(b->GetNodeName(), u"NS1:b");
  EXPECT_EQ(b->GetNamespaceURI(), kU);
  EXPECT_EQ(Attrs(b), "xmlns:NS1{http://www.w3.org/2000/xmlns/}=urn:test:u");
  // The next generated prefix is not the one just used.
  auto c = root->AddChildNS(u"c", u"urn:other", true);
  EXPECT_EQ(c->GetNodeName(), u"NS2:c");
}

TEST_P(EditNamespaceTest, AddChildNSWithoutPrefixDeclaresADefaultNamespace) {
  Load("<a/>");
  auto b = root->AddChildNS(u"b", kU, false);
  EXPECT_EQ(b->GetNodeName(), u"b");
  EXPECT_EQ(b->GetNamespaceURI(), kU);
  EXPECT_EQ(Attrs(b), "xmlns{http://www.w3.org/2000/xmlns/}=urn:test:u");
}

TEST_P(EditNamespaceTest, AddChildNSWithoutNamespaceDeclarationsDeclaresNothing) {
  Load("<a/>");
  SetOption(doNamespaceDecl, false);
  auto b = root->AddChildNS(u"b", kU, true);
  EXPECT_EQ(b->GetNodeName(), u"NS1:b");
  EXPECT_EQ(b->GetNamespaceURI(), kU);
  EXPECT_EQ(Attrs(b), "");
}

TEST_P(EditNamespaceTest, AddChildNSUsesAnAncestorsDeclaration) {
  Load("<a xmlns:p='urn:test:u'><mid/></a>");
  auto mid = root->GetChildNodes()->Get(0);
  auto b = mid->AddChildNS(u"b", kU, true);
  EXPECT_EQ(b->GetNodeName(), u"p:b");
  EXPECT_EQ(b->GetNamespaceURI(), kU);
  EXPECT_EQ(Attrs(b), "");

  SetOption(doAutoPrefix, false);
  auto c = mid->AddChildNS(u"c", kU, false);
  EXPECT_EQ(c->GetNodeName(), u"c");
  EXPECT_EQ(c->GetNamespaceURI(), kU);
  EXPECT_EQ(Attrs(c), "");
}

TEST_P(EditNamespaceTest, FindNamespaceDeclIgnoresLetterCaseAndPrefersTheLastOnANode) {
  Load("<a xmlns:x='URN:Test:U' xmlns:y='urn:test:u'><b xmlns:z='urn:z'/></a>");
  auto b = root->GetChildNodes()->Get(0);
  auto decl = b->FindNamespaceDecl(kU);
  ASSERT_TRUE(decl);
  EXPECT_EQ(decl->GetNodeName(), u"xmlns:y");
  EXPECT_EQ(b->FindNamespaceDecl(u"URN:Z")->GetNodeName(), u"xmlns:z");
  EXPECT_FALSE(b->FindNamespaceDecl(u"urn:nowhere"));

  Load("<a xmlns:x='URN:TEST:U'/>");
  ASSERT_TRUE(root->FindNamespaceDecl(kU));
  EXPECT_EQ(root->FindNamespaceDecl(kU)->GetNodeName(), u"xmlns:x");
  // A default declaration qualifies too.
  Load("<a xmlns='urn:test:u'/>");
  ASSERT_TRUE(root->FindNamespaceDecl(kU));
  EXPECT_EQ(root->FindNamespaceDecl(kU)->GetNodeName(), u"xmlns");
}

TEST_P(EditNamespaceTest, FindNamespaceURITakesPrefixOrTagAndTheNearestDeclaration) {
  Load("<a xmlns:p='urn:outer' xmlns='urn:default'><b xmlns:p='urn:inner'><c/></b></a>");
  auto b = root->GetChildNodes()->Get(0);
  auto c = b->GetChildNodes()->Get(0);
  EXPECT_EQ(c->FindNamespaceURI(u"p"), u"urn:inner");
  EXPECT_EQ(c->FindNamespaceURI(u"p:x"), u"urn:inner");
  EXPECT_EQ(root->FindNamespaceURI(u"p:x"), u"urn:outer");
  EXPECT_EQ(c->FindNamespaceURI(u"nope"), u"");
  // The default namespace is not found by prefix lookup.
  EXPECT_EQ(c->FindNamespaceURI(u""), u"");
  EXPECT_EQ(c->FindNamespaceURI(u"xmlns"), u"");
}

TEST_P(EditNamespaceTest, DeclareNamespaceWritesAttributesInTheXmlnsNamespace) {
  Load("<a/>");
  root->DeclareNamespace(u"", kU);
  root->DeclareNamespace(u"p", u"urn:p");
  EXPECT_EQ(Attrs(root),
            "xmlns{http://www.w3.org/2000/xmlns/}=urn:test:u "
            "xmlns:p{http://www.w3.org/2000/xmlns/}=urn:p");
  EXPECT_EQ(root->FindNamespaceURI(u"p"), u"urn:p");
}

TEST_P(EditNamespaceTest, SetAttributeNSPutsTheDeclaredPrefixInFront) {
  Load("<a xmlns:p='urn:test:u'/>");
  root->SetAttributeNS(u"k", kU, OleVariant(u"v"));
  EXPECT_TRUE(root->HasAttributeNS(u"k", kU));
  EXPECT_EQ(root->GetAttributeNS(u"k", kU), OleVariant(u"v"));
  EXPECT_NE(Attrs(root).find("p:k{urn:test:u}=v"), std::string::npos) << Attrs(root);

  root->SetAttributeNS(u"k", kU, OleVariant());
  EXPECT_FALSE(root->HasAttributeNS(u"k", kU));
  EXPECT_EQ(Attrs(root), "xmlns:p{http://www.w3.org/2000/xmlns/}=urn:test:u");

  SetOption(doAutoPrefix, false);
  root->SetAttributeNS(u"k", kU, OleVariant(u"w"));
  EXPECT_NE(Attrs(root).find("k{urn:test:u}=w"), std::string::npos) << Attrs(root);
  EXPECT_EQ(Attrs(root).find("p:k"), std::string::npos) << Attrs(root);
}

// Prefix generation skips what is bound in scope and starts over after the
// document was closed.
TEST_P(EditNamespaceTest, UniquePrefixesSkipBoundOnesAndRestartAfterClose) {
  Load("<a xmlns:NS2='urn:taken'/>");
  EXPECT_EQ(doc->MakeUniquePrefix(root), u"NS1");
  EXPECT_EQ(doc->MakeUniquePrefix(root), u"NS3");
  doc->SetActive(false);
  doc->LoadFromXML(W("<a/>"));
  EXPECT_EQ(doc->MakeUniquePrefix(doc->GetDocumentElement()), u"NS1");
}

INSTANTIATE_TEST_SUITE_P(Vendors, EditNamespaceTest,
                         ::testing::Values(RealVendorDesc(), testvendor::kTestVendorDesc),
                         [](const auto& info) {
                           return std::string(info.param) == RealVendorDesc() ? "RealDOM"
                                                                              : "PlainDOM";
                         });

}  // namespace
