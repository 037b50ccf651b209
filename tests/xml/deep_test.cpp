// Very deep documents: building, walking and destroying the wrapper tree and
// forgetting the document must not recurse once per level.
#include <gtest/gtest.h>

#include <string>

#include "tests/xml/XmlTestUtil.h"
#include "xml/XMLDoc.h"

namespace {

using namespace xmltest;

constexpr int kDepth = 200000;

std::string DeepText() {
  std::string xml;
  xml.reserve(kDepth * 8);
  for (int i = 0; i < kDepth; ++i) xml += "<e>";
  xml += "x";
  for (int i = 0; i < kDepth; ++i) xml += "</e>";
  return xml;
}

// Loads a chain of kDepth elements and walks it down, which builds every
// level's child list; returns the deepest element. (Building the chain
// through AddChild would be quadratic: the DOM checks every insertion
// against all ancestors.)
ComPtr<IXMLNode> WalkChain(const ComPtr<IXMLDocumentIntf>& doc) {
  ComPtr<IXMLNode> node = doc->GetDocumentElement();
  while (node->GetChildNodes()->GetCount() == 1 && node->GetChildNodes()->Get(0)->GetNodeType() == ntElement)
    node = node->GetChildNodes()->Get(0);
  return node;
}

TEST(Deep, ReleasingAChainOfWrappersDoesNotRecurse) {
  ComPtr<IXMLDocumentIntf> doc = NewDoc();
  doc->LoadFromXML(AnsiString(DeepText()));
  ComPtr<IXMLNode> deepest = WalkChain(doc);
  EXPECT_EQ(deepest.query<IXMLNodeAccess>()->NestingLevel(), kDepth);
  EXPECT_EQ(deepest->GetText(), u"x");
  deepest = nullptr;
  // Closing drops the document node, and with it every wrapper.
  doc->SetActive(false);
  EXPECT_FALSE(doc->GetActive());
}

TEST(Deep, OwnedDocumentForgetsItselfInADeepTree) {
  ComPtr<IXMLNode> deepest;
  ComPtr<IXMLNode> root;
  {
    OwnerComponent owner;
    auto* doc = new TXMLDocument(&owner);
    doc->SetDOMVendor(LookupVendor("Xerces XML"));
    ComPtr<IXMLDocumentIntf> intf(doc);
    doc->LoadFromXML(AnsiString(DeepText()));
    deepest = WalkChain(intf);
    root = doc->GetDocumentElement();
    // Freed with its owner while wrappers are still held: every wrapper
    // of the built tree is told that the document is gone.
  }
  EXPECT_FALSE(deepest->GetOwnerDocument());
  EXPECT_FALSE(root->GetOwnerDocument());
  EXPECT_EQ(deepest->GetNodeName(), u"e");
  root = nullptr;
  // The deepest wrapper keeps nothing above it alive.
  EXPECT_FALSE(deepest->GetParentNode());
  deepest = nullptr;
}

TEST(Deep, ClearDocumentRefWalksWithoutRecursion) {
  ComPtr<IXMLDocumentIntf> doc = NewDoc();
  doc->LoadFromXML(AnsiString(DeepText()));
  ComPtr<IXMLNode> deepest = WalkChain(doc);
  doc->GetDocumentNode().query<IXMLNodeAccess>()->ClearDocumentRef();
  EXPECT_FALSE(deepest->GetOwnerDocument());
  EXPECT_FALSE(doc->GetDocumentElement()->GetOwnerDocument());
}

TEST(Deep, ReleasingTheDocumentFirst) {
  ComPtr<IXMLDocumentIntf> doc = NewDoc();
  doc->LoadFromXML(AnsiString(DeepText()));
  ComPtr<IXMLNode> root = doc->GetDocumentElement();
  ComPtr<IXMLNode> deepest = WalkChain(doc);
  doc = nullptr;
  // The document element keeps the document, and the tree, alive.
  EXPECT_TRUE(deepest->GetOwnerDocument());
  EXPECT_TRUE(deepest->GetParentNode());
  deepest = nullptr;
  root = nullptr;
}

}  // namespace
