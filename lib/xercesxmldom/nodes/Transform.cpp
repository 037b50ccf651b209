// The transforms of the node extension (declared in Nodes.h).
#include "lib/xercesxmldom/nodes/Nodes.h"

#include <mutex>
#include <set>
#include <sstream>

#include <xalanc/Include/PlatformDefinitions.hpp>
#include <xalanc/XalanTransformer/XalanTransformer.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>
#include <xercesc/util/XMLResourceIdentifier.hpp>

#include "lib/xercesxmldom/save/NodeRef.h"
#include "lib/xercesxmldom/save/Writer.h"

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

constexpr char16_t kXsltNs[] = u"http://www.w3.org/1999/XSL/Transform";

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

// Whether the internal subset declares the attribute of the element
// already (an attribute-list declaration naming both).
bool SubsetDeclares(std::u16string_view subset, std::u16string_view element, std::u16string_view attr) {
  for (size_t at = subset.find(u"<!ATTLIST"); at != std::u16string_view::npos; at = subset.find(u"<!ATTLIST", at + 1)) {
    size_t p = at + 9;
    while (p < subset.size() && IsSpace(subset[p])) ++p;
    if (subset.substr(p, element.size()) != element || p + element.size() >= subset.size() ||
        !IsSpace(subset[p + element.size()]))
      continue;
    std::u16string_view decl = subset.substr(p, subset.find(u'>', p) - p);
    for (size_t k = decl.find(attr); k != std::u16string_view::npos; k = decl.find(attr, k + 1))
      if (IsSpace(decl[k - 1]) && k + attr.size() < decl.size() && IsSpace(decl[k + attr.size()])) return true;
  }
  return false;
}

// Attribute declarations for the attributes the document knows as IDs and
// its internal subset does not declare, so that id() finds what
// GetElementById finds, wherever the IDs were declared. Read from the
// store while the document is there.
std::u16string IdDeclarations(XDoc* doc) {
  std::u16string out;
  xc::DOMDocumentType* dt = doc->doc->getDoctype();
  const XMLCh* subsetText = dt ? dt->getInternalSubset() : nullptr;
  std::u16string_view subset = subsetText ? std::u16string_view(subsetText) : std::u16string_view();
  std::set<std::pair<std::u16string, std::u16string>> seen;
  const NodeRef top = NodeRef::DocumentOf(doc);
  NodeRef n = top.First();
  while (n) {
    const bool element = n.Type() == xc::DOMNode::ELEMENT_NODE;
    if (element)
      n.ForEachAttribute([&](NodeRef a) {
        if (!a.IsId() || !seen.emplace(n.Name(), a.Name()).second) return;
        if (SubsetDeclares(subset, n.Name(), a.Name())) return;
        out.append(u"<!ATTLIST ").append(n.Name()).append(u" ").append(a.Name()).append(u" ID #IMPLIED>");
      });
    if (element && n.First()) {
      n = n.First();
      continue;
    }
    while (n && n != top && !n.Next()) n = n.Parent();
    n = n && n != top ? n.Next() : NodeRef();
  }
  return out;
}

// The source as the XSLT processor reads it: UTF-8, with its document type
// (the processor reads nothing outside, see NothingOutside).
std::string Utf8Of(XDoc* doc) {
  static const std::u16string kUtf8 = u"UTF-8";
  auto encoder = MakeEncoder(kUtf8);
  WriteSettings settings;
  settings.declEncoding = &kUtf8;
  settings.extraSubset = IdDeclarations(doc);
  std::string out;
  WriteDocument(doc, *encoder, [&](const void* p, size_t n) { out.append(static_cast<const char*>(p), n); }, settings);
  return out;
}

// The encoding the style sheet's xsl:output asks for (the last one wins);
// empty when it asks for none.
std::u16string OutputEncoding(XDoc* sheet) {
  std::u16string encoding;
  NodeRef root = NodeRef::DocumentOf(sheet).First();
  while (root && root.Type() != xc::DOMNode::ELEMENT_NODE) root = root.Next();
  for (NodeRef c = root ? root.First() : NodeRef(); c; c = c.Next()) {
    if (c.Type() != xc::DOMNode::ELEMENT_NODE || c.Namespace() != kXsltNs || c.LocalName() != u"output") continue;
    c.ForEachAttribute([&](NodeRef a) {
      if (a.Name() == u"encoding" && !a.Value().empty()) encoding = a.Value();
    });
  }
  return encoding;
}

struct Output {
  std::string bytes;
  std::u16string encoding;  // what xsl:output asked for
};

// The output as text: by its byte-order mark or declaration when it has
// one, else in the encoding the style sheet asked for.
std::u16string TextOf(const Output& out) {
  const auto* p = reinterpret_cast<const uint8_t*>(out.bytes.data());
  if (HasEncodingMark(p, out.bytes.size())) return DecodeBytes(p, out.bytes.size());
  return DecodeAs(p, out.bytes.size(), out.encoding);
}

// The processor reads both documents as text: neither needs its tree.
Output Run(XDoc* doc, NodeCore& source, IDOMNode* styleSheet) {
  NodeCore* sheet = CoreOf(styleSheet);
  if (!sheet || NodeRef::Of(source).Type() != xc::DOMNode::DOCUMENT_NODE ||
      NodeRef::Of(*sheet).Type() != xc::DOMNode::DOCUMENT_NODE)
    Fail(kDOMErrorTransformSource);
  std::istringstream in(Utf8Of(doc));
  std::istringstream xsl(Utf8Of(sheet->doc.get()));
  std::ostringstream out;
  // Xalan's start and end change process-wide state (and Xerces' start
  // count): one transform at a time, whichever documents and threads.
  static std::mutex oneAtATime;
  std::lock_guard<std::mutex> hold(oneAtATime);
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
  return Output{std::move(out).str(), OutputEncoding(sheet->doc.get())};
}

}  // namespace

namespace ops {

void TransformToText(XDoc* doc, NodeCore& source, IDOMNode* styleSheet, WideString* result) {
  Put(result, TextOf(Run(doc, source, styleSheet)));
}

void TransformToDocument(XDoc* doc, NodeCore& source, IDOMNode* styleSheet, IDOMDocument* output) {
  if (!output) FailText(msg::kNotAnOutputDocument);
  Output out = Run(doc, source, styleSheet);
  const auto* p = reinterpret_cast<const uint8_t*>(out.bytes.data());
  // Without a mark of its own, the parser would read the text as UTF-8.
  if (!HasEncodingMark(p, out.bytes.size())) {
    out.bytes = Utf16ToUtf8(TextOf(out));
    p = reinterpret_cast<const uint8_t*>(out.bytes.data());
  }
  std::u16string reason = LoadIntoDocument(output, p, out.bytes.size());
  if (!reason.empty()) FailText(FormatMsg(msg::kTransformFailed, reason));
}

}  // namespace ops

}  // namespace xdom
