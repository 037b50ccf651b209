// The library's DOM against Xerces' own: the same tree, less the
// whitespace-only text that the library drops outside xml:space="preserve".
// Guards the parse's shortcuts (held-back whitespace, appends linked by
// hand) on the cases where a run of text is split: references, CDATA,
// comments, PIs.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "bench/XmlGen.h"
#include "dom/xercesxmldom.h"
#include "dom/xmldom.h"
#include "rtl/TextConv.h"

namespace {

namespace xc = XERCES_CPP_NAMESPACE;
using rtl::ComPtr;

class XercesEnv : public ::testing::Environment {
 public:
  void SetUp() override { xc::XMLPlatformUtils::Initialize(); }
  void TearDown() override { xc::XMLPlatformUtils::Terminate(); }
};
const auto* const kXerces = ::testing::AddGlobalTestEnvironment(new XercesEnv);

bool AllSpace(const std::u16string& s) {
  return std::all_of(s.begin(), s.end(), [](char16_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
}

std::string Line(int depth, int type, const std::u16string& name, const std::u16string& value) {
  return std::string(static_cast<size_t>(depth) * 2, ' ') + std::to_string(type) + " " + rtl::Utf8Encode(name) +
         " [" + rtl::Utf8Encode(value) + "]";
}

// Xerces' tree, whitespace-only text dropped where the library drops it.
void DumpXerces(xc::DOMNode* n, int depth, bool preserve, std::vector<std::string>& out) {
  const auto text = [](const XMLCh* s) { return std::u16string(s ? s : u""); };
  if (n->getNodeType() == xc::DOMNode::TEXT_NODE && !preserve && AllSpace(text(n->getNodeValue()))) return;
  out.push_back(Line(depth, n->getNodeType(), text(n->getNodeName()), text(n->getNodeValue())));
  if (n->getNodeType() == xc::DOMNode::ELEMENT_NODE) {
    auto* e = static_cast<xc::DOMElement*>(n);
    const std::u16string space = text(e->getAttribute(u"xml:space"));
    if (space == u"preserve") preserve = true;
    if (space == u"default") preserve = false;
    std::vector<std::string> attrs;
    xc::DOMNamedNodeMap* map = e->getAttributes();
    for (XMLSize_t i = 0; i < map->getLength(); ++i)
      attrs.push_back(Line(depth + 1, 2, text(map->item(i)->getNodeName()), text(map->item(i)->getNodeValue())));
    std::sort(attrs.begin(), attrs.end());
    out.insert(out.end(), attrs.begin(), attrs.end());
  }
  for (xc::DOMNode* c = n->getFirstChild(); c; c = c->getNextSibling()) DumpXerces(c, depth + 1, preserve, out);
}

WideString Get(IDOMNode* n, HResult (IDOMNode::*read)(WideString*)) {
  WideString s;
  DOMCheck((n->*read)(&s), "read");
  return s;
}

void DumpOurs(IDOMNode* n, int depth, std::vector<std::string>& out) {
  uint16_t type = 0;
  DOMCheck(n->GetNodeType(&type), "GetNodeType");
  out.push_back(Line(depth, type, Get(n, &IDOMNode::GetNodeName), Get(n, &IDOMNode::GetNodeValue)));
  if (type == ntElement) {
    ComPtr<IDOMNamedNodeMap> map;
    DOMCheck(n->GetAttributes(map.put()), "GetAttributes");
    int32_t count = 0;
    DOMCheck(map->GetLength(&count), "GetLength");
    std::vector<std::string> attrs;
    for (int32_t i = 0; i < count; ++i) {
      ComPtr<IDOMNode> a;
      DOMCheck(map->Item(i, a.put()), "Item");
      attrs.push_back(Line(depth + 1, 2, Get(a.get(), &IDOMNode::GetNodeName), Get(a.get(), &IDOMNode::GetNodeValue)));
    }
    std::sort(attrs.begin(), attrs.end());
    out.insert(out.end(), attrs.begin(), attrs.end());
  }
  std::vector<ComPtr<IDOMNode>> children;
  ComPtr<IDOMNode> c;
  DOMCheck(n->GetFirstChild(c.put()), "GetFirstChild");
  while (c) {
    DumpOurs(c.get(), depth + 1, out);
    children.push_back(c);
    ComPtr<IDOMNode> next;
    DOMCheck(c->GetNextSibling(next.put()), "GetNextSibling");
    c = next;
  }
  // The links the parse made by hand read the same the other way round: the
  // last child, each one's previous sibling and its parent (one object per
  // node while it is held).
  ComPtr<IDOMNode> link;
  DOMCheck(n->GetLastChild(link.put()), "GetLastChild");
  EXPECT_EQ(link.get(), children.empty() ? nullptr : children.back().get());
  for (size_t i = 0; i < children.size(); ++i) {
    DOMCheck(children[i]->GetPreviousSibling(link.put()), "GetPreviousSibling");
    EXPECT_EQ(link.get(), i ? children[i - 1].get() : nullptr);
    DOMCheck(children[i]->GetParentNode(link.put()), "GetParentNode");
    EXPECT_EQ(link.get(), n);
  }
}

std::vector<std::string> XercesShape(const std::string& utf8) {
  xc::XercesDOMParser parser;
  parser.setDoNamespaces(true);
  parser.setCreateCommentNodes(true);
  parser.setCreateEntityReferenceNodes(false);
  xc::HandlerBase errors;
  parser.setErrorHandler(&errors);
  xc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(utf8.data()), utf8.size(), u"t", false);
  parser.parse(source);
  std::vector<std::string> out;
  DumpXerces(parser.getDocument()->getDocumentElement(), 0, false, out);
  return out;
}

std::vector<std::string> OurShape(const std::string& utf8) {
  ComPtr<IDOMDocument> doc;
  DOMCheck(ImplementationByDescription(SXercesXML)->CreateDocument(u"", u"", nullptr, doc.put()), "CreateDocument");
  WordBool ok = 0;
  DOMCheck(doc.query<IDOMPersist>()->LoadXMLText(rtl::Utf8Decode(utf8), &ok), "LoadXMLText");
  EXPECT_TRUE(ok) << utf8;
  std::vector<std::string> out;
  ComPtr<IDOMElement> root;
  DOMCheck(doc->GetDocumentElement(root.put()), "GetDocumentElement");
  if (root) DumpOurs(root.get(), 0, out);
  return out;
}

void ExpectSameShape(const std::string& xml) {
  const std::vector<std::string> theirs = XercesShape(xml);
  const std::vector<std::string> ours = OurShape(xml);
  ASSERT_EQ(ours.size(), theirs.size()) << xml;
  for (size_t i = 0; i < ours.size(); ++i) ASSERT_EQ(ours[i], theirs[i]) << "node " << i << " of " << xml;
}

TEST(LoadShape, TextRunsSplitByReferencesAndMarkup) {
  for (const char* xml : {
           "<a>  <b/>  x &amp; y  <c/>\n</a>",
           "<a> &#32; <b/>&#x9;</a>",
           "<a>  &lt;  </a>",
           "<a>\n  <![CDATA[  ]]>  <![CDATA[x]]>\n</a>",
           "<a>  <!-- c -->  x<?p d?>  </a>",
           "<a>x<b/>  </a>",
           "<a>  x  <b>  </b>\t<c> y </c></a>",
           "<!DOCTYPE a [<!ENTITY sp '   '><!ENTITY t 'text'><!ENTITY m '<b> </b> '>]>"
           "<a>&sp;<b/>&sp;&t;&sp;<c>&sp;</c>&m;&m;</a>",
           "<a xml:space='preserve'>  <b>  </b><c xml:space='default'>  <d/>  </c>  </a>",
           "<r xmlns='urn:x' xmlns:p='urn:p'>\n  <p:c p:k='v'>  t  </p:c>\n  <d xmlns='urn:y'/>\n</r>",
       })
    ExpectSameShape(xml);
}

TEST(LoadShape, GeneratedRecordsMatchXerces) { ExpectSameShape(bench::GenerateXmlText(300 * 1024, 5)); }

}  // namespace
