// The generator's promises: deterministic, about the asked size, well-formed,
// and holding every construct a realistic file has.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "bench/XmlGen.h"

namespace {

namespace xc = XERCES_CPP_NAMESPACE;

class XercesEnv : public ::testing::Environment {
 public:
  void SetUp() override { xc::XMLPlatformUtils::Initialize(); }
  void TearDown() override { xc::XMLPlatformUtils::Terminate(); }
};
const auto* const kXerces = ::testing::AddGlobalTestEnvironment(new XercesEnv);

struct Shape {
  std::map<int, int> byType;  // node type -> count (attributes included)
  int maxDepth = 0;
  int rootChildren = 0;
  bool namespaced = false;
};

void Walk(xc::DOMNode* node, int depth, Shape& shape) {
  ++shape.byType[node->getNodeType()];
  shape.maxDepth = std::max(shape.maxDepth, depth);
  if (node->getNodeType() == xc::DOMNode::ELEMENT_NODE) {
    if (node->getNamespaceURI() && std::u16string(node->getNamespaceURI()) == u"urn:example:meta")
      shape.namespaced = true;
    xc::DOMNamedNodeMap* attributes = node->getAttributes();
    shape.byType[xc::DOMNode::ATTRIBUTE_NODE] += static_cast<int>(attributes->getLength());
  }
  for (xc::DOMNode* c = node->getFirstChild(); c; c = c->getNextSibling()) Walk(c, depth + 1, shape);
}

// Parses with namespaces on and fails the test on any error.
Shape ParseShape(const std::string& text) {
  xc::XercesDOMParser parser;
  parser.setDoNamespaces(true);
  parser.setCreateCommentNodes(true);
  xc::HandlerBase errors;
  parser.setErrorHandler(&errors);
  xc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(), u"gen", false);
  Shape shape;
  try {
    parser.parse(source);
  } catch (const xc::SAXParseException& e) {
    ADD_FAILURE() << "not well-formed at line " << e.getLineNumber();
    return shape;
  }
  EXPECT_EQ(parser.getErrorCount(), 0u);
  xc::DOMDocument* doc = parser.getDocument();
  if (!doc || !doc->getDocumentElement()) {
    ADD_FAILURE() << "no document element";
    return shape;
  }
  Walk(doc->getDocumentElement(), 0, shape);
  for (xc::DOMNode* c = doc->getDocumentElement()->getFirstChild(); c; c = c->getNextSibling())
    if (c->getNodeType() == xc::DOMNode::ELEMENT_NODE) ++shape.rootChildren;
  return shape;
}

TEST(XmlGen, SameSeedSameBytesOtherSeedOtherBytes) {
  const std::string a = bench::GenerateXmlText(64 * 1024, 7);
  EXPECT_EQ(a, bench::GenerateXmlText(64 * 1024, 7));
  EXPECT_NE(a, bench::GenerateXmlText(64 * 1024, 8));
  // A larger file of the same seed starts with the same records.
  const std::string b = bench::GenerateXmlText(128 * 1024, 7);
  const size_t lastRecord = a.rfind("<record ");
  ASSERT_NE(lastRecord, std::string::npos);
  EXPECT_EQ(a.substr(0, lastRecord), b.substr(0, lastRecord));
}

TEST(XmlGen, ReachesTheSizeWithoutOvershootingByMoreThanABatch) {
  for (uint64_t target : {1u, 4096u, 100000u, 1u << 20}) {
    const std::string text = bench::GenerateXmlText(target, 3);
    EXPECT_GE(text.size(), target) << target;
    // A batch of up to 80 records is the most that can follow the last check.
    EXPECT_LT(text.size(), target + 80 * 2048) << target;
  }
}

TEST(XmlGen, FileAndTextAgree) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  bench::GenStats stats;
  ASSERT_TRUE(bench::GenerateXml(f, 200000, 11, &stats));
  std::string fromFile(static_cast<size_t>(stats.bytes), '\0');
  std::rewind(f);
  EXPECT_EQ(std::fread(fromFile.data(), 1, fromFile.size(), f), fromFile.size());
  EXPECT_EQ(std::fgetc(f), EOF);
  std::fclose(f);
  EXPECT_EQ(fromFile, bench::GenerateXmlText(200000, 11));
  EXPECT_GT(stats.records, 100u);
}

TEST(XmlGen, WriteFailureIsReported) {
  std::FILE* full = std::fopen("/dev/full", "wb");
  if (!full) GTEST_SKIP() << "no /dev/full";
  EXPECT_FALSE(bench::GenerateXml(full, 3u << 20, 1));
  std::fclose(full);
}

TEST(XmlGen, WellFormedWithEveryConstruct) {
  const Shape shape = ParseShape(bench::GenerateXmlText(512 * 1024, 42));
  using N = xc::DOMNode;
  for (int type : {N::ELEMENT_NODE, N::ATTRIBUTE_NODE, N::TEXT_NODE, N::CDATA_SECTION_NODE, N::COMMENT_NODE,
                   N::PROCESSING_INSTRUCTION_NODE})
    EXPECT_GT(shape.byType.count(type) ? shape.byType.at(type) : 0, 0) << "node type " << type;
  EXPECT_TRUE(shape.namespaced);
  // Records under the root and in batches, with section chains below them.
  EXPECT_GT(shape.rootChildren, 100);
  EXPECT_GE(shape.maxDepth, 8);
  // Dense enough to stand for the big files: a node per 10 to 40 bytes.
  int nodes = 0;
  for (const auto& [type, count] : shape.byType) nodes += count;
  EXPECT_GT(nodes, 512 * 1024 / 40);
  EXPECT_LT(nodes, 512 * 1024 / 10);
}

}  // namespace
