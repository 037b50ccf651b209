// Changes made in a document's store, while every node a change touches is
// there. A call that returns a flag returns false, having changed nothing,
// when the change needs Xerces' tree (a new child that only Xerces holds,
// such as one imported from a document whose tree is built; an attribute
// node that only Xerces holds): the caller then builds the tree and
// makes the change there. A node of another document is refused here.
// Failures are Xerces' own exceptions, so callers see the same codes and
// texts on either path.
#pragma once

#include "lib/xercesxmldom/nodes/Common.h"

namespace xdom::sedit {

// The store index of n if it is a node of doc's store; kNone otherwise.
uint32_t IndexOf(XDoc* doc, IDOMNode* n);

bool InsertBefore(XDoc* doc, uint32_t parent, IDOMNode* child, IDOMNode* ref, IDOMNode** r);
bool ReplaceChild(XDoc* doc, uint32_t parent, IDOMNode* child, IDOMNode* old, IDOMNode** r);
bool RemoveChild(XDoc* doc, uint32_t parent, IDOMNode* old, IDOMNode** r);

// The node's value (no effect on elements, the document and its type).
void SetNodeValue(XDoc* doc, uint32_t node, WideStringView value);
// An element's children replaced by one text (none for an empty one);
// otherwise the node's value. Not the document.
void SetText(XDoc* doc, uint32_t node, WideStringView text);

// A copy of node (with its subtree when deep) outside the tree: names,
// values and the marks of attributes as they are; of the document type,
// Xerces' copy of its node. Not the document.
uint32_t Clone(XDoc* doc, uint32_t node, bool deep);
// A copy in doc of a node of any document's store, as Xerces' import makes
// it: an element keeps only the attributes its source gives itself (with
// their ID marks) and gets the defaults doc's document type declares, an
// attribute imported alone is specified and no ID. kNone, having made
// nothing, when the node is not in a store. A document or document type
// is refused (NOT_SUPPORTED_ERR), as Xerces refuses it.
uint32_t Import(XDoc* doc, IDOMNode* imported, bool deep);
// A copy of the document in a store of its own, made as Xerces' copy is:
// the document type by its name, identifiers and internal subset (its
// declarations are not read again), the rest imported.
IDOMNode* CloneDocument(XDoc* doc, bool deep);

// Adjacent texts under root merged into one, empty ones taken out, the
// empty text children of its attributes too.
void Normalize(XDoc* doc, uint32_t root);

void SetAttribute(XDoc* doc, uint32_t element, WideStringView name, WideStringView value);
void SetAttributeNS(XDoc* doc, uint32_t element, WideStringView ns, WideStringView qname, WideStringView value);
// Removes attr (none for kNone) from element; with a document type, the
// default it declares for the name takes its place, not specified, however
// the attribute was found (by name or by namespace), unless another
// attribute of that qualified name stays.
void RemoveAttribute(XDoc* doc, uint32_t element, uint32_t attr);
// Puts an attribute node on element, in the place of the one it replaces
// (same name, or namespace and local name with byNamespace); *old gets
// that one (kNone for none). One of element's own replaces itself and
// stays as it is.
bool SetAttributeNode(XDoc* doc, uint32_t element, IDOMNode* attr, bool byNamespace, uint32_t* old);

// New nodes outside the tree, by store index; names are checked as Xerces
// checks them. A null ns makes a node without namespace information.
uint32_t CreateElement(XDoc* doc, const std::u16string* ns, WideStringView qname);
uint32_t CreateAttribute(XDoc* doc, const std::u16string* ns, WideStringView qname);
// Text, CDATA sections and comments.
uint32_t CreateData(XDoc* doc, uint8_t type, WideStringView data);
uint32_t CreateFragment(XDoc* doc);
uint32_t CreateProcessingInstruction(XDoc* doc, WideStringView target, WideStringView data);
// Childless, as Xerces makes it: the entities of the document types the
// library reads declare no nodes (their text is not parsed into them).
uint32_t CreateEntityReference(XDoc* doc, WideStringView name);

}  // namespace xdom::sedit
