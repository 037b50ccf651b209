// Message texts and fixed names of the XML document layer. Texts are quoted
// as the layer raises them; callers and tests compare against these.
#pragma once

namespace XMLConst {

// Messages (narrow; "%s" / "%d" are filled by rtl::Format).
inline constexpr const char* SNodeNotFound = "Node \"%s\" not found";
inline constexpr const char* SMissingNode = "IDOMNode required";
// A null argument where a node, a document or a stream is needed.
inline constexpr const char* SMissingXMLNode = "IXMLNode required";
inline constexpr const char* SMissingDocument = "IXMLDocument required";
inline constexpr const char* SMissingStream = "Stream required";
inline constexpr const char* SNoAttributes = "Attributes are not supported on this node type";
inline constexpr const char* SInvalidNodeType = "Invalid node type";
inline constexpr const char* SMismatchedRegItems = "Mismatched paramaters to RegisterChildNodes";
inline constexpr const char* SNotSingleTextNode = "Element does not contain a single text node";
inline constexpr const char* SNodeReadOnly = "Node is readonly";
inline constexpr const char* SMissingFileName = "FileName cannot be blank";
// A save writes a new file beside the old one and puts it into its place.
inline constexpr const char* SCreateFileFailed = "Cannot create a file beside \"%s\": %s";
inline constexpr const char* SReplaceFileFailed = "Cannot replace \"%s\": %s";
// A file with other names (hard links), or in a folder the user cannot
// write, is rewritten in place from a complete copy written first: the
// target, then the reason, then the copy that holds the saved document.
inline constexpr const char* SCreateCopyFailed = "Cannot save \"%s\": no copy of it could be written first: %s";
inline constexpr const char* SRewriteFailed =
    "Rewriting \"%s\" in place failed: %s; the saved document is in \"%s\"";
inline constexpr const char* SNotARegularTarget = "Cannot replace \"%s\": it is not a regular file";
// Values are checked when they are set: a NUL would cut them short.
inline constexpr const char* SNulInValue = "Cannot set the value of node \"%s\": it contains the character U+0000, which XML does not allow";
inline constexpr const char* SNotActive = "No active document";
inline constexpr const char* SMissingParseOpts = "DOM Implementation does not support IDOMParseOptions";
inline constexpr const char* SOnlyWhenActive = "Refresh is only supported if the FileName or XML properties are set";
inline constexpr const char* SLine = "Line";
// reason, line feed, "Line", line number, line feed, start of the source text
inline constexpr const char* SParseErrorFmt = "%s%s%s: %d%s%s";

// Names and namespaces the layer writes or looks for.
inline constexpr const char16_t* SXMLNS = u"xmlns";
inline constexpr const char16_t* SXMLNSColon = u"xmlns:";
inline constexpr const char16_t* SXMLNamespaceURI = u"http://www.w3.org/2000/xmlns/";
inline constexpr const char16_t* SXMLSchemaInstanceURI = u"http://www.w3.org/2001/XMLSchema-instance";
inline constexpr const char16_t* SSchemaLocation = u"schemaLocation";
inline constexpr const char16_t* SNoNamespaceSchemaLocation = u"noNamespaceSchemaLocation";
inline constexpr const char16_t* SSystemAttr = u"SYSTEM";
inline constexpr const char16_t* SXMLDeclTarget = u"xml";
inline constexpr const char16_t* SDefaultPrefixBase = u"NS";
inline constexpr const char* SVersion = "version";
inline constexpr const char* SEncoding = "encoding";
inline constexpr const char* SStandalone = "standalone";
inline constexpr const char* SDefaultVersion = "1.0";
inline constexpr const char* SUTF8 = "UTF-8";
inline constexpr const char* SDOMVendorDesc = "DOMVendorDesc";

}  // namespace XMLConst
