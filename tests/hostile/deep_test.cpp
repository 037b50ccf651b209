// A million levels of nesting through the document layer: the document
// loads, its wrappers are walked to the bottom, it saves and reloads, and
// closing and destroying it do not run out of stack. Too big for the
// sanitizer build (label no-sanitize).
#include <gtest/gtest.h>

#include "HostileUtil.h"

using namespace hostile;

namespace {

constexpr int kLevels = 1000000;

std::string Deep(int levels) {
  std::string s;
  s.reserve(static_cast<size_t>(levels) * 8 + 16);
  for (int i = 0; i < levels; ++i) s += "<e>";
  s += "bottom";
  for (int i = 0; i < levels; ++i) s += "</e>";
  return s;
}

}  // namespace

TEST(DeepDocument, AMillionLevelsLoadWalkSaveAndClose) {
  TempDir dir;
  const std::string file = dir.Write("deep.xml", Deep(kLevels));
  rtl::TComponent owner(nullptr);
  auto* doc = rtl::CreateComponent<TXMLDocument>(&owner);
  doc->SetDOMVendor(LookupVendor("Xerces XML"));

  const auto t0 = std::chrono::steady_clock::now();
  const std::string why = FailureOf([&] { doc->LoadFromFile(W(file)); });
  ASSERT_EQ(why, "");

  // Down to the bottom, keeping the whole chain of wrappers alive.
  ComPtr<IXMLNode> node = doc->GetDocumentElement();
  int depth = 1;
  while (!node->IsTextElement()) {
    ASSERT_EQ(node->GetChildNodes()->GetCount(), 1) << "at depth " << depth;
    node = node->GetChildNodes()->Get(0);
    ++depth;
  }
  EXPECT_EQ(depth, kLevels);
  EXPECT_EQ(node->GetText(), u"bottom");
  node = nullptr;

  doc->SaveToFile(W(dir.File("saved.xml")));
  doc->SetActive(false);
  auto again = NewDoc();
  again->LoadFromFile(W(dir.File("saved.xml")));
  EXPECT_EQ(again->GetDocumentElement()->GetNodeName(), u"e");
  again = nullptr;
  EXPECT_LT(SecondsSince(t0), 120.0);
}

TEST(DeepDocument, AMillionLevelsWithWrappersHeldOutliveTheirDocument) {
  // The owner frees the document while a wrapper deep down is still held.
  auto owner = std::make_unique<rtl::TComponent>(nullptr);
  auto* doc = rtl::CreateComponent<TXMLDocument>(owner.get());
  doc->SetDOMVendor(LookupVendor("Xerces XML"));
  doc->LoadFromXML(AnsiString(Deep(kLevels)));
  ComPtr<IXMLNode> node = doc->GetDocumentElement();
  for (int i = 0; i < kLevels / 2; ++i) node = node->GetChildNodes()->Get(0);
  owner.reset();
  EXPECT_EQ(node->GetNodeName(), u"e");
  node = nullptr;
}

TEST(DeepDocument, BuildingAChainCostsTheSameAtEveryDepth) {
  // Each AddChild puts a leaf under the deepest element; checking the leaf
  // against every ancestor made this quadratic (a 100,000-deep chain took
  // minutes).
  constexpr int kChain = 100000;
  ChildRun run = RunInChild(
      [] {
        auto doc = NewDoc();
        doc->SetActive(true);
        ComPtr<IXMLNode> node = doc->AddChild(u"r");
        for (int i = 0; i < kChain; ++i) node = node->AddChild(u"e");
        int depth = 0;
        for (ComPtr<IXMLNode> up = node; up->GetParentNode(); up = up->GetParentNode()) ++depth;
        return std::to_string(depth);
      },
      300);
  ASSERT_TRUE(run.finished && !run.crashed) << run.result;
  EXPECT_EQ(run.result, std::to_string(kChain + 1));
  EXPECT_LT(run.cpuSeconds, 30.0);
}
