// Building the Xerces tree of a store, when a call needs Xerces' own.
#pragma once

#include <vector>

#include "lib/xercesxmldom/nodes/Common.h"

namespace xdom {

// The Xerces tree of store, built into doc (which holds at most the
// document type yet), and each subtree outside it: a wrapper or a list may
// still name one of its nodes. Returns the Xerces node made for each store
// index. Attributes whose map order differs from the document's have it
// recorded in order. A document type taken out of the tree is removedType.
std::vector<xc::DOMNode*> BuildTree(const Store& store, xc::DOMDocument* doc, AttrOrder& order,
                                    xc::DOMNode* removedType);

// Puts n under the document before `before` (last for null), text that is
// not white space included, which Xerces refuses there but lets a text
// become after.
void PutInDocument(xc::DOMDocument* doc, xc::DOMNode* n, xc::DOMNode* before);

}  // namespace xdom
