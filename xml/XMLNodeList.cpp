// TXMLNodeList: the cached child and attribute lists of a node. The list
// only reports edits; its owner applies them to the DOM.
#include "xml/XMLDoc.h"

#include "rtl/TextConv.h"
#include "rtl/rtlconst.h"
#include "xml/XMLConst.h"

TXMLNodeList::TXMLNodeList(TXMLNode* owner, const WideString& defaultNamespaceURI,
                           TNodeListNotification notificationProc)
    : FNotificationProc(notificationProc), FOwner(owner), FDefaultNamespaceURI(defaultNamespaceURI) {}

TXMLNodeList::~TXMLNodeList() {
  // A dropped list is the last to know its nodes as the owner's children;
  // once it goes they must not point at an owner that may die before them.
  if (FOwnerRef) ClearItemParents();
}

void TXMLNodeList::ClearItemParents() {
  if (!FOwner) return;
  for (int32_t i = 0, n = FList.Count(); i < n; ++i)
    if (TXMLNode* node = NodeObjectOf(FList.Get(i).get()); node && node->FParentNode == FOwner)
      node->FParentNode = nullptr;
}

HResult TXMLNodeList::QueryOther(const rtl::GUID& iid, void** obj) {
  if (iid != kObjectIID) return rtl::E_NOINTERFACE_;
  *obj = static_cast<TXMLNodeList*>(this);  // deliberately not counted
  return rtl::S_OK_;
}

void TXMLNodeList::OwnerDropped() {
  if (!FOwner || FOwnerRef) return;
  if (RefCount() > 1 && FOwner->RefCount() > 0)
    FOwnerRef = FOwner;  // someone still holds the list: it keeps its owner alive
  else
    ClearItemParents();  // the list goes with the owner's reference
}

void TXMLNodeList::OwnerDestroyed() {
  ClearItemParents();
  FOwner = nullptr;
  FNotificationProc = TNodeListNotification();
}

void TXMLNodeList::DoNotify(TNodeListOperation operation, const rtl::ComPtr<IXMLNode>& node,
                            const OleVariant& indexOrName, bool beforeOperation, rtl::ComPtr<IXMLNode>& result) {
  result = node;
  if (FNotificationProc) FNotificationProc(operation, result, indexOrName, beforeOperation);
}

int32_t TXMLNodeList::GetCount() { return FList.Count(); }

rtl::ComPtr<IXMLNode> TXMLNodeList::Get(int32_t index) { return FList.Get(index); }

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

int32_t TXMLNodeList::Add(const rtl::ComPtr<IXMLNode>& node) { return Insert(-1, node); }

void TXMLNodeList::BeginUpdate() { ++FUpdateCount; }

void TXMLNodeList::EndUpdate() { --FUpdateCount; }

void TXMLNodeList::Clear() {
  FList.Lock();
  try {
    while (FList.Count() > 0) Remove(Get(0));
  } catch (...) {
    FList.Unlock();
    throw;
  }
  FList.Unlock();
}

int32_t TXMLNodeList::Delete(int32_t index) { return Remove(Get(index)); }

int32_t TXMLNodeList::Delete(const WideString& name) { return Delete(name, FDefaultNamespaceURI); }

int32_t TXMLNodeList::Delete(const WideString& name, const WideString& namespaceURI) {
  rtl::ComPtr<IXMLNode> node = FindNode(name, namespaceURI);
  if (!node) return -1;
  return Remove(node);
}

rtl::ComPtr<IXMLNode> TXMLNodeList::First() { return FList.First(); }

rtl::ComPtr<IXMLNode> TXMLNodeList::Last() { return FList.Last(); }

rtl::ComPtr<IXMLNode> TXMLNodeList::FindNode(const WideString& nodeName) {
  return FindNode(nodeName, FDefaultNamespaceURI);
}

rtl::ComPtr<IXMLNode> TXMLNodeList::FindNode(const WideString& nodeName, const WideString& namespaceURI) {
  const int32_t index = IndexOf(nodeName, namespaceURI);
  return index >= 0 ? Get(index) : nullptr;
}

rtl::ComPtr<IXMLNode> TXMLNodeList::FindNode(const rtl::GUID& childNodeType) {
  // The object identities answer without a reference; they name no
  // interface a caller could hold.
  if (childNodeType == TXMLNode::kObjectIID || childNodeType == kObjectIID) return nullptr;
  for (int32_t i = 0, n = FList.Count(); i < n; ++i) {
    rtl::ComPtr<IXMLNode> item = FList.Get(i);
    rtl::ComPtr<rtl::IInterface> probe;
    if (item && rtl::Succeeded(item->QueryInterface(childNodeType, reinterpret_cast<void**>(probe.put()))))
      return item;
  }
  return nullptr;
}

rtl::ComPtr<IXMLNode> TXMLNodeList::FindSibling(const rtl::ComPtr<IXMLNode>& node, int32_t delta) {
  const int32_t index = IndexOf(node) + delta;
  if (index < 0 || index >= FList.Count()) return nullptr;
  return Get(index);
}

int32_t TXMLNodeList::IndexOf(const rtl::ComPtr<IXMLNode>& node) { return FList.IndexOf(node); }

int32_t TXMLNodeList::IndexOf(const WideString& name) { return IndexOf(name, FDefaultNamespaceURI); }

int32_t TXMLNodeList::IndexOf(const WideString& name, const WideString& namespaceURI) {
  for (int32_t i = 0, n = FList.Count(); i < n; ++i) {
    rtl::ComPtr<IXMLNode> item = FList.Get(i);
    if (NodeMatches(item->GetDOMNode().get(), name, namespaceURI)) return i;
  }
  return -1;
}

int32_t TXMLNodeList::InternalInsert(int32_t index, const rtl::ComPtr<IXMLNode>& node) {
  // Checked before the owner touches the DOM, so a bad position cannot leave
  // the DOM changed and the list not.
  if (index < -1 || index > FList.Count())
    throw rtl::EListError(rtl::Format(rtl::msg::kListIndexError, {index}));
  rtl::ComPtr<IXMLNode> ignored;
  DoNotify(nlInsert, node, OleVariant(index), true, ignored);
  int32_t result = index;
  if (index == -1)
    result = FList.Add(node);
  else
    FList.Insert(index, node);
  DoNotify(nlInsert, node, OleVariant(index), false, ignored);
  return result;
}

void TXMLNodeList::InsertFormattingNode(int32_t level, int32_t index, bool lineBreak) {
  TXMLDocument* document = FOwner->Document();
  WideString text;
  if (lineBreak) text += u'\n';
  const WideString unit = document->GetNodeIndentStr();
  for (int32_t i = 0; i < level; ++i) text += unit;
  rtl::ComPtr<IDOMNode> domNode = MakeDOMNode(document->GetDOMDocument().get(), text, ntText, WideString());
  rtl::ComPtr<IXMLNode> node(new TXMLNode(domNode, nullptr, document));
  InternalInsert(index, node);
}

int32_t TXMLNodeList::Insert(int32_t index, const rtl::ComPtr<IXMLNode>& node) {
  const bool format = FOwner && FOwner->FParentNode && !FOwner->GetHostNode() && FOwner->Document() &&
                      FOwner->Document()->GetOptions().Contains(doNodeAutoIndent) && node &&
                      node->GetNodeType() != ntAttribute && node->GetNodeType() != ntText;
  if (!format) return InternalInsert(index, node);

  const int32_t parentLevel = FOwner->FParentNode->NestingLevel();
  if (FList.Count() == 0) InsertFormattingNode(parentLevel, -1, true);
  if (index == -1) InsertFormattingNode(1, -1, false);
  const int32_t result = InternalInsert(index, node);
  InsertFormattingNode(index == -1 ? parentLevel : FOwner->NestingLevel(), result + 1, true);
  return result;
}

int32_t TXMLNodeList::Remove(const rtl::ComPtr<IXMLNode>& node) {
  // Held across the notifications: the caller's reference may be the list's.
  rtl::ComPtr<IXMLNode> keep = node;
  rtl::ComPtr<IXMLNode> ignored;
  DoNotify(nlRemove, keep, OleVariant(-1), true, ignored);
  const int32_t result = FList.Remove(keep);
  DoNotify(nlRemove, keep, OleVariant(-1), false, ignored);
  return result;
}

rtl::ComPtr<IXMLNode> TXMLNodeList::ReplaceNode(const rtl::ComPtr<IXMLNode>& oldNode,
                                                const rtl::ComPtr<IXMLNode>& newNode) {
  rtl::ComPtr<IXMLNode> result = oldNode;
  const int32_t index = Remove(oldNode);
  Insert(index, newNode);
  return result;
}
