// Every message text of the DOM layer. Texts with "%s" are filled by
// rtl::Format; some are matched by users and tests, so keep them verbatim.
#pragma once

namespace domconst {

// Vendor registry.
inline constexpr const char* SNoMatchingDOMVendor = "No matching DOM Vendor: \"%s\"";
inline constexpr const char* SDOMImplementationAlreadyRegistered =
    "\"%s\" DOMImplementation already registered";
inline constexpr const char* SDOMNotSupported =
    "Selected DOM Vendor does not support this property or method";

// W3C DOM exception codes 1..15, in code order.
inline constexpr const char* SIndexSizeErr = "Index size error";
inline constexpr const char* SDOMStringSizeErr = "DOMString size error";
inline constexpr const char* SHierarchyRequestErr = "Hierarchy request error";
inline constexpr const char* SWrongDocumentErr = "Wrong document error";
inline constexpr const char* SInvalidCharacterErr = "Invalid character error";
inline constexpr const char* SNoDataAllowedErr = "No data allowed error";
inline constexpr const char* SNoModificationAllowedErr = "No modification allowed error";
inline constexpr const char* SNotFoundErr = "Not found error";
inline constexpr const char* SNotSupportedErr = "Not supported error";
inline constexpr const char* SInuseAttributeErr = "Inuse attribute error";
inline constexpr const char* SInvalidStateErr = "Invalid state error";
inline constexpr const char* SSyntaxErr = "Syntax error";
inline constexpr const char* SInvalidModificationErr = "Invalid modification error";
inline constexpr const char* SNamespaceErr = "Namespace error";
inline constexpr const char* SInvalidAccessErr = "Invalid access error";

// Failed DOM operation whose library set no message (or an empty one):
// operation name, status in hex.
inline constexpr const char* SDOMOperationFailed =
    "DOM operation %s failed with status %s and no message from the DOM library";

// The Xerces vendor and its library.
inline constexpr const char* SErrorLoadingLib = "Error loading library \"%s\": \"%s\"";
inline constexpr const char* SMissingEntryPoint =
    "Library \"%s\" does not export the entry point \"%s\": \"%s\"";
// The loader found the entry point's name, bound to a null address.
inline constexpr const char* SEntryPointIsNull = "the entry point's address is null";
inline constexpr const char* SUnsupportedMember =
    "Property or Method \"%s\" is not supported by DOM Vendor \"%s\"";
inline constexpr const char* STransformNodeSource =
    "TransformNode most be called using a document node (not a document element) for the "
    "source and the stylesheet.";
inline constexpr const char* SErrorCreatingFile = "Error creating file %s";

}  // namespace domconst
