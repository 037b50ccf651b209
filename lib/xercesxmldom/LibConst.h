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
// The file name, then the system's reason.
inline constexpr char16_t kFileWriteFailed[] = u"Cannot write \"%s\": %s";
inline constexpr char16_t kUnsupportedEncoding[] = u"Unsupported encoding \"%s\"";
inline constexpr char16_t kMarkContradictsEncoding[] = u"The UTF-8 byte order mark contradicts the declared encoding";
inline constexpr char16_t kBadVersion[] = u"\"%s\" is not an XML version (1.0 or 1.1)";
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
inline constexpr char16_t kBadSystemIdChar[] = u"The system identifier \"%s\" contains the character %s, which XML does not allow there";
inline constexpr char16_t kDuplicateAttribute[] = u"Attribute \"%s\" is given twice";
inline constexpr char16_t kBadQualifiedName[] = u"\"%s\" is not a valid qualified name";
inline constexpr char16_t kValueTooLarge[] = u"A value of the document exceeds the parser's size limit";
inline constexpr char16_t kTransformFailed[] = u"Transformation failed: %s";
inline constexpr char16_t kNotAnOutputDocument[] = u"The output document does not belong to this DOM implementation";

// Xerces takes texts up to their first NUL, so one would cut a name or a
// value short; and no XML text can hold it.
inline constexpr char16_t kNulInText[] = u"The text contains the character U+0000, which XML does not allow";

// Saving refuses a tree that has no text form loading back as the same
// tree: "Cannot save <what>: <why>".
inline constexpr char16_t kCannotSave[] = u"Cannot save %s: %s";
inline constexpr char16_t kWhatDocument[] = u"the document";
inline constexpr char16_t kWhatElement[] = u"element \"%s\"";
inline constexpr char16_t kWhatAttribute[] = u"attribute \"%s\" of element \"%s\"";
inline constexpr char16_t kWhatAttributeAlone[] = u"attribute \"%s\"";
inline constexpr char16_t kWhatText[] = u"the text in element \"%s\"";
inline constexpr char16_t kWhatCData[] = u"the CDATA section in element \"%s\"";
inline constexpr char16_t kWhatComment[] = u"the comment in element \"%s\"";
inline constexpr char16_t kWhatTopComment[] = u"the comment outside the document element";
inline constexpr char16_t kWhatPI[] = u"processing instruction \"%s\"";
inline constexpr char16_t kWhatEntityRef[] = u"the entity reference \"&%s;\"";
inline constexpr char16_t kWhatDoctype[] = u"the document type \"%s\"";
inline constexpr char16_t kWhatNode[] = u"the node";
inline constexpr char16_t kWhatTopText[] = u"the text outside the document element";
inline constexpr char16_t kWhyCharacter[] = u"it contains the character %s, which XML %s does not allow";
inline constexpr char16_t kWhyCharacterNeedsReference[] =
    u"it contains the character %s, which XML %s allows only as a character reference, and this node cannot hold one";
inline constexpr char16_t kWhyUnencodable[] = u"it contains the character %s, which the encoding \"%s\" cannot hold";
inline constexpr char16_t kWhyDoubleHyphen[] = u"a comment cannot contain \"--\" or end with \"-\"";
inline constexpr char16_t kWhyPIEnd[] = u"the data of a processing instruction cannot contain \"?>\"";
inline constexpr char16_t kWhyReservedTarget[] = u"the target \"%s\" is reserved for the XML declaration";
inline constexpr char16_t kWhyBadName[] = u"\"%s\" is not a name in XML %s";
inline constexpr char16_t kWhyBadQName[] = u"\"%s\" is not a name XML namespaces allow";
inline constexpr char16_t kWhyUndeclaredEntity[] = u"the entity \"%s\" is not declared";
inline constexpr char16_t kWhyUnboundPrefix[] = u"the prefix \"%s\" is not bound to a namespace";
inline constexpr char16_t kWhyReservedPrefix[] = u"the prefix \"%s\" cannot name the namespace \"%s\"";
inline constexpr char16_t kWhyReservedBinding[] = u"the namespace declaration \"%s\" is not allowed";
inline constexpr char16_t kWhyEmptyBinding[] = u"XML 1.0 cannot bind the prefix \"%s\" to an empty namespace";
inline constexpr char16_t kWhyPrefixConflict[] =
    u"its namespace is \"%s\" but it declares its prefix \"%s\" for \"%s\"";
inline constexpr char16_t kWhyDefaultConflict[] =
    u"its namespace is \"%s\" but it declares \"%s\" as the default namespace";
inline constexpr char16_t kWhyDuplicate[] = u"the attribute \"%s\" would be written twice";
inline constexpr char16_t kWhyNoElement[] = u"it has no document element";
inline constexpr char16_t kWhyOutsideElement[] = u"XML holds no text outside the document element";
inline constexpr char16_t kWhyDoctypeOrder[] = u"the document type must come before the document element";

}  // namespace xdom::msg
