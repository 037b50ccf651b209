// The DOM layer: the DOM interfaces as the program uses them, the registry of
// DOM vendors keyed by description, the DOM exceptions and the qualified-name
// helpers.
//
// Every DOM operation returns a status (HResult); results come back through
// out-parameters. Text results are program wide strings that the DOM library
// fills through the MakeWideString callback; interface results are counted
// references the caller owns. Booleans are WordBool (true = -1). A failing
// operation reports its message through a callback first (see
// xercesxmldom.h); DOMCheck turns the status into the exception.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rtl/Exception.h"
#include "rtl/Interface.h"
#include "rtl/Object.h"
#include "rtl/Types.h"
#include "rtl/Variant.h"

namespace rtl {
class TStream;
struct IStream;
}  // namespace rtl

using rtl::HResult;
using rtl::WideString;
using rtl::WideStringView;
using rtl::WordBool;

// W3C DOM node type codes (the low byte of GetNodeType).
enum TNodeType : uint8_t {
  ntReserved = 0,
  ntElement = 1,
  ntAttribute = 2,
  ntText = 3,
  ntCDATASection = 4,
  ntEntityRef = 5,
  ntEntity = 6,
  ntProcessingInstr = 7,
  ntComment = 8,
  ntDocument = 9,
  ntDocumentType = 10,
  ntDocumentFragment = 11,
  ntNotation = 12,
};

// Asynchronous load progress: (sender, load state). The DOM library defines
// the state values.
using TAsyncEventHandler = std::function<void(rtl::TObject* sender, int32_t asyncLoadState)>;

struct IDOMNode;
struct IDOMNodeList;
struct IDOMNamedNodeMap;
struct IDOMAttr;
struct IDOMElement;
struct IDOMDocument;
struct IDOMDocumentType;

#define XMLDOM_IID(xx) {0x2BF4C0##xx, 0x096E, 0x11D4, {0x83, 0xDA, 0x00, 0xC0, 0x4F, 0x60, 0xB2, 0xDD}}

struct IDOMImplementation : rtl::IInterface {
  static constexpr rtl::GUID IID = XMLDOM_IID(E0);
  using Base = rtl::IInterface;
  virtual HResult HasFeature(WideStringView feature, WideStringView version, WordBool* result) = 0;
  virtual HResult CreateDocumentType(WideStringView qualifiedName, WideStringView publicId,
                                     WideStringView systemId, IDOMDocumentType** result) = 0;
  // Empty texts and no type: an empty document.
  virtual HResult CreateDocument(WideStringView namespaceURI, WideStringView qualifiedName,
                                 IDOMDocumentType* docType, IDOMDocument** result) = 0;
};

struct IDOMNode : rtl::IInterface {
  static constexpr rtl::GUID IID = XMLDOM_IID(E1);
  using Base = rtl::IInterface;
  // Qualified name ("#text", "#comment", ... for nodes without a name).
  virtual HResult GetNodeName(WideString* result) = 0;
  // Empty for nodes without a value (elements, documents).
  virtual HResult GetNodeValue(WideString* result) = 0;
  virtual HResult SetNodeValue(WideStringView value) = 0;
  // 16-bit W3C node type.
  virtual HResult GetNodeType(uint16_t* result) = 0;
  virtual HResult GetParentNode(IDOMNode** result) = 0;
  // Live list of children in document order.
  virtual HResult GetChildNodes(IDOMNodeList** result) = 0;
  virtual HResult GetFirstChild(IDOMNode** result) = 0;
  virtual HResult GetLastChild(IDOMNode** result) = 0;
  virtual HResult GetPreviousSibling(IDOMNode** result) = 0;
  virtual HResult GetNextSibling(IDOMNode** result) = 0;
  // Null for nodes that have no attributes (all but elements).
  virtual HResult GetAttributes(IDOMNamedNodeMap** result) = 0;
  // Null for a document node.
  virtual HResult GetOwnerDocument(IDOMDocument** result) = 0;
  // The three name parts; empty when there is none.
  virtual HResult GetNamespaceURI(WideString* result) = 0;
  virtual HResult GetPrefix(WideString* result) = 0;
  virtual HResult GetLocalName(WideString* result) = 0;
  // refChild null appends.
  virtual HResult InsertBefore(IDOMNode* newChild, IDOMNode* refChild, IDOMNode** result) = 0;
  virtual HResult ReplaceChild(IDOMNode* newChild, IDOMNode* oldChild, IDOMNode** result) = 0;
  virtual HResult RemoveChild(IDOMNode* oldChild, IDOMNode** result) = 0;
  virtual HResult AppendChild(IDOMNode* newChild, IDOMNode** result) = 0;
  virtual HResult HasChildNodes(WordBool* result) = 0;
  virtual HResult CloneNode(WordBool deep, IDOMNode** result) = 0;
  virtual HResult Normalize() = 0;
  virtual HResult HasAttributes(WordBool* result) = 0;
};

struct IDOMNodeList : rtl::IInterface {
  static constexpr rtl::GUID IID = XMLDOM_IID(E2);
  using Base = rtl::IInterface;
  // Null when index is out of range.
  virtual HResult Item(int32_t index, IDOMNode** result) = 0;
  virtual HResult GetLength(int32_t* result) = 0;
};

struct IDOMNamedNodeMap : rtl::IInterface {
  static constexpr rtl::GUID IID = XMLDOM_IID(E3);
  using Base = rtl::IInterface;
  // Null when index is out of range. Attributes come in document order.
  virtual HResult Item(int32_t index, IDOMNode** result) = 0;
  virtual HResult GetLength(int32_t* result) = 0;
  virtual HResult GetNamedItem(WideStringView name, IDOMNode** result) = 0;
  virtual HResult SetNamedItem(IDOMNode* arg, IDOMNode** result) = 0;
  virtual HResult RemoveNamedItem(WideStringView name, IDOMNode** result) = 0;
  virtual HResult GetNamedItemNS(WideStringView namespaceURI, WideStringView localName,
                                 IDOMNode** result) = 0;
  virtual HResult SetNamedItemNS(IDOMNode* arg, IDOMNode** result) = 0;
  virtual HResult RemoveNamedItemNS(WideStringView namespaceURI, WideStringView localName,
                                    IDOMNode** result) = 0;
};

struct IDOMAttr : IDOMNode {
  static constexpr rtl::GUID IID = XMLDOM_IID(E5);
  using Base = IDOMNode;
  virtual HResult GetName(WideString* result) = 0;
  virtual HResult GetSpecified(WordBool* result) = 0;
  virtual HResult GetValue(WideString* result) = 0;
  virtual HResult SetValue(WideStringView value) = 0;
  virtual HResult GetOwnerElement(IDOMElement** result) = 0;
};

struct IDOMElement : IDOMNode {
  static constexpr rtl::GUID IID = XMLDOM_IID(E6);
  using Base = IDOMNode;
  virtual HResult GetTagName(WideString* result) = 0;
  // Empty when absent.
  virtual HResult GetAttribute(WideStringView name, WideString* result) = 0;
  virtual HResult SetAttribute(WideStringView name, WideStringView value) = 0;
  virtual HResult RemoveAttribute(WideStringView name) = 0;
  virtual HResult GetAttributeNode(WideStringView name, IDOMAttr** result) = 0;
  virtual HResult SetAttributeNode(IDOMAttr* newAttr, IDOMAttr** result) = 0;
  virtual HResult RemoveAttributeNode(IDOMAttr* oldAttr, IDOMAttr** result) = 0;
  virtual HResult GetElementsByTagName(WideStringView name, IDOMNodeList** result) = 0;
  virtual HResult GetAttributeNS(WideStringView namespaceURI, WideStringView localName,
                                 WideString* result) = 0;
  virtual HResult SetAttributeNS(WideStringView namespaceURI, WideStringView qualifiedName,
                                 WideStringView value) = 0;
  // A qualified name is accepted too: its local part is used.
  virtual HResult RemoveAttributeNS(WideStringView namespaceURI, WideStringView localName) = 0;
  virtual HResult GetAttributeNodeNS(WideStringView namespaceURI, WideStringView localName,
                                     IDOMAttr** result) = 0;
  virtual HResult SetAttributeNodeNS(IDOMAttr* newAttr, IDOMAttr** result) = 0;
  virtual HResult GetElementsByTagNameNS(WideStringView namespaceURI, WideStringView localName,
                                         IDOMNodeList** result) = 0;
  virtual HResult HasAttribute(WideStringView name, WordBool* result) = 0;
  // A qualified name is accepted too: its local part is used.
  virtual HResult HasAttributeNS(WideStringView namespaceURI, WideStringView localName,
                                 WordBool* result) = 0;
};

struct IDOMDocumentType : IDOMNode {
  static constexpr rtl::GUID IID = XMLDOM_IID(EA);
  using Base = IDOMNode;
  virtual HResult GetName(WideString* result) = 0;
  virtual HResult GetPublicId(WideString* result) = 0;
  virtual HResult GetSystemId(WideString* result) = 0;
  virtual HResult GetInternalSubset(WideString* result) = 0;
};

struct IDOMDocument : IDOMNode {
  static constexpr rtl::GUID IID = XMLDOM_IID(F0);
  using Base = IDOMNode;
  virtual HResult GetDoctype(IDOMDocumentType** result) = 0;
  virtual HResult GetDomImplementation(IDOMImplementation** result) = 0;
  // Null when the document has no element.
  virtual HResult GetDocumentElement(IDOMElement** result) = 0;
  virtual HResult GetElementById(WideStringView elementId, IDOMElement** result) = 0;
  // The Create operations make unattached nodes owned by this document.
  virtual HResult CreateElement(WideStringView tagName, IDOMElement** result) = 0;
  virtual HResult CreateDocumentFragment(IDOMNode** result) = 0;
  virtual HResult CreateTextNode(WideStringView data, IDOMNode** result) = 0;
  virtual HResult CreateComment(WideStringView data, IDOMNode** result) = 0;
  virtual HResult CreateCDATASection(WideStringView data, IDOMNode** result) = 0;
  virtual HResult CreateProcessingInstruction(WideStringView target, WideStringView data,
                                              IDOMNode** result) = 0;
  virtual HResult CreateAttribute(WideStringView name, IDOMAttr** result) = 0;
  virtual HResult CreateEntityReference(WideStringView name, IDOMNode** result) = 0;
  virtual HResult GetElementsByTagName(WideStringView tagName, IDOMNodeList** result) = 0;
  virtual HResult ImportNode(IDOMNode* importedNode, WordBool deep, IDOMNode** result) = 0;
  virtual HResult CreateElementNS(WideStringView namespaceURI, WideStringView qualifiedName,
                                  IDOMElement** result) = 0;
  virtual HResult CreateAttributeNS(WideStringView namespaceURI, WideStringView qualifiedName,
                                    IDOMAttr** result) = 0;
  virtual HResult GetElementsByTagNameNS(WideStringView namespaceURI, WideStringView localName,
                                         IDOMNodeList** result) = 0;
};

// Optional on nodes: text forms and transforms.
struct IDOMNodeExtension : IDOMNode {
  static constexpr rtl::GUID IID = XMLDOM_IID(F4);
  using Base = IDOMNode;
  // The text content of the node and its descendants.
  virtual HResult GetText(WideString* result) = 0;
  // The node serialised as XML text (no declaration for non-document nodes).
  virtual HResult GetXMLText(WideString* result) = 0;
  // Replaces the node's content by a single text.
  virtual HResult SetText(WideStringView value) = 0;
  // Applies the style sheet (a DOM node holding an XSLT document) to this
  // node and returns the output as text.
  virtual HResult TransformToText(IDOMNode* styleSheet, WideString* result) = 0;
  // Applies the style sheet and loads the output into outputDocument.
  virtual HResult TransformToDocument(IDOMNode* styleSheet, IDOMDocument* outputDocument) = 0;
  // Whether the node is an element whose only child is a text node, and
  // then that text into *text (left alone otherwise): one call where the
  // node interfaces take a wrapper per child looked at.
  virtual HResult ReadTextElement(WideString* text, WordBool* result) = 0;
};

// From the document: loading and saving.
struct IDOMPersist : rtl::IInterface {
  static constexpr rtl::GUID IID = XMLDOM_IID(F1);
  using Base = rtl::IInterface;
  // The whole document as XML text.
  virtual HResult GetDocumentText(WideString* result) = 0;
  virtual HResult GetAsyncLoadState(int32_t* result) = 0;
  // source holds a file name. *result false when parsing fails (then
  // IDOMParseError tells why).
  virtual HResult LoadFromSource(const rtl::OleVariant& source, WordBool* result) = 0;
  virtual HResult LoadFromStream(rtl::TStream* stream, WordBool* result) = 0;
  virtual HResult LoadXMLText(WideStringView xml, WordBool* result) = 0;
  // destination holds a file name.
  virtual HResult SaveToDestination(const rtl::OleVariant& destination) = 0;
  virtual HResult SaveToStream(rtl::TStream* stream) = 0;
  virtual HResult SetAsyncLoadHandler(rtl::TObject* sender, const TAsyncEventHandler& handler) = 0;
};

// From the document after a failed load.
struct IDOMParseError : rtl::IInterface {
  static constexpr rtl::GUID IID = XMLDOM_IID(F2);
  using Base = rtl::IInterface;
  virtual HResult GetErrorCode(int32_t* result) = 0;
  virtual HResult GetURL(WideString* result) = 0;
  virtual HResult GetReason(WideString* result) = 0;
  // The text of the failing line.
  virtual HResult GetSourceText(WideString* result) = 0;
  virtual HResult GetLine(int32_t* result) = 0;
  virtual HResult GetLinePos(int32_t* result) = 0;
  virtual HResult GetFilePos(int32_t* result) = 0;
};

// Optional on the document: parser settings for the next load.
struct IDOMParseOptions : rtl::IInterface {
  static constexpr rtl::GUID IID = XMLDOM_IID(F3);
  using Base = rtl::IInterface;
  virtual HResult GetAsync(WordBool* result) = 0;
  virtual HResult GetPreserveWhiteSpace(WordBool* result) = 0;
  virtual HResult GetResolveExternals(WordBool* result) = 0;
  virtual HResult GetValidate(WordBool* result) = 0;
  virtual HResult SetAsync(WordBool value) = 0;
  virtual HResult SetPreserveWhiteSpace(WordBool value) = 0;
  virtual HResult SetResolveExternals(WordBool value) = 0;
  virtual HResult SetValidate(WordBool value) = 0;
};

// Optional on the document: the values of the XML declaration.
struct IDOMXMLDeclaration : rtl::IInterface {
  static constexpr rtl::GUID IID = {0x7C192633, 0xC267, 0x483C, {0xB0, 0xD5, 0x89, 0x28, 0x9A, 0x14, 0xD5, 0x22}};
  using Base = rtl::IInterface;
  virtual HResult GetEncoding(WideString* result) = 0;
  virtual HResult GetStandalone(WideString* result) = 0;
  virtual HResult GetVersion(WideString* result) = 0;
  virtual HResult SetEncoding(WideStringView value) = 0;
  virtual HResult SetStandalone(WideStringView value) = 0;
  virtual HResult SetVersion(WideStringView value) = 0;
};

#undef XMLDOM_IID

// ---------------------------------------------------------------------------
// Status check

// Turns a failed status into the exception the layers raise: a DOMException
// carrying the message the DOM library reported through its callbacks, or,
// when it reported nothing, a message naming the operation.
[[noreturn]] void RaiseDOMStatus(HResult status, const char* operation);
inline void DOMCheck(HResult status, const char* operation) {
  if (rtl::Failed(status)) RaiseDOMStatus(status, operation);
}

// ---------------------------------------------------------------------------
// Exceptions

class DOMException : public rtl::Exception {
 public:
  explicit DOMException(std::string message) : rtl::Exception(std::move(message)) {}
  // DOM error code; the layer raises with a message only, so 0.
  int32_t Code = 0;
};

class EDOMParseError : public rtl::Exception {
 public:
  EDOMParseError(rtl::ComPtr<IDOMParseError> parseError, std::string message)
      : rtl::Exception(std::move(message)), ParseError(std::move(parseError)) {}
  rtl::ComPtr<IDOMParseError> ParseError;
};

// Messages of the W3C DOM exception codes 1..15; DOMErrorMessages[code - 1].
extern const char* const DOMErrorMessages[15];

// ---------------------------------------------------------------------------
// Vendors and their registry

class TDOMVendor {
 public:
  virtual ~TDOMVendor() = default;
  // The key under which the vendor is registered and looked up.
  virtual std::string VendorDescription() = 0;
  virtual rtl::ComPtr<IDOMImplementation> GetImplementation() = 0;
};

using TDOMVendorArray = std::vector<TDOMVendor*>;

// Holds vendors by reference; never creates or destroys them.
class TDOMVendorList {
 public:
  int32_t Count() const { return static_cast<int32_t>(FVendors.size()); }
  // No range check: 0 <= index < Count().
  TDOMVendor* VendorAt(int32_t index) const { return FVendors[static_cast<size_t>(index)]; }
  // First vendor whose description equals the text exactly; null if none.
  TDOMVendor* FindByDescription(const std::string& description) const;
  // Appends; raises '"%s" DOMImplementation already registered' for a
  // duplicate description and leaves the list unchanged.
  void Add(TDOMVendor* vendor);
  // Removes the vendor (by identity) if present, keeping the others' order.
  void Remove(TDOMVendor* vendor);

 private:
  TDOMVendorArray FVendors;
};

// The single registry, created on the first call.
TDOMVendorList& VendorRegistry();
// Whether the registry exists now; never creates it.
bool VendorRegistryExists();
void RegisterVendor(TDOMVendor* vendor);
// Does nothing when the registry does not exist (never created or released).
void UnregisterVendor(TDOMVendor* vendor);
// Never returns null: raises 'No matching DOM Vendor: "%s"' instead. An empty
// description means DefaultVendorDescription, then the first vendor.
TDOMVendor* LookupVendor(const std::string& description);
rtl::ComPtr<IDOMImplementation> ImplementationByDescription(const std::string& description);
// Description used by LookupVendor for an empty one; empty in this program.
extern std::string DefaultVendorDescription;
// The DOM layer's shutdown step: destroys the registry (not the vendors) and
// clears DefaultVendorDescription. Runs at exit; tests may call it.
void FinalizeVendorRegistry();

// ---------------------------------------------------------------------------
// Name helpers

// True when the name contains ':' anywhere.
bool IsQualifiedName(WideStringView name);
// Text before the first ':'; empty when there is none.
WideString PrefixOf(WideStringView name);
// Text after the first ':'; the whole name when there is none.
WideString LocalNameOf(WideStringView name);
// prefix + ":" + localName; localName alone when prefix is empty.
WideString MakeQualifiedName(WideStringView prefix, WideStringView localName);
// Equal after conversion to narrow text, letters A-Z compared without case.
bool SameTextWide(WideStringView a, WideStringView b);
// Node matches when namespaceURI is empty or equals the node's (any case),
// and name equals its qualified or its local name exactly.
bool NodeMatches(IDOMNode* node, WideStringView name, WideStringView namespaceURI);
// The node's IDOMNodeExtension; raises DOMException "Selected DOM Vendor does
// not support this property or method" when absent (or node is null).
rtl::ComPtr<IDOMNodeExtension> RequireNodeExtension(IDOMNode* node);

// Small conveniences over the status-returning calls, for code of the layers.
// The node's qualified name; empty for a null node.
WideString DOMNodeName(IDOMNode* node);
// The low byte of the node's type; ntReserved for a null node.
TNodeType DOMNodeType(IDOMNode* node);
// The node's first child, next sibling and parent; null where there is none.
rtl::ComPtr<IDOMNode> DOMFirstChild(IDOMNode* node);
rtl::ComPtr<IDOMNode> DOMNextSibling(IDOMNode* node);
rtl::ComPtr<IDOMNode> DOMParent(IDOMNode* node);
