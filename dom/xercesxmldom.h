// The "Xerces XML" DOM vendor, bound at run time to libxercesxmldom.so.1, and
// the binary contract between the program and that library.
#pragma once

#include <cstdint>
#include <string>

#include "dom/xmldom.h"

// ---------------------------------------------------------------------------
// Library contract
//
// The library exports three C entry points:
//   void SetCallback(int32_t index, void* routine);
//   void GetDOMImplementation(IDOMImplementation** result);
//   void DoneXML();
// The program calls SetCallback with indices 0..3 right after loading it.
// The library never hands the program memory it must free: wide results are
// made by callback 2, stream arguments are read and written through the
// interface callback 3 makes, and before any operation returns a failure
// status the library reports its message through callback 0 or 1.

// Callback 0: a DOM failure. code is a W3C DOM exception code (1..15), 257 or
// 258 (see DOMErrorText), or 0 when message is the whole text.
using TReportDOMErrorProc = void (*)(WideStringView message, int32_t code);
// Callback 1: a member of an interface the library does not support.
using TReportUnsupportedProc = void (*)(WideStringView memberName);
// Callback 2: *target := a new program wide string holding count UTF-16
// units copied from units (count 0 gives an empty string).
using TMakeWideStringProc = void (*)(WideString* target, const rtl::WideChar* units, int32_t count);
// Callback 3: *result := a counted stream interface over the program stream;
// the interface does not own the stream.
using TWrapStreamProc = void (*)(rtl::TStream* stream, rtl::IStream** result);

enum : int32_t {
  kCallbackReportDOMError = 0,
  kCallbackReportUnsupported = 1,
  kCallbackMakeWideString = 2,
  kCallbackWrapStream = 3,
};

extern "C" {
using TSetCallbackEntry = void (*)(int32_t index, void* routine);
using TGetDOMImplementationEntry = void (*)(IDOMImplementation** result);
using TDoneXMLEntry = void (*)();
}

// Extra DOM error codes of this library.
enum : int32_t {
  kDOMErrorTransformSource = 257,  // TransformNode given a non-document node
  kDOMErrorCreateFile = 258,       // a file could not be created; detail = name
};

// ---------------------------------------------------------------------------
// Vendor

extern const char* const SXercesXML;          // "Xerces XML"
extern const char* const SXercesLibraryName;  // "libxercesxmldom.so.1"

class TXercesDOMImplementationFactory : public TDOMVendor {
 public:
  TXercesDOMImplementationFactory(std::string description, std::string libName);
  // When the library was loaded: calls its DoneXML, then unloads it.
  ~TXercesDOMImplementationFactory() override;
  TXercesDOMImplementationFactory(const TXercesDOMImplementationFactory&) = delete;
  TXercesDOMImplementationFactory& operator=(const TXercesDOMImplementationFactory&) = delete;

  std::string VendorDescription() override { return FDescription; }
  // Loads the library on first use (installing the four callbacks) and asks
  // it for an implementation on every call.
  rtl::ComPtr<IDOMImplementation> GetImplementation() override;

  bool IsLoaded() const { return FLibHandle != nullptr; }

 private:
  void EnsureLibraryLoaded();

  void* FLibHandle = nullptr;
  std::string FDescription;
  std::string FLibName;
};

// The one vendor, created and registered by the unit's start-up step and
// unregistered and destroyed at exit.
extern TXercesDOMImplementationFactory* XercesVendor;

// Text of a DOM error code: codes 1..15 DOMErrorMessages, 257 the
// TransformNode text, 258 "Error creating file %s" with detail, else "".
std::string DOMErrorText(int32_t code, const std::string& detail);
// Opens a shared library by name (the loader's search rules apply); raises
// 'Error loading library "%s": "%s"' with the loader's text on failure.
void* LoadVendorLibrary(const std::string& name);
