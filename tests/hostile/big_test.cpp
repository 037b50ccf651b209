// Big input: very many attributes, very long names and texts, one 50 MB
// text node, and a thousand load-and-close cycles that must leave nothing
// behind. Inputs are generated into a temporary directory at run time.
#include <gtest/gtest.h>

#include "HostileUtil.h"
#include "rtl/Streams.h"

using namespace hostile;

namespace {

std::string ManyAttributes(int count) {
  std::string xml = "<r><e";
  for (int i = 0; i < count; ++i) xml += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  return xml + "/></r>";
}

}  // namespace

TEST(Big, ManyAttributesLoadUpToTheLimitAndAreRefusedBeyondIt) {
  TempDir dir;
  auto doc = NewDoc();
  auto t0 = std::chrono::steady_clock::now();
  doc->LoadFromFile(W(dir.Write("attrs.xml", ManyAttributes(5000))));
  auto attrs = doc->GetDocumentElement()->GetChildNodes()->Get(0)->GetAttributeNodes();
  ASSERT_EQ(attrs->GetCount(), 5000);
  EXPECT_EQ(attrs->Get(4999)->GetNodeName(), u"a4999");
  EXPECT_EQ(attrs->Get(4999)->GetNodeValue(), OleVariant(WideString(u"4999")));
  EXPECT_LT(SecondsSince(t0), 30.0);

  // Far more than any real document has: refused quickly, not ground through.
  t0 = std::chrono::steady_clock::now();
  const std::string why = FailureOf([&] { doc->LoadFromFile(W(dir.Write("flood.xml", ManyAttributes(200000)))); });
  EXPECT_LT(SecondsSince(t0), 30.0);
  EXPECT_TRUE(IsShowable(why)) << why;
  EXPECT_NE(why.find("Line: 1"), std::string::npos) << why;
  EXPECT_FALSE(doc->GetActive());
}

TEST(Big, LongNamesAndValuesLoadAndSaveIntact) {
  TempDir dir;
  const std::string name = "n" + std::string(1 << 20, 'x');  // a 1 MB element name
  const std::string attrName = "a" + std::string(100000, 'y');
  const std::string value(4 << 20, 'v');
  const std::string xml = "<r><" + name + " " + attrName + "=\"" + value + "\">" + value + "</" + name + "></r>";
  auto doc = NewDoc();
  doc->LoadFromFile(W(dir.Write("long.xml", xml)));
  auto e = doc->GetDocumentElement()->GetChildNodes()->Get(0);
  EXPECT_EQ(e->GetNodeName().size(), name.size());
  EXPECT_EQ(e->GetAttribute(W(attrName)), OleVariant(W(value)));
  EXPECT_EQ(e->GetText().size(), value.size());

  rtl::TMemoryStream saved;
  doc->SaveToStream(&saved);
  auto again = NewDoc();
  again->LoadFromStream(&saved);
  EXPECT_EQ(again->GetDocumentElement()->GetChildNodes()->Get(0)->GetNodeName(), W(name));
}

TEST(Big, AFiftyMegabyteTextNodeLoadsShowsAndSaves) {
  TempDir dir;
  constexpr size_t kSize = 50u << 20;
  std::string text(kSize, 'z');
  // Markup characters and a multi-byte character spread through the text,
  // so escaping and decoding run over its whole length.
  for (size_t i = 0; i + 2 < kSize; i += 1 << 20) text.replace(i, 2, "\xC3\xA9");
  for (size_t i = 777; i < kSize; i += 1 << 20) text[i] = '<';
  std::string escaped;
  escaped.reserve(kSize + (kSize >> 16));
  for (char c : text) escaped += c == '<' ? std::string("&lt;") : std::string(1, c);
  const std::string file = dir.Write("fifty.xml", "<r><t>" + escaped + "</t></r>");
  escaped.clear();
  escaped.shrink_to_fit();

  auto doc = NewDoc();
  const auto t0 = std::chrono::steady_clock::now();
  doc->LoadFromFile(W(file));
  auto t = doc->GetDocumentElement()->GetChildNodes()->Get(0);
  ASSERT_TRUE(t->IsTextElement());
  const OleVariant value = t->GetChildNodes()->Get(0)->GetNodeValue();
  const WideString expected = W(text);
  EXPECT_TRUE(value == OleVariant(expected)) << "the text came back changed";
  text.clear();
  text.shrink_to_fit();

  doc->SaveToFile(W(dir.File("saved.xml")));
  auto again = NewDoc();
  again->LoadFromFile(W(dir.File("saved.xml")));
  EXPECT_EQ(again->GetDocumentElement()->GetChildNodes()->Get(0)->GetText(), expected);
  EXPECT_LT(SecondsSince(t0), 60.0);
}

// ---------------------------------------------------------------------------
// Load and close cycles

namespace {

std::atomic<int> gLiveNodes{0};

// A node wrapper that counts its instances.
class TCountedNode : public TXMLNode {
 public:
  XMLNODE_CLASS(TCountedNode)
  TCountedNode(const ComPtr<IDOMNode>& domNode, TXMLNode* parentNode, TXMLDocument* ownerDoc)
      : TXMLNode(domNode, parentNode, ownerDoc) {
    ++gLiveNodes;
  }
  ~TCountedNode() override { --gLiveNodes; }
};

// A document whose every node wrapper is counted.
class TCountingDocument : public TXMLDocument {
 public:
  using TXMLDocument::TXMLDocument;
  TXMLNodeClass ChooseNodeClass(IDOMNode*) override { return NodeClassOf<TCountedNode>(); }
};

}  // namespace

TEST(Big, AThousandLoadAndCloseCyclesLeaveNoWrappersAndNoGrowth) {
  TempDir dir;
  std::string xml = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY e \"ent\">]><r xmlns:p=\"urn:p\" a=\"1\">";
  for (int i = 0; i < 50; ++i)
    xml += "<p:item n=\"" + std::to_string(i) + "\">text &e; <b>x</b><!--c--><![CDATA[d]]></p:item>";
  xml += "</r>";
  const std::string file = dir.Write("cycle.xml", xml);

  rtl::TComponent owner(nullptr);
  auto* doc = rtl::CreateComponent<TCountingDocument>(&owner);
  doc->SetDOMVendor(LookupVendor("Xerces XML"));
  doc->RegisterRootNodeClass(u"r", NodeClassOf<TCountedNode>(), u"");

  auto cycle = [&](int i) {
    doc->LoadFromFile(W(file));
    // Touch every wrapper the viewer would.
    auto items = doc->GetDocumentElement()->GetChildNodes();
    ASSERT_EQ(items->GetCount(), 50);
    for (int k = 0; k < items->GetCount(); ++k) {
      auto item = items->Get(k);
      (void)item->GetAttributeNodes()->Get(0)->GetNodeValue();
      for (int c = 0; c < item->GetChildNodes()->GetCount(); ++c) (void)item->GetChildNodes()->Get(c)->GetNodeValue();
    }
    if (i % 7 == 0) doc->GetDocumentElement()->AddChild(u"extra")->SetText(u"x");
    if (i % 11 == 0) (void)FailureOf([&] { doc->LoadFromXML(W("<broken")); });
    doc->SetActive(false);
  };

  for (int i = 0; i < 20; ++i) cycle(i);  // warm up caches and pools
  EXPECT_EQ(gLiveNodes.load(), 0);
  const long before = ResidentMB();
  for (int i = 20; i < 1000; ++i) {
    cycle(i);
    ASSERT_EQ(gLiveNodes.load(), 0) << "wrappers left after cycle " << i;
  }
  const long growth = ResidentMB() - before;
  EXPECT_LT(growth, 32) << "resident memory grew by " << growth << " MB over 980 cycles";
}
