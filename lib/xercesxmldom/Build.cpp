#include "lib/xercesxmldom/Build.h"

#include <algorithm>

#include <xercesc/dom/impl/DOMAttrImpl.hpp>
#include <xercesc/dom/impl/DOMCDATASectionImpl.hpp>
#include <xercesc/dom/impl/DOMCommentImpl.hpp>
#include <xercesc/dom/impl/DOMDocumentImpl.hpp>
#include <xercesc/dom/impl/DOMElementImpl.hpp>
#include <xercesc/dom/impl/DOMParentNode.hpp>
#include <xercesc/dom/impl/DOMProcessingInstructionImpl.hpp>
#include <xercesc/dom/impl/DOMStringPool.hpp>
#include <xercesc/dom/impl/DOMTextImpl.hpp>

namespace xdom {

namespace {

// The node and child parts of a node the builder appends, found by its
// type: Xerces finds them with a dynamic_cast each, several per append.
// Null for a type the builder does not append.
struct ChildParts {
  xc::DOMNodeImpl* node = nullptr;
  xc::DOMChildNode* child = nullptr;
};

template <class Impl>
ChildParts PartsAs(xc::DOMNode* n) {
  Impl* impl = static_cast<Impl*>(n);
  return {static_cast<xc::HasDOMNodeImpl*>(impl)->getNodeImpl(), static_cast<xc::HasDOMChildImpl*>(impl)->getChildNodeImpl()};
}

ChildParts PartsOf(xc::DOMNode* n) {
  switch (n->getNodeType()) {
    case xc::DOMNode::ELEMENT_NODE:
      return PartsAs<xc::DOMElementImpl>(n);
    case xc::DOMNode::TEXT_NODE:
      return PartsAs<xc::DOMTextImpl>(n);
    case xc::DOMNode::CDATA_SECTION_NODE:
      return PartsAs<xc::DOMCDATASectionImpl>(n);
    case xc::DOMNode::COMMENT_NODE:
      return PartsAs<xc::DOMCommentImpl>(n);
    case xc::DOMNode::PROCESSING_INSTRUCTION_NODE:
      return PartsAs<xc::DOMProcessingInstructionImpl>(n);
    default:
      return {};
  }
}

}  // namespace

void AppendChild(xc::DOMParentNode& parent, xc::DOMNode* child) {
  const ChildParts c = PartsOf(child);
  xc::DOMNode* first = parent.fFirstChild;
  const ChildParts f = first ? PartsOf(first) : ChildParts{};
  xc::DOMNode* last = f.node ? f.child->previousSibling : nullptr;
  const ChildParts l = last ? PartsOf(last) : ChildParts{};
  if (!c.node || (first && (!f.node || !l.node))) {
    parent.appendChildFast(child);
    return;
  }
  c.node->fOwnerNode = parent.fContainingNode;
  c.node->isOwned(true);
  if (!first) {
    parent.fFirstChild = child;
    c.node->isFirstChild(true);
    c.child->previousSibling = child;
    return;
  }
  l.child->nextSibling = child;
  c.child->previousSibling = last;
  f.child->previousSibling = child;
}

void AppendTo(xc::DOMNode* parent, xc::DOMNode* child) {
  if (parent->getNodeType() == xc::DOMNode::ELEMENT_NODE)
    AppendChild(static_cast<xc::DOMElementImpl*>(parent)->fParent, child);
  else
    parent->appendChild(child);
}

void SetAttributes(xc::DOMElement* element, const std::vector<xc::DOMAttr*>& attrs,
                   std::vector<xc::DOMAttr*>& sorted, AttrOrder& order) {
  if (attrs.empty()) return;
  sorted = attrs;
  std::sort(sorted.begin(), sorted.end(), [](xc::DOMAttr* x, xc::DOMAttr* y) {
    return xc::XMLString::compareString(x->getNodeName(), y->getNodeName()) < 0;
  });
  // A default Xerces copied in from the document type is replaced.
  for (xc::DOMAttr* a : sorted) element->setAttributeNode(a);
  if (attrs.size() < 2) return;
  xc::DOMNamedNodeMap* map = element->getAttributes();
  if (map->getLength() != attrs.size()) return;
  bool same = true;
  for (size_t i = 0; i < attrs.size() && same; ++i) same = map->item(i) == attrs[i];
  if (!same) order.Add(element, attrs.data(), static_cast<uint32_t>(attrs.size()));
}

// A Xerces document pools the names of its nodes in a table of 257 chains,
// so each new name walks n/257 others: loading is quadratic in the number
// of distinct names (300,000 took 37 s). The table is widened before a
// tree's first node is made, and for a store document once it has 256
// names; widening twice does nothing.
namespace {

constexpr XMLSize_t kNamePoolSize = 32749;

struct NamePoolAccess : xc::DOMDocumentImpl {
  static auto Table() { return &NamePoolAccess::fNameTable; }
  static auto Size() { return &NamePoolAccess::fNameTableSize; }
};

}  // namespace

void WidenNamePool(xc::DOMDocument* document) {
  auto* doc = static_cast<xc::DOMDocumentImpl*>(document);
  xc::DOMStringPoolEntry**& table = doc->*NamePoolAccess::Table();
  XMLSize_t& size = doc->*NamePoolAccess::Size();
  if (size >= kNamePoolSize) return;
  auto** wide = static_cast<xc::DOMStringPoolEntry**>(doc->allocate(sizeof(xc::DOMStringPoolEntry*) * kNamePoolSize));
  std::fill(wide, wide + kNamePoolSize, nullptr);
  for (XMLSize_t i = 0; i < size; ++i) {
    for (xc::DOMStringPoolEntry* e = table[i]; e;) {
      xc::DOMStringPoolEntry* next = e->fNext;
      XMLSize_t at = xc::XMLString::hash(e->fString, kNamePoolSize);
      e->fNext = wide[at];
      wide[at] = e;
      e = next;
    }
  }
  table = wide;
  size = kNamePoolSize;
}

std::vector<xc::DOMNode*> BuildTree(const Store& store, xc::DOMDocument* doc, AttrOrder& order) {
  WidenNamePool(doc);
  std::vector<xc::DOMNode*> made(store.Size(), nullptr);
  made[0] = doc;
  std::u16string text;
  std::vector<xc::DOMAttr*> attrs, sorted;
  auto Text = [&](uint32_t i) -> const XMLCh* {
    text.assign(store.Text(i));
    return text.c_str();
  };
  auto Ns = [&](uint32_t i) -> const XMLCh* {
    const std::u16string& ns = store.NameOf(i).ns;
    return ns.empty() ? nullptr : ns.c_str();
  };
  // The document type is in the document already: what comes before it
  // goes before it.
  xc::DOMNode* doctype = store.DocType() != Store::kNone ? doc->getDoctype() : nullptr;
  // Parents come before their children and siblings in order, so the
  // nodes are made in index order. Attributes are made with their element.
  for (uint32_t i = 1; i < store.Size(); ++i) {
    const uint32_t parent = store.Parent(i);
    const uint8_t type = store.Type(i);
    if (parent == Store::kNone || type == Store::kAttribute) continue;
    xc::DOMNode* x = nullptr;
    switch (type) {
      case Store::kElement: {
        xc::DOMElement* e = doc->createElementNS(Ns(i), store.NameOf(i).qname.c_str());
        attrs.clear();
        bool ids = false;
        for (uint32_t a = i + 1; a <= i + store.AttrCount(i); ++a) {
          xc::DOMAttr* attr = doc->createAttributeNS(Ns(a), store.NameOf(a).qname.c_str());
          AppendChild(static_cast<xc::DOMAttrImpl*>(attr)->fParent, doc->createTextNode(Text(a)));
          if (!store.Specified(a)) static_cast<xc::DOMAttrImpl*>(attr)->setSpecified(false);
          ids = ids || store.IsId(a);
          made[a] = attr;
          attrs.push_back(attr);
        }
        SetAttributes(e, attrs, sorted, order);
        if (ids)
          for (uint32_t a = i + 1; a <= i + store.AttrCount(i); ++a)
            if (store.IsId(a)) static_cast<xc::DOMAttrImpl*>(made[a])->addAttrToIDNodeMap();
        x = e;
        break;
      }
      case Store::kText:
        x = doc->createTextNode(Text(i));
        break;
      case Store::kCData:
        x = doc->createCDATASection(Text(i));
        break;
      case Store::kComment:
        x = doc->createComment(Text(i));
        break;
      case Store::kPI: {
        const std::u16string& target = store.NameOf(i).qname;
        x = doc->createProcessingInstruction(target.c_str(), Text(i));
        break;
      }
      case Store::kDocType:
        made[i] = doctype;
        doctype = nullptr;
        continue;
      default:
        continue;
    }
    if (parent == 0 && doctype)
      doc->insertBefore(x, doctype);
    else
      AppendTo(made[parent], x);
    made[i] = x;
  }
  return made;
}

}  // namespace xdom
