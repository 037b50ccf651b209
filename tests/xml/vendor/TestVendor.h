// A DOM vendor for tests that serves the real DOM library's implementation
// through forwarding objects which refuse chosen optional interfaces, so that
// the document layer's paths for a plainer DOM can be exercised against real
// parsing and serialisation.
#pragma once

#include <cstdint>
#include <string>

#include "dom/xmldom.h"

namespace testvendor {

// Optional DOM interfaces a forwarding DOM can refuse; combine with |.
enum THiddenInterface : uint32_t {
  hiNone = 0,
  hiParseOptions = 1u << 0,
  hiNodeExtension = 1u << 1,
  hiXMLDeclaration = 1u << 2,
  hiPersist = 1u << 3,
  // Not an interface: SaveToDestination writes the start of the document to
  // the destination and then fails, as a full disk would.
  hiFailingSaves = 1u << 8,
};

// What the real library always offers and a plain DOM lacks.
inline constexpr uint32_t kHideOptional = hiParseOptions | hiNodeExtension | hiXMLDeclaration;

inline constexpr const char* kTestVendorDesc = "Test DOM";
inline constexpr const char* kTestVendorNoPersistDesc = "Test DOM without persistence";
inline constexpr const char* kTestVendorFailingSaveDesc = "Test DOM with failing saves";

// Registers itself under `description` on construction and unregisters on
// destruction. Every object it hands out (implementation, documents, nodes,
// lists, maps) forwards to the object of the vendor named `innerDescription`
// and refuses the interfaces in `hidden`; arguments are unwrapped before they
// reach the inner DOM. A node keeps one forwarding object while it is alive,
// so identity comparisons of DOM references still work.
class TTestDOMVendor : public TDOMVendor {
 public:
  TTestDOMVendor(std::string description, uint32_t hidden,
                 std::string innerDescription = "Xerces XML");
  ~TTestDOMVendor() override;
  TTestDOMVendor(const TTestDOMVendor&) = delete;
  TTestDOMVendor& operator=(const TTestDOMVendor&) = delete;

  std::string VendorDescription() override { return FDescription; }
  // A new forwarding implementation over the inner vendor's implementation;
  // raises the registry's error when the inner vendor is not registered.
  rtl::ComPtr<IDOMImplementation> GetImplementation() override;

  uint32_t Hidden() const { return FHidden; }

 private:
  std::string FDescription;
  uint32_t FHidden;
  std::string FInnerDescription;
};

// Forwarding objects of every kind currently alive; 0 once every reference
// handed out by the test vendors has been released.
int32_t LiveForwarderCount();

// True when the reference is one of the test vendor's forwarding objects.
bool IsForwarder(rtl::IInterface* intf);

}  // namespace testvendor
