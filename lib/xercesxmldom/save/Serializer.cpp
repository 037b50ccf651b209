#include "lib/xercesxmldom/save/Serializer.h"

#include <array>

#include "lib/xercesxmldom/save/Namespaces.h"
#include "lib/xercesxmldom/save/SaveRules.h"
#include "lib/xercesxmldom/save/Writer.h"

namespace xdom {

namespace {

std::u16string_view View(const XMLCh* s) { return NodeRef::View(s); }

// ASCII units that text and attribute values hold as they are in every
// encoding and either XML version.
constexpr std::array<bool, 128> PlainAscii(bool attribute) {
  std::array<bool, 128> t{};
  for (char16_t c = 0x20; c < 0x7F; ++c) t[c] = c != u'&' && c != u'<' && c != u'>' && !(attribute && c == u'"');
  t[u'\t'] = t[u'\n'] = !attribute;
  return t;
}
constexpr std::array<bool, 128> kPlainText = PlainAscii(false), kPlainAttribute = PlainAscii(true);

bool IsXmlTarget(std::u16string_view target) {
  return target.size() == 3 && (target[0] | 0x20) == u'x' && (target[1] | 0x20) == u'm' && (target[2] | 0x20) == u'l';
}

// Whether an entity of that name is declared: the predefined ones, and
// those of the internal subset, read from the document type Xerces'
// document holds.
bool IsDeclaredEntity(xc::DOMDocument* doc, std::u16string_view name) {
  for (std::u16string_view p : {u"lt", u"gt", u"amp", u"apos", u"quot"})
    if (name == p) return true;
  xc::DOMDocumentType* dt = doc->getDoctype();
  if (!dt) return false;
  if (xc::DOMNamedNodeMap* entities = dt->getEntities()) {
    std::u16string z(name);
    if (entities->getNamedItem(z.c_str())) return true;
  }
  std::u16string_view subset = View(dt->getInternalSubset());
  for (size_t at = subset.find(u"<!ENTITY"); at != std::u16string_view::npos; at = subset.find(u"<!ENTITY", at + 1)) {
    size_t p = at + 8;
    while (p < subset.size() && (subset[p] == u' ' || subset[p] == u'\t' || subset[p] == u'\n' || subset[p] == u'\r')) ++p;
    if (subset.substr(p, name.size()) != name) continue;
    size_t end = p + name.size();
    if (end < subset.size() && (subset[end] == u' ' || subset[end] == u'\t' || subset[end] == u'\n' || subset[end] == u'\r'))
      return true;
  }
  return false;
}

// A processing instruction "xml" first in the document stands for the
// declaration: the document layer makes one for a DOM without declaration
// values of its own.
NodeRef DeclarationNode(XDoc* doc) {
  NodeRef first = NodeRef::DocumentOf(doc).First();
  if (first && first.Type() == xc::DOMNode::PROCESSING_INSTRUCTION_NODE && first.Name() == u"xml") return first;
  return {};
}

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

// The values of declaration text (version, encoding, standalone as the
// declaration takes them); false when the text is not that.
bool ParseDeclaration(std::u16string_view text, XMLDecl& out) {
  XMLDecl d;
  size_t p = 0;
  bool any = false;
  for (;;) {
    while (p < text.size() && IsSpace(text[p])) ++p;
    if (p == text.size()) break;
    size_t name = p;
    while (p < text.size() && text[p] >= u'a' && text[p] <= u'z') ++p;
    std::u16string_view key = text.substr(name, p - name);
    while (p < text.size() && IsSpace(text[p])) ++p;
    if (p == text.size() || text[p] != u'=') return false;
    ++p;
    while (p < text.size() && IsSpace(text[p])) ++p;
    if (p == text.size() || (text[p] != u'"' && text[p] != u'\'')) return false;
    size_t close = text.find(text[p], p + 1);
    if (close == std::u16string_view::npos) return false;
    std::u16string value(text.substr(p + 1, close - p - 1));
    p = close + 1;
    std::u16string* slot = key == u"version" ? &d.version : key == u"encoding" ? &d.encoding
                         : key == u"standalone" ? &d.standalone : nullptr;
    if (!slot || !slot->empty() || value.empty()) return false;
    *slot = std::move(value);
    any = true;
  }
  bool valid = (d.version.empty() || d.version == u"1.0" || d.version == u"1.1") &&
               (d.encoding.empty() || IsEncodingName(d.encoding)) &&
               (d.standalone.empty() || d.standalone == u"yes" || d.standalone == u"no");
  if (!any || !valid) return false;
  out = std::move(d);
  return true;
}

// White space outside the document element is no node when read back; the
// DOM may hold it as text, which is then left out.
bool IsSpaceOnly(NodeRef n) {
  if (n.Type() != xc::DOMNode::TEXT_NODE) return false;
  for (char16_t c : n.Value())
    if (!IsSpace(c)) return false;
  return true;
}

bool IsEmpty(const XMLDecl& d) { return d.version.empty() && d.encoding.empty() && d.standalone.empty(); }

}  // namespace

XMLDecl DeclarationOf(XDoc* doc) {
  XMLDecl d = doc->decl;
  if (NodeRef n = DeclarationNode(doc); n && IsEmpty(d)) ParseDeclaration(n.Value(), d);
  return d;
}

namespace {

// The declaration node where it stands for the declaration: alone, and
// holding declaration text. Any other is refused as it is written.
NodeRef UsableDeclarationNode(XDoc* doc) {
  XMLDecl unused;
  NodeRef n = DeclarationNode(doc);
  return n && IsEmpty(doc->decl) && ParseDeclaration(n.Value(), unused) ? n : NodeRef();
}

class Serializer {
 public:
  Serializer(XDoc* doc, const SerializeOptions& options, const TextSink& sink)
      : doc_(doc),
        options_(options),
        sink_(sink),
        decl_(DeclarationOf(doc)),
        declNode_(UsableDeclarationNode(doc)),
        xml11_(decl_.version == u"1.1"),
        fixup_(xml11_) {
    const std::u16string& enc = options.declEncoding ? *options.declEncoding : decl_.encoding;
    encodingName_ = enc.empty() ? u"UTF-8" : enc;
    const Encoder* e = options.encoder;
    holdsAll_ = !e || (e->CanEncode(0xFF) && e->CanEncode(0x100) && e->CanEncode(0xFFFD) && e->CanEncode(0x10FFFF));
  }

  void Document() {
    const NodeRef document = NodeRef::DocumentOf(doc_);
    NodeRef element, doctype;
    for (NodeRef c = document.First(); c; c = c.Next()) {
      if (c.Type() == xc::DOMNode::ELEMENT_NODE && !element) element = c;
      if (c.Type() == xc::DOMNode::DOCUMENT_TYPE_NODE) {
        if (element) Refuse(c, msg::kWhyDoctypeOrder);
        doctype = c;
      }
    }
    if (!element) {
      if (!document.First() && options_.emptyAllowed) return;
      RefuseDocument(msg::kWhyNoElement);
    }
    Declaration();
    bool extra = options_.extraSubset && !options_.extraSubset->empty();
    for (NodeRef c = document.First(); c; c = c.Next()) {
      if (c == declNode_ || IsSpaceOnly(c)) continue;
      auto type = c.Type();
      if (type == xc::DOMNode::TEXT_NODE || type == xc::DOMNode::CDATA_SECTION_NODE ||
          type == xc::DOMNode::ENTITY_REFERENCE_NODE)
        Refuse(c, msg::kWhyOutsideElement);
      if (c == element && extra && !doctype) {
        Raw(u"<!DOCTYPE ");
        Raw(element.Name());
        Raw(u" [");
        Raw(*options_.extraSubset);
        Raw(u"]>\n");
      }
      Tree(c);
      Raw(u"\n");
    }
    Flush();
  }

  void Tree(NodeRef root) {
    fixup_.Within(root);
    NodeRef n = root;
    for (;;) {
      Open(n);
      if (HasContent(n)) {
        n = n.First();
        continue;
      }
      CloseEmpty(n);
      while (n != root && !n.Next()) {
        n = n.Parent();
        Close(n);
      }
      if (n == root) break;
      n = n.Next();
    }
    Flush();
  }

  void Node(NodeRef root) {
    if (root.Type() == xc::DOMNode::DOCUMENT_NODE) {
      Document();
      return;
    }
    fixup_.InheritFrom(root);
    Tree(root);
  }

 private:
  void Declaration() {
    const XMLDecl& d = decl_;
    const std::u16string& enc = options_.declEncoding ? *options_.declEncoding : d.encoding;
    if (d.version.empty() && enc.empty() && d.standalone.empty()) return;
    Raw(u"<?xml version=\"");
    Raw(d.version.empty() ? u"1.0" : d.version);
    if (!enc.empty()) {
      Raw(u"\" encoding=\"");
      Raw(enc);
    }
    if (!d.standalone.empty()) {
      Raw(u"\" standalone=\"");
      Raw(d.standalone);
    }
    Raw(u"\"?>\n");
  }

  static bool HasContent(NodeRef n) {
    auto t = n.Type();
    return (t == xc::DOMNode::ELEMENT_NODE || t == xc::DOMNode::DOCUMENT_FRAGMENT_NODE) && n.First();
  }

  void Open(NodeRef n) {
    switch (n.Type()) {
      case xc::DOMNode::ELEMENT_NODE:
        StartTag(n);
        break;
      case xc::DOMNode::ATTRIBUTE_NODE:
        Name(n, n.Name());
        Raw(u"=\"");
        Escaped(n, n.Value(), true);
        Raw(u"\"");
        break;
      case xc::DOMNode::TEXT_NODE:
        Escaped(n, n.Value(), false);
        break;
      case xc::DOMNode::CDATA_SECTION_NODE:
        CData(n);
        break;
      case xc::DOMNode::ENTITY_REFERENCE_NODE:
        EntityReference(n);
        break;
      case xc::DOMNode::PROCESSING_INSTRUCTION_NODE:
        ProcessingInstruction(n);
        break;
      case xc::DOMNode::COMMENT_NODE:
        Comment(n);
        break;
      case xc::DOMNode::DOCUMENT_TYPE_NODE:
        DocumentType(n);
        break;
      default:
        break;
    }
  }

  void StartTag(NodeRef e) {
    AttributesInOrder(doc_, e, attrs_, scratch_);
    fixup_.StartElement(e, attrs_, tag_);
    Raw(u"<");
    Name(e, e.Name());
    for (const TagAttribute& a : tag_) {
      NodeRef owner = a.node ? a.node : e;
      Raw(u" ");
      Name(owner, a.Name());
      Raw(u"=\"");
      Escaped(owner, a.Value(), true);
      Raw(u"\"");
    }
    if (HasContent(e)) Raw(u">");
  }

  void CloseEmpty(NodeRef n) {
    if (n.Type() != xc::DOMNode::ELEMENT_NODE) return;
    Raw(u"/>");
    fixup_.EndElement();
  }
  void Close(NodeRef n) {
    if (n.Type() != xc::DOMNode::ELEMENT_NODE) return;
    Raw(u"</");
    Raw(n.Name());
    Raw(u">");
    MaybeFlush();
    fixup_.EndElement();
  }

  void EntityReference(NodeRef n) {
    std::u16string_view name = n.Name();
    if (!IsNCName(name, xml11_)) Refuse(n, FormatMsgArgs(msg::kWhyBadName, {Shown(name), Version()}));
    if (!IsDeclaredEntity(doc_->doc, name)) Refuse(n, FormatMsg(msg::kWhyUndeclaredEntity, Shown(name)));
    Raw(u"&");
    Name(n, name);
    Raw(u";");
  }

  void ProcessingInstruction(NodeRef n) {
    std::u16string_view target = n.Name();
    if (!IsNCName(target, xml11_)) Refuse(n, FormatMsgArgs(msg::kWhyBadName, {Shown(target), Version()}));
    if (IsXmlTarget(target)) Refuse(n, FormatMsg(msg::kWhyReservedTarget, Shown(target)));
    std::u16string_view data = n.Value();
    if (data.find(u"?>") != std::u16string_view::npos) Refuse(n, msg::kWhyPIEnd);
    Raw(u"<?");
    Name(n, target);
    if (!data.empty()) {
      Raw(u" ");
      Markup(n, data);
    }
    Raw(u"?>");
  }

  void Comment(NodeRef n) {
    std::u16string_view text = n.Value();
    if (text.find(u"--") != std::u16string_view::npos || (!text.empty() && text.back() == u'-'))
      Refuse(n, msg::kWhyDoubleHyphen);
    Raw(u"<!--");
    Markup(n, text);
    Raw(u"-->");
  }

  // The store keeps the document type's place; Xerces' document holds what
  // it says.
  void DocumentType(NodeRef n) {
    auto* dt = static_cast<xc::DOMDocumentType*>(n.Xerces() ? n.Xerces() : doc_->TypeNode(n.Index()));
    Raw(u"<!DOCTYPE ");
    Name(n, View(dt->getName()));
    std::u16string_view pub = View(dt->getPublicId()), sys = View(dt->getSystemId());
    if (!pub.empty()) {
      Raw(u" PUBLIC \"");
      Markup(n, pub);
      Raw(u"\" \"");
      Markup(n, sys);
      Raw(u"\"");
    } else if (!sys.empty()) {
      Raw(u" SYSTEM \"");
      Markup(n, sys);
      Raw(u"\"");
    }
    std::u16string_view subset = View(dt->getInternalSubset());
    bool extra = options_.extraSubset && !options_.extraSubset->empty();
    if (!subset.empty() || extra) {
      Raw(u" [");
      Markup(n, subset);
      if (extra) Raw(*options_.extraSubset);
      Raw(u"]");
    }
    Raw(u">");
  }

  std::u16string_view Version() const { return xml11_ ? u"1.1" : u"1.0"; }

  bool Representable(char32_t cp) const { return cp < 0x80 || !options_.encoder || options_.encoder->CanEncode(cp); }

  [[noreturn]] void RefuseChar(NodeRef n, std::u16string_view why, char32_t cp) {
    Refuse(n, FormatMsgArgs(why, {CodePointText(cp), why == msg::kWhyUnencodable ? std::u16string_view(encodingName_)
                                                                                     : Version()}));
  }

  // Names have no escapes: every character must be one the encoding holds.
  void Name(NodeRef n, std::u16string_view name) {
    if (!holdsAll_) {
      for (size_t i = 0; i < name.size(); ++i) {
        char32_t cp = name[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF)
          cp = 0x10000 + ((cp - 0xD800) << 10) + (name[++i] - 0xDC00);
        if (!Representable(cp)) RefuseChar(n, msg::kWhyUnencodable, cp);
      }
    }
    buf_.append(name);
  }

  void CharRef(char32_t cp) {
    static const char16_t hex[] = u"0123456789ABCDEF";
    char16_t tmp[8];
    int k = 0;
    do {
      tmp[k++] = hex[cp & 0xF];
      cp >>= 4;
    } while (cp);
    buf_ += u"&#x";
    while (k) buf_ += tmp[--k];
    buf_ += u';';
  }

  // Text and attribute values: markup characters as entities, and as
  // character references what a parser would otherwise change (line ends,
  // and in attributes tabs and line feeds), what XML 1.1 takes only that
  // way and what the encoding cannot hold.
  void Escaped(NodeRef n, std::u16string_view s, bool attribute) {
    // Most text is printable ASCII that needs no reference: it goes over in
    // runs, and only the units around it take the careful way below.
    const std::array<bool, 128>& plain = attribute ? kPlainAttribute : kPlainText;
    for (size_t i = 0; i < s.size();) {
      size_t j = i;
      while (j < s.size() && s[j] < 0x80 && plain[s[j]]) ++j;
      buf_.append(s.data() + i, j - i);
      if (j == s.size()) break;
      i = j;
      while (j < s.size() && !(s[j] < 0x80 && plain[s[j]])) ++j;
      EscapedSlowly(n, s.substr(i, j - i), attribute);
      i = j;
    }
    MaybeFlush();
  }
  void EscapedSlowly(NodeRef n, std::u16string_view s, bool attribute) {
    ForEachCodePoint(s, [&](char32_t cp, const XMLCh* at, size_t len) {
      switch (cp) {
        case u'&': buf_ += u"&amp;"; return;
        case u'<': buf_ += u"&lt;"; return;
        case u'>': buf_ += u"&gt;"; return;
        case u'"':
          if (attribute) {
            buf_ += u"&quot;";
            return;
          }
          break;
        case u'\t':
        case u'\n':
          if (attribute) {
            CharRef(cp);
            return;
          }
          break;
        default:
          break;
      }
      switch (ClassOf(cp, xml11_)) {
        case CharClass::Forbidden: RefuseChar(n, msg::kWhyCharacter, cp);
        case CharClass::LineEnd:
        case CharClass::ReferenceOnly: CharRef(cp); return;
        case CharClass::Ordinary: break;
      }
      if (Representable(cp))
        buf_.append(at, len);
      else
        CharRef(cp);
    });
  }

  // A section cannot hold "]]>" or a reference: both close it, go on as a
  // reference, and open a new one.
  void CData(NodeRef n) {
    buf_ += u"<![CDATA[";
    ForEachCodePoint(n.Value(), [&](char32_t cp, const XMLCh* at, size_t len) {
      if (cp == u'>' && buf_.size() >= 2 && buf_.compare(buf_.size() - 2, 2, u"]]") == 0) {
        buf_ += u"]]><![CDATA[>";
        return;
      }
      CharClass c = ClassOf(cp, xml11_);
      if (c == CharClass::Forbidden) RefuseChar(n, msg::kWhyCharacter, cp);
      if (c == CharClass::Ordinary && Representable(cp)) {
        buf_.append(at, len);
        return;
      }
      buf_ += u"]]>";
      CharRef(cp);
      buf_ += u"<![CDATA[";
    });
    buf_ += u"]]>";
    MaybeFlush();
  }

  // Comments, processing instructions and the document type have no
  // escapes at all. Line ends stay as they are: a parser reads each as a
  // line feed, which XML does to every line end.
  void Markup(NodeRef n, std::u16string_view s) {
    ForEachCodePoint(s, [&](char32_t cp, const XMLCh* at, size_t len) {
      switch (ClassOf(cp, xml11_)) {
        case CharClass::Forbidden: RefuseChar(n, msg::kWhyCharacter, cp);
        case CharClass::ReferenceOnly: RefuseChar(n, msg::kWhyCharacterNeedsReference, cp);
        default: break;
      }
      if (!Representable(cp)) RefuseChar(n, msg::kWhyUnencodable, cp);
      buf_.append(at, len);
    });
    MaybeFlush();
  }

  void Raw(std::u16string_view s) { buf_.append(s); }
  void MaybeFlush() {
    if (buf_.size() >= 32768) Flush();
  }
  void Flush() {
    if (!buf_.empty() && sink_) sink_(buf_.data(), buf_.size());
    buf_.clear();
  }

  XDoc* doc_;
  const SerializeOptions& options_;
  const TextSink& sink_;
  XMLDecl decl_;
  NodeRef declNode_;
  bool xml11_;
  NamespaceFixup fixup_;
  std::u16string encodingName_;
  bool holdsAll_ = true;  // a Unicode encoding: names need no check
  std::u16string buf_;
  std::vector<NodeRef> attrs_;
  std::vector<xc::DOMNode*> scratch_;
  std::vector<TagAttribute> tag_;
};

}  // namespace

void SerializeDocument(XDoc* doc, const SerializeOptions& options, const TextSink& sink) {
  Serializer(doc, options, sink).Document();
}

void SerializeNode(XDoc* doc, NodeRef node, const TextSink& sink) {
  SerializeOptions options;
  options.emptyAllowed = true;
  Serializer(doc, options, sink).Node(node);
}

}  // namespace xdom
