// Wrappers, lists and attribute maps over a document's store, and the step
// that turns the store into a Xerces tree.
#include "lib/xercesxmldom/nodes/Nodes.h"

#include <algorithm>

#include "lib/xercesxmldom/store/Build.h"
#include "lib/xercesxmldom/store/ListCursor.h"

namespace xdom {

namespace {

// The children of a store node as a chain.
struct StoreChain {
  const Store& s;
  uint32_t parent;
  uint32_t First() const { return s.First(parent); }
  uint32_t Last() const { return s.Last(parent); }
  uint32_t Next(uint32_t n) const { return s.Next(n); }
  uint32_t Prev(uint32_t n) const { return s.Prev(n); }
};

// The attributes of a store element as a chain.
struct AttrChain {
  const Store& s;
  uint32_t element;
  uint32_t First() const { return s.FirstAttr(element); }
  uint32_t Last() const { return s.LastAttr(element); }
  uint32_t Next(uint32_t n) const { return s.Next(n); }
  uint32_t Prev(uint32_t n) const { return s.PrevAttr(n); }
};

// A list's position (see ListCursor.h), forgotten whenever the document
// has changed since it was taken.
class StoreCursor {
 public:
  template <class Chain>
  uint32_t At(XDoc* doc, const Chain& c, int32_t index) {
    Check(doc);
    return cursor_.At(c, index);
  }
  template <class Chain>
  int32_t Length(XDoc* doc, const Chain& c) {
    Check(doc);
    return cursor_.Length(c);
  }

 private:
  void Check(XDoc* doc) {
    if (doc->version == version_) return;
    cursor_.Reset();
    version_ = doc->version;
  }
  ListCursor<uint32_t, Store::kNone> cursor_;
  uint64_t version_ = 0;
};

// Children of a store node. Once the tree is built the list hands over to
// the Xerces list of the same parent.
class TStoreChildList final : public rtl::TInterfacedObject<IDOMNodeList>, public rtl::TBlockCached {
 public:
  TStoreChildList(XDoc* doc, uint32_t parent)
      : doc_(doc), parent_(parent), attr_(doc->store->Type(parent) == Store::kAttribute) {
    doc->HoldStoreNode(parent);
  }
  ~TStoreChildList() override { doc_->LetGoStoreNode(parent_); }

  HResult Item(int32_t index, IDOMNode** r) override {
    if (IDOMNodeList* l = Built()) return l->Item(index, r);
    return Guard([&] { *r = WrapAs<IDOMNode>(doc_.get(), cursor_.At(doc_.get(), Chain(), index)); });
  }
  HResult GetLength(int32_t* r) override {
    if (IDOMNodeList* l = Built()) return l->GetLength(r);
    return Guard([&] { *r = cursor_.Length(doc_.get(), Chain()); });
  }

 private:
  IDOMNodeList* Built() {
    if (doc_->store) return nullptr;
    if (!built_) built_ = ComPtr<IDOMNodeList>::adopt(ops::ChildList(doc_.get(), doc_->byIndex[parent_]));
    return built_.get();
  }
  const Store& S() const { return *doc_->store; }
  // An attribute's text child is made again after it was taken out.
  StoreChain Chain() {
    if (attr_) doc_->store->AttrText(parent_);
    return StoreChain{S(), parent_};
  }

  XDocRef doc_;
  uint32_t parent_;
  bool attr_;
  StoreCursor cursor_;
  ComPtr<IDOMNodeList> built_;
};

// Attributes of a store element, in document order. Changes are the
// element's own: a removed attribute gives way to its default however it
// is named (Xerces' map looks defaults up by namespace, and finds none for
// a prefixed name, whose default it made without namespace information).
class TStoreAttrMap final : public rtl::TInterfacedObject<IDOMNamedNodeMap>, public rtl::TBlockCached {
 public:
  TStoreAttrMap(XDoc* doc, uint32_t element) : doc_(doc), element_(element) { doc->HoldStoreNode(element); }
  ~TStoreAttrMap() override { doc_->LetGoStoreNode(element_); }

  HResult Item(int32_t index, IDOMNode** r) override {
    if (IDOMNamedNodeMap* m = Built()) return m->Item(index, r);
    return Guard([&] { *r = WrapAs<IDOMNode>(doc_.get(), cursor_.At(doc_.get(), AttrChain{S(), element_}, index)); });
  }
  HResult GetLength(int32_t* r) override {
    if (IDOMNamedNodeMap* m = Built()) return m->GetLength(r);
    return Guard([&] { *r = static_cast<int32_t>(S().AttrCount(element_)); });
  }
  HResult GetNamedItem(WideStringView name, IDOMNode** r) override {
    if (IDOMNamedNodeMap* m = Built()) return m->GetNamedItem(name, r);
    return Guard([&] { *r = WrapAs<IDOMNode>(doc_.get(), S().FindAttr(element_, Z(name))); });
  }
  HResult GetNamedItemNS(WideStringView ns, WideStringView localName, IDOMNode** r) override {
    if (IDOMNamedNodeMap* m = Built()) return m->GetNamedItemNS(ns, localName, r);
    return Guard([&] { *r = WrapAs<IDOMNode>(doc_.get(), S().FindAttrNS(element_, Z(ns), Z(localName))); });
  }
  HResult SetNamedItem(IDOMNode* arg, IDOMNode** r) override { return Set(arg, false, r); }
  HResult SetNamedItemNS(IDOMNode* arg, IDOMNode** r) override { return Set(arg, true, r); }
  HResult RemoveNamedItem(WideStringView name, IDOMNode** r) override {
    if (IDOMNamedNodeMap* m = Built()) return m->RemoveNamedItem(name, r);
    return Guard([&] { Remove(S().FindAttr(element_, Z(name)), r); });
  }
  HResult RemoveNamedItemNS(WideStringView ns, WideStringView localName, IDOMNode** r) override {
    if (IDOMNamedNodeMap* m = Built()) return m->RemoveNamedItemNS(ns, localName, r);
    return Guard([&] {
      const std::u16string local = Z(localName);
      Remove(local.empty() ? Store::kNone : S().FindAttrNS(element_, Z(ns), local), r);
    });
  }

 private:
  IDOMNamedNodeMap* Built() {
    if (doc_->store) return nullptr;
    if (!built_) built_ = ComPtr<IDOMNamedNodeMap>::adopt(ops::Attributes(doc_.get(), doc_->byIndex[element_]));
    return built_.get();
  }
  IDOMNamedNodeMap* Build() {
    doc_->Tree();
    return Built();
  }
  HResult Set(IDOMNode* arg, bool byNamespace, IDOMNode** r) {
    if (IDOMNamedNodeMap* m = Built()) return byNamespace ? m->SetNamedItemNS(arg, r) : m->SetNamedItem(arg, r);
    bool inStore = false;
    IDOMNamedNodeMap* m = nullptr;
    const HResult hr = Guard([&] {
      if (!arg) Fail(xc::DOMException::NOT_FOUND_ERR);
      uint32_t old = Store::kNone;
      inStore = sedit::SetAttributeNode(doc_.get(), element_, arg, byNamespace, &old);
      if (inStore && r) *r = WrapAs<IDOMNode>(doc_.get(), old);
      // A node the store cannot take (see SetAttributeNode) goes to Xerces.
      if (!inStore) m = Build();
    });
    if (inStore || rtl::Failed(hr)) return hr;
    return byNamespace ? m->SetNamedItemNS(arg, r) : m->SetNamedItem(arg, r);
  }
  // Xerces' map refuses to remove what it does not hold.
  void Remove(uint32_t attr, IDOMNode** r) {
    if (attr == Store::kNone) Fail(xc::DOMException::NOT_FOUND_ERR);
    sedit::RemoveAttribute(doc_.get(), element_, attr);
    if (r) *r = WrapAs<IDOMNode>(doc_.get(), attr);
  }
  const Store& S() const { return *doc_->store; }

  XDocRef doc_;
  uint32_t element_;
  StoreCursor cursor_;
  ComPtr<IDOMNamedNodeMap> built_;
};

// The elements below a store node, in document order, with a name (or a
// namespace and local name; "*" for any): live, like Xerces' own. The
// matches are listed again on the first read after a change. Once the
// tree is built the list hands over to Xerces' list of the same query.
class TStoreTagList final : public rtl::TInterfacedObject<IDOMNodeList>, public rtl::TBlockCached {
 public:
  TStoreTagList(XDoc* doc, uint32_t root, const std::u16string* ns, std::u16string name)
      : doc_(doc), root_(root), byNs_(ns != nullptr), ns_(ns ? *ns : std::u16string()), name_(std::move(name)) {
    doc->HoldStoreNode(root);
  }
  ~TStoreTagList() override { doc_->LetGoStoreNode(root_); }

  HResult Item(int32_t index, IDOMNode** r) override {
    if (IDOMNodeList* l = Built()) return l->Item(index, r);
    return Guard([&] {
      const std::vector<uint32_t>& m = Matches();
      const bool in = index >= 0 && static_cast<size_t>(index) < m.size();
      *r = in ? WrapAt(doc_.get(), m[static_cast<size_t>(index)]) : nullptr;
    });
  }
  HResult GetLength(int32_t* r) override {
    if (IDOMNodeList* l = Built()) return l->GetLength(r);
    return Guard([&] { *r = static_cast<int32_t>(Matches().size()); });
  }

 private:
  // As Xerces matches: a name without namespace information has no local
  // name, so only "*" takes it by namespace.
  bool Match(const Store& s, uint32_t e) const {
    const Store::Name& n = s.NameOf(e);
    if (!byNs_) return name_ == u"*" || n.qname == name_;
    if (ns_ != u"*" && n.ns != ns_) return false;
    return name_ == u"*" || (!n.bare && n.Local() == name_);
  }
  const std::vector<uint32_t>& Matches() {
    if (made_ && version_ == doc_->version) return matches_;
    matches_.clear();
    const Store& s = *doc_->store;
    for (uint32_t n = s.First(root_); n != Store::kNone; n = s.After(n, root_))
      if (s.Type(n) == Store::kElement && Match(s, n)) matches_.push_back(n);
    made_ = true;
    version_ = doc_->version;
    return matches_;
  }
  IDOMNodeList* Built() {
    if (doc_->store) return nullptr;
    if (!built_) {
      xc::DOMNode* root = doc_->byIndex[root_];
      const XMLCh* ns = NullIfEmpty(ns_);
      xc::DOMNodeList* l;
      if (root->getNodeType() == xc::DOMNode::DOCUMENT_NODE) {
        auto* d = static_cast<xc::DOMDocument*>(root);
        l = byNs_ ? d->getElementsByTagNameNS(ns, name_.c_str()) : d->getElementsByTagName(name_.c_str());
      } else {
        auto* e = static_cast<xc::DOMElement*>(root);
        l = byNs_ ? e->getElementsByTagNameNS(ns, name_.c_str()) : e->getElementsByTagName(name_.c_str());
      }
      built_ = ComPtr<IDOMNodeList>::adopt(WrapXercesList(doc_.get(), l));
    }
    return built_.get();
  }

  XDocRef doc_;
  uint32_t root_;
  bool byNs_;
  std::u16string ns_, name_;
  std::vector<uint32_t> matches_;
  bool made_ = false;
  uint64_t version_ = 0;
  ComPtr<IDOMNodeList> built_;
};

}  // namespace

namespace ops {

IDOMNodeList* StoreTagList(XDoc* doc, uint32_t root, const std::u16string* ns, WideStringView name) {
  auto* l = new TStoreTagList(doc, root, ns, Z(name));
  l->AddRef();
  return l;
}


IDOMNodeList* StoreChildList(XDoc* doc, uint32_t parent) {
  auto* l = new TStoreChildList(doc, parent);
  l->AddRef();
  return l;
}

IDOMNamedNodeMap* StoreAttributes(XDoc* doc, uint32_t element) {
  auto* m = new TStoreAttrMap(doc, element);
  m->AddRef();
  return m;
}

}  // namespace ops

IDOMNode* WrapAt(XDoc* doc, uint32_t idx) {
  if (idx == 0) return WrapDocument(doc);
  Store& store = *doc->store;
  const uint32_t h = store.Handle(idx);
  if (h && doc->storeSlots[h].wrapper) {
    IDOMNode* existing = doc->storeSlots[h].wrapper->self;
    existing->AddRef();
    return existing;
  }
  NodeCore* core = nullptr;
  // A document type is Xerces' own node, in the tree or out of it.
  const uint8_t type = store.Type(idx);
  IDOMNode* r = NewWrapper(doc, type, type == Store::kDocType ? doc->TypeNode(idx) : nullptr, idx, &core);
  try {
    doc->storeSlots[doc->SlotOf(idx)].wrapper = core;
  } catch (...) {
    r->Release();
    throw;
  }
  core->self = r;
  return r;
}

uint32_t XDoc::NewSlot(uint32_t idx) {
  uint32_t h;
  if (freeSlots.empty()) {
    h = static_cast<uint32_t>(storeSlots.size());
    storeSlots.emplace_back();
  } else {
    h = freeSlots.back();
    freeSlots.pop_back();
  }
  store->SetHandle(idx, h);
  return h;
}

void XDoc::FreeSlot(uint32_t idx, uint32_t h) {
  store->SetHandle(idx, 0);
  freeSlots.push_back(h);
}

void XDoc::DropStoreWrapper(uint32_t idx) {
  const uint32_t h = store->Handle(idx);
  storeSlots[h].wrapper = nullptr;
  if (storeSlots[h].lists == 0) FreeSlot(idx, h);
}

void XDoc::CollectStore() {
  // At least this many loose nodes between two collections, and more when
  // the last one looked at many nodes it had to keep, so that the looking
  // costs a few steps for each node made or taken out.
  constexpr size_t kCollectFrom = 64;
  if (!store || store->Loose() < collectAt) return;
  const size_t looked = store->Collect();
  collectAt = store->Loose() + std::max(kCollectFrom, looked / 4);
}

void XDoc::Materialize() {
  if (!store) return;
  // Building may run out of memory on a large document: then nothing
  // changes (the store stays, the partial tree goes) and the call fails.
  std::vector<xc::DOMNode*> made;
  try {
    made = BuildTree(*store, doc, attrOrder, outsideTypes);
    // The wrappers made over the store are found under their Xerces nodes.
    for (const StoreSlot& slot : storeSlots)
      if (slot.wrapper) wrappers.emplace(made[slot.wrapper->idx], slot.wrapper);
  } catch (...) {
    if (!made.empty())
      for (const StoreSlot& slot : storeSlots)
        if (slot.wrapper) wrappers.erase(made[slot.wrapper->idx]);
    // The document type was there before.
    for (xc::DOMNode* c = doc->getFirstChild(); c;) {
      xc::DOMNode* next = c->getNextSibling();
      if (c->getNodeType() != xc::DOMNode::DOCUMENT_TYPE_NODE) doc->removeChild(c);
      c = next;
    }
    throw;
  }
  byIndex = std::move(made);
  attrOrder.Seal();
  for (const StoreSlot& slot : storeSlots)
    if (slot.wrapper) slot.wrapper->node_ = byIndex[slot.wrapper->idx];
  storeSlots.assign(1, StoreSlot{});
  freeSlots.clear();
  store.reset();
}

}  // namespace xdom
