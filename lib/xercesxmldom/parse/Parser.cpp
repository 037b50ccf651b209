#include "lib/xercesxmldom/parse/Parser.h"

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/framework/XMLElementDecl.hpp>
#include <xercesc/framework/XMLErrorCodes.hpp>
#include <xercesc/framework/XMLNotationDecl.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/BinInputStream.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLUni.hpp>
#include <xercesc/validators/DTD/DTDAttDef.hpp>
#include <xercesc/validators/DTD/DTDElementDecl.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>

#include "lib/xercesxmldom/parse/Limits.h"
#include "lib/xercesxmldom/parse/Resolver.h"
#include "lib/xercesxmldom/parse/SourceLine.h"
#include "lib/xercesxmldom/save/SaveRules.h"
#include "lib/xercesxmldom/parse/Subset.h"
#include "lib/xercesxmldom/save/Writer.h"
#include "lib/xercesxmldom/xerces/XercesPrivate.h"

namespace xdom {

namespace {

// Thrown from parser callbacks to stop a parse whose failure is recorded.
struct Abort {};

bool NamesUtf8(const XMLCh* name) {
  std::u16string up;
  for (; *name; ++name) up += (*name >= u'a' && *name <= u'z') ? char16_t(*name - 32) : *name;
  return up == u"UTF-8" || up == u"UTF8";
}

bool StartsWithUtf8Mark(const uint8_t* p, size_t n) { return n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF; }

bool IsXmlSpace(XMLCh c) { return c == 0x20 || c == 0x09 || c == 0x0A || c == 0x0D; }

// The first error of a parse, with its place.
class ErrorRecorder final : public xc::ErrorHandler {
 public:
  explicit ErrorRecorder(bool validate) : validate_(validate) {}

  void warning(const xc::SAXParseException&) override {}
  void error(const xc::SAXParseException& e) override {
    // Recoverable errors are validity errors; they fail only a validating
    // load. Without its grammar a document cannot be valid: the reason is
    // the grammar that was not read, not what is missing for want of it.
    if (!validate_) return;
    Record(e, skippedGrammar.empty() ? std::u16string() : FormatMsg(msg::kGrammarNotRead, skippedGrammar));
    throw Abort{};
  }
  void fatalError(const xc::SAXParseException& e) override {
    Record(e);
    throw Abort{};
  }
  void resetErrors() override {}

  // reason replaces the exception's message when not empty.
  void Record(const xc::SAXParseException& e, std::u16string reason = {}) {
    if (failed) return;
    failed = true;
    info.reason = !reason.empty() ? std::move(reason) : e.getMessage() ? e.getMessage() : u"";
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
  // The external DTD a validating load did not read (resolving off).
  std::u16string skippedGrammar;

 private:
  bool validate_;
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
  explicit ProgramStreamSource(rtl::IStream* s) : InputSource(&ParserMemory()), s_(s) {}
  xc::BinInputStream* makeStream() const override { return new ProgramBinStream(s_); }

 private:
  rtl::IStream* s_;
};


// XercesDOMParser shaped for a viewer, building a store (see Store.h):
// whitespace-only text dropped unless asked for or under
// xml:space="preserve", everything expansion makes charged to the load's
// budget. Xerces' own builder is left only the document type, which it
// makes in its document from the declarations.
class StoreBuilder final : public xc::XercesDOMParser {
 public:
  StoreBuilder(const ParseSettings& s, ErrorRecorder& errors, ExpansionBudget& budget)
      : XercesDOMParser(nullptr, &ParserMemory()), settings_(s), errors_(errors), budget_(budget) {
    budget_.onExceeded = [this] { errors_.Record(budget_.Message(), Where()); };
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
    // The resolver answers every request; Xerces opens nothing itself.
    setDisableDefaultEntityResolution(true);
    // The error handler stops the parse at the first fatal error. The
    // scanner must not stop by itself: it reports every entity expansion
    // as a fatal error (see error below), and those are no failures.
    setExitOnFirstFatalError(false);
    setCreateSchemaInfo(false);
  }

  xdom::XMLDecl decl;
  // The tree, made by startDocument.
  std::unique_ptr<Store> store;
  // The source starts with the UTF-8 byte-order mark.
  bool utf8Mark = false;
  // Expansions reported through error(); the scanner counts them as errors.
  XMLSize_t expansionReports = 0;

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

  void startDocument() override {
    XercesDOMParser::startDocument();
    // The Xerces document gets nodes only to check names, for its document
    // type and when it becomes a tree; the pool is widened when one of
    // those needs it.
    store = std::make_unique<Store>();
  }

  // The security manager's expansion limit is 0, so the scanner reports
  // each entity it expands in the document, in content or in an attribute
  // value, right after opening it. That is the only moment an attribute
  // value's expansion can be seen: the scanner builds the whole value, and
  // every other value of the tag, before any callback. The replacement text
  // is charged here; the reader itself was charged when it was made.
  void error(const unsigned int code, const XMLCh* const domain, const xc::XMLErrorReporter::ErrTypes type,
             const XMLCh* const text, const XMLCh* const systemId, const XMLCh* const publicId,
             const XMLFileLoc line, const XMLFileLoc column) override {
    if (code == xc::XMLErrs::EntityExpansionLimitExceeded && xc::XMLString::equals(domain, xc::XMLUni::fgXMLErrDomain)) {
      ++expansionReports;
      const xc::XMLEntityDecl* entity = xp::CurrentEntity(getScanner());
      if (entity) Charge(entity->getValueLen());
      return;
    }
    XercesDOMParser::error(code, domain, type, text, systemId, publicId, line, column);
  }

  // The scanner reports the entities it expands in content (not those in
  // attribute values): between the two calls every node comes from an
  // entity's replacement text. Its text is flushed before the end is
  // reported, so text ending an entity counts as inside.
  void startEntityReference(const xc::XMLEntityDecl& entity) override {
    ++entityDepth_;
    XercesDOMParser::startEntityReference(entity);
  }
  void endEntityReference(const xc::XMLEntityDecl& entity) override {
    if (entityDepth_ > 0) --entityDepth_;
    XercesDOMParser::endEntityReference(entity);
  }

  void startElement(const xc::XMLElementDecl& elemDecl, const unsigned int urlId, const XMLCh* const elemPrefix,
                    const xc::RefVectorOf<xc::XMLAttr>& attrList, const XMLSize_t attrCount, const bool isEmpty,
                    const bool isRoot) override {
    heldSpace_.clear();
    bool preserve = InPreserve();
    ChargeNode();
    for (XMLSize_t i = 0; i < attrCount; ++i) {
      const xc::XMLAttr* a = attrList.elementAt(i);
      if (!a->getSpecified())
        Charge(kExpansionCost + xc::XMLString::stringLen(a->getValue()));
      else
        ChargeNode();
      if (xc::XMLString::equals(a->getQName(), u"xml:space")) {
        if (xc::XMLString::equals(a->getValue(), u"preserve"))
          preserve = true;
        else if (xc::XMLString::equals(a->getValue(), u"default"))
          preserve = settings_.preserveWhiteSpace;
      }
    }
    // Pushed before the element is made: for an empty element endElement
    // runs right away and pops.
    spaceStack_.push_back(preserve);
    StoreElement(elemDecl, urlId, elemPrefix, attrList, attrCount);
    if (isEmpty) endElement(elemDecl, urlId, isRoot, elemPrefix);
  }

  void endElement(const xc::XMLElementDecl&, const unsigned int, const bool, const XMLCh* const) override {
    heldSpace_.clear();
    EndStoreElement();
  }

  // White space that would start a text node is held back until the run
  // shows other text (then it goes in first and merges as before) or markup
  // ends it (then it is dropped), rather than made into a node and removed.
  void docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) override {
    // The bytes of an external entity are charged as they are read.
    Charge(0);
    if (cdataSection) {
      heldSpace_.clear();
    } else if (!InPreserve() && !CurrentIsText()) {
      bool space = true;
      for (XMLSize_t i = 0; i < length && space; ++i) space = IsXmlSpace(chars[i]);
      if (space) {
        heldSpace_.append(chars, length);
        return;
      }
      if (!heldSpace_.empty()) {
        AddText(heldSpace_.data(), heldSpace_.size(), false);
        heldSpace_.clear();
      }
    }
    AddText(chars, length, cdataSection);
  }
  void ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length, const bool) override {
    if (settings_.preserveWhiteSpace) AddText(chars, length, false);
  }
  void docComment(const XMLCh* const comment) override {
    heldSpace_.clear();
    ChargeNode();
    const std::u16string_view text(comment);
    CheckFits(text.size());
    current_ = store->Append(parent_, Store::kComment, Store::kNone, text);
  }
  void docPI(const XMLCh* const target, const XMLCh* const data) override {
    RefuseColon(target);
    heldSpace_.clear();
    ChargeNode();
    const std::u16string_view text(data ? data : u"");
    CheckFits(text.size());
    current_ = store->Append(parent_, Store::kPI, store->Intern(u"", target), text);
  }

  // ---- the DTD. What it delivers is charged too: parameter entities expand
  // into declarations, comments and white space, and a default value may
  // be built from entities.

  void doctypeDecl(const xc::DTDElementDecl& root, const XMLCh* const publicId, const XMLCh* const systemId,
                   const bool hasIntSubset, const bool hasExtSubset) override {
    RefuseBadSystemId(systemId);
    if (settings_.validate && !settings_.resolveExternals && systemId && *systemId) errors_.skippedGrammar = systemId;
    // Xerces makes the document type in its document; the store keeps its
    // place among the document's children.
    current_ = store->Append(0, Store::kDocType, store->Intern(u"", root.getFullName()), {});
    XercesDOMParser::doctypeDecl(root, publicId, systemId, hasIntSubset, hasExtSubset);
  }
  // The internal subset kept with the document type is written back when
  // the document is saved. Xerces' own text of it does not always load
  // again (values as parsed, a parameter entity's % dropped, enumerated
  // notations, comments padded), so the subset is written by our own
  // writer and replaces Xerces' text once read. Parameter entities are no
  // entities of the document type: only their declarations are kept.
  void startIntSubset() override {
    inIntSubset_ = true;
    subset_.Clear();
    XercesDOMParser::startIntSubset();
  }
  void endIntSubset() override {
    inIntSubset_ = false;
    fInternalSubset.set(subset_.Text().c_str(), subset_.Text().size());
    subset_.Clear();
    XercesDOMParser::endIntSubset();
  }
  void entityDecl(const xc::DTDEntityDecl& decl, const bool isPEDecl, const bool isIgnored) override {
    RefuseColon(decl.getName());
    RefuseBadSystemId(decl.getSystemId());
    Charge(kExpansionCost + decl.getValueLen());
    if (inIntSubset_) subset_.Entity(decl, isPEDecl);
    if (!isPEDecl) XercesDOMParser::entityDecl(decl, isPEDecl, isIgnored);
  }
  void startAttList(const xc::DTDElementDecl& element) override {
    if (inIntSubset_) subset_.StartAttList(element);
    XercesDOMParser::startAttList(element);
  }
  void attDef(const xc::DTDElementDecl& element, const xc::DTDAttDef& def, const bool ignoring) override {
    Charge(kExpansionCost + (def.getValue() ? xc::XMLString::stringLen(def.getValue()) : 0));
    if (inIntSubset_) subset_.AttDef(def);
    XercesDOMParser::attDef(element, def, ignoring);
  }
  void endAttList(const xc::DTDElementDecl& element) override {
    if (inIntSubset_) subset_.EndAttList();
    XercesDOMParser::endAttList(element);
  }
  void elementDecl(const xc::DTDElementDecl& decl, const bool isIgnored) override {
    Charge(kExpansionCost);
    if (inIntSubset_) subset_.Element(decl);
    XercesDOMParser::elementDecl(decl, isIgnored);
  }
  void notationDecl(const xc::XMLNotationDecl& decl, const bool isIgnored) override {
    RefuseColon(decl.getName());
    RefuseBadSystemId(decl.getSystemId());
    Charge(kExpansionCost);
    if (inIntSubset_) subset_.Notation(decl);
    XercesDOMParser::notationDecl(decl, isIgnored);
  }
  void doctypeComment(const XMLCh* const comment) override {
    Charge(xc::XMLString::stringLen(comment));
    if (inIntSubset_) subset_.Comment(comment);
    XercesDOMParser::doctypeComment(comment);
  }
  void doctypePI(const XMLCh* const target, const XMLCh* const data) override {
    Charge(xc::XMLString::stringLen(target) + xc::XMLString::stringLen(data));
    if (inIntSubset_) subset_.PI(target, data);
    XercesDOMParser::doctypePI(target, data);
  }
  void doctypeWhitespace(const XMLCh* const chars, const XMLSize_t length) override {
    Charge(length);
    if (inIntSubset_) subset_.Space(chars, length);
    XercesDOMParser::doctypeWhitespace(chars, length);
  }

  const xc::Locator* Where() const { return getScanner() ? xp::PlaceOf(getScanner()) : nullptr; }

  [[noreturn]] void Stop(std::u16string reason) {
    errors_.Record(std::move(reason), Where());
    throw Abort{};
  }

 private:
  void Charge(uint64_t n) {
    if (!budget_.Charge(n)) Stop(budget_.Message());
  }
  // A node made from an entity's replacement text costs what a defaulted
  // attribute does: markup of a few characters, repeated by references,
  // would otherwise make millions of nodes within a budget of characters.
  void ChargeNode() {
    if (entityDepth_ > 0) Charge(kExpansionCost);
  }

  // Text goes on the current text node, or into a new node. Text outside
  // the document element is dropped.
  void AddText(const XMLCh* chars, XMLSize_t length, bool cdataSection) {
    if (parent_ == 0) return;
    const bool extend = !cdataSection && CurrentIsText();
    if (!extend) ChargeNode();
    CheckFits(length, extend ? store->Text(current_).size() : 0);
    const std::u16string_view text(chars, length);
    if (extend)
      store->AppendText(current_, text);
    else
      current_ = store->Append(parent_, cdataSection ? Store::kCData : Store::kText, Store::kNone, text);
  }

  // With namespaces these names are plain names (the scanner checks them
  // only when it does namespaces itself).
  void RefuseColon(const XMLCh* name) {
    if (ownNamespaces_ && name && xc::XMLString::indexOf(name, u':') >= 0) Stop(FormatMsg(msg::kColonInName, name));
  }

  // The scanner takes any character in a system identifier; XML takes
  // there only what it takes literally in text (a literal holds no
  // references), and the saved text could not hold the rest.
  void RefuseBadSystemId(const XMLCh* id) {
    const bool xml11 = decl.version == u"1.1";
    ForEachCodePoint(id, [&](char32_t cp, const XMLCh*, size_t) {
      const CharClass c = ClassOf(cp, xml11);
      if (c == CharClass::Forbidden || c == CharClass::ReferenceOnly)
        Stop(FormatMsgArgs(msg::kBadSystemIdChar, {Shown(id), CodePointText(cp)}));
    });
  }

  bool InPreserve() const { return spaceStack_.empty() ? settings_.preserveWhiteSpace : spaceStack_.back(); }

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
    lookupsValid_ = false;
  }

  // Binds the namespaces an element's attributes declare, undone at its end.
  void BindNamespaces(const xc::RefVectorOf<xc::XMLAttr>& attrList, XMLSize_t attrCount) {
    undoMarks_.push_back(undo_.size());
    for (XMLSize_t i = 0; i < attrCount; ++i) {
      const xc::XMLAttr* a = attrList.elementAt(i);
      const XMLCh* prefix = nullptr;
      if (IsNamespaceDecl(a->getQName(), &prefix)) Bind(prefix, a->getValue());
    }
  }

  void PopBindings() {
    if (undoMarks_.empty()) return;
    size_t mark = undoMarks_.back();
    undoMarks_.pop_back();
    while (undo_.size() > mark) {
      scopes_[undo_.back()].pop_back();
      undo_.pop_back();
      lookupsValid_ = false;
    }
  }

  // The namespace of a qualified name; null for none. Fails for an unbound
  // prefix.
  const XMLCh* NamespaceOf(const XMLCh* qname, bool isAttribute) {
    // The default namespace and the last prefix asked for are kept until
    // the bindings change: most names repeat the one before.
    if (!lookupsValid_) {
      auto it = scopes_.find(std::u16string());
      defaultNs_ = it == scopes_.end() || it->second.empty() || it->second.back().empty() ? nullptr
                                                                                        : it->second.back().c_str();
      lastNs_ = nullptr;
      lookupsValid_ = true;
    }
    const XMLCh* colon = qname;
    while (*colon && *colon != u':') ++colon;
    if (!*colon) return isAttribute ? nullptr : defaultNs_;
    const std::u16string_view prefix(qname, static_cast<size_t>(colon - qname));
    if (lastNs_ && SameText(prefix, lastPrefix_)) return lastNs_;
    if (prefix == u"xml") return kXmlNs;
    auto it = scopes_.find(std::u16string(prefix));
    if (it == scopes_.end() || it->second.empty() || it->second.back().empty())
      Stop(FormatMsg(msg::kUnboundPrefix, prefix));
    lastPrefix_ = prefix;
    return lastNs_ = it->second.back().c_str();
  }

  // The namespaces of an element and of an attribute: from the builder's
  // own bindings, or from the scanner when it does namespaces.
  const XMLCh* ElementNamespace(const XMLCh* qname, unsigned int urlId) {
    if (ownNamespaces_) return NamespaceOf(qname, false);
    return xp::NamespaceOfId(getScanner(), urlId);
  }
  const XMLCh* AttributeNamespace(const xc::XMLAttr& a) {
    const XMLCh* prefix = nullptr;
    if (ownNamespaces_) return IsNamespaceDecl(a.getQName(), &prefix) ? kXmlnsNs : NamespaceOf(a.getQName(), true);
    if ((!a.getPrefix() || !*a.getPrefix()) && xc::XMLString::equals(a.getName(), u"xmlns")) return kXmlnsNs;
    return xp::NamespaceOfId(getScanner(), a.getURIId());
  }

  bool CurrentIsText() const {
    return current_ != Store::kNone && store->Type(current_) == Store::kText;
  }

  // ---- the store

  // A store text holds at most Store::kMaxText units.
  void CheckFits(size_t length, size_t already = 0) {
    if (length > Store::kMaxText - already) Stop(msg::kValueTooLarge);
  }

  // Checks a name the first time it is used, as Xerces checks the names of
  // the nodes it makes (a throwaway node of the document's pool).
  void CheckName(uint32_t id, bool attribute) {
    const uint8_t bit = attribute ? 2 : 1;
    if (checked_.size() <= id) checked_.resize(id + 1, 0);
    if (checked_[id] & bit) return;
    const std::u16string& ns = store->Names()[id].ns;
    const std::u16string& qname = store->Names()[id].qname;
    // The throwaway nodes pool their names: a document of many distinct
    // names needs the wide pool too, one of a few does not pay for it.
    xc::DOMDocument* d = getDocument();
    if (id >= 256) xp::WidenNamePool(d);
    try {
      const XMLCh* uri = ns.empty() ? nullptr : ns.c_str();
      if (attribute)
        d->createAttributeNS(uri, qname.c_str());
      else
        d->createElementNS(uri, qname.c_str());
    } catch (const xc::DOMException&) {
      Stop(FormatMsg(msg::kBadQualifiedName, qname));
    }
    checked_[id] |= bit;
  }

  void StoreElement(const xc::XMLElementDecl& elemDecl, unsigned int urlId, const XMLCh* elemPrefix,
                    const xc::RefVectorOf<xc::XMLAttr>& attrList, XMLSize_t attrCount) {
    if (ownNamespaces_) BindNamespaces(attrList, attrCount);
    // The scanner doing namespaces names the element by its local part.
    // The declaration's own text is used where it is the name: the store
    // looks names up by where their text lies first.
    const XMLCh* qname = elemDecl.getFullName();
    if (!ownNamespaces_ && elemPrefix && *elemPrefix) {
      qname_.assign(elemPrefix).append(1, u':').append(elemDecl.getBaseName());
      qname = qname_.c_str();
    } else if (!ownNamespaces_) {
      qname = elemDecl.getBaseName();
    }
    const XMLCh* ns = ElementNamespace(qname, urlId);
    const uint32_t name = store->Intern(ns ? ns : u"", qname);
    CheckName(name, false);
    // Elements of one name mostly repeat their attributes: the names seen
    // last at each place under this element's name are tried first.
    if (attrsByElement_.size() <= name) attrsByElement_.resize(name + 1);
    std::vector<uint32_t>& usual = attrsByElement_[name];
    attrNames_.clear();
    for (XMLSize_t i = 0; i < attrCount; ++i) {
      const xc::XMLAttr* a = attrList.elementAt(i);
      const XMLCh* uri = AttributeNamespace(*a);
      const std::u16string_view qname(a->getQName()), ns(uri ? uri : u"");
      uint32_t id = i < usual.size() ? usual[i] : Store::kNone;
      if (id == Store::kNone || !SameText(store->Names()[id].qname, qname) || !SameText(store->Names()[id].ns, ns)) {
        id = store->Intern(ns, qname);
        CheckName(id, true);
        if (i < usual.size())
          usual[i] = id;
        else
          usual.push_back(id);
      }
      attrNames_.push_back(id);
    }
    // Two attributes with one namespace and local name are refused: a few
    // are compared pairwise, more through a set (after all the interning,
    // which may move the names). A default of the document type or schema
    // that the document also gives (under another prefix) is dropped.
    const auto& names = store->Names();
    auto same = [&](uint32_t a, uint32_t b) {
      return a == b || (names[a].Local() == names[b].Local() && names[a].ns == names[b].ns);
    };
    auto specified = [&](size_t i) { return attrList.elementAt(i)->getSpecified(); };
    keep_.assign(attrCount, true);
    if (attrCount > 1 && attrCount <= 8) {
      for (size_t i = 1; i < attrNames_.size(); ++i)
        for (size_t j = 0; j < i && keep_[i]; ++j) {
          if (!keep_[j] || !same(attrNames_[i], attrNames_[j])) continue;
          if (specified(i) && specified(j)) Stop(FormatMsg(msg::kDuplicateAttribute, names[attrNames_[i]].qname));
          keep_[specified(i) ? j : i] = false;
        }
    } else if (attrCount > 8) {
      seen_.clear();
      for (size_t i = 0; i < attrCount; ++i) {
        const Store::Name& n = names[attrNames_[i]];
        if (specified(i) && !seen_.insert({n.ns, n.Local()}).second) Stop(FormatMsg(msg::kDuplicateAttribute, n.qname));
      }
      for (size_t i = 0; i < attrCount; ++i) {
        const Store::Name& n = names[attrNames_[i]];
        if (!specified(i) && !seen_.insert({n.ns, n.Local()}).second) keep_[i] = false;
      }
    }
    const uint32_t element = store->Append(parent_, Store::kElement, name, {});
    for (XMLSize_t i = 0; i < attrCount; ++i) {
      if (!keep_[i]) continue;
      const xc::XMLAttr* a = attrList.elementAt(i);
      const std::u16string_view value(a->getValue());
      CheckFits(value.size());
      const uint32_t attr = store->AppendAttr(element, attrNames_[i], value);
      if (!a->getSpecified() || a->getType() == xc::XMLAttDef::ID)
        store->MarkAttr(attr, a->getSpecified(), a->getType() == xc::XMLAttDef::ID);
    }
    storeParents_.push_back(parent_);
    parent_ = element;
    current_ = element;
  }

  void EndStoreElement() {
    const uint32_t element = parent_;
    parent_ = storeParents_.back();
    storeParents_.pop_back();
    current_ = element;
    PopBindings();
    // No pass for white space here: outside xml:space="preserve" it never
    // becomes a text node of the store (docCharacters holds it back).
    if (!spaceStack_.empty()) spaceStack_.pop_back();
  }

  struct NameHash {
    size_t operator()(const std::pair<std::u16string_view, std::u16string_view>& k) const {
      return std::hash<std::u16string_view>()(k.first) * 31 + std::hash<std::u16string_view>()(k.second);
    }
  };
  const ParseSettings& settings_;
  ErrorRecorder& errors_;
  ExpansionBudget& budget_;
  bool ownNamespaces_ = true;
  bool inIntSubset_ = false;
  // How many entities are open in content (see startEntityReference).
  uint32_t entityDepth_ = 0;
  SubsetWriter subset_;
  // Prefix ("" for the default namespace) -> URIs bound, innermost last.
  std::unordered_map<std::u16string, std::vector<std::u16string>> scopes_;
  // Prefixes bound, in order, and per open element where its own start.
  std::vector<std::u16string> undo_;
  std::vector<size_t> undoMarks_;
  bool lookupsValid_ = false;
  const XMLCh* defaultNs_ = nullptr;
  std::u16string lastPrefix_;
  const XMLCh* lastNs_ = nullptr;  // null: no prefix looked up yet
  bool declSeen_ = false;
  std::vector<bool> spaceStack_;
  std::u16string heldSpace_;
  // Scratch space of MakeElement, kept to spare allocations.
  std::u16string qname_;
  std::unordered_set<std::pair<std::u16string_view, std::u16string_view>, NameHash> seen_;
  // The store's open elements: the parent of new nodes, the node made or
  // ended last, and the parents of the open elements.
  uint32_t parent_ = 0;
  uint32_t current_ = Store::kNone;
  std::vector<uint32_t> storeParents_;
  std::vector<uint32_t> attrNames_;
  std::vector<bool> keep_;
  // Per element name, the attribute names its last element had.
  std::vector<std::vector<uint32_t>> attrsByElement_;
  // Per name: checked as an element name (1), as an attribute name (2).
  std::vector<uint8_t> checked_;
};

}  // namespace

ParseOutcome Parse(const ParseSource& src, const ParseSettings& settings) {
  ParseOutcome out;
  ErrorRecorder errors(settings.validate);
  ExpansionBudget budget;
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
      input = FileInput(f, mainId);
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
                                                         &ParserMemory());
      mem->setCopyBufToStream(false);
      mem->setEncoding(xc::XMLUni::fgUTF16LEncodingString);
      input = std::move(mem);
      break;
    }
    case ParseSource::Bytes: {
      utf8Mark = StartsWithUtf8Mark(src.bytes, src.size);
      auto mem = std::make_unique<xc::MemBufInputSource>(src.bytes, src.size, u"", false, &ParserMemory());
      mem->setCopyBufToStream(false);
      input = std::move(mem);
      break;
    }
  }
  // The document's own bytes widen the budget, and their reading tells the
  // caller, now and then, that the parse goes on.
  input = CountingSource(std::move(input), budget, Counted::AsDocument, settings.progress);

  // With a limit of 0 the scanner reports every expansion it makes, and
  // the builder charges it to the budget.
  xc::SecurityManager security;
  security.setEntityExpansionLimit(0);
  StoreBuilder parser(settings, errors, budget);
  parser.utf8Mark = utf8Mark;
  ExternalResolver resolver(settings.resolveExternals, settings.validate, budget,
                            [&parser](std::u16string reason) { parser.Stop(std::move(reason)); });
  parser.setErrorHandler(&errors);
  parser.setXMLEntityResolver(&resolver);
  parser.setSecurityManager(&security);

  ResetAllocationRefused();
  try {
    ActiveBudget active(budget);
    parser.parse(*input);
  } catch (const Abort&) {
  } catch (const Failure& f) {
    errors.Record(f.message, nullptr);
  } catch (const ExpansionRefused&) {
    // Recorded, with its place, when the budget was exceeded.
  } catch (const xc::OutOfMemoryException&) {
    if (!AllocationRefused()) throw;
    errors.Record(msg::kValueTooLarge, parser.Where());
  } catch (const xc::XMLException& e) {
    errors.Record(e.getMessage() ? e.getMessage() : msg::kUnexpected, nullptr);
  } catch (const xc::SAXParseException& e) {
    errors.Record(e);
  } catch (const xc::DOMException& e) {
    errors.Record(e.getMessage() ? e.getMessage() : msg::kUnexpected, nullptr);
  }
  // However the parse ended, an exceeded budget fails the load.
  if (budget.Exceeded()) errors.Record(budget.Message(), nullptr);
  budget.onExceeded = nullptr;

  if (!errors.failed && parser.getErrorCount() == parser.expansionReports && parser.getDocument()) {
    out.doc = parser.adoptDocument();
    out.decl = std::move(parser.decl);
    out.store = std::move(parser.store);
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
