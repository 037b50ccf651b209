// Making Xerces trees fast: the appends and attribute adds the loader and
// the store's tree building share.
#pragma once

#include <vector>

#include "lib/xercesxmldom/Common.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMParentNode;
XERCES_CPP_NAMESPACE_END

namespace xdom {

// Appends a new node, without parent or siblings, to an element or an
// attribute as Xerces' own builder does (DOMParentNode::appendChildFast),
// without the dynamic_casts that costs: the first child's previous sibling
// is the last child.
void AppendChild(xc::DOMParentNode& parent, xc::DOMNode* child);
// Appends a new node to an element (fast) or to anything else (checked).
void AppendTo(xc::DOMNode* parent, xc::DOMNode* child);

// Sets new attributes, given in document order, on a new element. Xerces'
// namespace-aware add scans the whole map for each attribute; its plain add
// finds the place by a binary search on the name and costs nothing more
// when the attributes come in name order, which is how they are added here.
// The document order is recorded in order when it differs from the map's.
// sorted is scratch space.
void SetAttributes(xc::DOMElement* element, const std::vector<xc::DOMAttr*>& attrs,
                   std::vector<xc::DOMAttr*>& sorted, AttrOrder& order);

// Gives doc's name pool room for many distinct names; before its first node.
void WidenNamePool(xc::DOMDocument* doc);

// The Xerces tree of store, built into doc (which has no children yet);
// returns the Xerces node made for each store index.
std::vector<xc::DOMNode*> BuildTree(const Store& store, xc::DOMDocument* doc, AttrOrder& order);

}  // namespace xdom
