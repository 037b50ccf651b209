#include "lib/xercesxmldom/nodes/Nodes.h"

#include "lib/xercesxmldom/store/Build.h"
#include "lib/xercesxmldom/store/ListCursor.h"
#include "lib/xercesxmldom/xerces/XercesPrivate.h"

namespace xdom {

namespace {

// The children of a Xerces node as a chain.
struct TreeChain {
  xc::DOMNode* parent;
  xc::DOMNode* First() const { return parent->getFirstChild(); }
  xc::DOMNode* Last() const { return parent->getLastChild(); }
  static xc::DOMNode* Next(xc::DOMNode* n) { return n->getNextSibling(); }
  static xc::DOMNode* Prev(xc::DOMNode* n) { return n->getPreviousSibling(); }
};

// Children of a node as a live list. Xerces' own list walks from the first
// child on every item(i); this one keeps its position (see ListCursor.h)
// while the document stays as it was. Two counts tell a change: ours,
// bumped by every change made through the library, and Xerces' own, bumped
// by every insertion or removal of a child anywhere in the document, the
// ones Xerces makes inside its own calls included. A change between two
// reads drops the whole position, so no node read before it is trusted.
class TChildList final : public rtl::TInterfacedObject<IDOMNodeList> {
 public:
  TChildList(XDoc* doc, xc::DOMNode* parent) : doc_(doc), parent_(parent) {}

  HResult Item(int32_t index, IDOMNode** r) override {
    return Guard([&] {
      Sync();
      *r = Wrap(doc_.get(), cursor_.At(TreeChain{parent_}, index));
    });
  }
  HResult GetLength(int32_t* r) override {
    return Guard([&] {
      Sync();
      *r = cursor_.Length(TreeChain{parent_});
    });
  }

 private:
  void Sync() {
    const int changes = xp::ChangeCount(doc_->doc);
    if (version_ != doc_->version || changes_ != changes) {
      version_ = doc_->version;
      changes_ = changes;
      cursor_.Reset();
    }
  }

  XDocRef doc_;
  xc::DOMNode* parent_;
  uint64_t version_ = ~uint64_t(0);
  int changes_ = 0;
  ListCursor<xc::DOMNode*, nullptr> cursor_;
};

class TXercesList final : public rtl::TInterfacedObject<IDOMNodeList> {
 public:
  TXercesList(XDoc* doc, xc::DOMNodeList* list) : doc_(doc), list_(list) {}
  HResult Item(int32_t index, IDOMNode** r) override {
    return Guard([&] {
      *r = index < 0 ? nullptr : Wrap(doc_.get(), list_->item(static_cast<XMLSize_t>(index)));
    });
  }
  HResult GetLength(int32_t* r) override {
    return Guard([&] { *r = static_cast<int32_t>(list_->getLength()); });
  }

 private:
  XDocRef doc_;
  xc::DOMNodeList* list_;
};

// Attributes of an element in document order. Xerces keeps them sorted by
// name; the order recorded at parse time is laid over that, followed by the
// attributes added later in the map's order.
class TAttrMap final : public rtl::TInterfacedObject<IDOMNamedNodeMap> {
 public:
  TAttrMap(XDoc* doc, xc::DOMElement* element)
      : doc_(doc), element_(element), map_(element->getAttributes()) {}

  HResult Item(int32_t index, IDOMNode** r) override {
    return Guard([&] { *r = Wrap(doc_.get(), At(index)); });
  }
  HResult GetLength(int32_t* r) override {
    return Guard([&] { *r = static_cast<int32_t>(map_->getLength()); });
  }
  HResult GetNamedItem(WideStringView name, IDOMNode** r) override {
    return Guard([&] { *r = Wrap(doc_.get(), map_->getNamedItem(Z(name).c_str())); });
  }
  HResult SetNamedItem(IDOMNode* arg, IDOMNode** r) override {
    return Guard([&] {
      xc::DOMNode* n = RequireNode(arg);
      xc::DOMNode* old = ops::OwnAttribute(doc_.get(), element_, n) ? n : map_->setNamedItem(n);
      doc_->Touch();
      if (r) *r = Wrap(doc_.get(), old);
    });
  }
  HResult RemoveNamedItem(WideStringView name, IDOMNode** r) override {
    return Guard([&] {
      xc::DOMNode* old = map_->removeNamedItem(Z(name).c_str());
      doc_->Touch();
      if (r) *r = Wrap(doc_.get(), old);
    });
  }
  HResult GetNamedItemNS(WideStringView ns, WideStringView localName, IDOMNode** r) override {
    return Guard([&] {
      std::u16string n = Z(ns);
      const std::u16string local = Z(localName);
      *r = local.empty() ? nullptr : Wrap(doc_.get(), map_->getNamedItemNS(NullIfEmpty(n), local.c_str()));
    });
  }
  HResult SetNamedItemNS(IDOMNode* arg, IDOMNode** r) override {
    return Guard([&] {
      // Xerces would take a node without namespace information for the
      // first other one of the map, whatever its name, and keep one of the
      // node's name beside it: it goes by its qualified name instead.
      xc::DOMNode* n = RequireNode(arg);
      xc::DOMNode* old = ops::OwnAttribute(doc_.get(), element_, n) ? n
                         : n->getLocalName()                          ? map_->setNamedItemNS(n)
                                                                      : map_->setNamedItem(n);
      doc_->Touch();
      if (r) *r = Wrap(doc_.get(), old);
    });
  }
  HResult RemoveNamedItemNS(WideStringView ns, WideStringView localName, IDOMNode** r) override {
    return Guard([&] {
      std::u16string n = Z(ns);
      const std::u16string local = Z(localName);
      if (local.empty()) Fail(xc::DOMException::NOT_FOUND_ERR);
      xc::DOMNode* old = map_->removeNamedItemNS(NullIfEmpty(n), local.c_str());
      doc_->Touch();
      if (r) *r = Wrap(doc_.get(), old);
    });
  }

 private:
  xc::DOMNode* At(int32_t index) {
    if (index < 0) return nullptr;
    if (version_ != doc_->version) Reorder();
    if (ordered_.empty()) return map_->item(static_cast<XMLSize_t>(index));
    return static_cast<size_t>(index) < ordered_.size() ? ordered_[static_cast<size_t>(index)] : nullptr;
  }
  void Reorder() {
    version_ = doc_->version;
    ops::AttributesInOrder(doc_.get(), element_, ordered_);
  }

  XDocRef doc_;
  xc::DOMElement* element_;
  xc::DOMNamedNodeMap* map_;
  uint64_t version_ = ~uint64_t(0);
  std::vector<xc::DOMNode*> ordered_;
};

// The "SYSTEM" and "PUBLIC" identifiers of a document type as attribute
// nodes, so that callers looking for a schema through the attributes find
// the system identifier. Read-only.
class TDocTypeAttrs final : public rtl::TInterfacedObject<IDOMNamedNodeMap> {
 public:
  explicit TDocTypeAttrs(XDoc* doc) : doc_(doc) {}
  HResult Item(int32_t index, IDOMNode** r) override {
    return Guard([&] {
      auto& a = doc_->doctypeAttrs;
      *r = index >= 0 && static_cast<size_t>(index) < a.size() ? Wrap(doc_.get(), a[static_cast<size_t>(index)])
                                                               : nullptr;
    });
  }
  HResult GetLength(int32_t* r) override {
    return Guard([&] { *r = static_cast<int32_t>(doc_->doctypeAttrs.size()); });
  }
  HResult GetNamedItem(WideStringView name, IDOMNode** r) override {
    return Guard([&] {
      *r = nullptr;
      for (xc::DOMNode* a : doc_->doctypeAttrs)
        if (name == WideStringView(a->getNodeName())) {
          *r = Wrap(doc_.get(), a);
          return;
        }
    });
  }
  HResult SetNamedItem(IDOMNode*, IDOMNode**) override { return ReadOnly(); }
  HResult RemoveNamedItem(WideStringView, IDOMNode**) override { return ReadOnly(); }
  HResult GetNamedItemNS(WideStringView ns, WideStringView localName, IDOMNode** r) override {
    if (!ns.empty()) {
      *r = nullptr;
      return rtl::S_OK_;
    }
    return GetNamedItem(localName, r);
  }
  HResult SetNamedItemNS(IDOMNode*, IDOMNode**) override { return ReadOnly(); }
  HResult RemoveNamedItemNS(WideStringView, WideStringView, IDOMNode**) override { return ReadOnly(); }

 private:
  HResult ReadOnly() {
    return Guard([] { Fail(xc::DOMException::NO_MODIFICATION_ALLOWED_ERR); });
  }
  XDocRef doc_;
};

// Xerces accepts a node as a child of itself or of its own descendant and
// makes a cycle; refuse that as the DOM requires. Only the parent itself or
// a node with children can be the parent's ancestor, so inserting a leaf
// costs nothing however deep the parent is.
void CheckNotAncestor(xc::DOMNode* parent, xc::DOMNode* child) {
  if (!child) Fail(xc::DOMException::NOT_FOUND_ERR);
  if (child == parent) Fail(xc::DOMException::HIERARCHY_REQUEST_ERR);
  if (!child->getFirstChild()) return;
  for (xc::DOMNode* p = parent->getParentNode(); p; p = p->getParentNode())
    if (p == child) Fail(xc::DOMException::HIERARCHY_REQUEST_ERR);
}

std::u16string LocalPart(WideStringView name) {
  size_t colon = name.find(u':');
  return std::u16string(colon == WideStringView::npos ? name : name.substr(colon + 1));
}

// An attribute by namespace and local name. An empty local name finds
// none: only nodes made without namespace information have one, and Xerces
// would answer with whichever of them comes first in its map; the store
// does the same.
xc::DOMAttr* AttrNS(xc::DOMElement* e, const std::u16string& ns, WideStringView localName) {
  const std::u16string local = LocalPart(localName);
  return local.empty() ? nullptr : e->getAttributeNodeNS(NullIfEmpty(ns), local.c_str());
}

// Entity references (read-only copies of their entity) and attributes
// (whose text children come along anyway) are copied whole, not walked.
bool CopiedWhole(xc::DOMNode* n) {
  auto t = n->getNodeType();
  return t == xc::DOMNode::ENTITY_REFERENCE_NODE || t == xc::DOMNode::ATTRIBUTE_NODE;
}

// Xerces' copy of a text, comment, CDATA section or processing instruction
// keeps the source's mark of being its parent's first child, and an append
// does not clear it: the copy, put anywhere but first, then says it has no
// previous sibling. Every copy leaves here without the mark.
xc::DOMNode* Unplaced(xc::DOMNode* copy) {
  xp::ClearFirstChildMark(copy);
  return copy;
}

xc::DOMNode* ShallowCopy(xc::DOMDocument* target, xc::DOMNode* src) {
  bool whole = CopiedWhole(src);
  if (src->getOwnerDocument() == target) return Unplaced(src->cloneNode(whole));
  return Unplaced(target->importNode(src, whole));
}

}  // namespace

// ---------------------------------------------------------------------------

NodeCore* CoreOf(rtl::IInterface* n) {
  if (!n) return nullptr;
  void* p = nullptr;
  if (n->QueryInterface(kNodeCoreIID, &p) != rtl::S_OK_ || !p) return nullptr;
  // The caller holds n, which keeps the core alive.
  n->Release();
  return static_cast<NodeCore*>(p);
}

xc::DOMNode* RequireNode(IDOMNode* n) {
  xc::DOMNode* node = NodeOf(n);
  if (!node) Fail(xc::DOMException::NOT_FOUND_ERR);
  return node;
}

xc::DOMNode* NodeOf(IDOMNode* n) {
  if (!n) return nullptr;
  NodeCore* core = CoreOf(n);
  if (!core) Fail(xc::DOMException::WRONG_DOCUMENT_ERR, msg::kNotOurNode);
  return core->Node();
}

NodeCore::~NodeCore() {
  if (!self) return;
  if (InStore())
    doc->DropStoreWrapper(idx);
  else
    doc->wrappers.erase(node_);
}

namespace {
// A fresh wrapper of class W, counted once, handed out as its Handed.
template <class W, class Handed>
IDOMNode* Fresh(XDoc* doc, xc::DOMNode* node, uint32_t idx, NodeCore** core) {
  auto* w = new W(doc, node, idx);
  w->CountFirstReference();
  *core = w;
  return static_cast<Handed*>(w);
}
}  // namespace

IDOMNode* NewWrapper(XDoc* doc, uint16_t type, xc::DOMNode* node, uint32_t idx, NodeCore** core) {
  switch (type) {
    case xc::DOMNode::ELEMENT_NODE:
      return Fresh<TElement, IDOMElement>(doc, node, idx, core);
    case xc::DOMNode::ATTRIBUTE_NODE:
      return Fresh<TAttr, IDOMAttr>(doc, node, idx, core);
    case xc::DOMNode::DOCUMENT_TYPE_NODE:
      return Fresh<TDocType, IDOMDocumentType>(doc, node, idx, core);
    default:
      return Fresh<TNode, IDOMNodeExtension>(doc, node, idx, core);
  }
}

IDOMNode* Wrap(XDoc* doc, xc::DOMNode* node) {
  if (!node) return nullptr;
  if (node->getNodeType() == xc::DOMNode::DOCUMENT_NODE) return WrapDocument(doc);
  auto [slot, fresh] = doc->wrappers.try_emplace(node, nullptr);
  if (!fresh) {
    slot->second->self->AddRef();
    return slot->second->self;
  }
  IDOMNode* r = nullptr;
  NodeCore* core = nullptr;
  try {
    r = NewWrapper(doc, node->getNodeType(), node, Store::kNone, &core);
  } catch (...) {
    doc->wrappers.erase(slot);
    throw;
  }
  core->self = r;
  slot->second = core;
  return r;
}

IDOMNodeList* WrapXercesList(XDoc* doc, xc::DOMNodeList* list) {
  auto* l = new TXercesList(doc, list);
  l->AddRef();
  return l;
}

// ---------------------------------------------------------------------------

void AttrOrder::Add(const xc::DOMElement* element, xc::DOMAttr* const* attrs, uint32_t count) {
  index_.push_back({element, static_cast<uint32_t>(arena_.size()), count});
  arena_.insert(arena_.end(), attrs, attrs + count);
  sealed_ = false;
}

void AttrOrder::Seal() {
  if (sealed_) return;
  std::sort(index_.begin(), index_.end(),
            [](const Entry& a, const Entry& b) { return std::less<>()(a.element, b.element); });
  index_.shrink_to_fit();
  arena_.shrink_to_fit();
  sealed_ = true;
}

void AttrOrder::AddCopy(const xc::DOMElement* element, std::vector<xc::DOMAttr*> attrs) {
  copies_[element] = std::move(attrs);
}

std::pair<xc::DOMAttr* const*, uint32_t> AttrOrder::Find(const xc::DOMElement* element) const {
  if (!copies_.empty())
    if (auto it = copies_.find(element); it != copies_.end())
      return {it->second.data(), static_cast<uint32_t>(it->second.size())};
  if (!sealed_ || index_.empty()) return {nullptr, 0};
  auto it = std::lower_bound(index_.begin(), index_.end(), element, [](const Entry& e, const xc::DOMElement* k) {
    return std::less<>()(e.element, k);
  });
  if (it == index_.end() || it->element != element) return {nullptr, 0};
  return {arena_.data() + it->offset, it->count};
}

// ---------------------------------------------------------------------------

namespace ops {

IDOMNodeList* ChildList(XDoc* doc, xc::DOMNode* parent) {
  auto* l = new TChildList(doc, parent);
  l->AddRef();
  return l;
}

bool AttributesInOrder(XDoc* doc, xc::DOMElement* element, std::vector<xc::DOMNode*>& out) {
  out.clear();
  auto [recorded, count] = doc->attrOrder.Find(element);
  if (count == 0) return false;
  xc::DOMNamedNodeMap* map = element->getAttributes();
  XMLSize_t n = map->getLength();
  out.reserve(n);
  for (uint32_t i = 0; i < count; ++i)
    if (recorded[i]->getOwnerElement() == element) out.push_back(recorded[i]);
  if (out.size() == n) return true;
  // Attributes added after parsing follow, in the map's order.
  std::vector<xc::DOMNode*> known(out);
  std::sort(known.begin(), known.end());
  for (XMLSize_t i = 0; i < n; ++i) {
    xc::DOMNode* a = map->item(i);
    if (!std::binary_search(known.begin(), known.end(), a)) out.push_back(a);
  }
  return true;
}

IDOMNamedNodeMap* Attributes(XDoc* doc, xc::DOMNode* node) {
  if (node->getNodeType() == xc::DOMNode::ELEMENT_NODE) {
    auto* m = new TAttrMap(doc, static_cast<xc::DOMElement*>(node));
    m->AddRef();
    return m;
  }
  if (node->getNodeType() == xc::DOMNode::DOCUMENT_TYPE_NODE && node->getOwnerDocument() == doc->doc) {
    if (!doc->doctypeAttrsMade) {
      auto* dt = static_cast<xc::DOMDocumentType*>(node);
      static const XMLCh kSystem[] = u"SYSTEM";
      static const XMLCh kPublic[] = u"PUBLIC";
      for (auto [name, value] : {std::pair{kSystem, dt->getSystemId()}, std::pair{kPublic, dt->getPublicId()}}) {
        if (!value || !*value) continue;
        xc::DOMAttr* a = doc->doc->createAttribute(name);
        a->setValue(value);
        doc->doctypeAttrs.push_back(a);
      }
      doc->doctypeAttrsMade = true;
    }
    auto* m = new TDocTypeAttrs(doc);
    m->AddRef();
    return m;
  }
  return nullptr;
}

namespace {

// Xerces moves a fragment's children under the document one at a time and
// stops at an element the document cannot take: those before it stay
// moved, and a replacement of the document element is left beside the new
// one. A fragment with more elements than the document can take (in place
// of `at` on a replacement) is refused whole here, before anything moves.
void CheckFragmentUnderDocument(xc::DOMNode* parent, xc::DOMNode* child, xc::DOMNode* at, bool replacing) {
  if (parent->getNodeType() != xc::DOMNode::DOCUMENT_NODE ||
      child->getNodeType() != xc::DOMNode::DOCUMENT_FRAGMENT_NODE || child->getOwnerDocument() != parent ||
      (at && at->getParentNode() != parent))
    return;
  int elements = 0;
  for (xc::DOMNode* k = child->getFirstChild(); k; k = k->getNextSibling())
    elements += k->getNodeType() == xc::DOMNode::ELEMENT_NODE;
  const xc::DOMElement* root = static_cast<xc::DOMDocument*>(parent)->getDocumentElement();
  if (elements > 1 || (elements == 1 && root && !(replacing && root == at)))
    Fail(xc::DOMException::HIERARCHY_REQUEST_ERR);
}

}  // namespace

xc::DOMNode* InsertBefore(xc::DOMNode* parent, xc::DOMNode* child, xc::DOMNode* ref) {
  CheckNotAncestor(parent, child);
  if (child) CheckFragmentUnderDocument(parent, child, ref, false);
  return parent->insertBefore(child, ref);
}

xc::DOMNode* ReplaceChild(xc::DOMNode* parent, xc::DOMNode* child, xc::DOMNode* old) {
  CheckNotAncestor(parent, child);
  if (!old) Fail(xc::DOMException::NOT_FOUND_ERR);
  if (child) CheckFragmentUnderDocument(parent, child, old, true);
  // In its own place it stays: Xerces would take it out.
  if (child == old && old->getParentNode() == parent) return old;
  return parent->replaceChild(child, old);
}

xc::DOMNode* CloneDeep(xc::DOMDocument* target, xc::DOMNode* src, AttrOrderCopy& order) {
  xc::DOMNode* root = ShallowCopy(target, src);
  order.Add(src, root);
  if (CopiedWhole(src)) return root;
  xc::DOMNode* s = src->getFirstChild();
  xc::DOMNode* parentCopy = root;
  while (s) {
    xc::DOMNode* c = ShallowCopy(target, s);
    order.Add(s, c);
    parentCopy->appendChild(c);
    if (s->getFirstChild() && !CopiedWhole(s)) {
      parentCopy = c;
      s = s->getFirstChild();
      continue;
    }
    while (s != src && !s->getNextSibling()) {
      s = s->getParentNode();
      parentCopy = parentCopy->getParentNode();
    }
    if (s == src) break;
    s = s->getNextSibling();
  }
  return root;
}

void AttrOrderCopy::Add(xc::DOMNode* src, xc::DOMNode* copy) {
  if (src->getNodeType() != xc::DOMNode::ELEMENT_NODE ||
      !AttributesInOrder(from_, static_cast<xc::DOMElement*>(src), ordered_))
    return;
  auto* element = static_cast<xc::DOMElement*>(copy);
  std::vector<xc::DOMAttr*> attrs;
  attrs.reserve(ordered_.size());
  for (xc::DOMNode* a : ordered_)
    if (xc::DOMAttr* made = element->getAttributeNode(a->getNodeName())) attrs.push_back(made);
  to_->attrOrder.AddCopy(element, std::move(attrs));
}

IDOMNode* Clone(XDoc* doc, xc::DOMNode* node, bool deep) {
  if (node->getNodeType() != xc::DOMNode::DOCUMENT_NODE) {
    AttrOrderCopy order(doc, doc);
    xc::DOMNode* c = deep ? CloneDeep(doc->doc, node, order) : Unplaced(node->cloneNode(false));
    if (!deep) order.Add(node, c);
    return Wrap(doc, c);
  }
  XDocRef copy(new XDoc(XercesImpl()->createDocument()));
  copy->decl = doc->decl;
  if (deep) {
    AttrOrderCopy order(doc, copy.get());
    for (xc::DOMNode* c = node->getFirstChild(); c; c = c->getNextSibling()) {
      xc::DOMNode* n;
      if (c->getNodeType() == xc::DOMNode::DOCUMENT_TYPE_NODE) {
        auto* dt = static_cast<xc::DOMDocumentType*>(c);
        // The public interface cannot set the internal subset of a new
        // document type, and importNode refuses document types.
        xc::DOMDocumentType* ndt = copy->doc->createDocumentType(dt->getName(), dt->getPublicId(), dt->getSystemId());
        xp::SetInternalSubset(ndt, dt->getInternalSubset());
        n = ndt;
      } else {
        n = CloneDeep(copy->doc, c, order);
      }
      PutInDocument(copy->doc, n, nullptr);
    }
  }
  return WrapDocument(copy.get());
}

void Normalize(xc::DOMNode* root) {
  auto mergeChildren = [](xc::DOMNode* parent) {
    xc::DOMNode* c = parent->getFirstChild();
    while (c) {
      xc::DOMNode* next = c->getNextSibling();
      if (c->getNodeType() == xc::DOMNode::TEXT_NODE) {
        auto* t = static_cast<xc::DOMText*>(c);
        while (next && next->getNodeType() == xc::DOMNode::TEXT_NODE) {
          t->appendData(next->getNodeValue());
          xc::DOMNode* after = next->getNextSibling();
          parent->removeChild(next);
          next = after;
        }
        if (t->getLength() == 0) parent->removeChild(t);
      }
      c = next;
    }
  };
  xc::DOMNode* n = root;
  while (n) {
    if (n->getNodeType() == xc::DOMNode::ELEMENT_NODE) {
      xc::DOMNamedNodeMap* attrs = n->getAttributes();
      for (XMLSize_t i = 0, len = attrs->getLength(); i < len; ++i) mergeChildren(attrs->item(i));
    }
    mergeChildren(n);
    if (n->getFirstChild() && n->getNodeType() != xc::DOMNode::ENTITY_REFERENCE_NODE) {
      n = n->getFirstChild();
      continue;
    }
    while (n != root && !n->getNextSibling()) n = n->getParentNode();
    if (n == root) break;
    n = n->getNextSibling();
  }
}

std::u16string TextOf(xc::DOMNode* root) {
  switch (root->getNodeType()) {
    case xc::DOMNode::ELEMENT_NODE:
    case xc::DOMNode::DOCUMENT_NODE:
    case xc::DOMNode::DOCUMENT_FRAGMENT_NODE:
    case xc::DOMNode::ENTITY_REFERENCE_NODE:
      break;
    default: {
      const XMLCh* v = root->getNodeValue();
      return v ? std::u16string(v) : std::u16string();
    }
  }
  std::u16string out;
  xc::DOMNode* n = root->getFirstChild();
  while (n) {
    auto t = n->getNodeType();
    if (t == xc::DOMNode::TEXT_NODE || t == xc::DOMNode::CDATA_SECTION_NODE) out += n->getNodeValue();
    if (n->getFirstChild() && (t == xc::DOMNode::ELEMENT_NODE || t == xc::DOMNode::ENTITY_REFERENCE_NODE)) {
      n = n->getFirstChild();
      continue;
    }
    while (n != root && !n->getNextSibling()) n = n->getParentNode();
    if (n == root) break;
    n = n->getNextSibling();
  }
  return out;
}

bool OwnAttribute(XDoc* doc, xc::DOMElement* element, xc::DOMNode* attr) {
  if (doc->IsTypeAttr(attr)) Fail(xc::DOMException::INUSE_ATTRIBUTE_ERR);
  return attr->getNodeType() == xc::DOMNode::ATTRIBUTE_NODE &&
         static_cast<xc::DOMAttr*>(attr)->getOwnerElement() == element;
}

void KeepOneValueChild(xc::DOMNode* attr) {
  if (!attr || attr->getNodeType() != xc::DOMNode::ATTRIBUTE_NODE || !attr->getFirstChild()) return;
  while (xc::DOMNode* extra = attr->getFirstChild()->getNextSibling()) attr->removeChild(extra);
  if (attr->getFirstChild()->getNodeType() != xc::DOMNode::TEXT_NODE) attr->removeChild(attr->getFirstChild());
}

void SetText(xc::DOMNode* node, WideStringView text) {
  KeepOneValueChild(node);
  switch (node->getNodeType()) {
    case xc::DOMNode::ELEMENT_NODE:
    case xc::DOMNode::DOCUMENT_FRAGMENT_NODE: {
      // Children are detached, not released: wrappers of them stay valid.
      while (xc::DOMNode* c = node->getFirstChild()) node->removeChild(c);
      if (!text.empty()) node->appendChild(node->getOwnerDocument()->createTextNode(Z(text).c_str()));
      break;
    }
    case xc::DOMNode::DOCUMENT_NODE:
      Fail(xc::DOMException::NO_MODIFICATION_ALLOWED_ERR);
    default:
      node->setNodeValue(Z(text).c_str());
  }
}

}  // namespace ops

// ---------------------------------------------------------------------------

HResult TAttr::GetName(WideString* r) {
  return Guard([&] { InStore() ? Put(r, S().NameOf(idx).qname) : Put(r, attr()->getName()); });
}
HResult TAttr::GetSpecified(WordBool* r) {
  return Guard([&] { *r = WB(InStore() ? S().Specified(idx) : attr()->getSpecified()); });
}
HResult TAttr::GetValue(WideString* r) {
  return Guard([&] { InStore() ? Put(r, S().Text(idx)) : Put(r, ops::ValueOf(node_)); });
}
HResult TAttr::SetValue(WideStringView v) {
  return Guard([&] {
    if (InStore()) return sedit::SetNodeValue(doc.get(), idx, v);
    ops::KeepOneValueChild(attr());
    attr()->setValue(Z(v).c_str());
    doc->Touch();
  });
}
HResult TAttr::GetOwnerElement(IDOMElement** r) {
  return Guard([&] {
    *r = InStore() ? WrapAs<IDOMElement>(doc.get(), S().Parent(idx))
                   : WrapAs<IDOMElement>(doc.get(), attr()->getOwnerElement());
  });
}

HResult TElement::GetTagName(WideString* r) {
  return Guard([&] { InStore() ? Put(r, S().NameOf(idx).qname) : Put(r, elem()->getTagName()); });
}
HResult TElement::GetAttribute(WideStringView name, WideString* r) {
  return Guard([&] {
    if (!InStore()) return Put(r, elem()->getAttribute(Z(name).c_str()));
    const uint32_t a = S().FindAttr(idx, Z(name));
    Put(r, a == Store::kNone ? std::u16string_view() : S().Text(a));
  });
}
HResult TElement::SetAttribute(WideStringView name, WideStringView value) {
  return Guard([&] {
    if (InStore()) return sedit::SetAttribute(doc.get(), idx, name, value);
    ops::KeepOneValueChild(elem()->getAttributeNode(Z(name).c_str()));
    elem()->setAttribute(Z(name).c_str(), Z(value).c_str());
    doc->Touch();
  });
}
HResult TElement::RemoveAttribute(WideStringView name) {
  return Guard([&] {
    if (InStore()) return sedit::RemoveAttribute(doc.get(), idx, S().FindAttr(idx, Z(name)));
    // Xerces' removeAttribute releases the node, which would leave our
    // wrappers of it pointing at recycled memory; detach it instead.
    if (xc::DOMAttr* a = elem()->getAttributeNode(Z(name).c_str())) elem()->removeAttributeNode(a);
    doc->Touch();
  });
}
HResult TElement::GetAttributeNode(WideStringView name, IDOMAttr** r) {
  return Guard([&] {
    *r = InStore() ? WrapAs<IDOMAttr>(doc.get(), S().FindAttr(idx, Z(name)))
                   : WrapAs<IDOMAttr>(doc.get(), elem()->getAttributeNode(Z(name).c_str()));
  });
}
HResult TElement::SetAttributeNode(IDOMAttr* newAttr, IDOMAttr** r) { return PutAttributeNode(newAttr, false, r); }
HResult TElement::PutAttributeNode(IDOMAttr* newAttr, bool byNamespace, IDOMAttr** r) {
  return Guard([&] {
    uint32_t replaced;
    if (InStore() && sedit::SetAttributeNode(doc.get(), idx, newAttr, byNamespace, &replaced)) {
      if (r) *r = WrapAs<IDOMAttr>(doc.get(), replaced);
      return;
    }
    auto* a = static_cast<xc::DOMAttr*>(NodeOf(newAttr));
    if (!a || a->getNodeType() != xc::DOMNode::ATTRIBUTE_NODE) Fail(xc::DOMException::HIERARCHY_REQUEST_ERR);
    if (ops::OwnAttribute(doc.get(), elem(), a)) {
      if (r) *r = WrapAs<IDOMAttr>(doc.get(), static_cast<xc::DOMNode*>(a));
      return;
    }
    // As the attribute map's SetNamedItemNS, by qualified name without
    // namespace information.
    xc::DOMAttr* old = byNamespace && a->getLocalName() ? elem()->setAttributeNodeNS(a) : elem()->setAttributeNode(a);
    doc->Touch();
    if (r) *r = WrapAs<IDOMAttr>(doc.get(), old);
  });
}
HResult TElement::RemoveAttributeNode(IDOMAttr* oldAttr, IDOMAttr** r) {
  return Guard([&] {
    if (InStore()) {
      // The attributes of an element in the store are there too: any other
      // node is not one of them, and no tree is built to say so.
      const uint32_t a = oldAttr ? sedit::IndexOf(doc.get(), oldAttr) : Store::kNone;
      if (a == Store::kNone || S().Type(a) != Store::kAttribute) Fail(xc::DOMException::NOT_FOUND_ERR);
      sedit::RemoveAttribute(doc.get(), idx, a);
      if (r) *r = WrapAs<IDOMAttr>(doc.get(), a);
      return;
    }
    auto* a = static_cast<xc::DOMAttr*>(NodeOf(oldAttr));
    if (!a) Fail(xc::DOMException::NOT_FOUND_ERR);
    xc::DOMAttr* old = elem()->removeAttributeNode(a);
    doc->Touch();
    if (r) *r = WrapAs<IDOMAttr>(doc.get(), old);
  });
}
HResult TElement::GetElementsByTagName(WideStringView name, IDOMNodeList** r) {
  return Guard([&] {
    *r = InStore() ? ops::StoreTagList(doc.get(), idx, nullptr, name)
                   : WrapXercesList(doc.get(), elem()->getElementsByTagName(Z(name).c_str()));
  });
}
HResult TElement::GetAttributeNS(WideStringView ns, WideStringView localName, WideString* r) {
  return Guard([&] {
    std::u16string n = Z(ns);
    if (!InStore()) {
      xc::DOMAttr* a = AttrNS(elem(), n, localName);
      return Put(r, a ? ops::ValueOf(a) : nullptr);
    }
    const uint32_t a = S().FindAttrNS(idx, n, LocalPart(Z(localName)));
    Put(r, a == Store::kNone ? std::u16string_view() : S().Text(a));
  });
}
HResult TElement::SetAttributeNS(WideStringView ns, WideStringView qname, WideStringView value) {
  return Guard([&] {
    if (InStore()) return sedit::SetAttributeNS(doc.get(), idx, ns, qname, value);
    std::u16string n = Z(ns);
    const std::u16string q = Z(qname);
    // Xerces puts a new node in place of an attribute there already. It
    // keeps its node instead, as in the store: the prefix follows the name
    // given, and the value changes. The name is checked as Xerces checks
    // it, by a node made for it.
    elem()->getOwnerDocument()->createAttributeNS(NullIfEmpty(n), q.c_str())->release();
    if (xc::DOMAttr* a = AttrNS(elem(), n, q)) {
      // Xerces refuses any prefix, none too, for an attribute without a
      // namespace, which never has one.
      const size_t colon = q.find(u':');
      const std::u16string prefix = colon == std::u16string::npos ? std::u16string() : q.substr(0, colon);
      const XMLCh* now = a->getPrefix();
      if (prefix != (now ? now : u"")) a->setPrefix(prefix.empty() ? nullptr : prefix.c_str());
      ops::KeepOneValueChild(a);
      a->setValue(Z(value).c_str());
    } else {
      elem()->setAttributeNS(NullIfEmpty(n), q.c_str(), Z(value).c_str());
    }
    doc->Touch();
  });
}
HResult TElement::RemoveAttributeNS(WideStringView ns, WideStringView localName) {
  return Guard([&] {
    std::u16string n = Z(ns);
    if (InStore()) return sedit::RemoveAttribute(doc.get(), idx, S().FindAttrNS(idx, n, LocalPart(Z(localName))));
    if (xc::DOMAttr* a = AttrNS(elem(), n, localName)) elem()->removeAttributeNode(a);
    doc->Touch();
  });
}
HResult TElement::GetAttributeNodeNS(WideStringView ns, WideStringView localName, IDOMAttr** r) {
  return Guard([&] {
    std::u16string n = Z(ns);
    *r = InStore() ? WrapAs<IDOMAttr>(doc.get(), S().FindAttrNS(idx, n, LocalPart(Z(localName))))
                   : WrapAs<IDOMAttr>(doc.get(), AttrNS(elem(), n, localName));
  });
}
HResult TElement::SetAttributeNodeNS(IDOMAttr* newAttr, IDOMAttr** r) { return PutAttributeNode(newAttr, true, r); }
HResult TElement::GetElementsByTagNameNS(WideStringView ns, WideStringView localName, IDOMNodeList** r) {
  return Guard([&] {
    std::u16string n = Z(ns);
    *r = InStore() ? ops::StoreTagList(doc.get(), idx, &n, localName)
                   : WrapXercesList(doc.get(), elem()->getElementsByTagNameNS(NullIfEmpty(n), Z(localName).c_str()));
  });
}
HResult TElement::HasAttribute(WideStringView name, WordBool* r) {
  return Guard([&] {
    *r = WB(InStore() ? S().FindAttr(idx, Z(name)) != Store::kNone : elem()->hasAttribute(Z(name).c_str()));
  });
}
HResult TElement::HasAttributeNS(WideStringView ns, WideStringView localName, WordBool* r) {
  return Guard([&] {
    std::u16string n = Z(ns);
    *r = WB(InStore() ? S().FindAttrNS(idx, n, LocalPart(Z(localName))) != Store::kNone
                      : AttrNS(elem(), n, localName) != nullptr);
  });
}

HResult TDocType::GetName(WideString* r) {
  return Guard([&] { Put(r, dt()->getName()); });
}
HResult TDocType::GetPublicId(WideString* r) {
  return Guard([&] { Put(r, dt()->getPublicId()); });
}
HResult TDocType::GetSystemId(WideString* r) {
  return Guard([&] { Put(r, dt()->getSystemId()); });
}
HResult TDocType::GetInternalSubset(WideString* r) {
  return Guard([&] { Put(r, dt()->getInternalSubset()); });
}

}  // namespace xdom
