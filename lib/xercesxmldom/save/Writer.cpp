#include "lib/xercesxmldom/save/Writer.h"

#include <cstring>

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/TransService.hpp>

#include "lib/xercesxmldom/nodes/Nodes.h"
#include "lib/xercesxmldom/save/SaveRules.h"
#include "lib/xercesxmldom/save/Serializer.h"

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
  bool Pending() const { return pendingHigh_ != 0; }
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
    for (size_t i = 0; i < n;) {
      // ASCII, most of any document, is copied unit by unit; a high
      // surrogate left over from the last call waits for the careful way.
      size_t j = i;
      if (!cps_.Pending())
        while (j < n && s[j] < 0x80) ++j;
      const size_t at = out.size();
      out.resize(at + (j - i));
      for (size_t k = i; k < j; ++k) out[at + (k - i)] = static_cast<char>(s[k]);
      if (j == n) break;
      i = j++;
      while (j < n && s[j] >= 0x80) ++j;
      cps_.Feed(s + i, j - i, [&](char32_t cp) { AppendUtf8(cp, out); });
      i = j;
    }
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
    FailText(FormatMsg(msg::kUnsupportedEncoding, Shown(encoding)));
  }
  xc::XMLTransService::Codes code;
  xc::XMLTranscoder* t = xc::XMLPlatformUtils::fgTransService->makeNewTranscoderFor(encoding.c_str(), code, 16384);
  if (!t) FailText(FormatMsg(msg::kUnsupportedEncoding, encoding));
  return std::make_unique<XercesEncoder>(t);
}

std::u16string DocumentText(XDoc* doc) {
  std::u16string out;
  SerializeOptions options;
  options.emptyAllowed = true;
  SerializeDocument(doc, options, [&](const char16_t* p, size_t n) { out.append(p, n); });
  return out;
}

void WriteDocument(XDoc* doc, Encoder& encoder, const ByteSink& sink, const WriteSettings& settings) {
  SerializeOptions options;
  options.encoder = &encoder;
  options.declEncoding = settings.declEncoding;
  options.extraSubset = &settings.extraSubset;
  // A first pass that writes nothing finds what must be refused, so that a
  // refusal leaves the destination untouched.
  SerializeDocument(doc, options, nullptr);
  std::string_view pre = encoder.Preamble();
  if (!pre.empty()) sink(pre.data(), pre.size());
  std::string bytes;
  SerializeDocument(doc, options, [&](const char16_t* p, size_t n) {
    bytes.clear();
    encoder.Encode(p, n, bytes);
    if (!bytes.empty()) sink(bytes.data(), bytes.size());
  });
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
  return DecodeAs(p, n, std::u16string(enc.begin(), enc.end()));
}

std::u16string DecodeAs(const uint8_t* p, size_t n, const std::u16string& encoding) {
  std::string up = UpperAscii(encoding);
  if (up.empty() || up == "UTF-8" || up == "UTF8") return DecodeUtf8(p, n);
  if (up == "ISO-8859-1" || up == "LATIN1" || up == "US-ASCII" || up == "ASCII")
    return std::u16string(p, p + n);
  if (!IsEncodingName(encoding)) return DecodeUtf8(p, n);
  xc::XMLTransService::Codes code;
  std::unique_ptr<xc::XMLTranscoder> t(
      xc::XMLPlatformUtils::fgTransService->makeNewTranscoderFor(encoding.c_str(), code, 16384));
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

bool HasEncodingMark(const uint8_t* p, size_t n) {
  if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) return true;
  if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) return true;
  if (n >= 4 && ((p[0] == '<' && p[1] == 0) || (p[0] == 0 && p[1] == '<'))) return true;
  return !DeclaredEncoding(p, n).empty();
}

namespace ops {

std::u16string XMLTextOf(NodeCore& node) {
  std::u16string out;
  SerializeNode(node.doc.get(), NodeRef::Of(node), [&](const char16_t* p, size_t n) { out.append(p, n); });
  return out;
}

}  // namespace ops

}  // namespace xdom
