// A stand-in for the DOM library, loaded by the vendor tests. It records how
// the vendor drives it (SetCallback calls, implementation requests, DoneXML)
// and, when TESTDOMLIB_MARKER names a file, appends "load", "DoneXML" and
// "unload" lines to it so a test sees the order across dlopen/dlclose.
//
// Built in variants: TESTDOMLIB_NO_SETCALLBACK drops SetCallback,
// TESTDOMLIB_NO_GETIMPL drops GetDOMImplementation and DoneXML.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dom/xercesxmldom.h"

#define TESTDOMLIB_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kMaxCalls = 32;
int setCallbackCalls = 0;
int32_t setCallbackIndices[kMaxCalls];
void* routines[4] = {};
int getImplCalls = 0;
int dirtyResultVariables = 0;
int doneCalls = 0;

void Mark(const char* line) {
  const char* path = std::getenv("TESTDOMLIB_MARKER");
  if (!path || !*path) return;
  if (FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "%s\n", line);
    std::fclose(f);
  }
}

__attribute__((constructor)) void OnLoad() { Mark("load"); }
__attribute__((destructor)) void OnUnload() { Mark("unload"); }

int32_t ParseCode(WideStringView text) {
  int32_t code = 0;
  for (char16_t c : text)
    if (c >= u'0' && c <= u'9') code = code * 10 + (c - u'0');
  return code;
}

// Each operation fails in its own way, the way the real library does:
// report through a callback first, then return the failure status.
class FakeImplementation : public rtl::TInterfacedObject<IDOMImplementation> {
 public:
  // Reports `feature` with the DOM error code written in `version`.
  HResult HasFeature(WideStringView feature, WideStringView version, WordBool*) override {
    if (auto report = reinterpret_cast<TReportDOMErrorProc>(routines[kCallbackReportDOMError]))
      report(feature, ParseCode(version));
    return rtl::E_FAIL_;
  }
  HResult CreateDocumentType(WideStringView, WideStringView, WideStringView,
                             IDOMDocumentType**) override {
    if (auto report =
            reinterpret_cast<TReportUnsupportedProc>(routines[kCallbackReportUnsupported]))
      report(u"CreateDocumentType");
    return rtl::E_NOTIMPL_;
  }
  // Fails without reporting anything.
  HResult CreateDocument(WideStringView, WideStringView, IDOMDocumentType*,
                         IDOMDocument**) override {
    return rtl::E_FAIL_;
  }
};

}  // namespace

#ifndef TESTDOMLIB_NO_SETCALLBACK
TESTDOMLIB_EXPORT void SetCallback(int32_t index, void* routine) {
  if (setCallbackCalls < kMaxCalls) setCallbackIndices[setCallbackCalls] = index;
  ++setCallbackCalls;
  if (index >= 0 && index < 4) routines[index] = routine;
}
#endif

#ifndef TESTDOMLIB_NO_GETIMPL
TESTDOMLIB_EXPORT void GetDOMImplementation(IDOMImplementation** result) {
  ++getImplCalls;
  if (*result) ++dirtyResultVariables;
  // TESTDOMLIB_REFUSE: the library's own failure path, a report and no
  // implementation.
  if (const char* why = std::getenv("TESTDOMLIB_REFUSE")) {
    const std::u16string text(why, why + std::strlen(why));
    if (auto report = reinterpret_cast<TReportDOMErrorProc>(routines[kCallbackReportDOMError])) report(text, 0);
    return;
  }
  *result = new FakeImplementation;
  (*result)->AddRef();
}

TESTDOMLIB_EXPORT void DoneXML() {
  ++doneCalls;
  Mark("DoneXML");
}
#endif

TESTDOMLIB_EXPORT int TestLib_SetCallbackCalls() { return setCallbackCalls; }
TESTDOMLIB_EXPORT int32_t TestLib_SetCallbackIndex(int call) {
  return call >= 0 && call < kMaxCalls ? setCallbackIndices[call] : -1;
}
TESTDOMLIB_EXPORT void* TestLib_Routine(int32_t index) {
  return index >= 0 && index < 4 ? routines[index] : nullptr;
}
TESTDOMLIB_EXPORT int TestLib_GetImplCalls() { return getImplCalls; }
TESTDOMLIB_EXPORT int TestLib_DirtyResultVariables() { return dirtyResultVariables; }
TESTDOMLIB_EXPORT int TestLib_DoneCalls() { return doneCalls; }
