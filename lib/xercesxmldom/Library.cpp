// Entry points of the library, the callbacks the program installs, the
// failure path and Xerces start-up and shutdown.
#include <dlfcn.h>

#include <exception>
#include <mutex>

#include <xercesc/dom/DOMException.hpp>
#include <xercesc/sax/SAXException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include "lib/xercesxmldom/nodes/Common.h"

namespace xdom {

IDOMImplementation* NewImplementation();

namespace {

Callbacks gCallbacks;
// Xerces is started by the first request for an implementation, whichever
// thread makes it, and may be started again after DoneXML ended it.
std::mutex gXercesLock;
bool gXercesUp = false;

void Report(int32_t code, std::u16string_view message) {
  if (gCallbacks.reportError) gCallbacks.reportError(message, code);
}

void EnsureXerces() {
  std::lock_guard<std::mutex> lock(gXercesLock);
  if (!gXercesUp) {
    xc::XMLPlatformUtils::Initialize();
    gXercesUp = true;
  }
}

}  // namespace

Callbacks& TheCallbacks() { return gCallbacks; }

void Put(WideString* target, const char16_t* units, size_t count) {
  if (!target) return;
  if (gCallbacks.makeWide) {
    gCallbacks.makeWide(target, units, static_cast<int32_t>(count));
  } else {
    target->assign(units ? units : u"", count);
  }
}

std::u16string FormatMsg(std::u16string_view text, std::u16string_view arg) {
  std::u16string r(text);
  size_t at = r.find(u"%s");
  if (at != std::u16string::npos) r.replace(at, 2, arg);
  return r;
}

std::u16string FormatMsg(std::u16string_view text, std::u16string_view first, std::u16string_view second) {
  std::u16string r(text);
  size_t at = r.find(u"%s");
  if (at == std::u16string::npos) return r;
  r.replace(at, 2, first);
  // Searched after the first argument, which may hold "%s" itself.
  at = r.find(u"%s", at + first.size());
  if (at != std::u16string::npos) r.replace(at, 2, second);
  return r;
}

HResult ReportCurrentException() noexcept {
  try {
    try {
      throw;
    } catch (const Failure& f) {
      Report(f.code, f.message);
    } catch (const UnsupportedMember& u) {
      if (gCallbacks.reportUnsupported) gCallbacks.reportUnsupported(u.member);
    } catch (const xc::DOMException& e) {
      // Codes past the W3C table (validation, type mismatch) travel as text.
      int32_t code = static_cast<int32_t>(e.code);
      const XMLCh* m = e.getMessage();
      std::u16string_view text = m ? std::u16string_view(m) : std::u16string_view();
      if (code >= 1 && code <= 15) {
        Report(code, text);
      } else {
        Report(0, text);
      }
    } catch (const xc::OutOfMemoryException&) {
      Report(0, msg::kOutOfMemory);
    } catch (const xc::XMLException& e) {
      Report(0, e.getMessage() ? e.getMessage() : msg::kUnexpected);
    } catch (const xc::SAXException& e) {
      Report(0, e.getMessage() ? e.getMessage() : msg::kUnexpected);
    } catch (const std::bad_alloc&) {
      Report(0, msg::kOutOfMemory);
    } catch (const std::exception& e) {
      Report(0, Utf8ToUtf16(e.what()));
    } catch (...) {
      Report(0, msg::kUnexpected);
    }
  } catch (...) {
    // Reporting itself failed (no memory for the text): the status remains.
  }
  return rtl::E_FAIL_;
}

void AppendUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string Utf16ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(cp, out);
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    char32_t cp = b;
    size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    bool ok = len > 0 && i + len <= s.size();
    if (len > 1) cp = b & (0x7F >> len);
    for (size_t k = 1; ok && k < len; ++k) {
      auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!ok) {
      out += static_cast<char16_t>(b);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += len;
  }
  return out;
}

xc::DOMImplementation* XercesImpl() {
  static const XMLCh kCoreLS[] = u"Core";
  return xc::DOMImplementationRegistry::getDOMImplementation(kCoreLS);
}

}  // namespace xdom

// ---------------------------------------------------------------------------
// Exported entry points. Nothing may escape them.

#define XDOM_EXPORT extern "C" __attribute__((visibility("default")))

XDOM_EXPORT void SetCallback(int32_t index, void* routine) {
  auto& cb = xdom::TheCallbacks();
  switch (index) {
    case kCallbackReportDOMError:
      cb.reportError = reinterpret_cast<TReportDOMErrorProc>(routine);
      break;
    case kCallbackReportUnsupported:
      cb.reportUnsupported = reinterpret_cast<TReportUnsupportedProc>(routine);
      break;
    case kCallbackMakeWideString:
      cb.makeWide = reinterpret_cast<TMakeWideStringProc>(routine);
      break;
    case kCallbackWrapStream:
      cb.wrapStream = reinterpret_cast<TWrapStreamProc>(routine);
      break;
    default:
      break;
  }
}

XDOM_EXPORT void GetDOMImplementation(IDOMImplementation** result) {
  if (!result) return;
  *result = nullptr;
  try {
    xdom::EnsureXerces();
    *result = xdom::NewImplementation();
  } catch (...) {
    xdom::ReportCurrentException();
  }
}

XDOM_EXPORT void DoneXML() {
  try {
    // Documents the program still holds would be released after Xerces is
    // gone, or after the library is unloaded: leave Xerces up and keep the
    // library mapped (the process is ending anyway).
    if (xdom::XDoc::LiveCount() > 0) {
      Dl_info self;
      if (dladdr(reinterpret_cast<void*>(&DoneXML), &self) && self.dli_fname)
        dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
      return;
    }
    std::lock_guard<std::mutex> lock(xdom::gXercesLock);
    if (!xdom::gXercesUp) return;
    xdom::xc::XMLPlatformUtils::Terminate();
    xdom::gXercesUp = false;
  } catch (...) {
  }
}
