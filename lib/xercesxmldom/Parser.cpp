#include "lib/xercesxmldom/Parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include <unordered_map>

#include <xercesc/dom/impl/DOMAttrImpl.hpp>
#include <xercesc/dom/impl/DOMCasts.hpp>
#include <xercesc/dom/impl/DOMParentNode.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/MemoryManager.hpp>
#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/framework/XMLElementDecl.hpp>
#include <xercesc/framework/XMLNotationDecl.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/BinInputStream.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>
#include <xercesc/util/XMLResourceIdentifier.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "lib/xercesxmldom/Writer.h"

namespace xdom {

namespace {

// The largest single allocation the parser and its documents may make. A
// quadratic entity blowup inside an attribute value grows one buffer
// without bound (the scanner builds the value before anyone sees it); this
// stops it. Legitimate single values stay far below it.
constexpr XMLSize_t kMaxSingleAllocation = XMLSize_t(256) * 1024 * 1024;

bool gAllocationRefused = false;

class BoundedMemoryManager final : public xc::MemoryManager {
 public:
  xc::MemoryManager* getExceptionMemoryManager() override { return xc::XMLPlatformUtils::fgMemoryManager; }
  void* allocate(XMLSize_t size) override {
    if (size > kMaxSingleAllocation) {
      gAllocationRefused = true;
      throw xc::OutOfMemoryException();
    }
    try {
      return ::operator new(size);
    } catch (const std::bad_alloc&) {
      throw xc::OutOfMemoryException();
    }
  }
  void deallocate(void* p) override { ::operator delete(p); }
};

// Documents made by the parser keep using this manager after the parser
// is gone, so it lives as long as the library.
BoundedMemoryManager gParserMemory;

// Thrown from parser callbacks to stop a parse whose failure is recorded.
struct Abort {};

// The scanner copies the security manager's expansion limit when a parse
// starts; the limit that bounds a document's output depends on the sizes
// of its entities, known only after its DTD.
struct ScannerAccess : xc::XMLScanner {
  static XMLSize_t xc::XMLScanner::*ExpansionLimit() { return &ScannerAccess::fEntityExpansionLimit; }
};

bool NamesUtf8(const XMLCh* name) {
  std::u16string up;
  for (; *name; ++name) up += (*name >= u'a' && *name <= u'z') ? char16_t(*name - 32) : *name;
  return up == u"UTF-8" || up == u"UTF8";
}

bool StartsWithUtf8Mark(const uint8_t* p, size_t n) { return n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF; }

bool IsXmlSpace(XMLCh c) { return c == 0x20 || c == 0x09 || c == 0x0A || c == 0x0D; }

bool AllWhiteSpace(const XMLCh* s) {
  if (!s) return true;
  for (; *s; ++s)
    if (!IsXmlSpace(*s)) return false;
  return true;
}

// The first error of a parse, with its place.
class ErrorRecorder final : public xc::ErrorHandler {
 public:
  explicit ErrorRecorder(bool validate) : validate_(validate) {}

  void warning(const xc::SAXParseException&) override {}
  void error(const xc::SAXParseException& e) override {
    // Recoverable errors are validity errors; they fail only a validating
    // load.
    if (!validate_) return;
    Record(e);
    throw Abort{};
  }
  void fatalError(const xc::SAXParseException& e) override {
    Record(e);
    throw Abort{};
  }
  void resetErrors() override {}

  void Record(const xc::SAXParseException& e) {
    if (failed) return;
    failed = true;
    info.reason = e.getMessage() ? e.getMessage() : u"";
    info.url = e.getSystemId() ? e.getSystemId() : u"";
    info.line = static_cast<int32_t>(std::min<XMLFileLoc>(e.getLineNumber(), INT32_MAX));
    info.linePos = static_cast<int32_t>(std::min<XMLFileLoc>(e.getColumnNumber(), INT32_MAX));
  }
  void Record(std::u16string reason, const xc::Locator* where) {
    if (failed) return;
    failed = true;
    info.reason = std::move(reason);
    if (where) {
      info.url = where->getSystemId() ? where->getSystemId() : u"";
      info.line = static_cast<int32_t>(std::min<XMLFileLoc>(where->getLineNumber(), INT32_MAX));
      info.linePos = static_cast<int32_t>(std::min<XMLFileLoc>(where->getColumnNumber(), INT32_MAX));
    }
  }

  bool failed = false;
  ParseErrorInfo info;

 private:
  bool validate_;
};

bool HasScheme(const XMLCh* s, const char16_t** schemeEnd) {
  // scheme ":" with at least two letters (so "C:" drive letters do not count)
  size_t i = 0;
  while (s[i] && ((s[i] >= u'a' && s[i] <= u'z') || (s[i] >= u'A' && s[i] <= u'Z') || (i > 0 && (s[i] == u'+' || s[i] == u'-' || s[i] == u'.' || (s[i] >= u'0' && s[i] <= u'9')))))
    ++i;
  if (i >= 2 && s[i] == u':') {
    *schemeEnd = s + i;
    return true;
  }
  return false;
}

bool IsFileScheme(const XMLCh* s, const XMLCh* end) {
  return end - s == 4 && (s[0] | 0x20) == u'f' && (s[1] | 0x20) == u'i' && (s[2] | 0x20) == u'l' &&
         (s[3] | 0x20) == u'e';
}

// With externals off, every external entity, DTD and schema is answered with
// empty content before anything is opened. With them on, local files are
// left to Xerces and network URLs still get empty content.
class ExternalResolver final : public xc::XMLEntityResolver {
 public:
  explicit ExternalResolver(bool resolve) : resolve_(resolve) {}
  xc::InputSource* resolveEntity(xc::XMLResourceIdentifier* id) override {
    const XMLCh* sys = id->getSystemId();
    if (resolve_ && sys && *sys && IsLocal(sys, id->getBaseURI())) return nullptr;
    static const XMLByte kNothing[1] = {0};
    auto* empty = new xc::MemBufInputSource(kNothing, 0, sys ? sys : u"", false);
    return empty;
  }

 private:
  static bool IsLocal(const XMLCh* sys, const XMLCh* base) {
    const XMLCh* end = nullptr;
    if (HasScheme(sys, &end)) return IsFileScheme(sys, end);
    if (base && *base && HasScheme(base, &end)) return IsFileScheme(base, end);
    return true;
  }
  bool resolve_;
};

class FileBinStream final : public xc::BinInputStream {
 public:
  explicit FileBinStream(FILE* f) : f_(f) {}
  ~FileBinStream() override { fclose(f_); }
  XMLFilePos curPos() const override { return pos_; }
  XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override {
    size_t n = fread(toFill, 1, maxToRead, f_);
    pos_ += n;
    return n;
  }
  const XMLCh* getContentType() const override { return nullptr; }

 private:
  FILE* f_;
  XMLFilePos pos_ = 0;
};

class FileSource final : public xc::InputSource {
 public:
  FileSource(FILE* f, const std::u16string& systemId) : InputSource(&gParserMemory), f_(f) {
    setSystemId(systemId.c_str());
  }
  ~FileSource() override {
    if (f_) fclose(f_);
  }
  xc::BinInputStream* makeStream() const override {
    FILE* f = std::exchange(f_, nullptr);
    return f ? new FileBinStream(f) : nullptr;
  }

 private:
  mutable FILE* f_;
};

class ProgramBinStream final : public xc::BinInputStream {
 public:
  explicit ProgramBinStream(rtl::IStream* s) : s_(s) {}
  XMLFilePos curPos() const override { return pos_; }
  XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override {
    int32_t want = static_cast<int32_t>(std::min<XMLSize_t>(maxToRead, INT32_MAX));
    int32_t got = 0;
    if (rtl::Failed(s_->Read(toFill, want, &got)) || got < 0) FailText(msg::kStreamReadFailed);
    pos_ += static_cast<XMLFilePos>(got);
    return static_cast<XMLSize_t>(got);
  }
  const XMLCh* getContentType() const override { return nullptr; }

 private:
  rtl::IStream* s_;
  XMLFilePos pos_ = 0;
};

class ProgramStreamSource final : public xc::InputSource {
 public:
  explicit ProgramStreamSource(rtl::IStream* s) : InputSource(&gParserMemory), s_(s) {}
  xc::BinInputStream* makeStream() const override { return new ProgramBinStream(s_); }

 private:
  rtl::IStream* s_;
};

// Reads through another source and calls progress as ParseSettings says.
// The scanner reads the main source a buffer at a time however the document
// is shaped, so this is one place that sees the whole parse advance.
class ProgressStream final : public xc::BinInputStream {
 public:
  ProgressStream(xc::BinInputStream* inner, const std::function<void()>& progress)
      : inner_(inner), progress_(progress), last_(std::chrono::steady_clock::now()) {}
  XMLFilePos curPos() const override { return inner_->curPos(); }
  XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ >= kProgressInterval) {
      last_ = now;
      progress_();
    }
    return inner_->readBytes(toFill, maxToRead);
  }
  const XMLCh* getContentType() const override { return inner_->getContentType(); }
  const XMLCh* getEncoding() const override { return inner_->getEncoding(); }

 private:
  std::unique_ptr<xc::BinInputStream> inner_;
  const std::function<void()>& progress_;
  std::chrono::steady_clock::time_point last_;
};

class ProgressSource final : public xc::InputSource {
 public:
  ProgressSource(std::unique_ptr<xc::InputSource> inner, const std::function<void()>& progress)
      : InputSource(&gParserMemory), inner_(std::move(inner)), progress_(progress) {
    setSystemId(inner_->getSystemId());
    setEncoding(inner_->getEncoding());
  }
  xc::BinInputStream* makeStream() const override {
    xc::BinInputStream* stream = inner_->makeStream();
    return stream ? new ProgressStream(stream, progress_) : nullptr;
  }

 private:
  std::unique_ptr<xc::InputSource> inner_;
  const std::function<void()>& progress_;
};

// XercesDOMParser shaped for a viewer: whitespace-only text dropped unless
// asked for or under xml:space="preserve", entity output bounded, attribute
// document order recorded.
class TreeBuilder final : public xc::XercesDOMParser {
 public:
  TreeBuilder(const ParseSettings& s, ErrorRecorder& errors)
      : XercesDOMParser(nullptr, &gParserMemory), settings_(s), errors_(errors) {
    // Xerces resolves every prefix by walking the whole element stack, which
    // makes deep documents quadratic. Without validation (which needs the
    // scanner's namespaces for schemas) the builder binds namespaces itself.
    ownNamespaces_ = !s.validate;
    setDoNamespaces(!ownNamespaces_);
    setCreateEntityReferenceNodes(false);
    setCreateCommentNodes(true);
    setIncludeIgnorableWhitespace(s.preserveWhiteSpace);
    setValidationScheme(s.validate ? Val_Auto : Val_Never);
    setDoSchema(s.validate);
    setLoadSchema(s.validate);
    setValidationConstraintFatal(s.validate);
    setLoadExternalDTD(s.resolveExternals);
    setDisableDefaultEntityResolution(!s.resolveExternals);
    setExitOnFirstFatalError(true);
    setCreateSchemaInfo(false);
  }

  xdom::XMLDecl decl;
  AttrOrder order;
  // The source starts with the UTF-8 byte-order mark.
  bool utf8Mark = false;

  void XMLDecl(const XMLCh* const version, const XMLCh* const encoding, const XMLCh* const standalone,
               const XMLCh* const actualEncoding) override {
    if (!declSeen_) {
      declSeen_ = true;
      // The parser follows the declaration and would read UTF-8 bytes as
      // whatever it names, garbling every non-ASCII character.
      if (utf8Mark && encoding && *encoding && !NamesUtf8(encoding)) Stop(msg::kMarkContradictsEncoding);
      decl.version = version ? version : u"";
      decl.encoding = encoding ? encoding : u"";
      decl.standalone = standalone ? standalone : u"";
    }
    XercesDOMParser::XMLDecl(version, encoding, standalone, actualEncoding);
  }

  void startElement(const xc::XMLElementDecl& elemDecl, const unsigned int urlId, const XMLCh* const elemPrefix,
                    const xc::RefVectorOf<xc::XMLAttr>& attrList, const XMLSize_t attrCount, const bool isEmpty,
                    const bool isRoot) override {
    heldSpace_.clear();
    if (attrCount > kMaxAttributesPerElement) Stop(msg::kTooManyAttributes);
    bool preserve = spaceStack_.empty() ? settings_.preserveWhiteSpace : spaceStack_.back();
    for (XMLSize_t i = 0; i < attrCount; ++i) {
      const xc::XMLAttr* a = attrList.elementAt(i);
      if (entityDepth_ > 0) CountEntityOutput(16 + xc::XMLString::stringLen(a->getValue()));
      if (xc::XMLString::equals(a->getQName(), u"xml:space")) {
        if (xc::XMLString::equals(a->getValue(), u"preserve"))
          preserve = true;
        else if (xc::XMLString::equals(a->getValue(), u"default"))
          preserve = settings_.preserveWhiteSpace;
      }
    }
    if (entityDepth_ > 0) CountEntityOutput(16);
    // Pushed before the element is made: for an empty element endElement
    // runs right away and pops.
    spaceStack_.push_back(preserve);
    if (!ownNamespaces_) {
      XercesDOMParser::startElement(elemDecl, urlId, elemPrefix, attrList, attrCount, isEmpty, isRoot);
      if (attrCount > 1) RecordAttributeOrder(attrList, attrCount);
      return;
    }
    xc::DOMElement* element = MakeElement(elemDecl, attrList, attrCount);
    // The public appendChild re-checks what the scanner guarantees (and
    // walks the ancestors); Xerces' own builder appends this way. The
    // document keeps track of its element itself, so it gets the full call.
    if (fCurrentParent->getNodeType() == xc::DOMNode::ELEMENT_NODE)
      xc::castToParentImpl(fCurrentParent)->appendChildFast(element);
    else
      fCurrentParent->appendChild(element);
    fCurrentParent = element;
    fCurrentNode = element;
    fWithinElement = true;
    if (attrCount > 1) RecordAttributeOrder(attrList, attrCount);
    if (isEmpty) endElement(elemDecl, urlId, isRoot, elemPrefix);
  }

  void endElement(const xc::XMLElementDecl& elemDecl, const unsigned int urlId, const bool isRoot,
                  const XMLCh* const elemPrefix) override {
    heldSpace_.clear();
    XercesDOMParser::endElement(elemDecl, urlId, isRoot, elemPrefix);
    if (ownNamespaces_) PopBindings();
    bool preserve = spaceStack_.empty() ? settings_.preserveWhiteSpace : spaceStack_.back();
    if (!spaceStack_.empty()) spaceStack_.pop_back();
    if (preserve) return;
    // After the base call the current node is the element that ended.
    xc::DOMNode* element = getCurrentNode();
    if (!element || element->getNodeType() != xc::DOMNode::ELEMENT_NODE) return;
    xc::DOMNode* c = element->getFirstChild();
    while (c) {
      xc::DOMNode* next = c->getNextSibling();
      if (c->getNodeType() == xc::DOMNode::TEXT_NODE && AllWhiteSpace(c->getNodeValue())) {
        element->removeChild(c);
        // Nobody can hold this node yet: let the document reuse it.
        c->release();
      }
      c = next;
    }
  }

  // White space that would start a text node is held back until the run
  // shows other text (then it goes in first and merges as before) or markup
  // ends it (then it is dropped), rather than made into a node and removed.
  // The pass in endElement still removes whatever slips through.
  void docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) override {
    if (entityDepth_ > 0) CountEntityOutput(length);
    if (cdataSection) {
      heldSpace_.clear();
    } else if (!InPreserve() && fCurrentNode && fCurrentNode->getNodeType() != xc::DOMNode::TEXT_NODE) {
      bool space = true;
      for (XMLSize_t i = 0; i < length && space; ++i) space = IsXmlSpace(chars[i]);
      if (space) {
        heldSpace_.append(chars, length);
        return;
      }
      if (!heldSpace_.empty()) {
        XercesDOMParser::docCharacters(heldSpace_.data(), heldSpace_.size(), false);
        heldSpace_.clear();
      }
    }
    XercesDOMParser::docCharacters(chars, length, cdataSection);
  }
  void docComment(const XMLCh* const comment) override {
    heldSpace_.clear();
    XercesDOMParser::docComment(comment);
  }
  void docPI(const XMLCh* const target, const XMLCh* const data) override {
    RefuseColon(target);
    heldSpace_.clear();
    XercesDOMParser::docPI(target, data);
  }

  void entityDecl(const xc::DTDEntityDecl& decl, const bool isPEDecl, const bool isIgnored) override {
    RefuseColon(decl.getName());
    XercesDOMParser::entityDecl(decl, isPEDecl, isIgnored);
    if (!isPEDecl && !isIgnored && !decl.isExternal() && decl.getName())
      entityValues_.emplace(decl.getName(), decl.getValue() ? decl.getValue() : u"");
  }
  void endIntSubset() override {
    XercesDOMParser::endIntSubset();
    TightenExpansionLimit();
  }
  void endExtSubset() override {
    XercesDOMParser::endExtSubset();
    TightenExpansionLimit();
  }

  void startEntityReference(const xc::XMLEntityDecl& entDecl) override {
    ++entityDepth_;
    XercesDOMParser::startEntityReference(entDecl);
  }
  void endEntityReference(const xc::XMLEntityDecl& entDecl) override {
    if (entityDepth_ > 0) --entityDepth_;
    XercesDOMParser::endEntityReference(entDecl);
  }

  const xc::Locator* Where() const { return getScanner() ? getScanner()->getLocator() : nullptr; }

  [[noreturn]] void Stop(std::u16string reason) {
    errors_.Record(std::move(reason), Where());
    throw Abort{};
  }

 private:
  // Xerces' security manager counts expansions, not what they produce: a
  // handful of references to a large entity still expands without bound.
  void CountEntityOutput(uint64_t n) {
    entityChars_ += n;
    if (entityChars_ > kMaxEntityChars) Stop(msg::kEntityExpansion);
  }

  void notationDecl(const xc::XMLNotationDecl& decl, const bool isIgnored) override {
    RefuseColon(decl.getName());
    XercesDOMParser::notationDecl(decl, isIgnored);
  }

  // With namespaces these names are plain names (the scanner checks them
  // only when it does namespaces itself).
  void RefuseColon(const XMLCh* name) {
    if (ownNamespaces_ && name && xc::XMLString::indexOf(name, u':') >= 0) Stop(FormatMsg(msg::kColonInName, name));
  }

  bool InPreserve() const { return spaceStack_.empty() ? settings_.preserveWhiteSpace : spaceStack_.back(); }

  // Lets the scanner expand at most kMaxEntityChars characters: with the
  // largest entity expanding to S characters, S * limit stays under it.
  // This bounds expansions inside attribute values too, which the scanner
  // builds before any callback sees them.
  void TightenExpansionLimit() {
    constexpr uint64_t kHuge = uint64_t(1) << 62;
    std::unordered_map<std::u16string, uint64_t> sizes;
    std::unordered_map<std::u16string, bool> visiting;
    // Iterative depth-first evaluation would be overkill: entity values
    // nest only as deep as the DTD declares them, and a cycle is cut.
    std::function<uint64_t(const std::u16string&)> sizeOf = [&](const std::u16string& name) -> uint64_t {
      if (auto it = sizes.find(name); it != sizes.end()) return it->second;
      auto v = entityValues_.find(name);
      if (v == entityValues_.end()) return 0;
      if (visiting[name]) return kHuge;
      visiting[name] = true;
      uint64_t total = 0;
      const std::u16string& text = v->second;
      for (size_t i = 0; i < text.size(); ++i) {
        size_t semi;
        if (text[i] == u'&' && (semi = text.find(u';', i)) != std::u16string::npos && text[i + 1] != u'#') {
          total += sizeOf(text.substr(i + 1, semi - i - 1));
          i = semi;
        } else {
          ++total;
        }
        if (total > kHuge) total = kHuge;
      }
      visiting[name] = false;
      sizes[name] = total;
      return total;
    };
    uint64_t largest = 1;
    for (auto& [name, value] : entityValues_) largest = std::max(largest, sizeOf(name));
    uint64_t limit = std::clamp<uint64_t>(kMaxEntityChars / largest, 1, kMaxEntityExpansions);
    if (xc::XMLScanner* scanner = getScanner()) scanner->*ScannerAccess::ExpansionLimit() = static_cast<XMLSize_t>(limit);
  }

  // ---- namespaces

  static constexpr char16_t kXmlNs[] = u"http://www.w3.org/XML/1998/namespace";
  static constexpr char16_t kXmlnsNs[] = u"http://www.w3.org/2000/xmlns/";

  static bool IsNamespaceDecl(const XMLCh* qname, const XMLCh** prefix) {
    if (!xc::XMLString::startsWith(qname, u"xmlns")) return false;
    if (qname[5] == 0) {
      *prefix = u"";
      return true;
    }
    if (qname[5] != u':') return false;
    *prefix = qname + 6;
    return true;
  }

  void Bind(std::u16string prefix, const XMLCh* uri) {
    // Only XML 1.1 may undeclare a prefix; the reserved prefixes and
    // namespaces may not be rebound.
    if (!*uri && !prefix.empty() && decl.version != u"1.1") Stop(FormatMsg(msg::kEmptyPrefixBinding, prefix));
    bool isXmlNs = xc::XMLString::equals(uri, kXmlNs);
    if (prefix == u"xmlns" || xc::XMLString::equals(uri, kXmlnsNs) || (prefix == u"xml") != isXmlNs)
      Stop(FormatMsg(msg::kReservedBinding, prefix.empty() ? std::u16string(u"xmlns") : u"xmlns:" + prefix));
    scopes_[prefix].emplace_back(uri);
    undo_.push_back(std::move(prefix));
  }

  void PopBindings() {
    if (undoMarks_.empty()) return;
    size_t mark = undoMarks_.back();
    undoMarks_.pop_back();
    while (undo_.size() > mark) {
      scopes_[undo_.back()].pop_back();
      undo_.pop_back();
    }
  }

  // The namespace of a qualified name; null for none. Fails for an unbound
  // prefix.
  const XMLCh* NamespaceOf(const XMLCh* qname, bool isAttribute) {
    const XMLCh* colon = xc::XMLString::findAny(qname, u":");
    if (!colon) {
      if (isAttribute) return nullptr;
      auto it = scopes_.find(std::u16string());
      if (it == scopes_.end() || it->second.empty() || it->second.back().empty()) return nullptr;
      return it->second.back().c_str();
    }
    std::u16string prefix(qname, static_cast<size_t>(colon - qname));
    if (prefix == u"xml") return kXmlNs;
    auto it = scopes_.find(prefix);
    if (it == scopes_.end() || it->second.empty() || it->second.back().empty())
      Stop(FormatMsg(msg::kUnboundPrefix, prefix));
    return it->second.back().c_str();
  }

  xc::DOMElement* MakeElement(const xc::XMLElementDecl& elemDecl, const xc::RefVectorOf<xc::XMLAttr>& attrList,
                              XMLSize_t attrCount) {
    undoMarks_.push_back(undo_.size());
    for (XMLSize_t i = 0; i < attrCount; ++i) {
      const xc::XMLAttr* a = attrList.elementAt(i);
      const XMLCh* prefix = nullptr;
      if (IsNamespaceDecl(a->getQName(), &prefix)) Bind(prefix, a->getValue());
    }
    const XMLCh* qname = elemDecl.getFullName();
    xc::DOMElement* element = nullptr;
    try {
      element = fDocument->createElementNS(NamespaceOf(qname, false), qname);
    } catch (const xc::DOMException&) {
      Stop(FormatMsg(msg::kBadQualifiedName, qname));
    }
    for (XMLSize_t i = 0; i < attrCount; ++i) {
      const xc::XMLAttr* a = attrList.elementAt(i);
      const XMLCh* aq = a->getQName();
      const XMLCh* prefix = nullptr;
      const XMLCh* ns = IsNamespaceDecl(aq, &prefix) ? kXmlnsNs : NamespaceOf(aq, true);
      xc::DOMAttr* attr = nullptr;
      try {
        attr = fDocument->createAttributeNS(ns, aq);
      } catch (const xc::DOMException&) {
        Stop(FormatMsg(msg::kBadQualifiedName, aq));
      }
      attr->setValue(a->getValue());
      // Xerces may already have put the DTD's default in place (not
      // specified); a specified one replaced means a true duplicate.
      xc::DOMAttr* replaced = element->setAttributeNodeNS(attr);
      if (replaced && replaced->getSpecified()) Stop(FormatMsg(msg::kDuplicateAttribute, aq));
      if (a->getType() == xc::XMLAttDef::ID) element->setIdAttributeNode(attr, true);
      if (!a->getSpecified()) static_cast<xc::DOMAttrImpl*>(attr)->setSpecified(false);
    }
    return element;
  }

  void RecordAttributeOrder(const xc::RefVectorOf<xc::XMLAttr>& attrList, XMLSize_t attrCount) {
    xc::DOMNode* n = getCurrentNode();
    if (!n || n->getNodeType() != xc::DOMNode::ELEMENT_NODE) return;
    auto* element = static_cast<xc::DOMElement*>(n);
    xc::DOMNamedNodeMap* map = element->getAttributes();
    if (map->getLength() != attrCount) return;
    bool same = true;
    for (XMLSize_t i = 0; i < attrCount && same; ++i)
      same = xc::XMLString::equals(map->item(i)->getNodeName(), attrList.elementAt(i)->getQName());
    if (same) return;
    scratch_.clear();
    for (XMLSize_t i = 0; i < attrCount; ++i) {
      xc::DOMAttr* a = element->getAttributeNode(attrList.elementAt(i)->getQName());
      if (!a) return;
      scratch_.push_back(a);
    }
    order.Add(element, scratch_.data(), static_cast<uint32_t>(scratch_.size()));
  }

  const ParseSettings& settings_;
  ErrorRecorder& errors_;
  bool ownNamespaces_ = true;
  // Replacement texts of the internal general entities, by name.
  std::unordered_map<std::u16string, std::u16string> entityValues_;
  // Prefix ("" for the default namespace) -> URIs bound, innermost last.
  std::unordered_map<std::u16string, std::vector<std::u16string>> scopes_;
  // Prefixes bound, in order, and per open element where its own start.
  std::vector<std::u16string> undo_;
  std::vector<size_t> undoMarks_;
  bool declSeen_ = false;
  std::vector<bool> spaceStack_;
  std::u16string heldSpace_;
  uint32_t entityDepth_ = 0;
  uint64_t entityChars_ = 0;
  std::vector<xc::DOMAttr*> scratch_;
};

// ---------------------------------------------------------------------------
// Source line of an error

// Reads the given 1-based line from a byte source: UTF-16 (by byte-order
// mark or the "<?" pattern) or 8-bit in the encoding the declaration names.
template <class Read>
std::u16string LineFromBytes(Read&& read, int32_t line) {
  std::vector<uint8_t> chunk(65536);
  size_t n = read(chunk.data(), chunk.size());
  if (n == 0) return {};
  std::vector<uint8_t> head(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(n, 256)));
  int wide = 0;  // 1 little endian, 2 big endian
  if (n >= 2 && chunk[0] == 0xFF && chunk[1] == 0xFE) wide = 1;
  if (n >= 2 && chunk[0] == 0xFE && chunk[1] == 0xFF) wide = 2;
  if (n >= 4 && chunk[0] == '<' && chunk[1] == 0 && chunk[2] == '?' && chunk[3] == 0) wide = 1;
  if (n >= 4 && chunk[0] == 0 && chunk[1] == '<' && chunk[2] == 0 && chunk[3] == '?') wide = 2;
  const size_t unit = wide ? 2 : 1;
  const size_t maxBytes = kMaxSourceLine * (wide ? 2 : 4);

  int32_t current = 1;
  bool lastWasCR = false;
  std::vector<uint8_t> bytes;
  bool done = false;
  size_t carry = 0;  // odd byte of a split UTF-16 unit
  uint8_t carried = 0;
  while (!done && n > 0) {
    size_t i = 0;
    auto unitAt = [&](size_t k, uint8_t first) -> uint32_t {
      if (!wide) return chunk[k];
      uint8_t b0 = first, b1 = chunk[k];
      return wide == 1 ? (b0 | (b1 << 8)) : ((b0 << 8) | b1);
    };
    if (carry && n > 0) {
      uint32_t u = unitAt(0, carried);
      i = 1;
      carry = 0;
      // handled like any other unit below
      if (u == 0x0A) {
        if (!lastWasCR) ++current;
        lastWasCR = false;
      } else if (u == 0x0D) {
        ++current;
        lastWasCR = true;
      } else {
        lastWasCR = false;
        if (current == line && bytes.size() < maxBytes) {
          bytes.push_back(carried);
          bytes.push_back(chunk[0]);
        }
      }
      if (current > line || (current == line && bytes.size() >= maxBytes)) done = true;
    }
    for (; !done && i + unit <= n; i += unit) {
      uint32_t u = wide ? unitAt(i + 1, chunk[i]) : chunk[i];
      if (u == 0x0A) {
        if (!lastWasCR) ++current;
        lastWasCR = false;
      } else if (u == 0x0D) {
        ++current;
        lastWasCR = true;
      } else {
        lastWasCR = false;
        if (current == line && bytes.size() < maxBytes) bytes.insert(bytes.end(), chunk.begin() + static_cast<std::ptrdiff_t>(i), chunk.begin() + static_cast<std::ptrdiff_t>(i + unit));
      }
      if (current > line || (current == line && bytes.size() >= maxBytes)) done = true;
    }
    if (done) break;
    if (wide && i < n) {
      carry = 1;
      carried = chunk[i];
    }
    n = read(chunk.data(), chunk.size());
  }

  std::u16string out;
  if (wide) {
    size_t start = 0;
    if (line == 1 && bytes.size() >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF)))
      start = 2;
    for (size_t k = start; k + 1 < bytes.size(); k += 2)
      out += wide == 1 ? static_cast<char16_t>(bytes[k] | (bytes[k + 1] << 8))
                       : static_cast<char16_t>((bytes[k] << 8) | bytes[k + 1]);
  } else {
    size_t start = 0;
    if (line == 1 && bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) start = 3;
    out = DecodeWithHead(bytes.data() + start, bytes.size() - start, head.data(), head.size());
  }
  if (out.size() > kMaxSourceLine) out.resize(kMaxSourceLine);
  return out;
}

std::u16string LineFromText(std::u16string_view text, int32_t line) {
  int32_t current = 1;
  size_t start = 0;
  for (size_t i = 0; i < text.size() && current < line; ++i) {
    if (text[i] == u'\r' || text[i] == u'\n') {
      if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
      ++current;
      start = i + 1;
    }
  }
  if (current != line) return {};
  size_t end = text.find_first_of(u"\r\n", start);
  if (end == std::u16string_view::npos) end = text.size();
  std::u16string_view l = text.substr(start, std::min(end - start, kMaxSourceLine));
  if (line == 1 && !l.empty() && l[0] == 0xFEFF) l.remove_prefix(1);
  return std::u16string(l);
}

// Opens a local file for reading, but only a regular file: opening a named
// pipe blocks until somebody writes to it, and a device may never end.
// Null when it cannot be opened; *notRegular tells why.
FILE* OpenRegularFile(const std::string& path, bool* notRegular) {
  *notRegular = false;
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *notRegular = true;
    close(fd);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* f = fdopen(fd, "rb");
  if (!f) close(fd);
  return f;
}

std::u16string LineFromFile(const std::string& path, int32_t line) {
  bool notRegular = false;
  FILE* f = OpenRegularFile(path, &notRegular);
  if (!f) return {};
  std::u16string r = LineFromBytes([&](uint8_t* buf, size_t size) { return fread(buf, 1, size, f); }, line);
  fclose(f);
  return r;
}

// A local file path from a system id ("/x", "file:///x"), or empty.
std::string LocalPathOf(const std::u16string& systemId) {
  std::u16string_view s = systemId;
  if (s.substr(0, 7) == u"file://") s.remove_prefix(7);
  if (s.empty() || s[0] != u'/') return {};
  return Utf16ToUtf8(s);
}

void FillSourceText(const ParseSource& src, const std::u16string& mainId, int64_t streamStart,
                    bool externalsRead, ParseErrorInfo& info) {
  if (info.line <= 0) return;
  bool inMain = info.url.empty() || info.url == mainId;
  if (!inMain) {
    // An external resource the parser was not allowed to read is not read
    // for the message either.
    if (!externalsRead) return;
    std::string path = LocalPathOf(info.url);
    if (!path.empty()) info.srcText = LineFromFile(path, info.line);
    return;
  }
  switch (src.kind) {
    case ParseSource::Text:
      info.srcText = LineFromText(src.text, info.line);
      break;
    case ParseSource::Bytes: {
      size_t pos = 0;
      info.srcText = LineFromBytes(
          [&](uint8_t* buf, size_t size) {
            size_t n = std::min(size, src.size - pos);
            std::copy(src.bytes + pos, src.bytes + pos + n, buf);
            pos += n;
            return n;
          },
          info.line);
      break;
    }
    case ParseSource::File:
      info.srcText = LineFromFile(src.path, info.line);
      break;
    case ParseSource::Stream: {
      if (streamStart < 0 || rtl::Failed(src.stream->Seek(streamStart, rtl::soBeginning, nullptr))) return;
      info.srcText = LineFromBytes(
          [&](uint8_t* buf, size_t size) -> size_t {
            int32_t got = 0;
            if (rtl::Failed(src.stream->Read(buf, static_cast<int32_t>(size), &got)) || got < 0) return 0;
            return static_cast<size_t>(got);
          },
          info.line);
      break;
    }
  }
}

std::u16string AbsoluteSystemId(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  std::u16string r = Utf8ToUtf16(real ? real : path);
  free(real);
  return r;
}

}  // namespace

ParseOutcome Parse(const ParseSource& src, const ParseSettings& settings) {
  ParseOutcome out;
  ErrorRecorder errors(settings.validate);
  std::unique_ptr<xc::InputSource> input;
  std::u16string mainId;
  int64_t streamStart = -1;
  bool utf8Mark = false;
  // Bytes of UTF-16 text in little-endian order, the encoding forced below.
  std::u16string swapped;

  switch (src.kind) {
    case ParseSource::File: {
      bool notRegular = false;
      FILE* f = OpenRegularFile(src.path, &notRegular);
      if (!f) {
        const int reason = errno;
        out.error.code = rtl::E_FAIL_;
        out.error.reason = notRegular ? FormatMsg(msg::kNotARegularFile, Utf8ToUtf16(src.path))
                                      : FormatMsg(msg::kCannotOpenFile, Utf8ToUtf16(src.path),
                                                  Utf8ToUtf16(std::strerror(reason)));
        out.error.url = Utf8ToUtf16(src.path);
        return out;
      }
      mainId = AbsoluteSystemId(src.path);
      uint8_t head[3] = {};
      utf8Mark = StartsWithUtf8Mark(head, fread(head, 1, 3, f));
      rewind(f);
      input = std::make_unique<FileSource>(f, mainId);
      break;
    }
    case ParseSource::Stream: {
      int64_t pos = 0;
      if (rtl::Succeeded(src.stream->Seek(0, rtl::soCurrent, &pos))) {
        streamStart = pos;
        uint8_t head[3] = {};
        int32_t got = 0;
        if (rtl::Succeeded(src.stream->Read(head, 3, &got)) && got > 0)
          utf8Mark = StartsWithUtf8Mark(head, static_cast<size_t>(got));
        if (rtl::Failed(src.stream->Seek(streamStart, rtl::soBeginning, nullptr))) utf8Mark = false;
      }
      input = std::make_unique<ProgramStreamSource>(src.stream);
      break;
    }
    case ParseSource::Text: {
      const XMLByte* bytes = reinterpret_cast<const XMLByte*>(src.text.data());
      if constexpr (std::endian::native != std::endian::little) {
        swapped.assign(src.text);
        for (char16_t& c : swapped) c = static_cast<char16_t>((c >> 8) | (c << 8));
        bytes = reinterpret_cast<const XMLByte*>(swapped.data());
      }
      auto mem = std::make_unique<xc::MemBufInputSource>(bytes, src.text.size() * sizeof(char16_t), u"", false,
                                                         &gParserMemory);
      mem->setCopyBufToStream(false);
      mem->setEncoding(xc::XMLUni::fgUTF16LEncodingString);
      input = std::move(mem);
      break;
    }
    case ParseSource::Bytes: {
      utf8Mark = StartsWithUtf8Mark(src.bytes, src.size);
      auto mem = std::make_unique<xc::MemBufInputSource>(src.bytes, src.size, u"", false, &gParserMemory);
      mem->setCopyBufToStream(false);
      input = std::move(mem);
      break;
    }
  }

  if (settings.progress) input = std::make_unique<ProgressSource>(std::move(input), settings.progress);

  xc::SecurityManager security;
  security.setEntityExpansionLimit(kMaxEntityExpansions);
  ExternalResolver resolver(settings.resolveExternals);
  TreeBuilder parser(settings, errors);
  parser.utf8Mark = utf8Mark;
  parser.setErrorHandler(&errors);
  parser.setXMLEntityResolver(&resolver);
  parser.setSecurityManager(&security);

  gAllocationRefused = false;
  try {
    parser.parse(*input);
  } catch (const Abort&) {
  } catch (const Failure& f) {
    errors.Record(f.message, nullptr);
  } catch (const xc::OutOfMemoryException&) {
    if (!gAllocationRefused) throw;
    errors.Record(msg::kValueTooLarge, parser.Where());
  } catch (const xc::XMLException& e) {
    errors.Record(e.getMessage() ? e.getMessage() : msg::kUnexpected, nullptr);
  } catch (const xc::SAXParseException& e) {
    errors.Record(e);
  } catch (const xc::DOMException& e) {
    errors.Record(e.getMessage() ? e.getMessage() : msg::kUnexpected, nullptr);
  }

  if (!errors.failed && parser.getErrorCount() == 0 && parser.getDocument()) {
    out.doc = parser.adoptDocument();
    out.decl = std::move(parser.decl);
    out.order = std::move(parser.order);
    return out;
  }
  out.error = std::move(errors.info);
  if (out.error.reason.empty()) out.error.reason = msg::kUnexpected;
  out.error.code = rtl::E_FAIL_;
  if (out.error.url.empty() && src.kind == ParseSource::File) out.error.url = mainId;
  try {
    FillSourceText(src, mainId, streamStart, settings.resolveExternals, out.error);
  } catch (...) {
    // The source line is a courtesy; the failure itself is reported.
  }
  // The quoted line ends up in a message: control characters, a NUL above
  // all, which would cut the message short, are replaced.
  for (char16_t& c : out.error.srcText)
    if ((c < 0x20 && c != u'\t') || c == 0x7F) c = 0xFFFD;
  return out;
}

}  // namespace xdom
