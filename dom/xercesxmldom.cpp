#include "dom/xercesxmldom.h"

#include <dlfcn.h>

#include <mutex>
#include <type_traits>
#include <utility>

#include "dom/domconst.h"
#include "rtl/SafeCall.h"
#include "rtl/Streams.h"
#include "rtl/TextConv.h"

using namespace domconst;

const char* const SXercesXML = "Xerces XML";
const char* const SXercesLibraryName = "libxercesxmldom.so.1";

TXercesDOMImplementationFactory* XercesVendor = nullptr;

namespace {

const char* const kSetCallbackEntry = "SetCallback";
const char* const kGetDOMImplementationEntry = "GetDOMImplementation";
const char* const kDoneXMLEntry = "DoneXML";

std::string LoaderError() {
  const char* e = dlerror();
  return e ? e : "";
}

// Owns one dlopen() reference; closing happens exactly once, whichever way
// the owner leaves.
class LibraryHandle {
 public:
  LibraryHandle() = default;
  explicit LibraryHandle(void* handle) noexcept : handle_(handle) {}
  LibraryHandle(const LibraryHandle&) = delete;
  LibraryHandle& operator=(const LibraryHandle&) = delete;
  LibraryHandle(LibraryHandle&& o) noexcept : handle_(std::exchange(o.handle_, nullptr)) {}
  LibraryHandle& operator=(LibraryHandle&& o) noexcept {
    if (this != &o) {
      Close();
      handle_ = std::exchange(o.handle_, nullptr);
    }
    return *this;
  }
  ~LibraryHandle() { Close(); }

  // Raises 'Error loading library' with the loader's text when it fails.
  static LibraryHandle Open(const std::string& name) {
    dlerror();
    void* h = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) throw rtl::Exception(rtl::Format(SErrorLoadingLib, {name, LoaderError()}));
    return LibraryHandle(h);
  }

  void* get() const noexcept { return handle_; }
  void* release() noexcept { return std::exchange(handle_, nullptr); }
  void Close() noexcept {
    if (handle_) dlclose(std::exchange(handle_, nullptr));
  }

 private:
  void* handle_ = nullptr;
};

// The entry point, or null with the loader's reason in *error.
void* FindEntry(void* handle, const char* entry, std::string* error) {
  dlerror();
  void* p = dlsym(handle, entry);
  std::string e = LoaderError();
  if (!p && error) *error = e.empty() ? std::string(SEntryPointIsNull) : std::move(e);
  return p;
}

// Raises the missing-entry error rather than handing back a null routine
// that the caller would jump to.
template <class Entry>
Entry RequireEntry(void* handle, const std::string& libName, const char* entry) {
  std::string error;
  void* p = FindEntry(handle, entry, &error);
  if (!p) throw rtl::Exception(rtl::Format(SMissingEntryPoint, {libName, entry, error}));
  return reinterpret_cast<Entry>(p);
}

// ---------------------------------------------------------------------------
// Callbacks handed to the library. They run inside a library call, so they
// must not throw: the library is C code as far as unwinding goes.

void ReportDOMError(WideStringView message, int32_t code) {
  try {
    std::string text = rtl::WideToNarrow(message);
    rtl::SetSafeCallExceptionMsg(code != 0 ? DOMErrorText(code, text) : std::move(text));
  } catch (...) {
  }
}

void ReportUnsupported(WideStringView memberName) {
  try {
    rtl::SetSafeCallExceptionMsg(
        rtl::Format(SUnsupportedMember, {rtl::WideToNarrow(memberName), SXercesXML}));
  } catch (...) {
  }
}

void MakeWideString(WideString* target, const rtl::WideChar* units, int32_t count) {
  if (!target) return;
  try {
    if (!units || count <= 0)
      target->clear();
    else
      target->assign(units, static_cast<size_t>(count));
  } catch (...) {
    target->clear();
  }
}

void WrapStream(rtl::TStream* stream, rtl::IStream** result) {
  if (!result) return;
  *result = nullptr;
  if (!stream) return;
  try {
    rtl::ComPtr<rtl::IStream> adapter(new rtl::TStreamAdapter(stream));
    *result = adapter.detach();
  } catch (...) {
  }
}

static_assert(std::is_same_v<decltype(&ReportDOMError), TReportDOMErrorProc>);
static_assert(std::is_same_v<decltype(&ReportUnsupported), TReportUnsupportedProc>);
static_assert(std::is_same_v<decltype(&MakeWideString), TMakeWideStringProc>);
static_assert(std::is_same_v<decltype(&WrapStream), TWrapStreamProc>);

// The vendor's start-up and shutdown steps.
struct XercesVendorUnit {
  XercesVendorUnit() {
    XercesVendor = new TXercesDOMImplementationFactory(SXercesXML, SXercesLibraryName);
    RegisterVendor(XercesVendor);
  }
  ~XercesVendorUnit() {
    UnregisterVendor(XercesVendor);
    delete std::exchange(XercesVendor, nullptr);
  }
} xercesVendorUnit;

}  // namespace

std::string DOMErrorText(int32_t code, const std::string& detail) {
  if (code >= 1 && code <= 15) return DOMErrorMessages[code - 1];
  if (code == kDOMErrorTransformSource) return STransformNodeSource;
  if (code == kDOMErrorCreateFile) return rtl::Format(SErrorCreatingFile, {detail});
  return std::string();
}

void* LoadVendorLibrary(const std::string& name) { return LibraryHandle::Open(name).release(); }

TXercesDOMImplementationFactory::TXercesDOMImplementationFactory(std::string description,
                                                                 std::string libName)
    : FDescription(std::move(description)), FLibName(std::move(libName)) {}

TXercesDOMImplementationFactory::~TXercesDOMImplementationFactory() {
  if (!FLibHandle) return;
  LibraryHandle lib(std::exchange(FLibHandle, nullptr));
  // A library without DoneXML has nothing to finish; it is still unloaded.
  if (auto done = reinterpret_cast<TDoneXMLEntry>(FindEntry(lib.get(), kDoneXMLEntry, nullptr))) {
    try {
      done();
    } catch (...) {
    }
  }
}

void TXercesDOMImplementationFactory::EnsureLibraryLoaded() {
  // Two threads asking for their first implementation at once load the
  // library once; the one that waited sees the handle and the callbacks set.
  static std::mutex loading;
  std::lock_guard<std::mutex> lock(loading);
  if (FLibHandle) return;
  LibraryHandle lib(LoadVendorLibrary(FLibName));
  // Without SetCallback the library cannot report failures; leaving it
  // unloaded lets a later request try again.
  auto setCallback = RequireEntry<TSetCallbackEntry>(lib.get(), FLibName, kSetCallbackEntry);
  setCallback(kCallbackReportDOMError, reinterpret_cast<void*>(&ReportDOMError));
  setCallback(kCallbackReportUnsupported, reinterpret_cast<void*>(&ReportUnsupported));
  setCallback(kCallbackMakeWideString, reinterpret_cast<void*>(&MakeWideString));
  setCallback(kCallbackWrapStream, reinterpret_cast<void*>(&WrapStream));
  FLibHandle = lib.release();
}

rtl::ComPtr<IDOMImplementation> TXercesDOMImplementationFactory::GetImplementation() {
  EnsureLibraryLoaded();
  auto getImpl =
      RequireEntry<TGetDOMImplementationEntry>(FLibHandle, FLibName, kGetDOMImplementationEntry);
  rtl::ComPtr<IDOMImplementation> result;
  getImpl(result.put());
  // A library that could not make its implementation reported why.
  if (!result) RaiseDOMStatus(rtl::E_FAIL_, kGetDOMImplementationEntry);
  return result;
}
