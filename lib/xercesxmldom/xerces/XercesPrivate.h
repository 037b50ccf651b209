// What the library needs of Xerces-C++ beyond its public interface, in one
// place. Each of these reaches a private field or an implementation class;
// XercesPrivate.cpp, the only file that includes Xerces' internal headers,
// refuses to compile against any Xerces but the one the project is tested
// with, whose layout they rely on.
#pragma once

#include <cstddef>

#include <xercesc/dom/DOM.hpp>

XERCES_CPP_NAMESPACE_BEGIN
class XMLEntityDecl;
class XMLScanner;
class Locator;
XERCES_CPP_NAMESPACE_END

namespace xdom::xp {

namespace xc = XERCES_CPP_NAMESPACE;

// Appends a new node (no parent, no siblings) to an element or an
// attribute as Xerces' own builder does, without the dynamic_casts its
// checked append costs per call; to anything else by the checked append.
void AppendNew(xc::DOMNode* parent, xc::DOMNode* child);

// Gives the document's name pool room for many distinct names: Xerces
// pools names in 257 chains, so each new name walks n/257 others.
// Widening twice does nothing.
void WidenNamePool(xc::DOMDocument* doc);

// Marks a new attribute as a default (not given by the document), and puts
// an attribute of its element into the document's ID table.
void SetNotSpecified(xc::DOMAttr* attr);
// Takes attr off element without putting the default its document type
// declares for that name in its place.
void RemoveWithoutDefault(xc::DOMElement* element, xc::DOMAttr* attr);
void AddToIdTable(xc::DOMAttr* attr);

// Xerces' own count of child inserts and removals in the document
// (normalize included), which its node lists watch too.
int ChangeCount(const xc::DOMDocument* doc);
// Counts one change: a node list Xerces makes afterwards starts from its
// root only once the count is past zero, which the fast appends leave it.
void CountChange(xc::DOMDocument* doc);

// Clears the mark of being its parent's first child, which Xerces' copy of
// a text, comment, CDATA section or processing instruction keeps.
void ClearFirstChildMark(xc::DOMNode* copy);

// Sets the internal subset of a document type made through the public
// interface, which has no setter.
void SetInternalSubset(xc::DOMDocumentType* type, const XMLCh* subset);

// The size of the reader the scanner makes for each entity it opens.
size_t ReaderSize();

// The scanner's entity being read (null in the document itself), its
// place, and the namespace of a URI id (null for no namespace).
const xc::XMLEntityDecl* CurrentEntity(const xc::XMLScanner* scanner);
const xc::Locator* PlaceOf(const xc::XMLScanner* scanner);
const XMLCh* NamespaceOfId(const xc::XMLScanner* scanner, unsigned int id);

}  // namespace xdom::xp
