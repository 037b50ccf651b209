// The XML document layer's classes: the document component TXMLDocument,
// the node wrapper TXMLNode, the node list TXMLNodeList, node classes, and
// the free routines they share.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "dom/xmldom.h"
#include "rtl/BlockCache.h"
#include "rtl/Component.h"
#include "rtl/Exception.h"
#include "rtl/InterfaceList.h"
#include "rtl/Interface.h"
#include "rtl/Object.h"
#include "rtl/StringList.h"
#include "rtl/Variant.h"
#include "xml/XMLIntf.h"

namespace rtl {
class TStream;
}  // namespace rtl

class TXMLNode;
class TXMLNodeList;
class TXMLDocument;

// The exception of the XML document layer.
class EXMLDocError : public rtl::Exception {
 public:
  using rtl::Exception::Exception;
};

// ---------------------------------------------------------------------------
// Node classes

// What a class reference knows about its class: how to make an instance and
// how to test membership. Get one with NodeClassOf<T>().
class TXMLNodeMeta {
 public:
  // Takes the DOM reference it is given: a list being built hands over
  // the one the DOM gave it.
  using CreateFn = TXMLNode* (*)(rtl::ComPtr<IDOMNode> domNode, TXMLNode* parentNode, TXMLDocument* ownerDoc);
  using CreateHostedFn = TXMLNode* (*)(TXMLNode* hostNode);
  using IsInstanceFn = bool (*)(const TXMLNode* node);

  constexpr TXMLNodeMeta(CreateFn create, CreateHostedFn createHosted, IsInstanceFn isInstance)
      : Create(create), CreateHosted(createHosted), IsInstance(isInstance) {}

  // Returns a new, not yet referenced node (count 0).
  const CreateFn Create;
  // Null for classes without a hosting constructor.
  const CreateHostedFn CreateHosted;
  // True when node is of this class or a descendant.
  const IsInstanceFn IsInstance;
};

template <class T>
TXMLNodeClass NodeClassOf();

// One registration of a node class by tag name and namespace.
struct TNodeClassInfo {
  WideString NodeName;
  WideString NamespaceURI;
  TXMLNodeClass NodeClass = nullptr;
};
using TNodeClassArray = std::vector<TNodeClassInfo>;
// Uncounted node pointers.
using TXMLNodeArray = std::vector<TXMLNode*>;

// A counted back reference that never dangles: the target clears it when it
// dies, and whoever still holds the link then finds null.
template <class T, class Self>
class TBackLink {
 public:
  explicit TBackLink(T* target) : target_(target) {}
  TBackLink(const TBackLink&) = delete;
  TBackLink& operator=(const TBackLink&) = delete;
  // Null once the target is gone.
  T* Target() const { return target_; }
  void Clear() { target_ = nullptr; }
  // Several references at once count as one atomic change.
  void AddRef(int32_t count = 1) { refs_.fetch_add(count, std::memory_order_relaxed); }
  // The number of holders (the target's own reference included).
  int32_t Refs() const { return refs_.load(std::memory_order_acquire); }
  void Release(int32_t count = 1) {
    if (refs_.fetch_sub(count, std::memory_order_acq_rel) == count) delete static_cast<Self*>(this);
  }

 private:
  std::atomic<int32_t> refs_{1};
  T* target_;
};

// The document as its nodes see it. Nodes hold this link, not the document
// itself, so that a wrapper that outlives its document finds it gone.
// Each opening of the document is a session: nodes made in an earlier one
// belong to a closed DOM and no longer reach the document (no events, no
// modification, no options), but their references on the document element
// still count on it until the document dies.
class TXMLDocLink : public TBackLink<TXMLDocument, TXMLDocLink> {
 public:
  using TBackLink::TBackLink;
  TXMLDocument* Document() const { return Target(); }
  uint32_t Session() const { return session_; }
  void NextSession() { ++session_; }

 private:
  uint32_t session_ = 0;
};

// A node as its children, hosted nodes and lists see it. Every node a walk
// enters makes one for its children: allocated through the block cache.
class TXMLNodeLink : public TBackLink<TXMLNode, TXMLNodeLink>, public rtl::TBlockCached {
 public:
  using TBackLink::TBackLink;
};

// ---------------------------------------------------------------------------
// Layer-internal interfaces

struct IXMLNodeAccess : IXMLNode {
  static constexpr rtl::GUID IID = {0x6C819037, 0xAB66, 0x4AA8, {0xB2, 0xA5, 0x95, 0x8E, 0xDA, 0x86, 0x27, 0xB7}};
  using Base = IXMLNode;

  virtual rtl::ComPtr<IXMLNode> AddChildOfClass(const WideString& tagName, const WideString& namespaceURI,
                                                TXMLNodeClass nodeClass, int32_t index = -1) = 0;
  // Raises "Element does not contain a single text node" for mixed content.
  virtual void CheckTextNode() = 0;
  // Forgets the document in this node and every built list below it.
  virtual void ClearDocumentRef() = 0;
  // The new wrapper keeps the reference it is given.
  virtual rtl::ComPtr<IXMLNode> CreateAttributeNode(rtl::ComPtr<IDOMNode> domNode) = 0;
  virtual rtl::ComPtr<IXMLNode> CreateChildNode(rtl::ComPtr<IDOMNode> domNode) = 0;
  // Null when the class cannot be hosted.
  virtual rtl::ComPtr<IXMLNode> CreateHostedNode(TXMLNodeClass nodeClass, const rtl::GUID& itemInterface,
                                                 const WideString& itemTag,
                                                 const WideString& itemNamespaceURI) = 0;
  // Raises "Attributes are not supported on this node type" for non-elements.
  virtual rtl::ComPtr<IDOMElement> GetDOMElement() = 0;
  // Null when no hosted node is of that class.
  virtual rtl::ComPtr<IXMLNode> FindHostedNode(TXMLNodeClass nodeClass) = 0;
  virtual const TNodeClassArray& GetChildNodeClasses() = 0;
  // Null for ordinary nodes.
  virtual TXMLNode* GetHostNode() = 0;
  virtual void EmptyHook() = 0;
  virtual bool HasChildNode(const WideString& childTag) = 0;
  virtual bool HasChildNode(const WideString& childTag, const WideString& namespaceURI) = 0;
  virtual rtl::ComPtr<IXMLNode> InternalAddChild(TXMLNodeClass nodeClass, const WideString& tagName,
                                                 const WideString& namespaceURI, int32_t index) = 0;
  // 0 for a node without parent.
  virtual int32_t NestingLevel() = 0;
  virtual void RegisterChildNode(const WideString& tagName, TXMLNodeClass childNodeClass,
                                 const WideString& namespaceURI = WideString()) = 0;
  virtual void RegisterChildNodes(const std::vector<WideString>& childTagNames,
                                  const std::vector<TXMLNodeClass>& childNodeClasses) = 0;
  // The container is not counted.
  virtual void SetContainer(rtl::IInterface* container) = 0;
  virtual void SetParentNode(TXMLNode* value) = 0;

 protected:
  ~IXMLNodeAccess() = default;
};

struct IXMLDocumentAccess : rtl::IInterface {
  static constexpr rtl::GUID IID = {0x933FDA52, 0xB0D0, 0x440C, {0xB3, 0xE9, 0xC3, 0x7F, 0xFB, 0x4B, 0x90, 0x6B}};
  using Base = rtl::IInterface;

  virtual TXMLDocument* GetDocumentInstance() = 0;
  // Null when inactive; raises the interface-cast error when the DOM
  // document cannot persist.
  virtual rtl::ComPtr<IDOMPersist> GetDOMPersist() = 0;

 protected:
  ~IXMLDocumentAccess() = default;
};

// ---------------------------------------------------------------------------
// TXMLNodeList

// Whether iid is id. The layer asks for its own objects behind every list
// and node a walk makes: compared as 16 bytes at once, not field by field.
inline bool IsIID(const rtl::GUID& iid, const rtl::GUID& id) {
  static_assert(sizeof(rtl::GUID) == 16, "a GUID has no padding");
  return std::memcmp(&iid, &id, sizeof(rtl::GUID)) == 0;
}

// Lists and nodes are made and freed by the ten thousand on a walk: both are
// allocated through the block cache.
class TXMLNodeList : public rtl::TInterfacedObject<IXMLNodeList>, public rtl::TBlockCached {
 public:
  // Asked of a reference to find this layer's object behind it (not
  // counted); cheaper than a dynamic_cast on the paths every node takes.
  static constexpr rtl::GUID kObjectIID = {0x8D3E61A2, 0x5B0C, 0x4F7E, {0x9A, 0x41, 0x2C, 0x6B, 0x1E, 0x90, 0xD7, 0x35}};
  // What the list mirrors: nothing (its content is its user's), or the
  // children or the attributes of its owner's DOM node.
  enum TSource : uint8_t { lsNone, lsChildren, lsAttributes };

  TXMLNodeList(TXMLNode* owner, const WideString& defaultNamespaceURI,
               TNodeListNotification notificationProc);
  // A list whose default namespace is its owner's (ownerNamespace), read
  // from the DOM only when a lookup by name first needs it (a walk never
  // does), or none.
  TXMLNodeList(TXMLNode* owner, TNodeListNotification notificationProc, bool ownerNamespace);

  // Answers the object identity first: the layer asks it on every list it
  // caches or lets go.
  HResult QueryInterface(const rtl::GUID& iid, void** obj) override;

  // A list that anyone but its owner's cache holds keeps its owner alive,
  // so edits through it always reach the DOM through a live owner.
  int32_t AddRef() override;
  int32_t Release() override;
  // The first reference to a fresh list, as AddRef counts it, with no
  // atomic step of its own.
  static rtl::ComPtr<IXMLNodeList> FirstReference(TXMLNodeList* list);

  int32_t GetCount() override;
  rtl::ComPtr<IXMLNode> GetNode(const OleVariant& indexOrName) override;
  int32_t GetUpdateCount() override;
  int32_t Add(const rtl::ComPtr<IXMLNode>& node) override;
  void BeginUpdate() override;
  void Clear() override;
  int32_t Delete(int32_t index) override;
  int32_t Delete(const WideString& name) override;
  int32_t Delete(const WideString& name, const WideString& namespaceURI) override;
  void EndUpdate() override;
  rtl::ComPtr<IXMLNode> First() override;
  rtl::ComPtr<IXMLNode> FindNode(const WideString& nodeName) override;
  rtl::ComPtr<IXMLNode> FindNode(const WideString& nodeName, const WideString& namespaceURI) override;
  rtl::ComPtr<IXMLNode> FindNode(const rtl::GUID& childNodeType) override;
  rtl::ComPtr<IXMLNode> FindSibling(const rtl::ComPtr<IXMLNode>& node, int32_t delta) override;
  rtl::ComPtr<IXMLNode> Get(int32_t index) override;
  int32_t IndexOf(const rtl::ComPtr<IXMLNode>& node) override;
  int32_t IndexOf(const WideString& name) override;
  int32_t IndexOf(const WideString& name, const WideString& namespaceURI) override;
  int32_t Insert(int32_t index, const rtl::ComPtr<IXMLNode>& node) override;
  rtl::ComPtr<IXMLNode> Last() override;
  int32_t Remove(const rtl::ComPtr<IXMLNode>& node) override;
  rtl::ComPtr<IXMLNode> ReplaceNode(const rtl::ComPtr<IXMLNode>& oldNode,
                                    const rtl::ComPtr<IXMLNode>& newNode) override;

  // The storage, for the owner filling a freshly built list (no notification).
  rtl::TInterfaceList<IXMLNode>& List() { return FList; }
  // Not counted; the node whose children or attributes these are. Alive
  // while anyone can use the list; null only after OwnerDestroyed.
  TXMLNode* Owner() const { return FOwner; }
  const WideString& DefaultNamespaceURI();

  // Set by the owner once it has filled the list from its DOM node: from then
  // on the list follows the DOM.
  void SetSource(TSource source);
  TSource Source() const { return FSource; }
  // The owner caches (true) or stops caching (false) this list.
  void SetCached(bool cached);
  // The owner hands this list out without caching it (see TXMLNode's
  // FLooseAttributes), or no longer.
  void SetLoose(bool loose) { FLoose = loose; }
  // The owner is being destroyed: the list goes on without owner.
  void OwnerDestroyed();
  // The position of the item over the same DOM node as node, -1 if none.
  int32_t IndexOfDOMNode(IDOMNode* node);
  // Brings the list up to the DOM when anything may have changed it. Every
  // use does this first; called directly, it lets go at once of nodes the
  // DOM moved away.
  void Sync();
  ~TXMLNodeList() override;

 protected:
  void DoNotify(TNodeListOperation operation, const rtl::ComPtr<IXMLNode>& node,
                const OleVariant& indexOrName, bool beforeOperation, rtl::ComPtr<IXMLNode>& result);
  int32_t InternalInsert(int32_t index, const rtl::ComPtr<IXMLNode>& node);
  void InsertFormattingNode(int32_t level, int32_t index, bool lineBreak);

 private:
  void Rebuild();
  // Sync once anything changed since the list last matched: out of line,
  // so that the common case, nothing changed, is inlined into every read.
  [[gnu::noinline]] void SyncTo(uint64_t now);
  void LeaveUpdateMode();
  // A loose list that gained items or entered update mode is cached by
  // its owner from now on, as any other list.
  void Settle();
  // IndexOfDOMNode without bringing the list up to date first.
  int32_t IndexOfKey(const void* key);
  void UpdateOwnerHold();

  rtl::TInterfaceList<IXMLNode> FList;
  TNodeListNotification FNotificationProc;
  TXMLNode* FOwner;
  int32_t FUpdateCount = 0;
  WideString FDefaultNamespaceURI;
  uint64_t FSyncedAt = 0;
  TSource FSource = lsNone;
  bool FCached = false;
  bool FHoldsOwner = false;
  bool FMustRebuild = false;
  bool FNamespaceOfOwner = false;
  bool FLoose = false;
};

// ---------------------------------------------------------------------------
// TXMLNode

// Descendants of TXMLNode put this in their class body so that CloneNode and
// FindHostedNode know their class.
#define XMLNODE_CLASS(T) \
  TXMLNodeClass ClassType() const override { return NodeClassOf<T>(); }

class TXMLNode : public IXMLNodeAccess, public rtl::TBlockCached {
 public:
  // Selects the hosting constructor.
  struct HostedTag {};
  // Asked of a reference to find the TXMLNode behind it (not counted).
  static constexpr rtl::GUID kObjectIID = {0x8D3E61A3, 0x5B0C, 0x4F7E, {0x9A, 0x41, 0x2C, 0x6B, 0x1E, 0x90, 0xD7, 0x35}};

  // Raises "IDOMNode required" without a DOM node. Keeps the reference it
  // is given; parentNode and ownerDoc are not counted.
  TXMLNode(rtl::ComPtr<IDOMNode> domNode, TXMLNode* parentNode, TXMLDocument* ownerDoc);
  // A second wrapper over the DOM node of the top of hostNode's host chain.
  TXMLNode(HostedTag, TXMLNode* hostNode);
  TXMLNode(const TXMLNode&) = delete;
  TXMLNode& operator=(const TXMLNode&) = delete;
  virtual ~TXMLNode();

  virtual TXMLNodeClass ClassType() const;

  // IInterface
  HResult QueryInterface(const rtl::GUID& iid, void** obj) override;
  int32_t AddRef() override;
  int32_t Release() override;
  // The first reference to a fresh node, with no atomic step: nobody else
  // sees the node yet.
  static rtl::ComPtr<IXMLNode> FirstReference(TXMLNode* node);

  // IXMLNode
  OleVariant GetAttribute(const WideString& attrName) override;
  rtl::ComPtr<IXMLNodeList> GetAttributeNodes() override;
  rtl::ComPtr<IXMLNodeList> GetChildNodes() override;
  OleVariant GetChildValue(const OleVariant& indexOrName) override;
  rtl::ComPtr<rtl::IInterface> GetContainer() override;
  rtl::ComPtr<IDOMNode> GetDOMNode() override;
  bool HasChildNodes() override;
  bool IsTextElement() override;
  WideString GetLocalName() override;
  WideString GetNamespaceURI() override;
  WideString GetNodeName() override;
  TNodeType GetNodeType() override;
  OleVariant GetNodeValue() override;
  rtl::ComPtr<IXMLDocumentIntf> GetOwnerDocument() override;
  rtl::ComPtr<IXMLNode> GetParentNode() override;
  WideString GetPrefix() override;
  bool GetReadOnly() override;
  WideString GetText() override;
  WideString GetXML() override;
  void SetAttribute(const WideString& attrName, const OleVariant& value) override;
  void SetChildValue(const OleVariant& indexOrName, const OleVariant& value) override;
  void SetNodeValue(const OleVariant& value) override;
  void SetReadOnly(bool value) override;
  void SetText(const WideString& value) override;
  rtl::ComPtr<IXMLNode> AddChild(const WideString& tagName, int32_t index = -1) override;
  rtl::ComPtr<IXMLNode> AddChildNS(const WideString& tagName, const WideString& namespaceURI,
                                   bool generatePrefix = false, int32_t index = -1) override;
  rtl::ComPtr<IXMLNode> CloneNode(bool deep) override;
  void DeclareNamespace(const WideString& prefix, const WideString& uri) override;
  WideString FindNamespaceURI(const WideString& tagOrPrefix) override;
  rtl::ComPtr<IXMLNode> FindNamespaceDecl(const WideString& namespaceURI) override;
  OleVariant GetAttributeNS(const WideString& attrName, const WideString& namespaceURI) override;
  bool HasAttribute(const WideString& name) override;
  bool HasAttributeNS(const WideString& name, const WideString& namespaceURI) override;
  rtl::ComPtr<IXMLNode> NextSibling() override;
  void Normalize() override;
  rtl::ComPtr<IXMLNode> PreviousSibling() override;
  void Resync() override;
  void SetAttributeNS(const WideString& attrName, const WideString& namespaceURI,
                      const OleVariant& value) override;
  void TransformNode(const rtl::ComPtr<IXMLNode>& styleSheet, WideString& output) override;
  void TransformNode(const rtl::ComPtr<IXMLNode>& styleSheet,
                     const rtl::ComPtr<IXMLDocumentIntf>& outputDoc) override;
  bool ReadTextElement(WideString& text) override;
  bool HasAttributeNodes() override;

  // IXMLNodeAccess
  rtl::ComPtr<IXMLNode> AddChildOfClass(const WideString& tagName, const WideString& namespaceURI,
                                        TXMLNodeClass nodeClass, int32_t index = -1) override;
  void CheckTextNode() override;
  void ClearDocumentRef() override;
  rtl::ComPtr<IXMLNode> CreateAttributeNode(rtl::ComPtr<IDOMNode> domNode) override;
  rtl::ComPtr<IXMLNode> CreateChildNode(rtl::ComPtr<IDOMNode> domNode) override;
  rtl::ComPtr<IXMLNode> CreateHostedNode(TXMLNodeClass nodeClass, const rtl::GUID& itemInterface,
                                         const WideString& itemTag,
                                         const WideString& itemNamespaceURI) override;
  rtl::ComPtr<IDOMElement> GetDOMElement() override;
  rtl::ComPtr<IXMLNode> FindHostedNode(TXMLNodeClass nodeClass) override;
  const TNodeClassArray& GetChildNodeClasses() override;
  TXMLNode* GetHostNode() override;
  void EmptyHook() override;
  bool HasChildNode(const WideString& childTag) override;
  bool HasChildNode(const WideString& childTag, const WideString& namespaceURI) override;
  rtl::ComPtr<IXMLNode> InternalAddChild(TXMLNodeClass nodeClass, const WideString& tagName,
                                         const WideString& namespaceURI, int32_t index) override;
  int32_t NestingLevel() override;
  void RegisterChildNode(const WideString& tagName, TXMLNodeClass childNodeClass,
                         const WideString& namespaceURI = WideString()) override;
  void RegisterChildNodes(const std::vector<WideString>& childTagNames,
                          const std::vector<TXMLNodeClass>& childNodeClasses) override;
  void SetContainer(rtl::IInterface* container) override;
  void SetParentNode(TXMLNode* value) override;

  // Change notification: the document's event first, then (before a
  // change) the read-only check.
  virtual void DoNodeChange(TNodeChange changeType, bool beforeChange);
  // Null drops the cache; ignored on a hosted node.
  virtual void SetAttributeNodes(const rtl::ComPtr<IXMLNodeList>& value);
  virtual void SetChildNodes(const rtl::ComPtr<IXMLNodeList>& value);
  virtual void ChildListNotify(TNodeListOperation operation, rtl::ComPtr<IXMLNode>& node,
                               const OleVariant& indexOrName, bool beforeOperation);
  void AttributeListNotify(TNodeListOperation operation, rtl::ComPtr<IXMLNode>& node,
                           const OleVariant& indexOrName, bool beforeOperation);

  // Non-counted back references; null when there is none (or the document
  // is gone, or was closed since this node was made).
  TXMLDocument* Document() const {
    return FDocLink && FDocLink->Session() == FSession ? FDocLink->Document() : nullptr;
  }
  // The parent wrapper while it is alive and its DOM node is this node's DOM
  // parent; null otherwise.
  TXMLNode* ParentNode();
  // This node's link, made on first request.
  TXMLNodeLink* Link();
  IDOMNode* DOMNode() const { return FDOMNode.get(); }
  // Whether the node keeps an attribute list.
  bool CachesAttributeNodes() const { return FAttributeNodes && !FLooseAttributes; }
  // Whether the node keeps any list.
  bool CachesLists() const { return FChildNodes || CachesAttributeNodes(); }
  // Whether freeing the node can free no other node: a plain wrapper with
  // nothing extra that caches no list.
  bool GoesAtOnce() const { return !CachesLists() && IsPlain(); }
  // Whether the node is a plain wrapper: of this very class, with nothing
  // extra (no host, hosted nodes or registrations).
  bool IsPlain() const { return !FExtra && typeid(*this) == typeid(TXMLNode); }
  // The DOM document the node belongs to (the node itself for a document).
  rtl::ComPtr<IDOMDocument> DOMDocument();
  bool IsDocElement() const { return FIsDocElement; }
  // The reference count of the node itself.
  int32_t RefCount() const { return FRefCount.load(std::memory_order_acquire); }
  // Whether the wrapper carries anything beyond what its DOM node and its
  // place in the tree give it: a read-only flag, registrations, hosted
  // nodes, a container, and (unless a descendant says otherwise) a
  // descendant class's own fields. Such a wrapper lives as long as its
  // parent's list. Any other wrapper, and the lists it caches, go as soon
  // as nobody outside the layer can observe them, and are made again,
  // alike, when next asked for.
  virtual bool KeepsState() const { return FReadOnly || FExtra || typeid(*this) != typeid(TXMLNode); }
  // KeepsState, asked of a plain wrapper (see IsPlain) without a virtual call.
  bool KeepsStateOfItsOwn() const { return IsPlain() ? FReadOnly : KeepsState(); }

  // Callbacks the host calls after each list notification; never set by the
  // layer itself.
  void SetOnChildListChange(TNodeListNotification value);
  void SetOnAttributeListChange(TNodeListNotification value);

 protected:
  virtual rtl::ComPtr<IXMLNodeList> CreateAttributeList();
  virtual rtl::ComPtr<IXMLNodeList> CreateChildList();
  // Receives the item values of CreateHostedNode; the base class has no room
  // for them and ignores them.
  virtual void SetHostedItemInfo(const rtl::GUID& itemInterface, const WideString& itemTag,
                                 const WideString& itemNamespaceURI);
  // Raises "Node is readonly" when the flag is set.
  void CheckReadOnly();
  WideString GetPrefixedName(const WideString& name, const WideString& namespaceURI);
  // The host chain's top, or this node.
  TXMLNode* TopHost();
  // Points the node at another document (null: none), in its current
  // session.
  void SetDocument(TXMLDocument* document);
  // The document the node's references on the document element count on:
  // the document it was made in, whatever session, until that dies.
  TXMLDocument* HoldingDocument() const { return FDocLink ? FDocLink->Document() : nullptr; }
  // The parent link as stored, not checked against the DOM.
  TXMLNode* StoredParent() const { return FParentLink ? FParentLink->Target() : nullptr; }
  void SetStoredParent(TXMLNode* parent);
  // Brings the cached lists up to the DOM now; the second also those of
  // every node they list, down the tree.
  void SyncCachedLists();
  void SyncSubtreeLists();
  // Options of the document; the defaults when the node has none.
  TXMLDocOptions DocOptions() const;

 private:
  // Rarely used state, allocated on first use so that the many plain nodes
  // of a large document stay small.
  struct Extra;
  Extra& Ext();
  void AssignChildNodeClasses(const TNodeClassArray& classes);
  // The destructor's part for a node with lists or hosting ties: out of
  // line, the many plain nodes a walk frees skip it.
  [[gnu::noinline]] void ForgetListsAndHosts();
  // Stores value in a list field, telling both lists whether their owner
  // caches them.
  void CacheList(rtl::ComPtr<IXMLNodeList>& field, const rtl::ComPtr<IXMLNodeList>& value);
  // A plain wrapper (IsPlain) builds its lists itself and stores a fresh
  // one into its empty field without the virtual setters.
  void StoreBuiltList(rtl::ComPtr<IXMLNodeList>& field, const rtl::ComPtr<IXMLNodeList>& built);
  // Called when the count falls to one (normally its list's hold): lets go
  // of the cached lists that nobody can observe any more.
  void LetGoOfUnheldLists();
  // The loose attribute list stops being this node's (DropLooseAttributes),
  // is cached from now on (KeepLooseAttributes), or is gone.
  void DropLooseAttributes();
  void KeepLooseAttributes(TXMLNodeList* list);
  void LooseAttributesGone(TXMLNodeList* list);
  rtl::ComPtr<IXMLNode> Sibling(int32_t delta);
  void HostedListNotify(bool childList, TNodeListOperation operation, rtl::ComPtr<IXMLNode>& node,
                        const OleVariant& indexOrName, bool beforeOperation);
  friend class TXMLNodeList;
  friend class TXMLDocument;
  friend class TPrepaidLinks;

  // Not counted while FLooseAttributes is set (see there).
  rtl::ComPtr<IXMLNodeList> FAttributeNodes;
  rtl::ComPtr<IXMLNodeList> FChildNodes;
  TXMLDocLink* FDocLink = nullptr;
  rtl::ComPtr<IDOMNode> FDOMNode;
  TXMLNodeLink* FParentLink = nullptr;
  TXMLNodeLink* FSelfLink = nullptr;
  std::unique_ptr<Extra> FExtra;
  std::atomic<int32_t> FRefCount{0};
  uint32_t FSession = 0;
  // References on this node's link and on its document's link taken
  // together for the children of a list being built, each child made
  // then takes one of each (see CreateChildList).
  int32_t FPrepaidLinks = 0;
  TNodeType FNodeType;
  bool FIsDocElement = false;
  bool FReadOnly = false;
  // FAttributeNodes is an empty attribute list that follows the DOM,
  // handed out but not cached: it is this node's list while anyone holds
  // it, holds no count for the node, and tells the node when it goes.
  // Nearly every node a walk reads has one; caching it would cost two
  // atomic count changes for an object that nobody could tell from a new
  // one once let go. (A flag, not a field of its own: the many wrappers of
  // a long child list stay as small as they were.)
  bool FLooseAttributes = false;
};

template <class T>
TXMLNodeClass NodeClassOf() {
  static const TXMLNodeMeta meta(
      [](rtl::ComPtr<IDOMNode> domNode, TXMLNode* parentNode, TXMLDocument* ownerDoc) -> TXMLNode* {
        return new T(std::move(domNode), parentNode, ownerDoc);
      },
      []() -> TXMLNodeMeta::CreateHostedFn {
        if constexpr (std::is_constructible_v<T, TXMLNode::HostedTag, TXMLNode*>)
          return [](TXMLNode* host) -> TXMLNode* { return new T(TXMLNode::HostedTag{}, host); };
        else
          return nullptr;
      }(),
      [](const TXMLNode* node) { return dynamic_cast<const T*>(node) != nullptr; });
  return &meta;
}

// The layer's object behind a reference, or null for another
// implementation (or null). Not counted.
TXMLNode* NodeObjectOf(IXMLNode* node);
TXMLNodeList* ListObjectByIdentity(IXMLNodeList* list);
// Nearly every list is this layer's plain one, told by its exact type
// without a call; any other asks the object for its identity.
inline TXMLNodeList* ListObjectOf(IXMLNodeList* list) {
  if (!list) return nullptr;
  if (typeid(*list) == typeid(TXMLNodeList)) return static_cast<TXMLNodeList*>(list);
  return ListObjectByIdentity(list);
}

// ---------------------------------------------------------------------------
// TXMLDocument

enum TDocumentSource : uint8_t {
  dsNone = 0,
  dsXMLLines = 1,
  dsXMLText = 2,
  dsFile = 3,
  dsStream = 4,
};

// The document component. With an owner it lives until the owner frees it;
// without one it is freed when its last interface reference goes (hold it
// through a ComPtr<IXMLDocumentIntf> from the start).
class TXMLDocument : public rtl::TComponent, public IXMLDocumentIntf, public IXMLDocumentAccess {
 public:
  explicit TXMLDocument(rtl::TComponent* owner = nullptr);
  ~TXMLDocument() override;

  // IInterface (shared by both interfaces)
  HResult QueryInterface(const rtl::GUID& iid, void** obj) override;
  int32_t AddRef() override;
  int32_t Release() override;

  // IXMLDocumentIntf
  bool GetActive() override;
  int32_t GetAsyncLoadState() override;
  rtl::ComPtr<IXMLNodeList> GetChildNodes() override;
  rtl::ComPtr<IXMLNode> GetDocumentElement() override;
  rtl::ComPtr<IXMLNode> GetDocumentNode() override;
  rtl::ComPtr<IDOMDocument> GetDOMDocument() override;
  WideString GetEncoding() override;
  WideString GetFileName() override;
  bool GetModified() override;
  WideString GetNodeIndentStr() override;
  TXMLDocOptions GetOptions() override;
  TParseOptions GetParseOptions() override;
  WideString GetSchemaLocation() override;
  WideString GetStandalone() override;
  WideString GetVersion() override;
  rtl::TStrings* GetXML() override;
  void SetActive(bool value) override;
  void SetDocumentElement(const rtl::ComPtr<IXMLNode>& value) override;
  void SetDOMDocument(const rtl::ComPtr<IDOMDocument>& value) override;
  void SetEncoding(const WideString& value) override;
  void SetFileName(const WideString& value) override;
  void SetNodeIndentStr(const WideString& value) override;
  void SetOptions(TXMLDocOptions value) override;
  void SetParseOptions(TParseOptions value) override;
  void SetStandalone(const WideString& value) override;
  void SetVersion(const WideString& value) override;
  void SetXML(const rtl::TStrings& value) override;
  rtl::ComPtr<IXMLNode> AddChild(const WideString& tagName) override;
  rtl::ComPtr<IXMLNode> AddChildNS(const WideString& tagName, const WideString& namespaceURI) override;
  rtl::ComPtr<IXMLNode> CreateElement(const WideString& tagName, const WideString& namespaceURI) override;
  rtl::ComPtr<IXMLNode> CreateNode(const WideString& nameOrData, TNodeType nodeType = ntElement,
                                   const WideString& addlData = WideString()) override;
  WideString MakeUniquePrefix(const rtl::ComPtr<IXMLNode>& node) override;
  rtl::ComPtr<IXMLNode> BindRootElement(const WideString& tagName, TXMLNodeClass nodeClass,
                                        const WideString& namespaceURI = WideString()) override;
  bool IsEmptyDocument() override;
  void LoadFromFile(const WideString& fileName = WideString()) override;
  void LoadFromStream(rtl::TStream* stream, int32_t encodingType = 0) override;
  void LoadFromXML(const AnsiString& xml) override;
  void LoadFromXML(const WideString& xml) override;
  void Refresh() override;
  void RegisterRootNodeClass(const WideString& tagName, TXMLNodeClass nodeClass,
                             const WideString& namespaceURI = WideString()) override;
  void ResetDocumentNode() override;
  void SaveToFile(const WideString& fileName = WideString()) override;
  void SaveToStream(rtl::TStream* stream) override;
  void SaveToXML(WideString& xml) override;
  void SaveToXML(AnsiString& xml) override;
  void SetOnAsyncLoad(const TAsyncEventHandler& value) override;

  // IXMLDocumentAccess
  TXMLDocument* GetDocumentInstance() override;
  rtl::ComPtr<IDOMPersist> GetDOMPersist() override;

  // Component side. A form description may set Active (applied when
  // loading ends) and the defined property "DOMVendorDesc".
  void AfterConstruction() override;
  void Loaded() override;
  void DefineProperties(rtl::TFormReader& reader) override;
  bool ReadProperty(std::string_view name, rtl::TFormReader& reader) override;

  // The class to wrap a DOM node with; null lets the node choose.
  virtual TXMLNodeClass ChooseNodeClass(IDOMNode* domNode);

  // Not owned. Changing it closes the document.
  TDOMVendor* GetDOMVendor() const { return FDOMVendor; }
  void SetDOMVendor(TDOMVendor* value);
  rtl::ComPtr<IDOMImplementation> GetDOMImplementation() const { return FDOMImplementation; }
  // Closes the document when the implementation changes.
  void SetDOMImplementation(const rtl::ComPtr<IDOMImplementation>& value);
  TDocumentSource GetDocumentSource() const { return FDocumentSource; }
  const TAsyncEventHandler& GetOnAsyncLoad() const { return FOnAsyncLoad; }
  // True increments the modification counter, false resets it.
  void SetModified(bool value);
  // Called by every node before and after each change.
  void DoNodeChange(const rtl::ComPtr<IXMLNode>& node, TNodeChange changeType, bool beforeChange);
  int32_t RefCount() const { return FRefCount.load(std::memory_order_acquire); }
  bool OwnedByComponent() const { return FOwnedByComponent; }
  // The link the document's nodes hold; cleared when the document dies.
  TXMLDocLink* DocLink() const { return FDocLink; }

  rtl::TNotifyEvent AfterClose;
  rtl::TNotifyEvent BeforeOpen;
  rtl::TNotifyEvent BeforeClose;
  rtl::TNotifyEvent AfterOpen;
  TNodeChangeEvent BeforeNodeChange;
  TNodeChangeEvent AfterNodeChange;

 protected:
  virtual void AutoSaveOnClose();
  virtual void EnsureDOMImplementation();
  virtual void DoAfterClose();
  virtual void DoAfterOpen();
  virtual void DoBeforeClose();
  virtual void DoBeforeOpen();
  virtual void LoadDocument();
  virtual void ReleaseDocument(bool autoSave);

  // Runs EnsureDOMImplementation, then raises "No active document" when
  // there is no DOM document.
  void CheckActive();
  void ApplyParseOptions();
  rtl::ComPtr<IDOMParseOptions> GetDOMParseOptions();
  // Creates a fresh DOM document through the held implementation and loads
  // it; on failure releases without auto-save and re-raises.
  void OpenDocument();
  void SetXMLLinesSilently(const AnsiString& text);
  void SyncXMLLines();
  void XMLLinesChanging(rtl::TStringList* sender);

  // Document text
  rtl::ComPtr<IXMLNode> GetXMLDeclNode();
  WideString GetDeclValue(int item, const WideString& defaultValue);
  void SetDeclValue(int item, const WideString& value);
  AnsiString BuildDeclText(const rtl::ComPtr<IXMLNode>& declNode, int item, const WideString& value);
  AnsiString SaveAsUTF8WithDecl();

 private:
  WideString FXMLData;
  rtl::TStream* FLoadFromStream = nullptr;
  std::unique_ptr<rtl::TStringList> FXMLStrings;
  TDOMVendor* FDOMVendor = nullptr;
  std::atomic<int32_t> FRefCount{1};
  TNodeClassArray FRootNodeClasses;
  rtl::ComPtr<IDOMPersist> FDOMPersist;
  rtl::ComPtr<IDOMDocument> FDOMDocument;
  rtl::ComPtr<IDOMImplementation> FDOMImplementation;
  rtl::ComPtr<IDOMParseOptions> FDOMParseOptions;
  bool FDOMParseOptionsQueried = false;
  TParseOptions FParseOptions;
  rtl::ComPtr<IXMLNode> FDocumentNode;
  WideString FFileName;
  TXMLDocOptions FOptions;
  int32_t FPrefixID = 0;
  WideString FPrefixBase;
  WideString FNodeIndentStr;
  bool FStreamedActive = false;
  int32_t FModified = 0;
  int32_t FXMLStrSyncCount = -1;
  TDocumentSource FDocumentSource = dsNone;
  bool FOwnedByComponent = false;
  TAsyncEventHandler FOnAsyncLoad;
  TXMLDocLink* FDocLink;
};

// ---------------------------------------------------------------------------
// Free routines

// Never return.
[[noreturn]] void RaiseDocError(const AnsiString& msg);
[[noreturn]] void RaiseDocErrorFmt(const char* fmt, std::initializer_list<rtl::FormatArg> args);

// A new, unattached DOM node of the kind; raises "Invalid node type" for
// kinds that cannot be created.
rtl::ComPtr<IDOMNode> MakeDOMNode(IDOMDocument* doc, const WideString& nameOrData, TNodeType nodeType,
                                  const WideString& addlData);

// The quoted value after the first occurrence of name in line; defaultValue
// when name does not occur, "" when no quote follows it.
WideString ReadQuotedAttr(const AnsiString& name, const AnsiString& line, const WideString& defaultValue);

using TEncodingNameList = std::vector<AnsiString>;
// "UTF-16", "UCS-2", "UNICODE".
extern const TEncodingNameList WideEncodingNames;

// True when list holds s (ASCII letters compared without case).
bool TextInList(const AnsiString& s, const TEncodingNameList& list);

// Removes the encoding attribute of a leading XML declaration unless its
// value is in keep.
void DropUnlistedEncoding(WideString& xml, const TEncodingNameList& keep);

enum TDetectedEncoding : uint8_t {
  deUndetermined,
  deUCS4BE,
  deUCS4LE,
  deUCS4Order2143,
  deUCS4Order3412,
  deUTF8BOM,
  deUCS4Mixed,
  deUTF16BE,
  deUTF16LE,
  deUTF8,
  deEBCDIC,
};

// Classifies the stream's bytes; leaves its position as it was.
TDetectedEncoding DetectStreamEncoding(rtl::TStream* stream);

// Adds, replaces or (with a null class) removes the entry for the pair.
void SetNodeClassEntry(TNodeClassArray& classes, TXMLNodeClass nodeClass, const WideString& nodeName,
                       const WideString& namespaceURI);

// Appends name="value" (blank-separated); nothing for an empty value.
void AppendAttrText(AnsiString& s, const AnsiString& name, const AnsiString& value);
