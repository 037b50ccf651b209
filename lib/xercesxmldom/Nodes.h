// Node wrappers: one small counted object per handed-out reference, holding
// the Xerces node and a counted reference to its document holder.
#pragma once

#include <type_traits>

#include "lib/xercesxmldom/Common.h"

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
// Fills out with the element's attributes in document order; returns false
// (out empty) when the map's own order is the document order.
bool AttributesInOrder(XDoc* doc, xc::DOMElement* element, std::vector<xc::DOMNode*>& out);
// Appends/inserts with the ancestor check Xerces lacks (no cycles).
xc::DOMNode* InsertBefore(xc::DOMNode* parent, xc::DOMNode* child, xc::DOMNode* ref);
xc::DOMNode* ReplaceChild(xc::DOMNode* parent, xc::DOMNode* child, xc::DOMNode* old);
// Iterative, so deep trees do not exhaust the stack.
xc::DOMNode* CloneDeep(xc::DOMDocument* target, xc::DOMNode* src);
void Normalize(xc::DOMNode* root);
std::u16string TextOf(xc::DOMNode* node);
void SetText(xc::DOMNode* node, WideStringView text);
std::u16string XMLTextOf(XDoc* doc, xc::DOMNode* node);
// Returns a wrapper of the clone (documents get a new document holder).
IDOMNode* Clone(XDoc* doc, xc::DOMNode* node, bool deep);
void TransformToText(XDoc* doc, xc::DOMNode* source, IDOMNode* styleSheet, WideString* result);
void TransformToDocument(XDoc* doc, xc::DOMNode* source, IDOMNode* styleSheet, IDOMDocument* output);
}  // namespace ops

template <class Primary, class... Extra>
using NodeBases = std::conditional_t<std::is_same_v<Primary, IDOMNodeExtension>,
                                     rtl::TInterfacedObject<IDOMNodeExtension, Extra...>,
                                     rtl::TInterfacedObject<Primary, IDOMNodeExtension, Extra...>>;

template <class Primary, class... Extra>
class TNodeImpl : public NodeBases<Primary, Extra...>, public NodeCore {
 public:
  TNodeImpl(XDoc* d, xc::DOMNode* n) {
    node = n;
    doc = d;
  }

  HResult GetNodeName(WideString* r) override {
    return Guard([&] { Put(r, node->getNodeName()); });
  }
  HResult GetNodeValue(WideString* r) override {
    return Guard([&] { Put(r, ops::ValueOf(node)); });
  }
  HResult SetNodeValue(WideStringView v) override {
    return Guard([&] {
      node->setNodeValue(Z(v).c_str());
      doc->Touch();
    });
  }
  HResult GetNodeType(uint16_t* r) override {
    return Guard([&] { *r = static_cast<uint16_t>(node->getNodeType()); });
  }
  HResult GetParentNode(IDOMNode** r) override {
    return Guard([&] { *r = Wrap(doc.get(), node->getParentNode()); });
  }
  HResult GetChildNodes(IDOMNodeList** r) override {
    return Guard([&] { *r = ops::ChildList(doc.get(), node); });
  }
  HResult GetFirstChild(IDOMNode** r) override {
    return Guard([&] { *r = Wrap(doc.get(), node->getFirstChild()); });
  }
  HResult GetLastChild(IDOMNode** r) override {
    return Guard([&] { *r = Wrap(doc.get(), node->getLastChild()); });
  }
  HResult GetPreviousSibling(IDOMNode** r) override {
    return Guard([&] { *r = Wrap(doc.get(), node->getPreviousSibling()); });
  }
  HResult GetNextSibling(IDOMNode** r) override {
    return Guard([&] { *r = Wrap(doc.get(), node->getNextSibling()); });
  }
  HResult GetAttributes(IDOMNamedNodeMap** r) override {
    return Guard([&] { *r = ops::Attributes(doc.get(), node); });
  }
  HResult GetOwnerDocument(IDOMDocument** r) override {
    return Guard([&] {
      *r = node->getNodeType() == xc::DOMNode::DOCUMENT_NODE
               ? nullptr
               : WrapAs<IDOMDocument>(doc.get(), node->getOwnerDocument());
    });
  }
  HResult GetNamespaceURI(WideString* r) override {
    return Guard([&] { Put(r, node->getNamespaceURI()); });
  }
  HResult GetPrefix(WideString* r) override {
    return Guard([&] { Put(r, node->getPrefix()); });
  }
  HResult GetLocalName(WideString* r) override {
    return Guard([&] { Put(r, node->getLocalName()); });
  }
  HResult InsertBefore(IDOMNode* newChild, IDOMNode* refChild, IDOMNode** r) override {
    return Guard([&] {
      xc::DOMNode* c = ops::InsertBefore(node, NodeOf(newChild), NodeOf(refChild));
      doc->Touch();
      if (r) *r = Wrap(doc.get(), c);
    });
  }
  HResult ReplaceChild(IDOMNode* newChild, IDOMNode* oldChild, IDOMNode** r) override {
    return Guard([&] {
      xc::DOMNode* c = ops::ReplaceChild(node, NodeOf(newChild), NodeOf(oldChild));
      doc->Touch();
      if (r) *r = Wrap(doc.get(), c);
    });
  }
  HResult RemoveChild(IDOMNode* oldChild, IDOMNode** r) override {
    return Guard([&] {
      xc::DOMNode* old = NodeOf(oldChild);
      if (!old) Fail(xc::DOMException::NOT_FOUND_ERR);
      xc::DOMNode* c = node->removeChild(old);
      doc->Touch();
      if (r) *r = Wrap(doc.get(), c);
    });
  }
  HResult AppendChild(IDOMNode* newChild, IDOMNode** r) override {
    return Guard([&] {
      xc::DOMNode* c = ops::InsertBefore(node, NodeOf(newChild), nullptr);
      doc->Touch();
      if (r) *r = Wrap(doc.get(), c);
    });
  }
  HResult HasChildNodes(WordBool* r) override {
    return Guard([&] { *r = WB(node->hasChildNodes()); });
  }
  HResult CloneNode(WordBool deep, IDOMNode** r) override {
    return Guard([&] { *r = ops::Clone(doc.get(), node, deep != 0); });
  }
  HResult Normalize() override {
    return Guard([&] {
      ops::Normalize(node);
      doc->Touch();
    });
  }
  HResult HasAttributes(WordBool* r) override {
    return Guard([&] { *r = WB(node->hasAttributes()); });
  }

  // IDOMNodeExtension
  HResult GetText(WideString* r) override {
    return Guard([&] { Put(r, ops::TextOf(node)); });
  }
  HResult GetXMLText(WideString* r) override {
    return Guard([&] { Put(r, ops::XMLTextOf(doc.get(), node)); });
  }
  HResult SetText(WideStringView v) override {
    return Guard([&] {
      ops::SetText(node, v);
      doc->Touch();
    });
  }
  HResult TransformToText(IDOMNode* styleSheet, WideString* r) override {
    return Guard([&] { ops::TransformToText(doc.get(), node, styleSheet, r); });
  }
  HResult TransformToDocument(IDOMNode* styleSheet, IDOMDocument* output) override {
    return Guard([&] { ops::TransformToDocument(doc.get(), node, styleSheet, output); });
  }

 protected:
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
  xc::DOMAttr* attr() const { return static_cast<xc::DOMAttr*>(node); }

  HResult GetName(WideString* r) override;
  HResult GetSpecified(WordBool* r) override;
  HResult GetValue(WideString* r) override;
  HResult SetValue(WideStringView v) override;
  HResult GetOwnerElement(IDOMElement** r) override;
};

class TElement final : public TNodeImpl<IDOMElement> {
 public:
  using TNodeImpl::TNodeImpl;
  xc::DOMElement* elem() const { return static_cast<xc::DOMElement*>(node); }

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
};

class TDocType final : public TNodeImpl<IDOMDocumentType> {
 public:
  using TNodeImpl::TNodeImpl;
  xc::DOMDocumentType* dt() const { return static_cast<xc::DOMDocumentType*>(node); }

  HResult GetName(WideString* r) override;
  HResult GetPublicId(WideString* r) override;
  HResult GetSystemId(WideString* r) override;
  HResult GetInternalSubset(WideString* r) override;
};

// A live list over a Xerces node list (GetElementsByTagName).
IDOMNodeList* WrapXercesList(XDoc* doc, xc::DOMNodeList* list);
// The document wrapper for a Xerces document node (Document.cpp).
IDOMNode* WrapDocument(XDoc* doc);
// Loads bytes as the new content of one of our documents; returns the parse
// failure reason, empty on success.
std::u16string LoadIntoDocument(IDOMDocument* output, const uint8_t* data, size_t size);

}  // namespace xdom
