#include "rtl/TextConv.h"

#include <iconv.h>
#include <langinfo.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace rtl {

std::string Utf8Encode(WideStringView s) {
  std::string out;
  AppendUtf8(out, s);
  return out;
}

void AppendUtf8(std::string& out, WideStringView s) {
  // The plain ASCII start, usually all of it, copied in one pass.
  const size_t start = out.size();
  out.resize(start + s.size());
  char* to = out.data() + start;
  size_t ascii = 0;
  for (; ascii < s.size() && s[ascii] < 0x80; ++ascii) to[ascii] = static_cast<char>(s[ascii]);
  if (ascii == s.size()) return;
  out.resize(start + ascii);
  out.reserve(out.size() + s.size() - ascii);
  for (size_t i = ascii; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

WideString Utf8Decode(std::string_view s) {
  WideString out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  for (size_t i = 0; i < n;) {
    uint32_t c = p[i];
    if (c < 0x80) {
      out += static_cast<char16_t>(c);
      ++i;
      continue;
    }
    int len = 0;
    uint32_t min = 0;
    if ((c & 0xE0) == 0xC0) { len = 2; c &= 0x1F; min = 0x80; }
    else if ((c & 0xF0) == 0xE0) { len = 3; c &= 0x0F; min = 0x800; }
    else if ((c & 0xF8) == 0xF0) { len = 4; c &= 0x07; min = 0x10000; }
    bool ok = len > 0 && i + len <= n;
    for (int k = 1; ok && k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) ok = false;
      else c = (c << 6) | (p[i + k] & 0x3F);
    }
    if (ok && (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) ok = false;
    if (!ok) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    i += len;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

WideString AsciiToWide(std::string_view s) { return WideString(s.begin(), s.end()); }

namespace {

// Bumped by ResetLocaleCache so every thread re-reads the character set.
std::atomic<uint64_t> localeGeneration{1};

// Per thread: the locale's character set and open converters, so a
// conversion costs no lock, no lookup and no iconv_open on the hot path.
class ThreadCharset {
 public:
  ~ThreadCharset() { CloseConverters(); }

  // Re-reads the character set when the locale cache was reset.
  void Refresh() {
    uint64_t g = localeGeneration.load(std::memory_order_acquire);
    if (g == generation_) return;
    CloseConverters();
    const char* name = nl_langinfo(CODESET);
    codeset_ = name ? name : "";
    // The C/POSIX locale counts as UTF-8, as on any current desktop.
    utf8_ = codeset_.empty() || codeset_ == "UTF-8" || codeset_ == "utf8" ||
            codeset_ == "ANSI_X3.4-1968" || codeset_ == "ASCII";
    generation_ = g;
  }
  bool Utf8() const { return utf8_; }
  iconv_t ToNarrow() { return Open(toNarrow_, codeset_.c_str(), "UTF-16LE"); }
  iconv_t ToWide() { return Open(toWide_, "UTF-16LE", codeset_.c_str()); }

 private:
  static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);
  static iconv_t Open(iconv_t& cd, const char* to, const char* from) {
    if (cd == kNone) cd = iconv_open(to, from);
    else iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    return cd;
  }
  void CloseConverters() {
    for (iconv_t* cd : {&toNarrow_, &toWide_})
      if (*cd != kNone) {
        iconv_close(*cd);
        *cd = kNone;
      }
  }
  uint64_t generation_ = 0;
  bool utf8_ = true;
  std::string codeset_;
  iconv_t toNarrow_ = kNone;
  iconv_t toWide_ = kNone;
};

ThreadCharset& Charset() {
  thread_local ThreadCharset cs;
  cs.Refresh();
  return cs;
}

// Converts with iconv; on an unconvertible input unit writes `replacement`
// and skips one unit of `unit` bytes. An unusable converter gives "".
std::string IconvAll(iconv_t cd, const char* in, size_t inLen, size_t unit,
                     std::string_view replacement) {
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string();
  std::string out;
  out.resize(inLen * 2 + 16);
  char* inp = const_cast<char*>(in);
  size_t inLeft = inLen;
  size_t used = 0;
  while (inLeft > 0) {
    char* outp = out.data() + used;
    size_t outLeft = out.size() - used;
    size_t r = iconv(cd, &inp, &inLeft, &outp, &outLeft);
    used = out.size() - outLeft;
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
    } else {
      // EILSEQ or EINVAL: replace one unit and go on.
      size_t skip = inLeft < unit ? inLeft : unit;
      inp += skip;
      inLeft -= skip;
      if (out.size() - used < replacement.size() + 8) out.resize(out.size() * 2);
      std::memcpy(out.data() + used, replacement.data(), replacement.size());
      used += replacement.size();
    }
  }
  out.resize(used);
  return out;
}

}  // namespace

void ResetLocaleCache() { localeGeneration.fetch_add(1, std::memory_order_acq_rel); }

std::string WideToNarrow(WideStringView s) {
  ThreadCharset& cs = Charset();
  if (cs.Utf8()) return Utf8Encode(s);
  return IconvAll(cs.ToNarrow(), reinterpret_cast<const char*>(s.data()), s.size() * 2, 2, "?");
}

void AppendNarrow(std::string& out, WideStringView s) {
  ThreadCharset& cs = Charset();
  if (cs.Utf8())
    AppendUtf8(out, s);
  else
    out += IconvAll(cs.ToNarrow(), reinterpret_cast<const char*>(s.data()), s.size() * 2, 2, "?");
}

WideString NarrowToWide(std::string_view s) {
  ThreadCharset& cs = Charset();
  if (cs.Utf8()) return Utf8Decode(s);
  std::string bytes = IconvAll(cs.ToWide(), s.data(), s.size(), 1, "\xFD\xFF");
  WideString out(bytes.size() / 2, u'\0');
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

}  // namespace rtl
