#include "lib/xercesxmldom/Writer.h"

#include <cstring>

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/TransService.hpp>

#include "lib/xercesxmldom/Nodes.h"

namespace xdom {

namespace {

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

std::string UpperAscii(std::u16string_view s) {
  std::string r;
  r.reserve(s.size());
  for (char16_t c : s) r += (c >= u'a' && c <= u'z') ? static_cast<char>(c - 32) : static_cast<char>(c < 128 ? c : '?');
  return r;
}

// Reads code points from UTF-16 units, completing a surrogate pair split
// across calls; lone surrogates come out as U+FFFD.
class CodePoints {
 public:
  template <class F>
  void Feed(const char16_t* s, size_t n, F&& emit) {
    size_t i = 0;
    if (pendingHigh_) {
      if (n == 0) return;
      char16_t h = pendingHigh_;
      pendingHigh_ = 0;
      if (IsLow(s[0])) {
        emit(0x10000 + ((char32_t(h) - 0xD800) << 10) + (s[0] - 0xDC00));
        i = 1;
      } else {
        emit(0xFFFD);
      }
    }
    for (; i < n; ++i) {
      char16_t c = s[i];
      if (IsHigh(c)) {
        if (i + 1 == n) {
          pendingHigh_ = c;
          return;
        }
        if (IsLow(s[i + 1])) {
          emit(0x10000 + ((char32_t(c) - 0xD800) << 10) + (s[i + 1] - 0xDC00));
          ++i;
          continue;
        }
        emit(0xFFFD);
      } else if (IsLow(c)) {
        emit(0xFFFD);
      } else {
        emit(c);
      }
    }
  }

 private:
  char16_t pendingHigh_ = 0;
};

class Utf8Encoder final : public Encoder {
 public:
  bool CanEncode(char32_t) const override { return true; }
  void Encode(const char16_t* s, size_t n, std::string& out) override {
    out.reserve(out.size() + n);
    cps_.Feed(s, n, [&](char32_t cp) { AppendUtf8(cp, out); });
  }

 private:
  CodePoints cps_;
};

class Utf16Encoder final : public Encoder {
 public:
  Utf16Encoder(bool bigEndian, bool bom) : big_(bigEndian), bom_(bom) {}
  bool CanEncode(char32_t) const override { return true; }
  std::string_view Preamble() const override {
    if (!bom_) return {};
    return big_ ? std::string_view("\xFE\xFF", 2) : std::string_view("\xFF\xFE", 2);
  }
  void Encode(const char16_t* s, size_t n, std::string& out) override {
    out.reserve(out.size() + 2 * n);
    for (size_t i = 0; i < n; ++i) {
      auto lo = static_cast<char>(s[i] & 0xFF), hi = static_cast<char>(s[i] >> 8);
      if (big_) {
        out += hi;
        out += lo;
      } else {
        out += lo;
        out += hi;
      }
    }
  }

 private:
  bool big_, bom_;
};

// ISO-8859-1 (limit 256) and US-ASCII (limit 128).
class SingleByteEncoder final : public Encoder {
 public:
  explicit SingleByteEncoder(char32_t limit) : limit_(limit) {}
  bool CanEncode(char32_t cp) const override { return cp < limit_; }
  void Encode(const char16_t* s, size_t n, std::string& out) override {
    out.reserve(out.size() + n);
    cps_.Feed(s, n, [&](char32_t cp) { out += cp < limit_ ? static_cast<char>(cp) : '?'; });
  }

 private:
  char32_t limit_;
  CodePoints cps_;
};

class XercesEncoder final : public Encoder {
 public:
  explicit XercesEncoder(xc::XMLTranscoder* t) : t_(t) {}
  bool CanEncode(char32_t cp) const override { return t_->canTranscodeTo(static_cast<unsigned int>(cp)); }
  void Encode(const char16_t* s, size_t n, std::string& out) override {
    std::u16string units;
    if (pendingHigh_) {
      units += pendingHigh_;
      pendingHigh_ = 0;
    }
    units.append(s, n);
    if (!units.empty() && IsHigh(units.back())) {
      pendingHigh_ = units.back();
      units.pop_back();
    }
    XMLSize_t done = 0;
    unsigned char buf[16384];
    while (done < units.size()) {
      XMLSize_t eaten = 0;
      XMLSize_t made = t_->transcodeTo(units.data() + done, units.size() - done, buf, sizeof buf, eaten,
                                       xc::XMLTranscoder::UnRep_RepChar);
      out.append(reinterpret_cast<const char*>(buf), made);
      if (eaten == 0) break;
      done += eaten;
    }
  }

 private:
  std::unique_ptr<xc::XMLTranscoder> t_;
  char16_t pendingHigh_ = 0;
};

// Serializes nodes into UTF-16, handing the text on in chunks.
class Serializer {
 public:
  Serializer(XDoc* doc, const Encoder* encoder, std::function<void(const char16_t*, size_t)> flush)
      : doc_(doc), encoder_(encoder), flush_(std::move(flush)) {}

  bool withDoctype = true;

  void Document(const std::u16string* declEncoding) {
    const XMLDecl& d = doc_->decl;
    const std::u16string& enc = declEncoding ? *declEncoding : d.encoding;
    if (!d.version.empty() || !enc.empty() || !d.standalone.empty()) {
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
    for (xc::DOMNode* c = doc_->doc->getFirstChild(); c; c = c->getNextSibling()) {
      if (!withDoctype && c->getNodeType() == xc::DOMNode::DOCUMENT_TYPE_NODE) continue;
      Tree(c);
      Raw(u"\n");
    }
    Flush();
  }

  void Tree(xc::DOMNode* root) {
    if (root->getNodeType() == xc::DOMNode::DOCUMENT_NODE) {
      Document(nullptr);
      return;
    }
    xc::DOMNode* n = root;
    for (;;) {
      Open(n);
      if (HasContent(n)) {
        n = n->getFirstChild();
        continue;
      }
      CloseEmpty(n);
      while (n != root && !n->getNextSibling()) {
        n = n->getParentNode();
        Close(n);
      }
      if (n == root) break;
      n = n->getNextSibling();
    }
    Flush();
  }

 private:
  static bool HasContent(xc::DOMNode* n) {
    auto t = n->getNodeType();
    return n->getFirstChild() &&
           (t == xc::DOMNode::ELEMENT_NODE || t == xc::DOMNode::DOCUMENT_FRAGMENT_NODE);
  }

  void Open(xc::DOMNode* n) {
    switch (n->getNodeType()) {
      case xc::DOMNode::ELEMENT_NODE: {
        Raw(u"<");
        Raw(n->getNodeName());
        auto* e = static_cast<xc::DOMElement*>(n);
        attrs_.clear();
        if (!ops::AttributesInOrder(doc_, e, attrs_)) {
          xc::DOMNamedNodeMap* m = e->getAttributes();
          for (XMLSize_t i = 0, len = m->getLength(); i < len; ++i) attrs_.push_back(m->item(i));
        }
        marks_.push_back(bindings_.size());
        for (xc::DOMNode* a : attrs_) {
          if (IsDeclaration(a) && !BindsPrefixToNothing(a)) bindings_.push_back({LocalOrEmpty(a), a->getNodeValue()});
        }
        for (xc::DOMNode* a : attrs_) {
          if (BindsPrefixToNothing(a)) continue;
          Raw(u" ");
          Attribute(a);
        }
        // Nodes made by namespace-aware calls may lack the declarations
        // that the text needs to read back the same.
        // Nodes made without namespaces (no local name) are left as they are.
        if (n->getLocalName()) Declare(n->getPrefix(), n->getNamespaceURI(), true);
        for (xc::DOMNode* a : attrs_)
          if (!IsDeclaration(a) && a->getNamespaceURI()) Declare(a->getPrefix(), a->getNamespaceURI(), false);
        if (HasContent(n)) Raw(u">");
        break;
      }
      case xc::DOMNode::ATTRIBUTE_NODE:
        Attribute(n);
        break;
      case xc::DOMNode::TEXT_NODE:
        Escaped(n->getNodeValue(), false);
        break;
      case xc::DOMNode::CDATA_SECTION_NODE:
        CData(n->getNodeValue());
        break;
      case xc::DOMNode::ENTITY_REFERENCE_NODE:
        Raw(u"&");
        Raw(n->getNodeName());
        Raw(u";");
        break;
      case xc::DOMNode::PROCESSING_INSTRUCTION_NODE: {
        Raw(u"<?");
        Raw(n->getNodeName());
        const XMLCh* data = n->getNodeValue();
        if (data && *data) {
          Raw(u" ");
          Markup(data);
        }
        Raw(u"?>");
        break;
      }
      case xc::DOMNode::COMMENT_NODE:
        Raw(u"<!--");
        Markup(n->getNodeValue());
        Raw(u"-->");
        break;
      case xc::DOMNode::DOCUMENT_TYPE_NODE: {
        auto* dt = static_cast<xc::DOMDocumentType*>(n);
        Raw(u"<!DOCTYPE ");
        Raw(dt->getName());
        const XMLCh* pub = dt->getPublicId();
        const XMLCh* sys = dt->getSystemId();
        if (pub && *pub) {
          Raw(u" PUBLIC \"");
          Raw(pub);
          Raw(u"\" \"");
          Raw(sys ? sys : u"");
          Raw(u"\"");
        } else if (sys && *sys) {
          Raw(u" SYSTEM \"");
          Raw(sys);
          Raw(u"\"");
        }
        const XMLCh* subset = dt->getInternalSubset();
        if (subset && *subset) {
          Raw(u" [");
          Raw(subset);
          Raw(u"]");
        }
        Raw(u">");
        break;
      }
      default:
        break;
    }
  }

  void CloseEmpty(xc::DOMNode* n) {
    if (n->getNodeType() == xc::DOMNode::ELEMENT_NODE) {
      Raw(u"/>");
      PopScope();
    }
  }
  void Close(xc::DOMNode* n) {
    if (n->getNodeType() == xc::DOMNode::ELEMENT_NODE) {
      Raw(u"</");
      Raw(n->getNodeName());
      Raw(u">");
      PopScope();
    }
  }

  static constexpr char16_t kXmlnsNs[] = u"http://www.w3.org/2000/xmlns/";

  static bool IsDeclaration(xc::DOMNode* a) {
    const XMLCh* ns = a->getNamespaceURI();
    if (ns) return xc::XMLString::equals(ns, kXmlnsNs);
    const XMLCh* name = a->getNodeName();
    return xc::XMLString::equals(name, u"xmlns") || xc::XMLString::startsWith(name, u"xmlns:");
  }
  // XML 1.0 cannot bind a prefix to no namespace: written out, such a
  // declaration makes the text unloadable, and it means nothing, so it is
  // left out.
  static bool BindsPrefixToNothing(xc::DOMNode* a) {
    const XMLCh* v = a->getNodeValue();
    return IsDeclaration(a) && *LocalOrEmpty(a) && (!v || !*v);
  }
  // The prefix a declaration binds ("" for the default namespace).
  static const XMLCh* LocalOrEmpty(xc::DOMNode* decl) {
    const XMLCh* name = decl->getNodeName();
    return name[5] == u':' ? name + 6 : u"";
  }

  // Writes a declaration when prefix is not bound to uri in scope; an
  // element without namespace under a default one undeclares it.
  void Declare(const XMLCh* prefix, const XMLCh* uri, bool element) {
    if (!prefix) prefix = u"";
    if (!uri) uri = u"";
    if (xc::XMLString::equals(prefix, u"xml") || xc::XMLString::equals(prefix, u"xmlns")) return;
    if (!*prefix) {
      if (element && !xc::XMLString::equals(Bound(u""), uri)) Bind(u"", uri);
      return;
    }
    if (*uri && !xc::XMLString::equals(Bound(prefix), uri)) Bind(prefix, uri);
  }
  const XMLCh* Bound(const XMLCh* prefix) const {
    for (size_t i = bindings_.size(); i-- > 0;)
      if (xc::XMLString::equals(bindings_[i].first, prefix)) return bindings_[i].second ? bindings_[i].second : u"";
    return u"";
  }
  void Bind(const XMLCh* prefix, const XMLCh* uri) {
    bindings_.push_back({prefix, uri});
    Raw(*prefix ? u" xmlns:" : u" xmlns");
    Raw(prefix);
    Raw(u"=\"");
    Escaped(uri, true);
    Raw(u"\"");
  }
  void PopScope() {
    if (marks_.empty()) return;
    bindings_.resize(marks_.back());
    marks_.pop_back();
  }

  void Attribute(xc::DOMNode* a) {
    Raw(a->getNodeName());
    Raw(u"=\"");
    Escaped(a->getNodeValue(), true);
    Raw(u"\"");
  }

  bool Representable(char32_t cp) const { return !encoder_ || encoder_->CanEncode(cp); }

  void CharRef(char32_t cp) {
    static const char16_t hex[] = u"0123456789ABCDEF";
    char16_t tmp[16];
    int k = 0;
    do {
      tmp[k++] = hex[cp & 0xF];
      cp >>= 4;
    } while (cp);
    Raw(u"&#x");
    while (k) buf_ += tmp[--k];
    buf_ += u';';
  }

  // Walks s by code point: calls special(cp, i, len) for characters that
  // need escaping or cannot be encoded, copying the rest as they are.
  template <class F>
  void Walk(const XMLCh* s, F&& special) {
    if (!s) return;
    for (size_t i = 0; s[i];) {
      char16_t c = s[i];
      char32_t cp = c;
      size_t len = 1;
      if (IsHigh(c) && IsLow(s[i + 1])) {
        cp = 0x10000 + ((char32_t(c) - 0xD800) << 10) + (s[i + 1] - 0xDC00);
        len = 2;
      }
      if (!special(cp, s + i, len)) buf_.append(s + i, len);
      i += len;
    }
    MaybeFlush();
  }

  void Escaped(const XMLCh* s, bool attribute) {
    Walk(s, [&](char32_t cp, const XMLCh*, size_t) {
      switch (cp) {
        case u'&': Raw(u"&amp;"); return true;
        case u'<': Raw(u"&lt;"); return true;
        case u'>': Raw(u"&gt;"); return true;
        case u'\r': Raw(u"&#xD;"); return true;
        case u'"':
          if (!attribute) return false;
          Raw(u"&quot;");
          return true;
        case u'\t':
        case u'\n':
          if (!attribute) return false;
          CharRef(cp);
          return true;
        default:
          if (cp < 0x80 || Representable(cp)) return false;
          CharRef(cp);
          return true;
      }
    });
  }

  void CData(const XMLCh* s) {
    Raw(u"<![CDATA[");
    Walk(s, [&](char32_t cp, const XMLCh* at, size_t) {
      if (cp == u'>' && at[0] && buf_.size() >= 2 && buf_.compare(buf_.size() - 2, 2, u"]]") == 0) {
        // "]]>" cannot appear inside a section: split it.
        Raw(u"]]><![CDATA[>");
        return true;
      }
      if (cp < 0x80 || Representable(cp)) return false;
      Raw(u"]]>");
      CharRef(cp);
      Raw(u"<![CDATA[");
      return true;
    });
    Raw(u"]]>");
  }

  // Comments and processing instructions have no escapes; characters the
  // encoding cannot hold are kept visible as reference text.
  void Markup(const XMLCh* s) {
    Walk(s, [&](char32_t cp, const XMLCh*, size_t) {
      if (cp < 0x80 || Representable(cp)) return false;
      CharRef(cp);
      return true;
    });
  }

  void Raw(std::u16string_view s) { buf_.append(s); }
  void Raw(const XMLCh* s) {
    if (s) buf_.append(s);
    MaybeFlush();
  }
  void MaybeFlush() {
    if (buf_.size() >= 32768) Flush();
  }
  void Flush() {
    if (!buf_.empty() && flush_) {
      flush_(buf_.data(), buf_.size());
      buf_.clear();
    }
  }

  XDoc* doc_;
  const Encoder* encoder_;
  std::function<void(const char16_t*, size_t)> flush_;
  std::u16string buf_;
  std::vector<xc::DOMNode*> attrs_;
  // Namespace bindings in scope (prefix, URI), innermost last, and where
  // each open element's own start.
  std::vector<std::pair<const XMLCh*, const XMLCh*>> bindings_;
  std::vector<size_t> marks_;
};

// The encoding named in an XML declaration at the start of 8-bit text.
std::string DeclaredEncoding(const uint8_t* data, size_t size) {
  std::string head(reinterpret_cast<const char*>(data), std::min<size_t>(size, 256));
  if (head.compare(0, 5, "<?xml") != 0) return {};
  size_t end = head.find("?>");
  size_t at = head.find("encoding");
  if (at == std::string::npos || (end != std::string::npos && at > end)) return {};
  size_t q = head.find_first_of("\"'", at);
  if (q == std::string::npos) return {};
  size_t q2 = head.find(head[q], q + 1);
  if (q2 == std::string::npos) return {};
  return head.substr(q + 1, q2 - q - 1);
}

std::u16string DecodeUtf8(const uint8_t* p, size_t n) {
  return Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(p), n));
}

}  // namespace

// Names ([A-Za-z][A-Za-z0-9._-]*) only: anything else must not reach the
// converter library, whose fixed name buffer a long non-ASCII "name"
// overruns.
bool IsEncodingName(std::u16string_view s) {
  if (s.empty() || s.size() > 64) return false;
  auto letter = [](char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); };
  if (!letter(s[0])) return false;
  for (char16_t c : s)
    if (!letter(c) && !(c >= u'0' && c <= u'9') && c != u'.' && c != u'_' && c != u'-') return false;
  return true;
}

std::unique_ptr<Encoder> MakeEncoder(const std::u16string& encoding) {
  std::string e = UpperAscii(encoding);
  if (e.empty() || e == "UTF-8" || e == "UTF8") return std::make_unique<Utf8Encoder>();
  if (e == "UTF-16" || e == "UTF16" || e == "UCS-2" || e == "UNICODE" || e == "ISO-10646-UCS-2")
    return std::make_unique<Utf16Encoder>(false, true);
  if (e == "UTF-16LE") return std::make_unique<Utf16Encoder>(false, false);
  if (e == "UTF-16BE") return std::make_unique<Utf16Encoder>(true, false);
  if (e == "ISO-8859-1" || e == "ISO8859-1" || e == "ISO_8859-1" || e == "LATIN1" || e == "LATIN-1")
    return std::make_unique<SingleByteEncoder>(256);
  if (e == "US-ASCII" || e == "ASCII") return std::make_unique<SingleByteEncoder>(128);
  if (!IsEncodingName(encoding)) {
    // Quoted for the user, so what cannot be shown is not passed on.
    std::u16string shown(encoding.substr(0, 64));
    for (char16_t& c : shown)
      if (c < 0x20 || c == 0x7F) c = u'?';
    FailText(FormatMsg(msg::kUnsupportedEncoding, shown));
  }
  xc::XMLTransService::Codes code;
  xc::XMLTranscoder* t = xc::XMLPlatformUtils::fgTransService->makeNewTranscoderFor(encoding.c_str(), code, 16384);
  if (!t) FailText(FormatMsg(msg::kUnsupportedEncoding, encoding));
  return std::make_unique<XercesEncoder>(t);
}

std::u16string DocumentText(XDoc* doc) {
  std::u16string out;
  Serializer s(doc, nullptr, [&](const char16_t* p, size_t n) { out.append(p, n); });
  s.Document(nullptr);
  return out;
}

void WriteDocument(XDoc* doc, Encoder& encoder, const ByteSink& sink, const std::u16string* declEncoding,
                   bool withDoctype) {
  std::string_view pre = encoder.Preamble();
  if (!pre.empty()) sink(pre.data(), pre.size());
  std::string bytes;
  Serializer s(doc, &encoder, [&](const char16_t* p, size_t n) {
    bytes.clear();
    encoder.Encode(p, n, bytes);
    if (!bytes.empty()) sink(bytes.data(), bytes.size());
  });
  s.withDoctype = withDoctype;
  s.Document(declEncoding);
}

std::u16string DecodeBytes(const uint8_t* p, size_t n) {
  if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) return DecodeUtf8(p + 3, n - 3);
  bool le = n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (n >= 4 && p[0] == '<' && p[1] == 0 && p[2] == '?' && p[3] == 0));
  bool be = n >= 2 && ((p[0] == 0xFE && p[1] == 0xFF) || (n >= 4 && p[0] == 0 && p[1] == '<' && p[2] == 0 && p[3] == '?'));
  if (le || be) {
    std::u16string out;
    size_t start = (p[0] == 0xFF || p[0] == 0xFE) ? 2 : 0;
    out.reserve((n - start) / 2);
    for (size_t i = start; i + 1 < n; i += 2)
      out += le ? static_cast<char16_t>(p[i] | (p[i + 1] << 8)) : static_cast<char16_t>((p[i] << 8) | p[i + 1]);
    return out;
  }
  return DecodeWithHead(p, n, p, n);
}

std::u16string DecodeWithHead(const uint8_t* p, size_t n, const uint8_t* head, size_t headSize) {
  std::string enc = DeclaredEncoding(head, headSize);
  std::u16string encW(enc.begin(), enc.end());
  std::string up = UpperAscii(encW);
  if (up.empty() || up == "UTF-8" || up == "UTF8") return DecodeUtf8(p, n);
  if (up == "ISO-8859-1" || up == "LATIN1" || up == "US-ASCII" || up == "ASCII")
    return std::u16string(p, p + n);
  if (!IsEncodingName(encW)) return DecodeUtf8(p, n);
  xc::XMLTransService::Codes code;
  std::unique_ptr<xc::XMLTranscoder> t(
      xc::XMLPlatformUtils::fgTransService->makeNewTranscoderFor(encW.c_str(), code, 16384));
  if (!t) return std::u16string(p, p + n);
  std::u16string out;
  std::vector<XMLCh> buf(16384);
  std::vector<unsigned char> sizes(16384);
  size_t done = 0;
  while (done < n) {
    XMLSize_t eaten = 0;
    XMLSize_t made = t->transcodeFrom(p + done, n - done, buf.data(), buf.size(), eaten, sizes.data());
    out.append(buf.data(), made);
    if (eaten == 0) break;
    done += eaten;
  }
  return out;
}

namespace ops {

std::u16string XMLTextOf(XDoc* doc, xc::DOMNode* node) {
  std::u16string out;
  Serializer s(doc, nullptr, [&](const char16_t* p, size_t n) { out.append(p, n); });
  s.Tree(node);
  return out;
}

}  // namespace ops

}  // namespace xdom
