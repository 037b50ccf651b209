#include "dom/xmldom.h"

#include <algorithm>
#include <cstdio>

#include "dom/domconst.h"
#include "rtl/SafeCall.h"
#include "rtl/TextConv.h"

using namespace domconst;

const char* const DOMErrorMessages[15] = {
    SIndexSizeErr,        SDOMStringSizeErr,         SHierarchyRequestErr, SWrongDocumentErr,
    SInvalidCharacterErr, SNoDataAllowedErr,         SNoModificationAllowedErr,
    SNotFoundErr,         SNotSupportedErr,          SInuseAttributeErr,   SInvalidStateErr,
    SSyntaxErr,           SInvalidModificationErr,   SNamespaceErr,        SInvalidAccessErr,
};

std::string DefaultVendorDescription;

namespace {

// Plain pointer, constant-initialised: vendors may register from their own
// start-up steps before this unit's dynamic initialisation has run.
TDOMVendorList* registry = nullptr;

// The DOM layer's shutdown step. Vendors unregistering after it find no
// registry, which is why UnregisterVendor never creates one.
struct RegistryShutdown {
  ~RegistryShutdown() { FinalizeVendorRegistry(); }
} registryShutdown;

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string HexStatus(HResult status) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
  return buf;
}

}  // namespace

// ---------------------------------------------------------------------------
// Status check

void RaiseDOMStatus(HResult status, const char* operation) {
  std::optional<std::string> pending = rtl::TakeSafeCallExceptionMsg();
  if (pending && !pending->empty()) throw DOMException(std::move(*pending));
  throw DOMException(
      rtl::Format(SDOMOperationFailed, {operation ? operation : "", HexStatus(status)}));
}

// ---------------------------------------------------------------------------
// Registry

TDOMVendor* TDOMVendorList::FindByDescription(const std::string& description) const {
  for (TDOMVendor* v : FVendors)
    if (v->VendorDescription() == description) return v;
  return nullptr;
}

void TDOMVendorList::Add(TDOMVendor* vendor) {
  if (FindByDescription(vendor->VendorDescription()))
    throw rtl::Exception(
        rtl::Format(SDOMImplementationAlreadyRegistered, {vendor->VendorDescription()}));
  FVendors.push_back(vendor);
}

void TDOMVendorList::Remove(TDOMVendor* vendor) {
  auto it = std::find(FVendors.begin(), FVendors.end(), vendor);
  if (it != FVendors.end()) FVendors.erase(it);
}

TDOMVendorList& VendorRegistry() {
  if (!registry) registry = new TDOMVendorList;
  return *registry;
}

bool VendorRegistryExists() { return registry != nullptr; }

void RegisterVendor(TDOMVendor* vendor) { VendorRegistry().Add(vendor); }

void UnregisterVendor(TDOMVendor* vendor) {
  if (registry) registry->Remove(vendor);
}

TDOMVendor* LookupVendor(const std::string& description) {
  std::string desc = description.empty() ? DefaultVendorDescription : description;
  TDOMVendorList& list = VendorRegistry();
  TDOMVendor* result = nullptr;
  if (desc.empty() && list.Count() > 0)
    result = list.VendorAt(0);
  else
    result = list.FindByDescription(desc);
  if (!result) throw rtl::Exception(rtl::Format(SNoMatchingDOMVendor, {desc}));
  return result;
}

rtl::ComPtr<IDOMImplementation> ImplementationByDescription(const std::string& description) {
  return LookupVendor(description)->GetImplementation();
}

void FinalizeVendorRegistry() {
  delete registry;
  registry = nullptr;
  DefaultVendorDescription.clear();
}

// ---------------------------------------------------------------------------
// Name helpers

bool IsQualifiedName(WideStringView name) { return name.find(u':') != WideStringView::npos; }

WideString PrefixOf(WideStringView name) {
  size_t colon = name.find(u':');
  return colon == WideStringView::npos ? WideString() : WideString(name.substr(0, colon));
}

WideString LocalNameOf(WideStringView name) {
  size_t colon = name.find(u':');
  return colon == WideStringView::npos ? WideString(name) : WideString(name.substr(colon + 1));
}

WideString MakeQualifiedName(WideStringView prefix, WideStringView localName) {
  if (prefix.empty()) return WideString(localName);
  WideString r(prefix);
  r += u':';
  r += localName;
  return r;
}

bool SameTextWide(WideStringView a, WideStringView b) {
  std::string na = rtl::WideToNarrow(a);
  std::string nb = rtl::WideToNarrow(b);
  return na.size() == nb.size() &&
         std::equal(na.begin(), na.end(), nb.begin(),
                    [](char x, char y) { return AsciiUpper(x) == AsciiUpper(y); });
}

bool NodeMatches(IDOMNode* node, WideStringView name, WideStringView namespaceURI) {
  if (!node) return false;
  if (!namespaceURI.empty()) {
    WideString uri;
    DOMCheck(node->GetNamespaceURI(&uri), "GetNamespaceURI");
    if (!SameTextWide(uri, namespaceURI)) return false;
  }
  if (DOMNodeName(node) == name) return true;
  WideString localName;
  DOMCheck(node->GetLocalName(&localName), "GetLocalName");
  return localName == name;
}

rtl::ComPtr<IDOMNodeExtension> RequireNodeExtension(IDOMNode* node) {
  rtl::ComPtr<IDOMNodeExtension> ext = rtl::ComPtr<IDOMNode>(node).try_query<IDOMNodeExtension>();
  if (!ext) throw DOMException(SDOMNotSupported);
  return ext;
}

WideString DOMNodeName(IDOMNode* node) {
  WideString name;
  if (!node) return name;
  DOMCheck(node->GetNodeName(&name), "GetNodeName");
  return name;
}

TNodeType DOMNodeType(IDOMNode* node) {
  uint16_t type = 0;
  if (!node) return ntReserved;
  DOMCheck(node->GetNodeType(&type), "GetNodeType");
  return static_cast<TNodeType>(type & 0xFF);
}

rtl::ComPtr<IDOMNode> DOMFirstChild(IDOMNode* node) {
  rtl::ComPtr<IDOMNode> child;
  DOMCheck(node->GetFirstChild(child.put()), "GetFirstChild");
  return child;
}

rtl::ComPtr<IDOMNode> DOMNextSibling(IDOMNode* node) {
  rtl::ComPtr<IDOMNode> sibling;
  DOMCheck(node->GetNextSibling(sibling.put()), "GetNextSibling");
  return sibling;
}

rtl::ComPtr<IDOMNode> DOMParent(IDOMNode* node) {
  rtl::ComPtr<IDOMNode> parent;
  DOMCheck(node->GetParentNode(parent.put()), "GetParentNode");
  return parent;
}
