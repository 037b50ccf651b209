// TXMLNode, the wrapper around one DOM node: reading, attributes, lists on
// demand, node classes, hosting and reference counting. The editing side
// (list notifications, adding children, namespaces) is in XMLNodeEdit.cpp.
#include "xml/XMLDoc.h"

#include <algorithm>
#include <typeinfo>
#include <unordered_set>
#include <utility>
#include <vector>

#include "rtl/TextConv.h"
#include "xml/XMLConst.h"
#include "xml/XMLTreeSync.h"
#include "xml/XMLTextRules.h"

struct TXMLNode::Extra {
  TNodeClassArray ChildNodeClasses;
  rtl::IInterface* Container = nullptr;
  TXMLNode* HostNode = nullptr;
  TXMLNodeArray HostedNodes;
  TNodeListNotification OnChildListChange;
  TNodeListNotification OnAttributeListChange;
};

namespace {

// Destroying a wrapper releases its lists, which release their nodes, which
// release their lists... On a deep document that chain would recurse once
// per level. Instead, a node whose count drops to 0 while another node is
// being destroyed on this thread is queued, and the outermost destruction
// drains the queue in a loop. A node that caches no list and is of no class
// of its own cannot release another node: it goes at once.
//
// The link references that the nodes freed meanwhile let go are released
// together when the draining ends or another link comes: the siblings of a
// list share both links, and each release is an atomic change.
template <class Link>
struct Deferred {
  Link* link = nullptr;
  int32_t count = 0;
  void Add(Link* next) {
    if (next != link) {
      Flush();
      link = next;
    }
    ++count;
  }
  void Flush() {
    if (count) link->Release(count);
    link = nullptr;
    count = 0;
  }
};

// Everything the layer keeps per thread, in one place: every node freed and
// every list let go reaches it, and each thread-local costs a lookup. No
// constructor or destructor, so no check of its initialisation either.
struct ThreadState {
  // The queue of the outermost destruction; null while none is draining.
  std::vector<TXMLNode*>* pending = nullptr;
  Deferred<TXMLNodeLink> parentLinks;
  Deferred<TXMLDocLink> docLinks;
  // Set while the layer's own passing holds make counts rise and fall (a
  // node letting go of its lists, references moved between documents, a
  // list cached or dropped): a count falling to one meanwhile must not
  // start another letting go in the middle of it.
  bool keepLists = false;
};
constinit thread_local ThreadState tStateStorage RTL_HOT_THREAD_LOCAL;

// The thread's state, its address looked up once per call (see
// rtl::detail::ThreadBlockCache).
ThreadState& ThisThread() {
  ThreadState* state = &tStateStorage;
  asm("" : "+r"(state));
  return *state;
}

// Queues the nodes freed while it lasts, and frees them when the outermost
// one ends: a list let go frees its nodes together.
class TDestroyScope {
 public:
  explicit TDestroyScope(ThreadState& state) : state_(state), outer_(state.pending != nullptr) {
    if (!outer_) state_.pending = &queue_;
  }
  ~TDestroyScope() {
    if (outer_) return;
    while (!queue_.empty()) {
      TXMLNode* next = queue_.back();
      queue_.pop_back();
      delete next;
    }
    state_.parentLinks.Flush();
    state_.docLinks.Flush();
    state_.pending = nullptr;
  }
  TDestroyScope(const TDestroyScope&) = delete;
  TDestroyScope& operator=(const TDestroyScope&) = delete;

 private:
  ThreadState& state_;
  std::vector<TXMLNode*> queue_;
  bool outer_;
};

// Out of line: only a node's last release reaches the thread's state.
[[gnu::noinline]] void DestroyNode(TXMLNode* node) {
  ThreadState& state = ThisThread();
  if (state.pending) {
    if (node->GoesAtOnce())
      delete node;
    else
      state.pending->push_back(node);
    return;
  }
  const TDestroyScope scope(state);
  delete node;
}

const TNodeClassArray kNoClasses;

class TKeepListsScope {
 public:
  explicit TKeepListsScope(ThreadState& state = ThisThread()) : state_(state), outer_(state.keepLists) {
    state_.keepLists = true;
  }
  ~TKeepListsScope() { state_.keepLists = outer_; }
  TKeepListsScope(const TKeepListsScope&) = delete;
  TKeepListsScope& operator=(const TKeepListsScope&) = delete;

 private:
  ThreadState& state_;
  bool outer_;
};

// Whether dropping owner's cached list changes nothing anyone can observe:
// only the owner's cache holds it, it follows the DOM (not in update mode,
// not a list of its user's), and every node it lists is held by nothing but
// the list, carries no state of its own and caches no list. (A node that
// kept a list when it was last let go had it observed then; it lets go of
// it when it is let go again.) Returns the list's object then, null if not.
TXMLNodeList* Unobserved(IXMLNodeList* intf, TXMLNode* owner) {
  TXMLNodeList* list = ListObjectOf(intf);
  if (!list || list->Owner() != owner || list->RefCount() != 1 || list->GetUpdateCount() != 0 ||
      list->Source() == TXMLNodeList::lsNone)
    return nullptr;
  // Read without copies: a copy would be a count change on every item.
  const rtl::TInterfaceList<IXMLNode>& items = list->List();
  for (int32_t i = 0, n = items.UnlockedCount(); i < n; ++i) {
    IXMLNode* const item = items.UnlockedGet(i).get();
    if (!item) return nullptr;
    // The plain wrapper, nearly every item, is told by its exact type
    // without asking the object for its identity.
    const TXMLNode* node = typeid(*item) == typeid(TXMLNode)
                               ? static_cast<const TXMLNode*>(static_cast<const IXMLNodeAccess*>(item))
                               : NodeObjectOf(item);
    // One: the list's reference.
    if (!node || node->RefCount() != 1 || node->CachesLists() || node->KeepsStateOfItsOwn()) return nullptr;
  }
  return list;
}

}  // namespace

// The references a list's children take on their parent's link and their
// document's, taken at once for count children before they are made; what
// they did not take (a child of a class of its own, a failure) goes back
// after.
class TPrepaidLinks {
 public:
  // A list of parent's built while another is (a node class building its
  // parent's list again) takes its references one by one.
  TPrepaidLinks(TXMLNode* parent, int32_t count)
      : parent_(count > 0 && parent->FPrepaidLinks == 0 && parent->Document() ? parent : nullptr) {
    if (!parent_) return;
    parent_->Link()->AddRef(count);
    parent_->FDocLink->AddRef(count);
    parent_->FPrepaidLinks = count;
  }
  ~TPrepaidLinks() {
    if (!parent_) return;
    if (const int32_t left = std::exchange(parent_->FPrepaidLinks, 0); left > 0) {
      parent_->FSelfLink->Release(left);
      parent_->FDocLink->Release(left);
    }
  }
  TPrepaidLinks(const TPrepaidLinks&) = delete;
  TPrepaidLinks& operator=(const TPrepaidLinks&) = delete;

 private:
  TXMLNode* const parent_;
};

namespace {

WideString DOMValue(IDOMNode* node) {
  WideString value;
  DOMCheck(node->GetNodeValue(&value), "GetNodeValue");
  return value;
}

rtl::ComPtr<IDOMDocument> DOMOwnerDocument(IDOMNode* node) {
  rtl::ComPtr<IDOMDocument> doc;
  DOMCheck(node->GetOwnerDocument(doc.put()), "GetOwnerDocument");
  return doc;
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction, destruction, reference counting

TXMLNode::TXMLNode(rtl::ComPtr<IDOMNode> domNode, TXMLNode* parentNode, TXMLDocument* ownerDoc)
    : FDOMNode(std::move(domNode)), FNodeType(ntReserved) {
  if (!FDOMNode) RaiseDocError(XMLConst::SMissingNode);
  FNodeType = DOMNodeType(FDOMNode.get());
  FIsDocElement = parentNode && parentNode->FNodeType == ntDocument && FNodeType == ntElement;
  if (parentNode && parentNode->FPrepaidLinks > 0 && ownerDoc && ownerDoc->DocLink() == parentNode->FDocLink) {
    // A child of a list being built: its parent took both references.
    --parentNode->FPrepaidLinks;
    FParentLink = parentNode->FSelfLink;
    FDocLink = parentNode->FDocLink;
    FSession = FDocLink->Session();
    return;
  }
  SetStoredParent(parentNode);
  SetDocument(ownerDoc);
}

TXMLNode::TXMLNode(HostedTag, TXMLNode* hostNode) : FNodeType(ntReserved) {
  TXMLNode* top = hostNode->TopHost();
  FDOMNode = top->FDOMNode;
  SetStoredParent(top->StoredParent());
  FNodeType = top->FNodeType;
  SetDocument(top->Document());
  Ext().HostNode = top;
  top->Ext().HostedNodes.push_back(this);
}

TXMLNode::~TXMLNode() {
  // Whoever still links to this node finds it gone. (A list that anyone
  // but this node holds keeps this node alive, so the cached lists die with
  // it; they are told anyway.)
  if (FSelfLink) {
    FSelfLink->Clear();
    FSelfLink->Release();
  }
  // Nearly every node a walk frees has neither.
  if (FChildNodes || FAttributeNodes || FExtra) ForgetListsAndHosts();
  if (ThreadState& state = ThisThread(); state.pending) {
    if (FParentLink) state.parentLinks.Add(FParentLink);
    if (FDocLink) state.docLinks.Add(FDocLink);
    return;
  }
  if (FParentLink) FParentLink->Release();
  if (FDocLink) FDocLink->Release();
}

void TXMLNode::ForgetListsAndHosts() {
  DropLooseAttributes();  // held lists hold this node: none is left
  for (rtl::ComPtr<IXMLNodeList>* field : {&FChildNodes, &FAttributeNodes})
    if (auto* list = ListObjectOf(field->get()); list && list->Owner() == this)
      list->OwnerDestroyed();
  if (FExtra) {
    for (TXMLNode* hosted : FExtra->HostedNodes) hosted->FExtra->HostNode = nullptr;
    FExtra->HostedNodes.clear();
    if (TXMLNode* host = FExtra->HostNode) {
      TXMLNodeArray& siblings = host->FExtra->HostedNodes;
      siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
  }
}

TXMLNodeLink* TXMLNode::Link() {
  if (!FSelfLink) FSelfLink = new TXMLNodeLink(this);
  return FSelfLink;
}

void TXMLNode::SetStoredParent(TXMLNode* parent) {
  TXMLNodeLink* link = parent ? parent->Link() : nullptr;
  if (link == FParentLink) return;
  if (link) link->AddRef();
  if (FParentLink) FParentLink->Release();
  FParentLink = link;
}

void TXMLNode::SyncCachedLists() {
  // Held: a list letting go of a node may free this node's document.
  for (rtl::ComPtr<IXMLNodeList> intf : {FChildNodes, FAttributeNodes})
    if (TXMLNodeList* list = ListObjectOf(intf.get())) list->Sync();
}

void TXMLNode::SyncSubtreeLists() {
  // Iterative, for deep trees. A list in update mode is its user's: it is
  // neither brought up to date nor followed. The layer's own passing holds
  // let go of nothing.
  const TKeepListsScope keep;
  std::vector<rtl::ComPtr<IXMLNode>> pending{rtl::ComPtr<IXMLNode>(this)};
  while (!pending.empty()) {
    rtl::ComPtr<IXMLNode> held = std::move(pending.back());
    pending.pop_back();
    TXMLNode* node = NodeObjectOf(held.get());
    node->SyncCachedLists();
    rtl::ComPtr<IXMLNodeList> children = node->FChildNodes;
    TXMLNodeList* list = ListObjectOf(children.get());
    if (!list || list->GetUpdateCount() != 0) continue;
    for (int32_t i = 0, n = list->List().UnlockedCount(); i < n; ++i)
      if (const rtl::ComPtr<IXMLNode>& child = list->List().UnlockedGet(i); NodeObjectOf(child.get()))
        pending.push_back(child);
  }
}

TXMLNode* TXMLNode::ParentNode() {
  if (TXMLNode* host = GetHostNode()) return host->ParentNode();
  TXMLNode* parent = StoredParent();
  if (!parent) return nullptr;
  // The link may be older than a move made through another wrapper of the
  // same DOM node; only the DOM's own parent counts.
  rtl::ComPtr<IDOMNode> domParent;
  DOMCheck(FDOMNode->GetParentNode(domParent.put()), "GetParentNode");
  return xmlsync::KeyOf(domParent.get()) == xmlsync::KeyOf(parent->FDOMNode.get()) ? parent : nullptr;
}

rtl::ComPtr<IDOMDocument> TXMLNode::DOMDocument() {
  if (FNodeType == ntDocument) return FDOMNode.query<IDOMDocument>();
  return DOMOwnerDocument(FDOMNode.get());
}

TXMLNode::Extra& TXMLNode::Ext() {
  if (!FExtra) FExtra = std::make_unique<Extra>();
  return *FExtra;
}

TXMLNode* TXMLNode::TopHost() {
  TXMLNode* node = this;
  while (node->GetHostNode()) node = node->GetHostNode();
  return node;
}

void TXMLNode::SetDocument(TXMLDocument* document) {
  TXMLDocLink* link = document ? document->DocLink() : nullptr;
  FSession = link ? link->Session() : 0;
  if (link == FDocLink) return;
  if (link) link->AddRef();
  if (FDocLink) FDocLink->Release();
  FDocLink = link;
}

TXMLDocOptions TXMLNode::DocOptions() const {
  TXMLDocument* doc = Document();
  return doc ? doc->GetOptions() : kDefaultXMLDocOptions;
}

TXMLNodeClass TXMLNode::ClassType() const { return NodeClassOf<TXMLNode>(); }

TXMLNode* NodeObjectOf(IXMLNode* node) {
  void* object = nullptr;
  if (node && rtl::Succeeded(node->QueryInterface(TXMLNode::kObjectIID, &object))) return static_cast<TXMLNode*>(object);
  return nullptr;
}

TXMLNodeList* ListObjectByIdentity(IXMLNodeList* list) {
  void* object = nullptr;
  if (list && rtl::Succeeded(list->QueryInterface(TXMLNodeList::kObjectIID, &object)))
    return static_cast<TXMLNodeList*>(object);
  return nullptr;
}

HResult TXMLNode::QueryInterface(const rtl::GUID& iid, void** obj) {
  if (!obj) return rtl::E_POINTER_;
  if (IsIID(iid, kObjectIID)) {
    *obj = static_cast<TXMLNode*>(this);  // deliberately not counted
    return rtl::S_OK_;
  }
  if (iid == rtl::IInterface::IID || iid == IXMLNode::IID || iid == IXMLNodeAccess::IID) {
    *obj = static_cast<IXMLNodeAccess*>(this);
    AddRef();
    return rtl::S_OK_;
  }
  *obj = nullptr;
  return rtl::E_NOINTERFACE_;
}

int32_t TXMLNode::AddRef() {
  const int32_t n = FRefCount.fetch_add(1, std::memory_order_relaxed) + 1;
  // The first reference to the document element (the document node's list)
  // does not hold the document; every further one does.
  if (FIsDocElement && n > 1)
    if (TXMLDocument* doc = HoldingDocument()) doc->AddRef();
  return n;
}

rtl::ComPtr<IXMLNode> TXMLNode::FirstReference(TXMLNode* node) {
  // A node class's constructor may have counted the node already.
  if (node->FRefCount.load(std::memory_order_relaxed) != 0) return rtl::ComPtr<IXMLNode>(node);
  node->FRefCount.store(1, std::memory_order_relaxed);
  return rtl::ComPtr<IXMLNode>::adopt(node);
}

int32_t TXMLNode::Release() {
  const int32_t n = rtl::DropReference(FRefCount);
  if (n == 0) {
    DestroyNode(this);
    return 0;
  }
  if (n == 1 && (FChildNodes || FAttributeNodes) && !ThisThread().keepLists) LetGoOfUnheldLists();
  if (FIsDocElement)
    if (TXMLDocument* doc = HoldingDocument()) doc->Release();  // may free this node too
  return n;
}

void TXMLNode::SetParentNode(TXMLNode* value) {
  SetStoredParent(value);
  if (!value || (value->FDocLink == FDocLink && value->FSession == FSession)) return;
  // Move the references counted on the old document to the new one.
  const TKeepListsScope keep;
  const int32_t count = RefCount();
  while (RefCount() > 1) Release();
  SetDocument(value->Document());
  while (RefCount() < count) AddRef();
}

// ---------------------------------------------------------------------------
// Lists on demand

rtl::ComPtr<IXMLNodeList> TXMLNode::GetAttributeNodes() {
  if (TXMLNode* host = GetHostNode()) return host->GetAttributeNodes();
  if (FAttributeNodes) return FAttributeNodes;
  // Held until the caller holds it: a list only the cache holds may go.
  // The reference made with it is the caller's: every count a walk moves
  // is an atomic operation.
  rtl::ComPtr<IXMLNodeList> built = CreateAttributeList();
  // An empty list of a node whose lists would be let go anyway need not be
  // cached (a plain wrapper: CreateAttributeList made a TXMLNodeList).
  if (!KeepsStateOfItsOwn() && (StoredParent() || FNodeType == ntAttribute))
    if (auto* list = static_cast<TXMLNodeList*>(built.get()); list->List().UnlockedCount() == 0) {
      FAttributeNodes = rtl::ComPtr<IXMLNodeList>::adopt(list);  // not counted: see FLooseAttributes
      FLooseAttributes = true;
      list->SetLoose(true);
      return built;
    }
  if (IsPlain()) {
    StoreBuiltList(FAttributeNodes, built);
    return built;
  }
  SetAttributeNodes(built);
  return FAttributeNodes == built ? std::move(built) : FAttributeNodes;
}

rtl::ComPtr<IXMLNodeList> TXMLNode::GetChildNodes() {
  if (TXMLNode* host = GetHostNode()) return host->GetChildNodes();
  if (FChildNodes) return FChildNodes;
  rtl::ComPtr<IXMLNodeList> built = CreateChildList();
  if (IsPlain()) {
    StoreBuiltList(FChildNodes, built);
    return built;
  }
  SetChildNodes(built);
  return FChildNodes == built ? std::move(built) : FChildNodes;
}

bool TXMLNode::HasAttributeNodes() {
  if (TXMLNode* host = GetHostNode()) return host->HasAttributeNodes();
  if (FAttributeNodes) return FAttributeNodes->GetCount() > 0;
  if (FNodeType != ntElement) return false;
  WordBool result = rtl::kWordFalse;
  DOMCheck(FDOMNode->HasAttributes(&result), "HasAttributes");
  return rtl::FromWordBool(result);
}

rtl::ComPtr<IXMLNodeList> TXMLNode::CreateAttributeList() {
  auto* list = new TXMLNodeList(this, TNodeListNotification::Bind<&TXMLNode::AttributeListNotify>(this), false);
  rtl::ComPtr<IXMLNodeList> result = TXMLNodeList::FirstReference(list);
  rtl::ComPtr<IDOMNamedNodeMap> map;
  // Most elements have no attributes: they are told without making a map.
  // Text has none (a document type has its identifiers as attributes).
  if (FNodeType == ntElement ? HasAttributeNodes() : FNodeType != ntText)
    DOMCheck(FDOMNode->GetAttributes(map.put()), "GetAttributes");
  if (map) {
    int32_t length = 0;
    DOMCheck(map->GetLength(&length), "GetLength");
    // Nobody else sees the list yet: it is filled without its lock.
    list->List().UnlockedReserve(length);
    for (int32_t i = 0; i < length; ++i) {
      rtl::ComPtr<IDOMNode> attr;
      DOMCheck(map->Item(i, attr.put()), "Item");
      list->List().UnlockedAdd(CreateAttributeNode(std::move(attr)));
    }
  }
  list->SetSource(TXMLNodeList::lsAttributes);
  return result;
}

rtl::ComPtr<IXMLNodeList> TXMLNode::CreateChildList() {
  auto* list = new TXMLNodeList(this, TNodeListNotification::Bind<&TXMLNode::ChildListNotify>(this), true);
  rtl::ComPtr<IXMLNodeList> result = TXMLNodeList::FirstReference(list);
  // The children along their siblings: a DOM list made for this alone, and
  // freed at once, costs about what wrapping a child costs.
  std::vector<rtl::ComPtr<IDOMNode>, rtl::TCachedAllocator<rtl::ComPtr<IDOMNode>>> children;
  children.reserve(8);
  for (rtl::ComPtr<IDOMNode> child = DOMFirstChild(FDOMNode.get()); child;) {
    rtl::ComPtr<IDOMNode> next = DOMNextSibling(child.get());
    children.push_back(std::move(child));
    child = std::move(next);
  }
  const int32_t length = static_cast<int32_t>(children.size());
  // Nobody else sees the list yet: it is filled without its lock.
  list->List().UnlockedReserve(length);
  const TPrepaidLinks prepaid(this, length);
  for (rtl::ComPtr<IDOMNode>& child : children) list->List().UnlockedAdd(CreateChildNode(std::move(child)));
  list->SetSource(TXMLNodeList::lsChildren);
  return result;
}

void TXMLNode::StoreBuiltList(rtl::ComPtr<IXMLNodeList>& field, const rtl::ComPtr<IXMLNodeList>& built) {
  // CacheList without what it guards against: the field is empty, the list
  // this node's own, and counts only rise.
  field = built;
  static_cast<TXMLNodeList*>(built.get())->SetCached(true);
}

void TXMLNode::CacheList(rtl::ComPtr<IXMLNodeList>& field, const rtl::ComPtr<IXMLNodeList>& value) {
  if (field == value) return;
  // Telling a list moves its hold on this node, which must not let go of
  // lists while one is being stored.
  const TKeepListsScope keep;
  // Told while the field's reference still counts, so the list can tell
  // its other holders from the cache.
  if (auto* list = ListObjectOf(field.get()); list && list->Owner() == this) list->SetCached(false);
  field = value;
  if (auto* list = ListObjectOf(field.get()); list && list->Owner() == this) list->SetCached(true);
}

void TXMLNode::LetGoOfUnheldLists() {
  // The one reference left is normally the list this node stands in: its
  // parent's child list, or its element's attribute list. A node in no
  // list (made, not yet inserted; the document node) is its holder's
  // alone and keeps its lists: a caller building it up through them must
  // not pay a rebuild on every call.
  if (KeepsStateOfItsOwn() || (!StoredParent() && FNodeType != ntAttribute)) return;
  ThreadState& state = ThisThread();
  const TKeepListsScope keep(state);
  const TDestroyScope together(state);
  // Told while the cache's reference still counts, as CacheList tells it;
  // the list found is this node's own, so it need not be asked again. A
  // loose list is not the cache's: whoever holds it keeps it.
  for (rtl::ComPtr<IXMLNodeList>* field : {&FChildNodes, &FAttributeNodes})
    if (*field && (field != &FAttributeNodes || !FLooseAttributes))
      if (TXMLNodeList* list = Unobserved(field->get(), this)) {
        list->SetCached(false);
        *field = nullptr;
      }
}

void TXMLNode::DropLooseAttributes() {
  if (!FLooseAttributes) return;
  FLooseAttributes = false;
  static_cast<TXMLNodeList*>(FAttributeNodes.detach())->SetLoose(false);
}

void TXMLNode::KeepLooseAttributes(TXMLNodeList* list) {
  if (!FLooseAttributes || list != FAttributeNodes.get()) return;
  DropLooseAttributes();
  SetAttributeNodes(rtl::ComPtr<IXMLNodeList>(list));
}

void TXMLNode::LooseAttributesGone(TXMLNodeList* list) {
  if (FLooseAttributes && list == FAttributeNodes.get()) DropLooseAttributes();
}

void TXMLNode::SetAttributeNodes(const rtl::ComPtr<IXMLNodeList>& value) {
  if (GetHostNode()) return;
  DropLooseAttributes();
  CacheList(FAttributeNodes, value);
  if (FExtra)
    for (TXMLNode* hosted : TXMLNodeArray(FExtra->HostedNodes)) hosted->SetAttributeNodes(value);
}

void TXMLNode::SetChildNodes(const rtl::ComPtr<IXMLNodeList>& value) {
  if (GetHostNode()) return;
  CacheList(FChildNodes, value);
  if (FExtra)
    for (TXMLNode* hosted : TXMLNodeArray(FExtra->HostedNodes)) hosted->SetChildNodes(value);
}

rtl::ComPtr<IXMLNode> TXMLNode::CreateAttributeNode(rtl::ComPtr<IDOMNode> domNode) {
  return FirstReference(new TXMLNode(std::move(domNode), nullptr, Document()));
}

rtl::ComPtr<IXMLNode> TXMLNode::CreateChildNode(rtl::ComPtr<IDOMNode> domNode) {
  if (TXMLNode* host = GetHostNode()) return host->CreateChildNode(std::move(domNode));
  TXMLDocument* doc = Document();
  TXMLNodeClass nodeClass = doc ? doc->ChooseNodeClass(domNode.get()) : nullptr;
  // A plain wrapper without extras has no classes registered: it skips
  // the search (and its virtual call) for every child it makes.
  if (!nodeClass && !IsPlain()) {
    for (const TNodeClassInfo& entry : GetChildNodeClasses()) {
      if (entry.NodeClass && NodeMatches(domNode.get(), entry.NodeName, entry.NamespaceURI)) {
        nodeClass = entry.NodeClass;
        break;
      }
    }
  }
  TXMLNode* node =
      nodeClass ? nodeClass->Create(std::move(domNode), this, doc) : new TXMLNode(std::move(domNode), this, doc);
  return FirstReference(node);
}

// ---------------------------------------------------------------------------
// Node classes and hosting

void TXMLNode::AssignChildNodeClasses(const TNodeClassArray& classes) { Ext().ChildNodeClasses = classes; }

const TNodeClassArray& TXMLNode::GetChildNodeClasses() {
  if (TXMLNode* host = GetHostNode()) return host->GetChildNodeClasses();
  return FExtra ? FExtra->ChildNodeClasses : kNoClasses;
}

void TXMLNode::RegisterChildNode(const WideString& tagName, TXMLNodeClass childNodeClass,
                                 const WideString& namespaceURI) {
  if (TXMLNode* host = GetHostNode()) return host->RegisterChildNode(tagName, childNodeClass, namespaceURI);
  const WideString uri = namespaceURI.empty() ? GetNamespaceURI() : namespaceURI;
  SetNodeClassEntry(Ext().ChildNodeClasses, childNodeClass, tagName, uri);
  SetChildNodes(nullptr);
}

void TXMLNode::RegisterChildNodes(const std::vector<WideString>& childTagNames,
                                  const std::vector<TXMLNodeClass>& childNodeClasses) {
  if (childTagNames.size() != childNodeClasses.size()) RaiseDocError(XMLConst::SMismatchedRegItems);
  const WideString uri = GetNamespaceURI();
  for (size_t i = 0; i < childTagNames.size(); ++i) RegisterChildNode(childTagNames[i], childNodeClasses[i], uri);
}

TXMLNode* TXMLNode::GetHostNode() { return FExtra ? FExtra->HostNode : nullptr; }

rtl::ComPtr<IXMLNode> TXMLNode::CreateHostedNode(TXMLNodeClass nodeClass, const rtl::GUID& itemInterface,
                                                 const WideString& itemTag, const WideString& itemNamespaceURI) {
  if (!nodeClass || !nodeClass->CreateHosted) return nullptr;
  TXMLNode* node = nodeClass->CreateHosted(this);
  rtl::ComPtr<IXMLNode> result(node);
  node->SetHostedItemInfo(itemInterface, itemTag, itemNamespaceURI.empty() ? GetNamespaceURI() : itemNamespaceURI);
  if (FChildNodes) node->SetChildNodes(FChildNodes);
  return result;
}

void TXMLNode::SetHostedItemInfo(const rtl::GUID&, const WideString&, const WideString&) {}

rtl::ComPtr<IXMLNode> TXMLNode::FindHostedNode(TXMLNodeClass nodeClass) {
  if (!FExtra || !nodeClass) return nullptr;
  for (auto it = FExtra->HostedNodes.rbegin(); it != FExtra->HostedNodes.rend(); ++it)
    if (nodeClass->IsInstance(*it)) return rtl::ComPtr<IXMLNode>(*it);
  return nullptr;
}

void TXMLNode::SetOnChildListChange(TNodeListNotification value) { Ext().OnChildListChange = value; }

void TXMLNode::SetOnAttributeListChange(TNodeListNotification value) { Ext().OnAttributeListChange = value; }

void TXMLNode::HostedListNotify(bool childList, TNodeListOperation operation, rtl::ComPtr<IXMLNode>& node,
                                const OleVariant& indexOrName, bool beforeOperation) {
  if (!FExtra) return;
  for (TXMLNode* hosted : TXMLNodeArray(FExtra->HostedNodes)) {
    const TNodeListNotification& callback =
        childList ? hosted->FExtra->OnChildListChange : hosted->FExtra->OnAttributeListChange;
    if (callback) callback(operation, node, indexOrName, beforeOperation);
  }
}

void TXMLNode::SetContainer(rtl::IInterface* container) { Ext().Container = container; }

rtl::ComPtr<rtl::IInterface> TXMLNode::GetContainer() {
  return rtl::ComPtr<rtl::IInterface>(FExtra ? FExtra->Container : nullptr);
}

void TXMLNode::EmptyHook() {}

// ---------------------------------------------------------------------------
// Reading

rtl::ComPtr<IDOMNode> TXMLNode::GetDOMNode() { return FDOMNode; }

bool TXMLNode::HasChildNodes() {
  WordBool result = rtl::kWordFalse;
  DOMCheck(FDOMNode->HasChildNodes(&result), "HasChildNodes");
  return rtl::FromWordBool(result);
}

bool TXMLNode::IsTextElement() {
  if (FNodeType != ntElement) return false;
  rtl::ComPtr<IDOMNode> first = DOMFirstChild(FDOMNode.get());
  return first && DOMNodeType(first.get()) == ntText && !DOMNextSibling(first.get());
}

bool TXMLNode::ReadTextElement(WideString& text) {
  if (FNodeType != ntElement) return false;
  // One call where the vendor answers it; the children one by one where not.
  if (const auto extension = FDOMNode.try_query<IDOMNodeExtension>()) {
    WordBool result = rtl::kWordFalse;
    if (rtl::Succeeded(extension->ReadTextElement(&text, &result))) return rtl::FromWordBool(result);
  }
  const rtl::ComPtr<IDOMNode> first = DOMFirstChild(FDOMNode.get());
  if (!first || DOMNodeType(first.get()) != ntText || DOMNextSibling(first.get())) return false;
  text = DOMValue(first.get());
  return true;
}

WideString TXMLNode::GetLocalName() {
  WideString result;
  DOMCheck(FDOMNode->GetLocalName(&result), "GetLocalName");
  return result;
}

WideString TXMLNode::GetNamespaceURI() {
  WideString result;
  DOMCheck(FDOMNode->GetNamespaceURI(&result), "GetNamespaceURI");
  return result;
}

WideString TXMLNode::GetNodeName() { return DOMNodeName(FDOMNode.get()); }

TNodeType TXMLNode::GetNodeType() { return FNodeType; }

WideString TXMLNode::GetPrefix() {
  WideString result;
  DOMCheck(FDOMNode->GetPrefix(&result), "GetPrefix");
  return result;
}

OleVariant TXMLNode::GetNodeValue() {
  WideString text = GetText();
  if (text.empty()) return OleVariant::Null();
  return OleVariant(std::move(text));
}

rtl::ComPtr<IXMLDocumentIntf> TXMLNode::GetOwnerDocument() {
  return rtl::ComPtr<IXMLDocumentIntf>(Document());
}

rtl::ComPtr<IXMLNode> TXMLNode::GetParentNode() { return rtl::ComPtr<IXMLNode>(ParentNode()); }

bool TXMLNode::GetReadOnly() { return FReadOnly; }

void TXMLNode::SetReadOnly(bool value) { FReadOnly = value; }

int32_t TXMLNode::NestingLevel() {
  int32_t level = 0;
  for (TXMLNode* node = ParentNode(); node; node = node->ParentNode()) ++level;
  return level;
}

bool TXMLNode::HasChildNode(const WideString& childTag) { return HasChildNode(childTag, GetNamespaceURI()); }

bool TXMLNode::HasChildNode(const WideString& childTag, const WideString& namespaceURI) {
  for (rtl::ComPtr<IDOMNode> child = DOMFirstChild(FDOMNode.get()); child; child = DOMNextSibling(child.get()))
    if (NodeMatches(child.get(), childTag, namespaceURI)) return true;
  return false;
}

OleVariant TXMLNode::GetChildValue(const OleVariant& indexOrName) {
  rtl::ComPtr<IXMLNode> child = GetChildNodes()->FindNode(indexOrName.ToWideString());
  return child ? child->GetNodeValue() : OleVariant::Null();
}

void TXMLNode::SetChildValue(const OleVariant& indexOrName, const OleVariant& value) {
  GetChildNodes()->GetNode(indexOrName)->SetNodeValue(value);
}

rtl::ComPtr<IXMLNode> TXMLNode::NextSibling() { return Sibling(1); }

rtl::ComPtr<IXMLNode> TXMLNode::PreviousSibling() { return Sibling(-1); }

rtl::ComPtr<IXMLNode> TXMLNode::Sibling(int32_t delta) {
  TXMLNode* parent = ParentNode();
  if (!parent) return nullptr;
  rtl::ComPtr<IXMLNodeList> siblings = parent->GetChildNodes();
  // This wrapper, or the one the list holds for this DOM node.
  int32_t index = siblings->IndexOf(rtl::ComPtr<IXMLNode>(this));
  if (index < 0)
    if (auto* list = ListObjectOf(siblings.get())) index = list->IndexOfDOMNode(FDOMNode.get());
  if (index < 0) return nullptr;
  index += delta;
  return index >= 0 && index < siblings->GetCount() ? siblings->Get(index) : nullptr;
}

rtl::ComPtr<IXMLNode> TXMLNode::CloneNode(bool deep) {
  rtl::ComPtr<IDOMNode> clone;
  DOMCheck(FDOMNode->CloneNode(rtl::ToWordBool(deep), clone.put()), "CloneNode");
  return rtl::ComPtr<IXMLNode>(ClassType()->Create(std::move(clone), nullptr, Document()));
}

void TXMLNode::Normalize() {
  // Any node below may lose or merge text children.
  const std::vector<rtl::ComPtr<IDOMNode>> parents = xmlsync::ParentsBelow(FDOMNode.get());
  try {
    DOMCheck(FDOMNode->Normalize(), "Normalize");
  } catch (...) {
    xmlsync::Changed(parents);
    throw;
  }
  xmlsync::Changed(parents);
  SetChildNodes(nullptr);
}

void TXMLNode::Resync() {
  SetAttributeNodes(nullptr);
  SetChildNodes(nullptr);
}

WideString TXMLNode::GetXML() {
  WideString result;
  DOMCheck(RequireNodeExtension(FDOMNode.get())->GetXMLText(&result), "GetXMLText");
  return result;
}

void TXMLNode::TransformNode(const rtl::ComPtr<IXMLNode>& styleSheet, WideString& output) {
  if (!styleSheet) RaiseDocError(XMLConst::SMissingXMLNode);
  rtl::ComPtr<IDOMNodeExtension> ext = RequireNodeExtension(FDOMNode.get());
  DOMCheck(ext->TransformToText(styleSheet->GetDOMNode().get(), &output), "TransformNode");
}

void TXMLNode::TransformNode(const rtl::ComPtr<IXMLNode>& styleSheet,
                             const rtl::ComPtr<IXMLDocumentIntf>& outputDoc) {
  if (!styleSheet) RaiseDocError(XMLConst::SMissingXMLNode);
  if (!outputDoc) RaiseDocError(XMLConst::SMissingDocument);
  rtl::ComPtr<IDOMNodeExtension> ext = RequireNodeExtension(FDOMNode.get());
  rtl::ComPtr<IDOMDocument> target = outputDoc->GetDOMDocument();
  DOMCheck(ext->TransformToDocument(styleSheet->GetDOMNode().get(), target.get()), "TransformNode");
  xmlsync::Changed(target.get());
}

void TXMLNode::ClearDocumentRef() {
  // Iterative: a deep document must not recurse once per level. Lists in
  // update mode may hold any node, an ancestor too: each node is seen once.
  // Only this document's nodes: another document's node listed here (in
  // update mode) keeps counting its references on its own document.
  const TXMLDocLink* const link = FDocLink;
  // The passing holds below must not free what the raw pointers point at.
  const TKeepListsScope keep;
  std::vector<TXMLNode*> pending{this};
  std::unordered_set<TXMLNode*> seen;
  while (!pending.empty()) {
    TXMLNode* node = pending.back();
    pending.pop_back();
    if (node->FDocLink != link || !seen.insert(node).second) continue;
    node->SetDocument(nullptr);
    for (IXMLNodeList* intf : {node->FChildNodes.get(), node->FAttributeNodes.get()}) {
      // What the lists hold now, without bringing them up to date: nothing
      // is made while the document goes.
      TXMLNodeList* list = ListObjectOf(intf);
      if (!list) continue;
      for (int32_t i = 0, n = list->List().Count(); i < n; ++i) {
        rtl::ComPtr<IXMLNode> item = list->List().Get(i);
        if (auto* child = NodeObjectOf(item.get()))
          pending.push_back(child);
        else if (auto access = item.try_query<IXMLNodeAccess>())
          access->ClearDocumentRef();
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Text

void TXMLNode::CheckTextNode() {
  rtl::ComPtr<IDOMNode> first = DOMFirstChild(FDOMNode.get());
  if (!first) {
    rtl::ComPtr<IDOMNode> text;
    DOMCheck(DOMOwnerDocument(FDOMNode.get())->CreateTextNode(WideString(), text.put()), "CreateTextNode");
    rtl::ComPtr<IDOMNode> appended;
    DOMCheck(FDOMNode->AppendChild(text.get(), appended.put()), "AppendChild");
    xmlsync::Changed(FDOMNode.get());
    SetChildNodes(nullptr);
    return;
  }
  const TNodeType type = DOMNodeType(first.get());
  if (DOMNextSibling(first.get()) || (type != ntText && type != ntCDATASection))
    RaiseDocError(XMLConst::SNotSingleTextNode);
}

WideString TXMLNode::GetText() {
  if (FNodeType == ntElement) {
    // The common case, a single text child, takes one look at the DOM;
    // anything else is checked (and raised or mended) as when writing.
    if (const rtl::ComPtr<IDOMNode> first = DOMFirstChild(FDOMNode.get())) {
      const TNodeType type = DOMNodeType(first.get());
      if ((type == ntText || type == ntCDATASection) && !DOMNextSibling(first.get())) return DOMValue(first.get());
    }
    CheckTextNode();
    return DOMValue(DOMFirstChild(FDOMNode.get()).get());
  }
  return DOMValue(FDOMNode.get());
}

void TXMLNode::SetText(const WideString& value) {
  CheckValueText(value, GetNodeName());
  DoNodeChange(ncUpdateValue, true);
  if (FNodeType == ntElement) {
    CheckTextNode();
    DOMCheck(DOMFirstChild(FDOMNode.get())->SetNodeValue(value), "SetNodeValue");
  } else {
    DOMCheck(FDOMNode->SetNodeValue(value), "SetNodeValue");
    // An attribute's value is its text children.
    if (FNodeType == ntAttribute) xmlsync::Changed(FDOMNode.get());
  }
  DoNodeChange(ncUpdateValue, false);
}

void TXMLNode::SetNodeValue(const OleVariant& value) { SetText(value.ToWideString()); }

// ---------------------------------------------------------------------------
// Attributes

rtl::ComPtr<IDOMElement> TXMLNode::GetDOMElement() {
  if (FNodeType != ntElement) RaiseDocError(XMLConst::SNoAttributes);
  return FDOMNode.query<IDOMElement>();
}

namespace {

// An absent attribute reads as Null on an orphaned node or with doAttrNull.
OleVariant AbsentAttribute(TXMLDocument* doc) {
  if (!doc || doc->GetOptions().Contains(doAttrNull)) return OleVariant::Null();
  return OleVariant(WideString());
}

}  // namespace

bool TXMLNode::HasAttribute(const WideString& name) {
  if (FNodeType == ntElement) {
    WordBool result = rtl::kWordFalse;
    DOMCheck(GetDOMElement()->HasAttribute(name, &result), "HasAttribute");
    return rtl::FromWordBool(result);
  }
  return GetAttributeNodes()->IndexOf(name) != -1;
}

bool TXMLNode::HasAttributeNS(const WideString& name, const WideString& namespaceURI) {
  if (FNodeType == ntElement) {
    WordBool result = rtl::kWordFalse;
    DOMCheck(GetDOMElement()->HasAttributeNS(namespaceURI, name, &result), "HasAttributeNS");
    return rtl::FromWordBool(result);
  }
  return GetAttributeNodes()->IndexOf(name, namespaceURI) != -1;
}

OleVariant TXMLNode::GetAttribute(const WideString& attrName) {
  if (HasAttribute(attrName)) {
    if (FNodeType == ntElement) {
      WideString value;
      DOMCheck(GetDOMElement()->GetAttribute(attrName, &value), "GetAttribute");
      return OleVariant(std::move(value));
    }
    return GetAttributeNodes()->FindNode(attrName)->GetNodeValue();
  }
  return AbsentAttribute(Document());
}

OleVariant TXMLNode::GetAttributeNS(const WideString& attrName, const WideString& namespaceURI) {
  rtl::ComPtr<IDOMElement> element = GetDOMElement();
  WordBool has = rtl::kWordFalse;
  DOMCheck(element->HasAttributeNS(namespaceURI, attrName, &has), "HasAttributeNS");
  if (rtl::FromWordBool(has)) {
    // The DOM looks attributes up by local name; a qualified name that
    // HasAttributeNS accepted must find the same attribute here.
    WideString value;
    DOMCheck(element->GetAttributeNS(namespaceURI, LocalNameOf(attrName), &value), "GetAttributeNS");
    return OleVariant(std::move(value));
  }
  return AbsentAttribute(Document());
}

void TXMLNode::SetAttribute(const WideString& attrName, const OleVariant& value) {
  if (!value.IsNull()) CheckValueText(value.ToWideString(), attrName);
  const TNodeChange kind = value.IsNull() ? ncRemoveAttribute : ncAddAttribute;
  DoNodeChange(kind, true);
  rtl::ComPtr<IDOMNamedNodeMap> map;
  if (FNodeType != ntElement) DOMCheck(FDOMNode->GetAttributes(map.put()), "GetAttributes");
  if (map) {
    rtl::ComPtr<IDOMNode> out;
    if (kind == ncAddAttribute) {
      rtl::ComPtr<IDOMAttr> attr;
      DOMCheck(DOMOwnerDocument(FDOMNode.get())->CreateAttribute(attrName, attr.put()), "CreateAttribute");
      DOMCheck(attr->SetNodeValue(value.ToWideString()), "SetNodeValue");
      DOMCheck(map->SetNamedItem(attr.get(), out.put()), "SetNamedItem");
    } else {
      DOMCheck(map->RemoveNamedItem(attrName, out.put()), "RemoveNamedItem");
    }
  } else {
    rtl::ComPtr<IDOMElement> element = GetDOMElement();
    if (kind == ncAddAttribute)
      DOMCheck(element->SetAttribute(attrName, value.ToWideString()), "SetAttribute");
    else
      DOMCheck(element->RemoveAttribute(attrName), "RemoveAttribute");
  }
  xmlsync::Changed(FDOMNode.get());
  SetAttributeNodes(nullptr);
  DoNodeChange(kind, false);
}

// ---------------------------------------------------------------------------
// Change notification

void TXMLNode::DoNodeChange(TNodeChange changeType, bool beforeChange) {
  if (TXMLDocument* doc = Document()) doc->DoNodeChange(rtl::ComPtr<IXMLNode>(this), changeType, beforeChange);
  if (beforeChange) CheckReadOnly();
}

void TXMLNode::CheckReadOnly() {
  if (FReadOnly) RaiseDocError(XMLConst::SNodeReadOnly);
}
