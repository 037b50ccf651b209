// Node wrappers: one small counted object per handed-out reference, holding
// the Xerces node and a counted reference to its document holder.
#pragma once

#include <type_traits>

#include "lib/xercesxmldom/nodes/Common.h"
#include "lib/xercesxmldom/store/StoreEdit.h"
#include "rtl/BlockCache.h"

namespace xdom {

// Private IID under which a wrapper hands out its NodeCore.
inline constexpr rtl::GUID kNodeCoreIID = {0x6A1D3F52, 0x7E0B, 0x4C11, {0x9B, 0x2E, 0x51, 0x0C, 0xA4, 0x77, 0x3D, 0x19}};

// Operations shared by every wrapper, on the Xerces node.
namespace ops {
// The node's value; an attribute's single text child is read directly
// (Xerces' own attribute value costs a checked cast per call).
inline const XMLCh* ValueOf(xc::DOMNode* node) {
  if (node->getNodeType() == xc::DOMNode::ATTRIBUTE_NODE) {
    xc::DOMNode* only = node->getFirstChild();
    if (only && !only->getNextSibling() && only->getNodeType() == xc::DOMNode::TEXT_NODE)
      return only->getNodeValue();
  }
  return node->getNodeValue();
}
IDOMNodeList* ChildList(XDoc* doc, xc::DOMNode* parent);
IDOMNamedNodeMap* Attributes(XDoc* doc, xc::DOMNode* node);
// The same over a node of doc's store.
IDOMNodeList* StoreChildList(XDoc* doc, uint32_t parent);
IDOMNamedNodeMap* StoreAttributes(XDoc* doc, uint32_t element);
// The elements below root (an element or the document) with a name, or
// with a namespace and local name when ns is given ("*" for any).
IDOMNodeList* StoreTagList(XDoc* doc, uint32_t root, const std::u16string* ns, WideStringView name);
// Fills out with the element's attributes in document order; returns false
// (out empty) when the map's own order is the document order.
bool AttributesInOrder(XDoc* doc, xc::DOMElement* element, std::vector<xc::DOMNode*>& out);
// Appends/inserts with the ancestor check Xerces lacks (no cycles).
xc::DOMNode* InsertBefore(xc::DOMNode* parent, xc::DOMNode* child, xc::DOMNode* ref);
xc::DOMNode* ReplaceChild(xc::DOMNode* parent, xc::DOMNode* child, xc::DOMNode* old);
// Gives copies of from's elements the attribute order of their source in
// to's record: Xerces copies attributes in its map's order, by name.
class AttrOrderCopy {
 public:
  AttrOrderCopy(XDoc* from, XDoc* to) : from_(from), to_(to) {}
  void Add(xc::DOMNode* src, xc::DOMNode* copy);

 private:
  XDoc* from_;
  XDoc* to_;
  std::vector<xc::DOMNode*> ordered_;
};
// Iterative, so deep trees do not exhaust the stack; order takes each copy.
xc::DOMNode* CloneDeep(xc::DOMDocument* target, xc::DOMNode* src, AttrOrderCopy& order);
void Normalize(xc::DOMNode* root);
std::u16string TextOf(xc::DOMNode* node);
void SetText(xc::DOMNode* node, WideStringView text);
// Xerces gives an attribute a new value by releasing its children, and the
// value's new text takes the place the last one released leaves: a wrapper
// of any other would name whatever node Xerces makes next. Called before a
// value is set on the tree: all but the first child are detached, and the
// first, a text, becomes the value's child, as the store has it (one that
// is no text is detached too).
void KeepOneValueChild(xc::DOMNode* attr);
// Whether attr is one of element's own, which set on it again replaces
// itself and stays as it is: Xerces would keep it but say it has no
// element, or by namespace refuse it as in use. The document type's
// attributes are refused as in use there.
bool OwnAttribute(XDoc* doc, xc::DOMElement* element, xc::DOMNode* attr);
// Written from the store while the node is there.
std::u16string XMLTextOf(NodeCore& node);
// Returns a wrapper of the clone (documents get a new document holder).
IDOMNode* Clone(XDoc* doc, xc::DOMNode* node, bool deep);
void TransformToText(XDoc* doc, NodeCore& source, IDOMNode* styleSheet, WideString* result);
void TransformToDocument(XDoc* doc, NodeCore& source, IDOMNode* styleSheet, IDOMDocument* output);
}  // namespace ops

template <class Primary, class... Extra>
using NodeBases = std::conditional_t<std::is_same_v<Primary, IDOMNodeExtension>,
                                     rtl::TInterfacedObject<IDOMNodeExtension, Extra...>,
                                     rtl::TInterfacedObject<Primary, IDOMNodeExtension, Extra...>>;

// Wrappers are made and freed by the hundred thousand on a walk: allocated
// through the block cache.
template <class Primary, class... Extra>
class TNodeImpl : public NodeBases<Primary, Extra...>, public NodeCore, public rtl::TBlockCached {
 public:
  TNodeImpl(XDoc* d, xc::DOMNode* n, uint32_t i = Store::kNone) {
    node_ = n;
    idx = i;
    doc = d;
  }

  // Reads are served from the store while the node is there; everything
  // else goes through Node(), which builds the Xerces tree first.
  HResult GetNodeName(WideString* r) override {
    return Guard([&] {
      if (InStore())
        Put(r, S().NodeName(idx));
      else
        Put(r, node_->getNodeName());
    });
  }
  HResult GetNodeValue(WideString* r) override {
    return Guard([&] {
      if (InStore())
        Put(r, S().NodeValue(idx));
      else
        Put(r, ops::ValueOf(node_));
    });
  }
  HResult SetNodeValue(WideStringView v) override {
    return Guard([&] {
      if (InStore()) return sedit::SetNodeValue(doc.get(), idx, v);
      ops::KeepOneValueChild(Node());
      Node()->setNodeValue(Z(v).c_str());
      doc->Touch();
    });
  }
  HResult GetNodeType(uint16_t* r) override {
    return Guard([&] { *r = InStore() ? S().Type(idx) : static_cast<uint16_t>(node_->getNodeType()); });
  }
  HResult GetParentNode(IDOMNode** r) override {
    return Guard([&] {
      *r = InStore() ? WrapAs<IDOMNode>(doc.get(), S().ParentOf(idx)) : Wrap(doc.get(), node_->getParentNode());
    });
  }
  // One list and one map per wrapper, live, so that a caller who asks for
  // the list again for every item finds the position the last read left.
  HResult GetChildNodes(IDOMNodeList** r) override {
    return Guard([&] {
      if (!children_)
        children_ = ComPtr<IDOMNodeList>::adopt(StoreParent() ? ops::StoreChildList(doc.get(), idx)
                                                              : ops::ChildList(doc.get(), Node()));
      *r = ComPtr<IDOMNodeList>(children_).detach();
    });
  }
  HResult GetFirstChild(IDOMNode** r) override {
    return Guard([&] {
      *r = StoreParent() ? WrapAs<IDOMNode>(doc.get(), S().First(idx)) : Wrap(doc.get(), Node()->getFirstChild());
    });
  }
  HResult GetLastChild(IDOMNode** r) override {
    return Guard([&] {
      *r = StoreParent() ? WrapAs<IDOMNode>(doc.get(), S().Last(idx)) : Wrap(doc.get(), Node()->getLastChild());
    });
  }
  HResult GetPreviousSibling(IDOMNode** r) override {
    return Guard([&] {
      *r = InStore() ? WrapAs<IDOMNode>(doc.get(), Sibling(S().Prev(idx)))
                     : Wrap(doc.get(), node_->getPreviousSibling());
    });
  }
  HResult GetNextSibling(IDOMNode** r) override {
    return Guard([&] {
      *r = InStore() ? WrapAs<IDOMNode>(doc.get(), Sibling(S().Next(idx))) : Wrap(doc.get(), node_->getNextSibling());
    });
  }
  HResult GetAttributes(IDOMNamedNodeMap** r) override {
    return Guard([&] {
      if (!attributes_) {
        if (InStore() && S().Type(idx) != Store::kDocType)
          attributes_ = ComPtr<IDOMNamedNodeMap>::adopt(
              S().Type(idx) == Store::kElement ? ops::StoreAttributes(doc.get(), idx) : nullptr);
        else
          attributes_ = ComPtr<IDOMNamedNodeMap>::adopt(ops::Attributes(doc.get(), node_));
      }
      *r = ComPtr<IDOMNamedNodeMap>(attributes_).detach();
    });
  }
  HResult GetOwnerDocument(IDOMDocument** r) override {
    return Guard([&] {
      if (InStore())
        *r = idx == 0 ? nullptr : WrapAs<IDOMDocument>(doc.get(), static_cast<xc::DOMNode*>(doc->doc));
      else
        *r = node_->getNodeType() == xc::DOMNode::DOCUMENT_NODE
                 ? nullptr
                 : WrapAs<IDOMDocument>(doc.get(), node_->getOwnerDocument());
    });
  }
  HResult GetNamespaceURI(WideString* r) override {
    return Guard([&] {
      if (InStore())
        Put(r, Named() ? std::u16string_view(S().NameOf(idx).ns) : std::u16string_view());
      else
        Put(r, node_->getNamespaceURI());
    });
  }
  HResult GetPrefix(WideString* r) override {
    return Guard([&] {
      if (InStore())
        Put(r, Named() ? S().NameOf(idx).Prefix() : std::u16string_view());
      else
        Put(r, node_->getPrefix());
    });
  }
  HResult GetLocalName(WideString* r) override {
    return Guard([&] {
      if (InStore())
        Put(r, Named() ? S().NameOf(idx).Local() : std::u16string_view());
      else
        Put(r, node_->getLocalName());
    });
  }
  HResult InsertBefore(IDOMNode* newChild, IDOMNode* refChild, IDOMNode** r) override {
    return Guard([&] {
      if (InStore() && sedit::InsertBefore(doc.get(), idx, newChild, refChild, r)) return;
      xc::DOMNode* parent = Node();
      xc::DOMNode* c = ops::InsertBefore(parent, NodeOf(newChild), NodeOf(refChild));
      doc->Touch();
      if (r) *r = Wrap(doc.get(), c);
    });
  }
  HResult ReplaceChild(IDOMNode* newChild, IDOMNode* oldChild, IDOMNode** r) override {
    return Guard([&] {
      if (InStore() && sedit::ReplaceChild(doc.get(), idx, newChild, oldChild, r)) return;
      xc::DOMNode* parent = Node();
      xc::DOMNode* c = ops::ReplaceChild(parent, NodeOf(newChild), NodeOf(oldChild));
      doc->Touch();
      if (r) *r = Wrap(doc.get(), c);
    });
  }
  HResult RemoveChild(IDOMNode* oldChild, IDOMNode** r) override {
    return Guard([&] {
      if (InStore() && sedit::RemoveChild(doc.get(), idx, oldChild, r)) return;
      xc::DOMNode* parent = Node();
      xc::DOMNode* old = NodeOf(oldChild);
      if (!old) Fail(xc::DOMException::NOT_FOUND_ERR);
      xc::DOMNode* c = parent->removeChild(old);
      doc->Touch();
      if (r) *r = Wrap(doc.get(), c);
    });
  }
  HResult AppendChild(IDOMNode* newChild, IDOMNode** r) override {
    return Guard([&] {
      if (InStore() && sedit::InsertBefore(doc.get(), idx, newChild, nullptr, r)) return;
      xc::DOMNode* parent = Node();
      xc::DOMNode* c = ops::InsertBefore(parent, NodeOf(newChild), nullptr);
      doc->Touch();
      if (r) *r = Wrap(doc.get(), c);
    });
  }
  HResult HasChildNodes(WordBool* r) override {
    return Guard([&] {
      // An attribute has its value as a text child, unless that was taken out.
      if (InStore())
        *r = WB(S().Type(idx) == Store::kAttribute ? !S().Childless(idx) : S().First(idx) != Store::kNone);
      else
        *r = WB(node_->hasChildNodes());
    });
  }
  HResult CloneNode(WordBool deep, IDOMNode** r) override {
    return Guard([&] {
      if (InStore() && idx == 0) return void(*r = sedit::CloneDocument(doc.get(), deep != 0));
      *r = InStore() ? WrapAt(doc.get(), sedit::Clone(doc.get(), idx, deep != 0))
                     : ops::Clone(doc.get(), Node(), deep != 0);
    });
  }
  HResult Normalize() override {
    return Guard([&] {
      if (InStore()) return sedit::Normalize(doc.get(), idx);
      ops::Normalize(Node());
      doc->Touch();
    });
  }
  HResult HasAttributes(WordBool* r) override {
    return Guard([&] { *r = WB(InStore() ? S().AttrCount(idx) > 0 : node_->hasAttributes()); });
  }

  // IDOMNodeExtension
  HResult GetText(WideString* r) override {
    return Guard([&] { Put(r, InStore() ? S().TextOf(idx) : ops::TextOf(node_)); });
  }
  HResult GetXMLText(WideString* r) override {
    return Guard([&] { Put(r, ops::XMLTextOf(*this)); });
  }
  HResult SetText(WideStringView v) override {
    return Guard([&] {
      // The document takes no text, and its tree is not built to say so.
      if (InStore() && idx == 0) Fail(xc::DOMException::NO_MODIFICATION_ALLOWED_ERR);
      if (InStore()) return sedit::SetText(doc.get(), idx, v);
      ops::SetText(Node(), v);
      doc->Touch();
    });
  }
  HResult TransformToText(IDOMNode* styleSheet, WideString* r) override {
    return Guard([&] { ops::TransformToText(doc.get(), *this, styleSheet, r); });
  }
  HResult TransformToDocument(IDOMNode* styleSheet, IDOMDocument* output) override {
    return Guard([&] { ops::TransformToDocument(doc.get(), *this, styleSheet, output); });
  }
  HResult ReadTextElement(WideString* text, WordBool* r) override {
    return Guard([&] {
      if (InStore()) {
        const Store& s = S();
        const uint32_t first = s.Type(idx) == Store::kElement ? s.First(idx) : Store::kNone;
        const bool only = first != Store::kNone && s.Type(first) == Store::kText && s.Next(first) == Store::kNone;
        if (only) Put(text, s.NodeValue(first));
        *r = WB(only);
        return;
      }
      xc::DOMNode* first = node_->getNodeType() == xc::DOMNode::ELEMENT_NODE ? node_->getFirstChild() : nullptr;
      const bool only = first && first->getNodeType() == xc::DOMNode::TEXT_NODE && !first->getNextSibling();
      if (only) Put(text, first->getNodeValue());
      *r = WB(only);
    });
  }

 protected:
  const Store& S() const { return *doc->store; }
  // In the store, with its children there: an attribute's text child is
  // made there when first asked for.
  bool StoreParent() {
    if (!InStore()) return false;
    if (S().Type(idx) == Store::kAttribute) doc->store->AttrText(idx);
    return true;
  }
  // Attributes have no siblings.
  uint32_t Sibling(uint32_t i) const { return S().Type(idx) == Store::kAttribute ? Store::kNone : i; }
  // Has a namespace, prefix and local name (none for nodes made without
  // namespace information).
  bool Named() const {
    const uint8_t t = S().Type(idx);
    return (t == Store::kElement || t == Store::kAttribute) && !S().NameOf(idx).bare;
  }

  // Made on first use (see GetChildNodes); they hold the document, not
  // this wrapper.
  ComPtr<IDOMNodeList> children_;
  ComPtr<IDOMNamedNodeMap> attributes_;

  HResult QueryOther(const rtl::GUID& iid, void** obj) override {
    if (iid == kNodeCoreIID) {
      *obj = static_cast<NodeCore*>(this);
      this->AddRef();
      return rtl::S_OK_;
    }
    return rtl::E_NOINTERFACE_;
  }
};

// Text, comment, CDATA, processing instruction, fragment, entity reference,
// entity and notation nodes.
class TNode final : public TNodeImpl<IDOMNodeExtension> {
 public:
  using TNodeImpl::TNodeImpl;
};

class TAttr final : public TNodeImpl<IDOMAttr> {
 public:
  using TNodeImpl::TNodeImpl;
  xc::DOMAttr* attr() { return static_cast<xc::DOMAttr*>(Node()); }

  HResult GetName(WideString* r) override;
  HResult GetSpecified(WordBool* r) override;
  HResult GetValue(WideString* r) override;
  HResult SetValue(WideStringView v) override;
  HResult GetOwnerElement(IDOMElement** r) override;
};

class TElement final : public TNodeImpl<IDOMElement> {
 public:
  using TNodeImpl::TNodeImpl;
  xc::DOMElement* elem() { return static_cast<xc::DOMElement*>(Node()); }

  HResult GetTagName(WideString* r) override;
  HResult GetAttribute(WideStringView name, WideString* r) override;
  HResult SetAttribute(WideStringView name, WideStringView value) override;
  HResult RemoveAttribute(WideStringView name) override;
  HResult GetAttributeNode(WideStringView name, IDOMAttr** r) override;
  HResult SetAttributeNode(IDOMAttr* newAttr, IDOMAttr** r) override;
  HResult RemoveAttributeNode(IDOMAttr* oldAttr, IDOMAttr** r) override;
  HResult GetElementsByTagName(WideStringView name, IDOMNodeList** r) override;
  HResult GetAttributeNS(WideStringView ns, WideStringView localName, WideString* r) override;
  HResult SetAttributeNS(WideStringView ns, WideStringView qname, WideStringView value) override;
  HResult RemoveAttributeNS(WideStringView ns, WideStringView localName) override;
  HResult GetAttributeNodeNS(WideStringView ns, WideStringView localName, IDOMAttr** r) override;
  HResult SetAttributeNodeNS(IDOMAttr* newAttr, IDOMAttr** r) override;
  HResult GetElementsByTagNameNS(WideStringView ns, WideStringView localName,
                                 IDOMNodeList** r) override;
  HResult HasAttribute(WideStringView name, WordBool* r) override;
  HResult HasAttributeNS(WideStringView ns, WideStringView localName, WordBool* r) override;

 private:
  // SetAttributeNode(NS): the one replaced goes by name, or by namespace
  // and local name.
  HResult PutAttributeNode(IDOMAttr* newAttr, bool byNamespace, IDOMAttr** r);
};

class TDocType final : public TNodeImpl<IDOMDocumentType> {
 public:
  using TNodeImpl::TNodeImpl;
  // Xerces' own, also while the tree is in the store (see NodeCore).
  xc::DOMDocumentType* dt() { return static_cast<xc::DOMDocumentType*>(node_); }

  HResult GetName(WideString* r) override;
  HResult GetPublicId(WideString* r) override;
  HResult GetSystemId(WideString* r) override;
  HResult GetInternalSubset(WideString* r) override;
};

// A new wrapper of the class for a node type, with one reference counted:
// the caller's. core receives its core.
IDOMNode* NewWrapper(XDoc* doc, uint16_t type, xc::DOMNode* node, uint32_t idx, NodeCore** core);

// A live list over a Xerces node list (GetElementsByTagName).
IDOMNodeList* WrapXercesList(XDoc* doc, xc::DOMNodeList* list);
// The document wrapper for a Xerces document node (Document.cpp).
IDOMNode* WrapDocument(XDoc* doc);
// Loads bytes as the new content of one of our documents; returns the parse
// failure reason, empty on success.
std::u16string LoadIntoDocument(IDOMDocument* output, const uint8_t* data, size_t size);

}  // namespace xdom
