// A node as saving reads it: a node of Xerces' tree, or a node of a
// document's store while the document is there. Writing a loaded or edited
// document thus never builds its tree (5-6 times the file in memory). A
// small value; each read asks which of the two it holds, which costs less
// than the reads themselves.
#pragma once

#include <string_view>
#include <vector>

#include "lib/xercesxmldom/nodes/Nodes.h"

namespace xdom {

class NodeRef {
 public:
  NodeRef() = default;
  explicit NodeRef(xc::DOMNode* x) : x_(x) {}
  NodeRef(const Store* s, uint32_t i) : s_(i == Store::kNone ? nullptr : s), i_(i) {}
  // The document node, from the store while the document is there.
  static NodeRef DocumentOf(XDoc* doc) { return doc->store ? NodeRef(doc->store.get(), 0) : NodeRef(doc->doc); }
  // A wrapper's node, from the store while the node is there.
  static NodeRef Of(NodeCore& core) {
    return core.InStore() ? NodeRef(core.doc->store.get(), core.idx) : NodeRef(core.Node());
  }

  explicit operator bool() const { return x_ || s_; }
  bool operator==(const NodeRef& o) const { return x_ == o.x_ && s_ == o.s_ && i_ == o.i_; }
  bool operator!=(const NodeRef& o) const { return !(*this == o); }

  // The DOM's node type (the store numbers its types the same).
  int Type() const { return x_ ? static_cast<int>(x_->getNodeType()) : s_->Type(i_); }
  std::u16string_view Name() const { return x_ ? View(x_->getNodeName()) : s_->NodeName(i_); }
  std::u16string_view Value() const { return x_ ? View(ops::ValueOf(x_)) : s_->NodeValue(i_); }
  // An element or attribute made with namespace information: only these
  // have a local name, a prefix and a namespace.
  bool HasLocalName() const { return x_ ? x_->getLocalName() != nullptr : Named(); }
  std::u16string_view Prefix() const {
    return x_ ? View(x_->getPrefix()) : Named() ? s_->NameOf(i_).Prefix() : std::u16string_view();
  }
  std::u16string_view Namespace() const {
    return x_ ? View(x_->getNamespaceURI()) : Named() ? std::u16string_view(s_->NameOf(i_).ns) : std::u16string_view();
  }
  std::u16string_view LocalName() const {
    return x_ ? View(x_->getLocalName()) : Named() ? s_->NameOf(i_).Local() : std::u16string_view();
  }

  // An attribute the document knows as an ID.
  bool IsId() const { return x_ ? static_cast<xc::DOMAttr*>(x_)->isId() : s_->IsId(i_); }

  // None for attributes, as the DOM has it.
  NodeRef Parent() const { return x_ ? NodeRef(x_->getParentNode()) : NodeRef(s_, s_->ParentOf(i_)); }
  // An attribute's element.
  NodeRef Owner() const {
    return x_ ? NodeRef(static_cast<xc::DOMAttr*>(x_)->getOwnerElement()) : NodeRef(s_, s_->Parent(i_));
  }
  // An attribute's value is no child in the store; Xerces' text child of
  // an attribute is never written as a node.
  NodeRef First() const { return x_ ? NodeRef(x_->getFirstChild()) : NodeRef(s_, s_->First(i_)); }
  NodeRef Next() const { return x_ ? NodeRef(x_->getNextSibling()) : NodeRef(s_, s_->Next(i_)); }

  // f(NodeRef) for each attribute of an element, in no particular order.
  template <class F>
  void ForEachAttribute(F&& f) const {
    if (!x_) {
      for (uint32_t a = s_->FirstAttr(i_); a != Store::kNone; a = s_->Next(a)) f(NodeRef(s_, a));
      return;
    }
    xc::DOMNamedNodeMap* m = x_->getAttributes();
    for (XMLSize_t k = 0, n = m ? m->getLength() : 0; k < n; ++k) f(NodeRef(m->item(k)));
  }

  // Null for a node of the store.
  xc::DOMNode* Xerces() const { return x_; }
  // The store index; kNone for a node of Xerces' tree.
  uint32_t Index() const { return i_; }

  static std::u16string_view View(const XMLCh* s) { return s ? std::u16string_view(s) : std::u16string_view(); }

 private:
  bool Named() const {
    const uint8_t t = s_->Type(i_);
    return (t == Store::kElement || t == Store::kAttribute) && !s_->NameOf(i_).bare;
  }

  xc::DOMNode* x_ = nullptr;
  const Store* s_ = nullptr;
  uint32_t i_ = Store::kNone;
};

// The attributes of element in document order: a store element's chain, or
// a Xerces element's map in the order recorded for it. scratch is reused
// between calls.
inline void AttributesInOrder(XDoc* doc, NodeRef element, std::vector<NodeRef>& out,
                              std::vector<xc::DOMNode*>& scratch) {
  out.clear();
  if (xc::DOMNode* x = element.Xerces(); x && ops::AttributesInOrder(doc, static_cast<xc::DOMElement*>(x), scratch)) {
    for (xc::DOMNode* a : scratch) out.emplace_back(a);
    return;
  }
  element.ForEachAttribute([&](NodeRef a) { out.push_back(a); });
}

}  // namespace xdom
