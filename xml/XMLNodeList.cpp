// TXMLNodeList: the cached child and attribute lists of a node. The list
// only reports edits; its owner applies them to the DOM. Outside update mode
// a list always lists its owner's DOM children (or attributes) in DOM order:
// before each use it rebuilds itself if the tree changed under it since it
// last matched (see XMLTreeSync.h).
#include "xml/XMLDoc.h"

#include <unordered_map>
#include <utility>
#include <vector>

#include "rtl/TextConv.h"
#include "rtl/rtlconst.h"
#include "xml/XMLConst.h"
#include "xml/XMLTreeSync.h"

namespace {

xmlsync::Key ItemKey(IXMLNode* item) {
  if (TXMLNode* node = NodeObjectOf(item)) return xmlsync::KeyOf(node->DOMNode());
  return item ? xmlsync::KeyOf(item->GetDOMNode().get()) : nullptr;
}

void RequireNode(const rtl::ComPtr<IXMLNode>& node) {
  if (!node) RaiseDocError(XMLConst::SMissingXMLNode);
}

// The DOM nodes a list over owner mirrors, in order.
std::vector<rtl::ComPtr<IDOMNode>> DOMItems(IDOMNode* owner, TXMLNodeList::TSource source) {
  std::vector<rtl::ComPtr<IDOMNode>> items;
  int32_t length = 0;
  if (source == TXMLNodeList::lsAttributes) {
    rtl::ComPtr<IDOMNamedNodeMap> map;
    DOMCheck(owner->GetAttributes(map.put()), "GetAttributes");
    if (!map) return items;
    DOMCheck(map->GetLength(&length), "GetLength");
    items.resize(static_cast<size_t>(length));
    for (int32_t i = 0; i < length; ++i) DOMCheck(map->Item(i, items[static_cast<size_t>(i)].put()), "Item");
  } else {
    rtl::ComPtr<IDOMNodeList> children;
    DOMCheck(owner->GetChildNodes(children.put()), "GetChildNodes");
    if (!children) return items;
    DOMCheck(children->GetLength(&length), "GetLength");
    items.resize(static_cast<size_t>(length));
    for (int32_t i = 0; i < length; ++i)
      DOMCheck(children->Item(i, items[static_cast<size_t>(i)].put()), "Item");
  }
  return items;
}

}  // namespace

TXMLNodeList::TXMLNodeList(TXMLNode* owner, const WideString& defaultNamespaceURI,
                           TNodeListNotification notificationProc)
    : FNotificationProc(notificationProc), FOwner(owner), FDefaultNamespaceURI(defaultNamespaceURI) {}

TXMLNodeList::TXMLNodeList(TXMLNode* owner, TNodeListNotification notificationProc, bool ownerNamespace)
    : FNotificationProc(notificationProc), FOwner(owner), FNamespaceOfOwner(ownerNamespace) {}

TXMLNodeList::~TXMLNodeList() {
  if (FLoose && FOwner) FOwner->LooseAttributesGone(this);
}

HResult TXMLNodeList::QueryInterface(const rtl::GUID& iid, void** obj) {
  if (obj && IsIID(iid, kObjectIID)) {
    *obj = static_cast<TXMLNodeList*>(this);  // deliberately not counted
    return rtl::S_OK_;
  }
  return TInterfacedObject::QueryInterface(iid, obj);
}

const WideString& TXMLNodeList::DefaultNamespaceURI() {
  if (FNamespaceOfOwner && FOwner) {
    FDefaultNamespaceURI = FOwner->GetNamespaceURI();
    FNamespaceOfOwner = false;
  }
  return FDefaultNamespaceURI;
}

// ---------------------------------------------------------------------------
// Reference counting: the owner's cache reference does not hold the owner;
// while any other reference exists, the list holds one on its owner.

int32_t TXMLNodeList::AddRef() {
  const int32_t n = DoAddRef();
  if (!FHoldsOwner && FOwner && n > (FCached ? 1 : 0)) {
    FHoldsOwner = true;
    FOwner->AddRef();
  }
  return n;
}

rtl::ComPtr<IXMLNodeList> TXMLNodeList::FirstReference(TXMLNodeList* list) {
  list->CountFirstReference();
  if (list->FOwner && !list->FCached) {
    list->FHoldsOwner = true;
    list->FOwner->AddRef();
  }
  return rtl::ComPtr<IXMLNodeList>::adopt(list);
}

int32_t TXMLNodeList::Release() {
  const int32_t n = rtl::DropReference(refs_);
  if (n == 0) {
    TXMLNode* held = FHoldsOwner ? FOwner : nullptr;
    delete this;
    if (held) held->Release();
    return 0;
  }
  if (FHoldsOwner && n <= (FCached ? 1 : 0)) {
    TXMLNode* held = FOwner;
    FHoldsOwner = false;
    held->Release();  // may free the owner, and with it this list: touch nothing after
  }
  return n;
}

void TXMLNodeList::SetCached(bool cached) {
  // Called while the cache's reference is counted: every other one is
  // someone else's.
  FCached = cached;
  UpdateOwnerHold();
}

void TXMLNodeList::UpdateOwnerHold() {
  const bool others = RefCount() - 1 > 0;
  if (others && !FHoldsOwner && FOwner) {
    FHoldsOwner = true;
    FOwner->AddRef();
  } else if (!others && FHoldsOwner) {
    FHoldsOwner = false;
    FOwner->Release();  // the owner is calling: it stays alive
  }
}

void TXMLNodeList::OwnerDestroyed() {
  // A list that outlives its owner (a hosted node holds it) keeps the
  // namespace it had.
  if (RefCount() > 1) DefaultNamespaceURI();
  FOwner = nullptr;
  FNotificationProc = TNodeListNotification();
  FSource = lsNone;
  FLoose = false;
}

// ---------------------------------------------------------------------------
// Following the DOM

void TXMLNodeList::SetSource(TSource source) {
  FSource = source;
  FSyncedAt = xmlsync::Epoch();
  FMustRebuild = false;
}

void TXMLNodeList::Sync() {
  if (FSource == lsNone || FUpdateCount != 0 || !FOwner) return;
  const uint64_t now = xmlsync::Epoch();
  if (FSyncedAt == now && !FMustRebuild) return;
  SyncTo(now);
}

void TXMLNodeList::SyncTo(uint64_t now) {
  // An attribute's children (its text) change with every value written to
  // it, by name, through its element: those lists, a node or two long, are
  // simply checked whenever anything changed.
  if (FMustRebuild || FOwner->GetNodeType() == ntAttribute ||
      xmlsync::ChangedSince(xmlsync::KeyOf(FOwner->DOMNode()), FSyncedAt)) {
    // What the list lets go of may be the last hold on its document, and
    // with it on the list's owner: the list keeps itself alive meanwhile.
    rtl::ComPtr<IXMLNodeList> self(this);
    Rebuild();
  }
  FMustRebuild = false;
  FSyncedAt = now;
}

void TXMLNodeList::Rebuild() {
  std::vector<rtl::ComPtr<IDOMNode>> dom = DOMItems(FOwner->DOMNode(), FSource);
  const int32_t count = FList.UnlockedCount();
  std::vector<xmlsync::Key> domKeys(dom.size());
  bool same = static_cast<size_t>(count) == dom.size();
  for (size_t i = 0; i < dom.size(); ++i) {
    domKeys[i] = xmlsync::KeyOf(dom[i].get());
    if (same && ItemKey(FList.UnlockedGet(static_cast<int32_t>(i)).get()) != domKeys[i]) same = false;
  }
  if (same) return;

  // Keep every wrapper whose DOM node is still there (the first one, should
  // update mode have listed a node twice); wrap the newcomers.
  std::unordered_map<xmlsync::Key, rtl::ComPtr<IXMLNode>> old;
  old.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    rtl::ComPtr<IXMLNode> item = FList.Get(i);
    old.try_emplace(ItemKey(item.get()), item);
  }
  std::vector<rtl::ComPtr<IXMLNode>> items;
  items.reserve(dom.size());
  for (size_t i = 0; i < dom.size(); ++i) {
    rtl::ComPtr<IXMLNode> item;
    if (auto it = old.find(domKeys[i]); it != old.end()) {
      item = std::move(it->second);
      old.erase(it);
    } else {
      item = FSource == lsChildren ? FOwner->CreateChildNode(std::move(dom[i]))
                                   : FOwner->CreateAttributeNode(std::move(dom[i]));
    }
    if (TXMLNode* node = NodeObjectOf(item.get()); node && FSource == lsChildren) node->SetStoredParent(FOwner);
    items.push_back(std::move(item));
  }
  for (auto& [key, item] : old)
    if (TXMLNode* node = NodeObjectOf(item.get()); node && node->StoredParent() == FOwner)
      node->SetStoredParent(nullptr);
  FList.Clear();
  FList.Reserve(static_cast<int32_t>(items.size()));
  for (rtl::ComPtr<IXMLNode>& item : items) FList.Add(item);
  Settle();
}

void TXMLNodeList::Settle() {
  if (FLoose && FOwner && (FList.UnlockedCount() != 0 || FUpdateCount != 0)) FOwner->KeepLooseAttributes(this);
}

int32_t TXMLNodeList::IndexOfDOMNode(IDOMNode* node) {
  Sync();
  return IndexOfKey(xmlsync::KeyOf(node));
}

int32_t TXMLNodeList::IndexOfKey(const void* key) {
  if (!key) return -1;
  for (int32_t i = 0, n = FList.UnlockedCount(); i < n; ++i)
    if (ItemKey(FList.UnlockedGet(i).get()) == key) return i;
  return -1;
}

// ---------------------------------------------------------------------------
// Reading

void TXMLNodeList::DoNotify(TNodeListOperation operation, const rtl::ComPtr<IXMLNode>& node,
                            const OleVariant& indexOrName, bool beforeOperation, rtl::ComPtr<IXMLNode>& result) {
  result = node;
  if (FNotificationProc) FNotificationProc(operation, result, indexOrName, beforeOperation);
}

// The list is used from its document's thread only: reading it takes no
// lock (two atomic operations a call saved on every walk step).
int32_t TXMLNodeList::GetCount() {
  Sync();
  return FList.UnlockedCount();
}

rtl::ComPtr<IXMLNode> TXMLNodeList::Get(int32_t index) {
  Sync();
  return FList.UnlockedGet(index);
}

rtl::ComPtr<IXMLNode> TXMLNodeList::GetNode(const OleVariant& indexOrName) {
  if (indexOrName.IsOrdinal()) {
    int32_t index = 0;
    indexOrName.TryToInteger(index);
    return Get(index);
  }
  const WideString name = indexOrName.ToWideString();
  rtl::ComPtr<IXMLNode> result = FindNode(name);
  if (!result && FOwner && FOwner->DocOptions().Contains(doNodeAutoCreate))
    DoNotify(nlCreateNode, nullptr, indexOrName, true, result);
  if (!result) RaiseDocErrorFmt(XMLConst::SNodeNotFound, {rtl::WideToNarrow(name)});
  return result;
}

int32_t TXMLNodeList::GetUpdateCount() { return FUpdateCount; }

void TXMLNodeList::BeginUpdate() {
  Sync();
  if (++FUpdateCount == 0) LeaveUpdateMode();
  Settle();
}

void TXMLNodeList::EndUpdate() {
  if (--FUpdateCount == 0) LeaveUpdateMode();
  Settle();
}

void TXMLNodeList::LeaveUpdateMode() {
  // The list follows the DOM again at once: what update mode listed without
  // the DOM goes now, not on next use, so a node listed under itself does
  // not stay a reference cycle.
  FMustRebuild = true;
  Sync();
}

rtl::ComPtr<IXMLNode> TXMLNodeList::First() {
  Sync();
  return FList.First();
}

rtl::ComPtr<IXMLNode> TXMLNodeList::Last() {
  Sync();
  return FList.Last();
}

rtl::ComPtr<IXMLNode> TXMLNodeList::FindNode(const WideString& nodeName) {
  return FindNode(nodeName, DefaultNamespaceURI());
}

rtl::ComPtr<IXMLNode> TXMLNodeList::FindNode(const WideString& nodeName, const WideString& namespaceURI) {
  const int32_t index = IndexOf(nodeName, namespaceURI);
  return index >= 0 ? FList.Get(index) : nullptr;
}

rtl::ComPtr<IXMLNode> TXMLNodeList::FindNode(const rtl::GUID& childNodeType) {
  // The object identities answer without a reference; they name no
  // interface a caller could hold.
  if (childNodeType == TXMLNode::kObjectIID || childNodeType == kObjectIID) return nullptr;
  Sync();
  for (int32_t i = 0, n = FList.Count(); i < n; ++i) {
    rtl::ComPtr<IXMLNode> item = FList.Get(i);
    rtl::ComPtr<rtl::IInterface> probe;
    if (item && rtl::Succeeded(item->QueryInterface(childNodeType, reinterpret_cast<void**>(probe.put()))))
      return item;
  }
  return nullptr;
}

rtl::ComPtr<IXMLNode> TXMLNodeList::FindSibling(const rtl::ComPtr<IXMLNode>& node, int32_t delta) {
  int32_t index = IndexOf(node);
  // Another wrapper of a listed DOM node stands where that node stands.
  if (index < 0 && node) index = IndexOfDOMNode(node->GetDOMNode().get());
  index += delta;
  if (index < 0 || index >= FList.Count()) return nullptr;
  return FList.Get(index);
}

int32_t TXMLNodeList::IndexOf(const rtl::ComPtr<IXMLNode>& node) {
  Sync();
  return FList.IndexOf(node);
}

int32_t TXMLNodeList::IndexOf(const WideString& name) { return IndexOf(name, DefaultNamespaceURI()); }

int32_t TXMLNodeList::IndexOf(const WideString& name, const WideString& namespaceURI) {
  Sync();
  for (int32_t i = 0, n = FList.UnlockedCount(); i < n; ++i) {
    IXMLNode* const item = FList.UnlockedGet(i).get();
    const TXMLNode* node = NodeObjectOf(item);
    if (node ? NodeMatches(node->DOMNode(), name, namespaceURI)
             : NodeMatches(item->GetDOMNode().get(), name, namespaceURI))
      return i;
  }
  return -1;
}

// ---------------------------------------------------------------------------
// Editing

int32_t TXMLNodeList::Add(const rtl::ComPtr<IXMLNode>& node) { return Insert(-1, node); }

void TXMLNodeList::Clear() {
  FList.Lock();
  try {
    while (GetCount() > 0)
      if (Remove(FList.Get(0)) < 0) break;  // nothing left that can go
  } catch (...) {
    FList.Unlock();
    throw;
  }
  FList.Unlock();
}

int32_t TXMLNodeList::Delete(int32_t index) { return Remove(Get(index)); }

int32_t TXMLNodeList::Delete(const WideString& name) { return Delete(name, DefaultNamespaceURI()); }

int32_t TXMLNodeList::Delete(const WideString& name, const WideString& namespaceURI) {
  rtl::ComPtr<IXMLNode> node = FindNode(name, namespaceURI);
  if (!node) return -1;
  return Remove(node);
}

int32_t TXMLNodeList::InternalInsert(int32_t index, const rtl::ComPtr<IXMLNode>& node) {
  RequireNode(node);
  Sync();
  // Checked before the owner touches the DOM, so a bad position cannot leave
  // the DOM changed and the list not.
  if (index < -1 || index > FList.Count())
    throw rtl::EListError(rtl::Format(rtl::msg::kListIndexError, {index}));
  const rtl::ComPtr<IXMLNode> ref = index >= 0 && index < FList.Count() ? FList.Get(index) : nullptr;
  xmlsync::ListEdit edit;
  edit.owner = FOwner;
  edit.live = FUpdateCount == 0;
  const uint64_t start = xmlsync::Epoch();
  rtl::ComPtr<IXMLNode> ignored;
  {
    xmlsync::EditScope scope(edit);
    DoNotify(nlInsert, node, OleVariant(index), true, ignored);
  }
  int32_t result = index;
  const bool following = FSource != lsNone && edit.live;
  // The list repeats the edit itself only when it knows the outcome: its
  // owner inserted a plain node and nothing else changed meanwhile.
  const bool exact = edit.applied && edit.before == start && edit.after == xmlsync::Epoch() &&
                     FSource == lsChildren && node->GetNodeType() != ntDocumentFragment &&
                     !(edit.movedWithin && ref && ItemKey(ref.get()) == ItemKey(node.get()));
  if (!following) {
    if (index == -1)
      result = FList.Add(node);
    else
      FList.Insert(index, node);
  } else if (exact) {
    if (edit.movedWithin) FList.Delete(IndexOfKey(ItemKey(node.get())));
    const int32_t at = ref ? FList.IndexOf(ref) : -1;
    if (at < 0) {
      result = FList.Add(node);
    } else {
      FList.Insert(at, node);
      result = at;
    }
    FSyncedAt = xmlsync::Epoch();
  } else {
    Rebuild();
    FSyncedAt = xmlsync::Epoch();
    result = FList.IndexOf(node);
    if (result < 0) result = IndexOfKey(ItemKey(node.get()));
    if (result < 0) result = index >= 0 ? index : FList.Count() - 1;  // a fragment's children came in
  }
  Settle();
  DoNotify(nlInsert, node, OleVariant(index), false, ignored);
  return result;
}

void TXMLNodeList::InsertFormattingNode(int32_t level, int32_t index, bool lineBreak) {
  TXMLDocument* document = FOwner->Document();
  WideString text;
  if (lineBreak) text += u'\n';
  const WideString unit = document->GetNodeIndentStr();
  for (int32_t i = 0; i < level; ++i) text += unit;
  rtl::ComPtr<IDOMNode> domNode = MakeDOMNode(FOwner->DOMDocument().get(), text, ntText, WideString());
  rtl::ComPtr<IXMLNode> node(new TXMLNode(std::move(domNode), nullptr, document));
  InternalInsert(index, node);
}

int32_t TXMLNodeList::Insert(int32_t index, const rtl::ComPtr<IXMLNode>& node) {
  RequireNode(node);
  TXMLNode* ownerParent = FOwner ? FOwner->ParentNode() : nullptr;
  const bool format = ownerParent && !FOwner->GetHostNode() && FOwner->Document() &&
                      FOwner->Document()->GetOptions().Contains(doNodeAutoIndent) &&
                      node->GetNodeType() != ntAttribute && node->GetNodeType() != ntText;
  if (!format) return InternalInsert(index, node);

  const int32_t parentLevel = ownerParent->NestingLevel();
  if (GetCount() == 0) InsertFormattingNode(parentLevel, -1, true);
  if (index == -1) InsertFormattingNode(1, -1, false);
  const int32_t result = InternalInsert(index, node);
  InsertFormattingNode(index == -1 ? parentLevel : FOwner->NestingLevel(), result + 1, true);
  return result;
}

int32_t TXMLNodeList::Remove(const rtl::ComPtr<IXMLNode>& node) {
  RequireNode(node);
  Sync();
  // Held across the notifications: the caller's reference may be the list's.
  rtl::ComPtr<IXMLNode> keep = node;
  int32_t result = FList.IndexOf(keep);
  const bool following = FSource != lsNone && FUpdateCount == 0;
  if (result < 0 && following) result = IndexOfKey(ItemKey(keep.get()));
  xmlsync::ListEdit edit;
  edit.owner = FOwner;
  edit.live = FUpdateCount == 0;
  const uint64_t start = xmlsync::Epoch();
  rtl::ComPtr<IXMLNode> ignored;
  {
    xmlsync::EditScope scope(edit);
    DoNotify(nlRemove, keep, OleVariant(-1), true, ignored);
  }
  if (!following) {
    result = FList.Remove(keep);
  } else if (edit.applied && edit.before == start && edit.after == xmlsync::Epoch()) {
    if (result >= 0) FList.Delete(result);
    FSyncedAt = xmlsync::Epoch();
  } else {
    Rebuild();
    FSyncedAt = xmlsync::Epoch();
  }
  DoNotify(nlRemove, keep, OleVariant(-1), false, ignored);
  return result;
}

rtl::ComPtr<IXMLNode> TXMLNodeList::ReplaceNode(const rtl::ComPtr<IXMLNode>& oldNode,
                                                const rtl::ComPtr<IXMLNode>& newNode) {
  RequireNode(oldNode);
  RequireNode(newNode);
  rtl::ComPtr<IXMLNode> result = oldNode;
  const int32_t index = Remove(oldNode);
  Insert(index, newNode);
  return result;
}
