// Building the Xerces tree of a store, when a call needs Xerces' own.
#pragma once

#include <vector>

#include "lib/xercesxmldom/nodes/Common.h"

namespace xdom {

// The Xerces tree of store, built into doc (which holds at most the
// document type yet), and the whole subtree outside it of each node in
// held; returns the Xerces node made for each store index (null for nodes
// neither reaches). Attributes whose map order differs from the document's
// have it recorded in order.
std::vector<xc::DOMNode*> BuildTree(const Store& store, xc::DOMDocument* doc, AttrOrder& order,
                                    const std::vector<uint32_t>& held);

}  // namespace xdom
