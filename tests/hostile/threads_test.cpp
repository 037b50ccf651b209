// Documents on several threads at once (README, "Threads"): different
// documents on different threads at the same time, one document used by one
// thread at a time, handed from thread to thread. Also run under
// ThreadSanitizer (scripts/test).
#include <gtest/gtest.h>

#include <latch>
#include <mutex>
#include <random>

#include "HostileUtil.h"

using namespace hostile;

namespace {

// Start of the message that refuses an expansion, naming its limit.
constexpr char kLimitMessage[] = "Entity expansion exceeds the limit of ";

// Under the sanitizers every reader Xerces makes (some 100 KB of buffers)
// has its shadow memory cleared: the 130,000 an empty nest opens before it
// is refused take minutes there, so that bomb is left to the normal build.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kLastKind = 8;
#else
constexpr int kLastKind = 9;
#endif

// A document drawn from rng: a compact store, a Xerces tree with entities
// holding markup, or a bomb (characters, nodes, or empty entities nested).
std::string Generate(std::mt19937& rng, bool* bomb) {
  const int kind = std::uniform_int_distribution<int>(0, kLastKind)(rng);
  const int n = std::uniform_int_distribution<int>(1, 200)(rng);
  *bomb = kind >= 8;
  std::string body;
  if (kind <= 3) {
    for (int i = 0; i < n; ++i) body += "<e i=\"" + std::to_string(i) + "\">t" + std::to_string(i) + "<!--c--></e>";
    return "<r>" + body + "</r>";
  }
  if (kind <= 7) {
    for (int i = 0; i < n; ++i) body += i % 2 ? "&m;" : "&w;";
    return "<!DOCTYPE r [<!ENTITY w \"words\"><!ENTITY m \"<m a='&w;'>&w;<?p d?></m>\">]><r>" + body + "</r>";
  }
  if (kind == 8) {
    // 10,000 characters or 1,000 elements a reference, far past the budget.
    const std::string value = n % 2 ? std::string(10000, 'x') : [] {
      std::string s;
      for (int i = 0; i < 1000; ++i) s += "<a/>";
      return s;
    }();
    for (int i = 0; i < 4000; ++i) body += "&b;";
    return "<!DOCTYPE r [<!ENTITY b \"" + value + "\">]><r>" + body + "</r>";
  }
  std::string xml = "<!DOCTYPE r [<!ENTITY n0 \"\">";
  for (int i = 1; i <= 8; ++i) {
    xml += "<!ENTITY n" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) xml += "&n" + std::to_string(i - 1) + ";";
    xml += "\">";
  }
  return xml + "]><r>&n8;</r>";
}

// Every node of the document, with its names and values, in order.
std::string Walk(IXMLDocumentIntf* doc) {
  std::string out;
  std::vector<ComPtr<IXMLNode>> pending{doc->GetDocumentElement()};
  while (!pending.empty()) {
    ComPtr<IXMLNode> node = pending.back();
    pending.pop_back();
    out += std::to_string(node->GetNodeType()) + N(node->GetNodeName()) + "=" +
           (node->GetNodeType() == ntElement ? "" : N(node->GetText())) + ";";
    auto attrs = node->GetAttributeNodes();
    for (int32_t i = 0; i < attrs->GetCount(); ++i) out += N(attrs->Get(i)->GetNodeName()) + "=" + N(attrs->Get(i)->GetText()) + ";";
    auto children = node->GetChildNodes();
    for (int32_t i = children->GetCount() - 1; i >= 0; --i) pending.push_back(children->Get(i));
  }
  return out;
}

std::string Load(IXMLDocumentIntf* doc, const std::string& xml) {
  const std::string why = FailureOf([&] { doc->LoadFromXML(W(xml)); });
  return why.empty() ? Walk(doc) : "refused: " + why;
}

// Edits the document, saves it, loads the text on this thread: the same tree.
void EditSaveReload(IXMLDocumentIntf* doc, int tag) {
  auto added = doc->GetDocumentElement()->AddChild(u"added");
  added->SetAttribute(u"by", OleVariant(WideString(W(std::to_string(tag)))));
  added->SetText(W("edited " + std::to_string(tag)));
  WideString text;
  doc->SaveToXML(text);
  auto again = NewDoc();
  again->LoadFromXML(text);
  EXPECT_EQ(Walk(again.get()), Walk(doc));
  // Transforms too, while other threads load and transform.
  auto sheet = NewDoc();
  sheet->LoadFromXML(WideString(
      u"<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
      u"<xsl:output method='text'/><xsl:template match='/'><xsl:value-of select='count(//added)'/>"
      u"</xsl:template></xsl:stylesheet>"));
  WideString count;
  doc->GetDocumentNode()->TransformNode(sheet->GetDocumentNode(), count);
  EXPECT_NE(N(count), "0");
}

}  // namespace

TEST(Threads, DocumentsLoadWalkEditSaveAndFreeOnManyThreadsAtOnce) {
  // The threads ask for their first implementation at the same moment; what
  // each loads is compared, afterwards, with the same text loaded alone.
  constexpr int kThreads = 8, kRounds = 8;
  std::latch start(kThreads);
  std::mutex lock;
  std::vector<ComPtr<IXMLDocumentIntf>> pool;  // documents any thread may take up
  std::vector<std::pair<std::string, std::string>> loads;  // text, what it loaded as (not the bombs)
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<uint32_t>(t));
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        ComPtr<IXMLDocumentIntf> taken;
        {
          std::lock_guard<std::mutex> hold(lock);
          if (!pool.empty() && rng() % 2) {
            taken = pool.back();
            pool.pop_back();
          }
        }
        // A document made and edited on another thread, edited again here
        // and freed here or by a later taker.
        if (taken) EditSaveReload(taken.get(), t * 100 + round);
        bool bomb = false;
        const std::string xml = Generate(rng, &bomb);
        auto doc = NewDoc();
        const std::string loaded = Load(doc.get(), xml);
        if (bomb) {
          EXPECT_EQ(loaded.rfind(std::string("refused: ") + kLimitMessage, 0), 0u) << loaded.substr(0, 200);
        }
        if (!bomb) EditSaveReload(doc.get(), t * 100 + round);
        std::lock_guard<std::mutex> hold(lock);
        if (!bomb) loads.emplace_back(xml, loaded);
        if (!bomb && rng() % 2) pool.push_back(doc);
        if (taken && rng() % 2) pool.push_back(taken);
      }
    });
  for (std::thread& t : threads) t.join();
  pool.clear();
  for (const auto& [xml, loaded] : loads) {
    auto doc = NewDoc();
    EXPECT_EQ(loaded, Load(doc.get(), xml)) << xml.substr(0, 200);
  }
}
