// Message texts that the DOM library reports through its failure callback.
#pragma once

namespace xdom::msg {

inline constexpr char16_t kOutOfMemory[] = u"Out of memory";
inline constexpr char16_t kUnexpected[] = u"Unexpected failure in the DOM library";
inline constexpr char16_t kNotOurNode[] = u"The node does not belong to this DOM implementation";
inline constexpr char16_t kNoStreamCallback[] = u"No stream callback has been installed";
inline constexpr char16_t kNoStream[] = u"No stream given";
inline constexpr char16_t kNotAFileName[] = u"The source is not a file name";
// The file name, then the system's reason.
inline constexpr char16_t kCannotOpenFile[] = u"Cannot open file \"%s\": %s";
inline constexpr char16_t kNotARegularFile[] = u"\"%s\" is not a regular file";
inline constexpr char16_t kStreamReadFailed[] = u"Reading the stream failed";
inline constexpr char16_t kStreamWriteFailed[] = u"Writing the stream failed";
inline constexpr char16_t kFileWriteFailed[] = u"Writing the file failed";
inline constexpr char16_t kUnsupportedEncoding[] = u"Unsupported encoding \"%s\"";
inline constexpr char16_t kMarkContradictsEncoding[] = u"The UTF-8 byte order mark contradicts the declared encoding";
inline constexpr char16_t kBadVersion[] = u"\"%s\" is not an XML version";
inline constexpr char16_t kBadStandalone[] = u"\"%s\" is not a standalone value (yes or no)";
inline constexpr char16_t kExpansionLimit[] =
    u"Entity expansion exceeds the limit of %s characters for this document (%s plus %s for each byte of it read)";
inline constexpr char16_t kNotALocalFile[] =
    u"\"%s\" was not read: external resources are read from local files only, never from the network";
inline constexpr char16_t kGrammarNotRead[] =
    u"The document cannot be validated: its grammar \"%s\" was not read because external resolution is off";
inline constexpr char16_t kUnboundPrefix[] = u"The prefix \"%s\" is not bound to a namespace";
inline constexpr char16_t kEmptyPrefixBinding[] = u"The prefix \"%s\" cannot be bound to an empty namespace";
inline constexpr char16_t kReservedBinding[] = u"The namespace declaration of \"%s\" is not allowed";
inline constexpr char16_t kColonInName[] =
    u"\"%s\": names of processing instructions, entities and notations cannot contain a colon";
inline constexpr char16_t kDuplicateAttribute[] = u"Attribute \"%s\" is given twice";
inline constexpr char16_t kBadQualifiedName[] = u"\"%s\" is not a valid qualified name";
inline constexpr char16_t kValueTooLarge[] = u"A value of the document exceeds the parser's size limit";
inline constexpr char16_t kTransformFailed[] = u"Transformation failed: %s";
inline constexpr char16_t kNotAnOutputDocument[] = u"The output document does not belong to this DOM implementation";

}  // namespace xdom::msg
