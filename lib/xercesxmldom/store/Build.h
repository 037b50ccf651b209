// Building the Xerces tree of a store: the reference the tests compare the
// store against (IXercesTree), and what a node only Xerces holds needs.
#pragma once

#include <unordered_map>
#include <vector>

#include "lib/xercesxmldom/nodes/Common.h"

namespace xdom {

// The Xerces tree of store, built into doc (which holds at most the
// document type yet), and each subtree outside it: a wrapper or a list may
// still name one of its nodes. Returns the Xerces node made for each store
// index. Attributes whose map order differs from the document's have it
// recorded in order. The document types outside the tree are Xerces' nodes
// already, found in outsideTypes by store index.
std::vector<xc::DOMNode*> BuildTree(const Store& store, xc::DOMDocument* doc, AttrOrder& order,
                                    const std::unordered_map<uint32_t, xc::DOMNode*>& outsideTypes);

// Puts n under the document before `before` (last for null), text that is
// not white space included, which Xerces refuses there but lets a text
// become after.
void PutInDocument(xc::DOMDocument* doc, xc::DOMNode* n, xc::DOMNode* before);

}  // namespace xdom
