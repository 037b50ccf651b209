// The transforms of the node extension (declared in Nodes.h).
#include "lib/xercesxmldom/Nodes.h"

#include <sstream>

#include <xalanc/Include/PlatformDefinitions.hpp>
#include <xalanc/XalanTransformer/XalanTransformer.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>
#include <xercesc/util/XMLResourceIdentifier.hpp>

#include "lib/xercesxmldom/Writer.h"

namespace xdom {

namespace {

// Xalan is started for each transform and ended right after it: ending it
// at library shutdown runs after its own static objects are destroyed
// (the library is loaded after the program starts) and frees them twice.
class XalanSession {
 public:
  XalanSession() { xalanc::XalanTransformer::initialize(); }
  ~XalanSession() { xalanc::XalanTransformer::terminate(); }
  XalanSession(const XalanSession&) = delete;
  XalanSession& operator=(const XalanSession&) = delete;
};

// Transforms read nothing but their two documents: every external
// resource (document(), includes, DTDs) is answered with empty content.
class NothingOutside final : public xc::XMLEntityResolver {
 public:
  xc::InputSource* resolveEntity(xc::XMLResourceIdentifier* id) override {
    static const XMLByte kNothing[1] = {0};
    const XMLCh* sys = id->getSystemId();
    return new xc::MemBufInputSource(kNothing, 0, sys ? sys : u"", false);
  }
};

std::string Utf8Of(XDoc* doc) {
  static const std::u16string kUtf8 = u"UTF-8";
  auto encoder = MakeEncoder(kUtf8);
  std::string out;
  WriteSettings settings;
  settings.declEncoding = &kUtf8;
  WriteDocument(doc, *encoder, [&](const void* p, size_t n) { out.append(static_cast<const char*>(p), n); }, settings);
  return out;
}

std::string Run(XDoc* doc, xc::DOMNode* source, IDOMNode* styleSheet) {
  NodeCore* sheet = CoreOf(styleSheet);
  if (source->getNodeType() != xc::DOMNode::DOCUMENT_NODE || !sheet ||
      sheet->node->getNodeType() != xc::DOMNode::DOCUMENT_NODE)
    Fail(kDOMErrorTransformSource);
  std::istringstream in(Utf8Of(doc));
  std::istringstream xsl(Utf8Of(sheet->doc.get()));
  std::ostringstream out;
  XalanSession session;
  NothingOutside resolver;
  xalanc::XalanTransformer transformer;
  transformer.setXMLEntityResolver(&resolver);
  xalanc::XSLTInputSource inSource(in);
  xalanc::XSLTInputSource xslSource(xsl);
  xalanc::XSLTResultTarget target(out);
  if (transformer.transform(inSource, xslSource, target) != 0) {
    const char* why = transformer.getLastError();
    std::u16string reason = Utf8ToUtf16(why ? why : "");
    FailText(FormatMsg(msg::kTransformFailed, reason));
  }
  return std::move(out).str();
}

}  // namespace

namespace ops {

void TransformToText(XDoc* doc, xc::DOMNode* source, IDOMNode* styleSheet, WideString* result) {
  std::string bytes = Run(doc, source, styleSheet);
  Put(result, DecodeBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

void TransformToDocument(XDoc* doc, xc::DOMNode* source, IDOMNode* styleSheet, IDOMDocument* output) {
  if (!output) FailText(msg::kNotAnOutputDocument);
  std::string bytes = Run(doc, source, styleSheet);
  std::u16string reason = LoadIntoDocument(output, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  if (!reason.empty()) FailText(FormatMsg(msg::kTransformFailed, reason));
}

}  // namespace ops

}  // namespace xdom
