// A walk through the document layer's public interfaces only, as any of its
// callers reads a document: every node from a start on, depth first in
// document order, each read by a visitor and then entered when it has
// children. It holds only the child lists it is in (and what the visitor
// keeps), so the layer may let go of everything behind it. Iterative, for
// deep documents. Shared by the model test and the load benchmark.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "xml/XMLIntf.h"

namespace plainwalk {

// visit(node) is called once per node, before its children.
template <class Visit>
void WalkNodes(rtl::ComPtr<IXMLNode> start, Visit&& visit) {
  struct Frame {
    rtl::ComPtr<IXMLNodeList> children;
    int32_t next;
    int32_t count;
  };
  std::vector<Frame> stack;
  const auto enter = [&](const rtl::ComPtr<IXMLNode>& node) {
    visit(node);
    if (!node->HasChildNodes()) return;
    rtl::ComPtr<IXMLNodeList> children = node->GetChildNodes();
    const int32_t count = children->GetCount();
    stack.push_back({std::move(children), 0, count});
  };
  enter(std::exchange(start, nullptr));
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next >= top.count) {
      stack.pop_back();
      continue;
    }
    enter(top.children->Get(top.next++));  // may grow the stack: top dangles after
  }
}

}  // namespace plainwalk
