#include "rtl/TextConv.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace rtl {

std::string Utf8Encode(WideStringView s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
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
  return out;
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

struct LocaleCharset {
  std::mutex mu;
  bool known = false;
  bool utf8 = true;
  std::string codeset;
};

LocaleCharset& Charset() {
  static LocaleCharset cs;
  return cs;
}

// The locale's character set; the C/POSIX locale counts as UTF-8.
bool LocaleIsUtf8(std::string* codeset) {
  LocaleCharset& cs = Charset();
  std::lock_guard<std::mutex> lock(cs.mu);
  if (!cs.known) {
    const char* name = nl_langinfo(CODESET);
    cs.codeset = name ? name : "";
    cs.utf8 = cs.codeset.empty() || cs.codeset == "UTF-8" || cs.codeset == "utf8" ||
              cs.codeset == "ANSI_X3.4-1968" || cs.codeset == "ASCII";
    cs.known = true;
  }
  if (codeset) *codeset = cs.codeset;
  return cs.utf8;
}

// Converts with iconv; on an unconvertible input unit writes `replacement`
// and skips one unit of `unit` bytes.
std::string IconvAll(const char* to, const char* from, const char* in, size_t inLen, size_t unit,
                     std::string_view replacement) {
  iconv_t cd = iconv_open(to, from);
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
  iconv_close(cd);
  out.resize(used);
  return out;
}

}  // namespace

void ResetLocaleCache() {
  LocaleCharset& cs = Charset();
  std::lock_guard<std::mutex> lock(cs.mu);
  cs.known = false;
}

std::string WideToNarrow(WideStringView s) {
  std::string codeset;
  if (LocaleIsUtf8(&codeset)) return Utf8Encode(s);
  return IconvAll(codeset.c_str(), "UTF-16LE", reinterpret_cast<const char*>(s.data()),
                  s.size() * 2, 2, "?");
}

WideString NarrowToWide(std::string_view s) {
  std::string codeset;
  if (LocaleIsUtf8(&codeset)) return Utf8Decode(s);
  std::string bytes = IconvAll("UTF-16LE", codeset.c_str(), s.data(), s.size(), 1, "\xFD\xFF");
  WideString out(bytes.size() / 2, u'\0');
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

}  // namespace rtl
