// Interfaces of the XML document layer: nodes, node lists and the document,
// with the option sets and change events they share.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "dom/xmldom.h"
#include "rtl/Interface.h"
#include "rtl/Types.h"
#include "rtl/Variant.h"

namespace rtl {
class TStream;
class TStrings;
}  // namespace rtl

using rtl::AnsiString;
using rtl::OleVariant;

struct IXMLNode;
struct IXMLNodeList;
struct IXMLDocumentIntf;

// Class reference to TXMLNode or a descendant (see XMLDoc.h); null means none.
class TXMLNodeMeta;
using TXMLNodeClass = const TXMLNodeMeta*;

// ---------------------------------------------------------------------------
// Option sets

// A set of up to eight enumeration values stored as one byte; value v is
// bit v.
template <class E>
class TSmallSet {
 public:
  constexpr TSmallSet() = default;
  constexpr TSmallSet(std::initializer_list<E> items) {
    for (E e : items) bits_ = static_cast<uint8_t>(bits_ | Bit(e));
  }
  static constexpr TSmallSet FromByte(uint8_t b) {
    TSmallSet s;
    s.bits_ = b;
    return s;
  }
  constexpr uint8_t Byte() const { return bits_; }
  constexpr bool Contains(E e) const { return (bits_ & Bit(e)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr TSmallSet& Include(E e) { bits_ = static_cast<uint8_t>(bits_ | Bit(e)); return *this; }
  constexpr TSmallSet& Exclude(E e) { bits_ = static_cast<uint8_t>(bits_ & ~Bit(e)); return *this; }
  friend constexpr TSmallSet operator+(TSmallSet a, TSmallSet b) { return FromByte(a.bits_ | b.bits_); }
  friend constexpr TSmallSet operator-(TSmallSet a, TSmallSet b) {
    return FromByte(static_cast<uint8_t>(a.bits_ & ~b.bits_));
  }
  friend constexpr bool operator==(TSmallSet a, TSmallSet b) { return a.bits_ == b.bits_; }

 private:
  static constexpr uint8_t Bit(E e) { return static_cast<uint8_t>(1u << static_cast<unsigned>(e)); }
  uint8_t bits_ = 0;
};

enum TXMLDocOption : uint8_t {
  doNodeAutoCreate = 0,
  doNodeAutoIndent = 1,
  doAttrNull = 2,
  doAutoPrefix = 3,
  doNamespaceDecl = 4,
  doAutoSave = 5,
};
using TXMLDocOptions = TSmallSet<TXMLDocOption>;
// [doNodeAutoCreate, doAttrNull, doAutoPrefix, doNamespaceDecl]
inline constexpr TXMLDocOptions kDefaultXMLDocOptions = TXMLDocOptions::FromByte(0x1D);

enum TParseOption : uint8_t {
  poResolveExternals = 0,
  poValidateOnParse = 1,
  poPreserveWhiteSpace = 2,
  poAsyncLoad = 3,
};
using TParseOptions = TSmallSet<TParseOption>;

// ---------------------------------------------------------------------------
// Change notification

enum TNodeChange : uint8_t {
  ncUpdateValue = 0,
  ncInsertChild = 1,
  ncRemoveChild = 2,
  ncAddAttribute = 3,
  ncRemoveAttribute = 4,
};

// Fired by the document before and after every node change; no sender.
using TNodeChangeEvent = std::function<void(const rtl::ComPtr<IXMLNode>& node, TNodeChange changeType)>;

// The contract between a node list and its owner node.
enum TNodeListOperation : uint8_t {
  nlInsert = 0,
  nlRemove = 1,
  nlCreateNode = 2,
};

// A bound method (code plus object) the node list calls before and after
// each change; the receiver may replace `node`. Two pointers, no heap, so
// every list can carry one cheaply.
class TNodeListNotification {
 public:
  using Code = void (*)(void* object, TNodeListOperation operation, rtl::ComPtr<IXMLNode>& node,
                        const OleVariant& indexOrName, bool beforeOperation);

  constexpr TNodeListNotification() = default;
  constexpr TNodeListNotification(Code code, void* object) : code_(code), object_(object) {}

  // Binds a member function (virtual dispatch applies) to an object.
  template <auto Method, class T>
  static TNodeListNotification Bind(T* object) {
    return TNodeListNotification(
        [](void* o, TNodeListOperation op, rtl::ComPtr<IXMLNode>& node, const OleVariant& ion,
           bool before) { (static_cast<T*>(o)->*Method)(op, node, ion, before); },
        object);
  }

  explicit operator bool() const { return code_ != nullptr; }
  void operator()(TNodeListOperation operation, rtl::ComPtr<IXMLNode>& node,
                  const OleVariant& indexOrName, bool beforeOperation) const {
    code_(object_, operation, node, indexOrName, beforeOperation);
  }
  void* Object() const { return object_; }

 private:
  Code code_ = nullptr;
  void* object_ = nullptr;
};

// ---------------------------------------------------------------------------
// IXMLNodeList

struct IXMLNodeList : rtl::IInterface {
  static constexpr rtl::GUID IID = {0x395950C1, 0x7E5D, 0x11D4, {0x83, 0xDA, 0x00, 0xC0, 0x4F, 0x60, 0xB2, 0xDD}};
  using Base = rtl::IInterface;

  virtual int32_t GetCount() = 0;
  // By position (ordinal variant) or by name in the default namespace;
  // raises the index error or "Node "%s" not found" (unless auto-created).
  virtual rtl::ComPtr<IXMLNode> GetNode(const OleVariant& indexOrName) = 0;
  virtual int32_t GetUpdateCount() = 0;
  // Returns the position at which the node was placed.
  virtual int32_t Add(const rtl::ComPtr<IXMLNode>& node) = 0;
  virtual void BeginUpdate() = 0;
  virtual void Clear() = 0;
  // Return the position the node had, -1 when there was none.
  virtual int32_t Delete(int32_t index) = 0;
  virtual int32_t Delete(const WideString& name) = 0;
  virtual int32_t Delete(const WideString& name, const WideString& namespaceURI) = 0;
  virtual void EndUpdate() = 0;
  // Null when the list is empty.
  virtual rtl::ComPtr<IXMLNode> First() = 0;
  // Null when no item matches.
  virtual rtl::ComPtr<IXMLNode> FindNode(const WideString& nodeName) = 0;
  virtual rtl::ComPtr<IXMLNode> FindNode(const WideString& nodeName, const WideString& namespaceURI) = 0;
  // The first item that supports the interface, null when none.
  virtual rtl::ComPtr<IXMLNode> FindNode(const rtl::GUID& childNodeType) = 0;
  // Null when the resulting position is outside the list.
  virtual rtl::ComPtr<IXMLNode> FindSibling(const rtl::ComPtr<IXMLNode>& node, int32_t delta) = 0;
  // Raises the index error outside 0..Count-1.
  virtual rtl::ComPtr<IXMLNode> Get(int32_t index) = 0;
  // -1 when absent.
  virtual int32_t IndexOf(const rtl::ComPtr<IXMLNode>& node) = 0;
  virtual int32_t IndexOf(const WideString& name) = 0;
  virtual int32_t IndexOf(const WideString& name, const WideString& namespaceURI) = 0;
  // Index -1 appends; returns the position of the node.
  virtual int32_t Insert(int32_t index, const rtl::ComPtr<IXMLNode>& node) = 0;
  // Null when the list is empty.
  virtual rtl::ComPtr<IXMLNode> Last() = 0;
  // Returns the position the node had, -1 when it was not in the list.
  virtual int32_t Remove(const rtl::ComPtr<IXMLNode>& node) = 0;
  // Returns oldNode; appends newNode when oldNode is not in the list.
  virtual rtl::ComPtr<IXMLNode> ReplaceNode(const rtl::ComPtr<IXMLNode>& oldNode,
                                            const rtl::ComPtr<IXMLNode>& newNode) = 0;

 protected:
  ~IXMLNodeList() = default;
};

// ---------------------------------------------------------------------------
// IXMLNode

struct IXMLNode : rtl::IInterface {
  static constexpr rtl::GUID IID = {0x395950C0, 0x7E5D, 0x11D4, {0x83, 0xDA, 0x00, 0xC0, 0x4F, 0x60, 0xB2, 0xDD}};
  using Base = rtl::IInterface;

  // Null when absent and the options hold doAttrNull (or no document).
  virtual OleVariant GetAttribute(const WideString& attrName) = 0;
  virtual rtl::ComPtr<IXMLNodeList> GetAttributeNodes() = 0;
  virtual rtl::ComPtr<IXMLNodeList> GetChildNodes() = 0;
  // Null when no child has that name.
  virtual OleVariant GetChildValue(const OleVariant& indexOrName) = 0;
  // Null when the node was placed in no container.
  virtual rtl::ComPtr<rtl::IInterface> GetContainer() = 0;
  virtual rtl::ComPtr<IDOMNode> GetDOMNode() = 0;
  virtual bool HasChildNodes() = 0;
  // True only for an element whose one child is a text node (not CDATA).
  virtual bool IsTextElement() = 0;
  virtual WideString GetLocalName() = 0;
  // Empty when the node has no namespace.
  virtual WideString GetNamespaceURI() = 0;
  virtual WideString GetNodeName() = 0;
  virtual TNodeType GetNodeType() = 0;
  // Null instead of an empty text.
  virtual OleVariant GetNodeValue() = 0;
  // Null when the node belongs to no document.
  virtual rtl::ComPtr<IXMLDocumentIntf> GetOwnerDocument() = 0;
  // Null for the document node, attributes and unattached nodes.
  virtual rtl::ComPtr<IXMLNode> GetParentNode() = 0;
  virtual WideString GetPrefix() = 0;
  virtual bool GetReadOnly() = 0;
  virtual WideString GetText() = 0;
  virtual WideString GetXML() = 0;
  // A Null value removes the attribute.
  virtual void SetAttribute(const WideString& attrName, const OleVariant& value) = 0;
  virtual void SetChildValue(const OleVariant& indexOrName, const OleVariant& value) = 0;
  virtual void SetNodeValue(const OleVariant& value) = 0;
  virtual void SetReadOnly(bool value) = 0;
  virtual void SetText(const WideString& value) = 0;
  // Index -1 appends.
  virtual rtl::ComPtr<IXMLNode> AddChild(const WideString& tagName, int32_t index = -1) = 0;
  virtual rtl::ComPtr<IXMLNode> AddChildNS(const WideString& tagName, const WideString& namespaceURI,
                                           bool generatePrefix = false, int32_t index = -1) = 0;
  virtual rtl::ComPtr<IXMLNode> CloneNode(bool deep) = 0;
  virtual void DeclareNamespace(const WideString& prefix, const WideString& uri) = 0;
  // Empty when the prefix is declared nowhere in scope.
  virtual WideString FindNamespaceURI(const WideString& tagOrPrefix) = 0;
  // The declaring attribute, null when none in scope.
  virtual rtl::ComPtr<IXMLNode> FindNamespaceDecl(const WideString& namespaceURI) = 0;
  virtual OleVariant GetAttributeNS(const WideString& attrName, const WideString& namespaceURI) = 0;
  virtual bool HasAttribute(const WideString& name) = 0;
  virtual bool HasAttributeNS(const WideString& name, const WideString& namespaceURI) = 0;
  // Null when there is none (or no parent).
  virtual rtl::ComPtr<IXMLNode> NextSibling() = 0;
  virtual void Normalize() = 0;
  // Null when there is none (or no parent).
  virtual rtl::ComPtr<IXMLNode> PreviousSibling() = 0;
  virtual void Resync() = 0;
  virtual void SetAttributeNS(const WideString& attrName, const WideString& namespaceURI,
                              const OleVariant& value) = 0;
  virtual void TransformNode(const rtl::ComPtr<IXMLNode>& styleSheet, WideString& output) = 0;
  virtual void TransformNode(const rtl::ComPtr<IXMLNode>& styleSheet,
                             const rtl::ComPtr<IXMLDocumentIntf>& outputDoc) = 0;
  // IsTextElement and, when true, the node's text (GetText) into text, in
  // one look at the DOM where the vendor allows; false leaves text alone.
  // Unlike GetText it never adds a text child to an empty element.
  virtual bool ReadTextElement(WideString& text) = 0;
  // Whether the node's attribute list (GetAttributeNodes) has items;
  // answered without making the list where the node has none yet, so that a
  // walk need not make an empty list for every element without attributes.
  virtual bool HasAttributeNodes() = 0;

 protected:
  ~IXMLNode() = default;
};

// ---------------------------------------------------------------------------
// IXMLDocumentIntf

struct IXMLDocumentIntf : rtl::IInterface {
  static constexpr rtl::GUID IID = {0x395950C3, 0x7E5D, 0x11D4, {0x83, 0xDA, 0x00, 0xC0, 0x4F, 0x60, 0xB2, 0xDD}};
  using Base = rtl::IInterface;

  virtual bool GetActive() = 0;
  virtual int32_t GetAsyncLoadState() = 0;
  virtual rtl::ComPtr<IXMLNodeList> GetChildNodes() = 0;
  // Null when the document has no element.
  virtual rtl::ComPtr<IXMLNode> GetDocumentElement() = 0;
  virtual rtl::ComPtr<IXMLNode> GetDocumentNode() = 0;
  // Null when inactive.
  virtual rtl::ComPtr<IDOMDocument> GetDOMDocument() = 0;
  // Empty when not declared.
  virtual WideString GetEncoding() = 0;
  virtual WideString GetFileName() = 0;
  virtual bool GetModified() = 0;
  virtual WideString GetNodeIndentStr() = 0;
  virtual TXMLDocOptions GetOptions() = 0;
  virtual TParseOptions GetParseOptions() = 0;
  // Empty when the document names no schema.
  virtual WideString GetSchemaLocation() = 0;
  virtual WideString GetStandalone() = 0;
  virtual WideString GetVersion() = 0;
  // The document's own XML lines (brought up to date first when active).
  virtual rtl::TStrings* GetXML() = 0;
  virtual void SetActive(bool value) = 0;
  virtual void SetDocumentElement(const rtl::ComPtr<IXMLNode>& value) = 0;
  virtual void SetDOMDocument(const rtl::ComPtr<IDOMDocument>& value) = 0;
  virtual void SetEncoding(const WideString& value) = 0;
  virtual void SetFileName(const WideString& value) = 0;
  virtual void SetNodeIndentStr(const WideString& value) = 0;
  virtual void SetOptions(TXMLDocOptions value) = 0;
  virtual void SetParseOptions(TParseOptions value) = 0;
  virtual void SetStandalone(const WideString& value) = 0;
  virtual void SetVersion(const WideString& value) = 0;
  virtual void SetXML(const rtl::TStrings& value) = 0;
  virtual rtl::ComPtr<IXMLNode> AddChild(const WideString& tagName) = 0;
  virtual rtl::ComPtr<IXMLNode> AddChildNS(const WideString& tagName, const WideString& namespaceURI) = 0;
  virtual rtl::ComPtr<IXMLNode> CreateElement(const WideString& tagName, const WideString& namespaceURI) = 0;
  virtual rtl::ComPtr<IXMLNode> CreateNode(const WideString& nameOrData, TNodeType nodeType = ntElement,
                                           const WideString& addlData = WideString()) = 0;
  virtual WideString MakeUniquePrefix(const rtl::ComPtr<IXMLNode>& node) = 0;
  virtual rtl::ComPtr<IXMLNode> BindRootElement(const WideString& tagName, TXMLNodeClass nodeClass,
                                                const WideString& namespaceURI = WideString()) = 0;
  // True when inactive or the DOM document has no children.
  virtual bool IsEmptyDocument() = 0;
  // An empty name reloads the current FileName.
  virtual void LoadFromFile(const WideString& fileName = WideString()) = 0;
  // The stream is not owned; the encoding kind is ignored.
  virtual void LoadFromStream(rtl::TStream* stream, int32_t encodingType = 0) = 0;
  virtual void LoadFromXML(const AnsiString& xml) = 0;
  virtual void LoadFromXML(const WideString& xml) = 0;
  virtual void Refresh() = 0;
  virtual void RegisterRootNodeClass(const WideString& tagName, TXMLNodeClass nodeClass,
                                     const WideString& namespaceURI = WideString()) = 0;
  virtual void ResetDocumentNode() = 0;
  // An empty name saves to FileName.
  virtual void SaveToFile(const WideString& fileName = WideString()) = 0;
  virtual void SaveToStream(rtl::TStream* stream) = 0;
  virtual void SaveToXML(WideString& xml) = 0;
  virtual void SaveToXML(AnsiString& xml) = 0;
  virtual void SetOnAsyncLoad(const TAsyncEventHandler& value) = 0;

 protected:
  ~IXMLDocumentIntf() = default;
};
