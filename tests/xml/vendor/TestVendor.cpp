#include "tests/xml/vendor/TestVendor.h"

#include "rtl/SafeCall.h"
#include "rtl/TextConv.h"

#include <fstream>
#include <map>
#include <string>
#include <type_traits>
#include <utility>

namespace testvendor {

namespace {

using rtl::ComPtr;
using rtl::GUID;
using rtl::IInterface;

int32_t gLiveForwarders = 0;

// Counts forwarding objects so that tests can see they all went away.
class TForwarderCount {
 public:
  TForwarderCount() { ++gLiveForwarders; }
  TForwarderCount(const TForwarderCount&) { ++gLiveForwarders; }
  TForwarderCount& operator=(const TForwarderCount&) = delete;
  ~TForwarderCount() { --gLiveForwarders; }
};

class TNodeForwarder;

// One forwarder per (inner node, hidden set): the layer compares DOM
// references by identity (a node against its parent's child, for example).
std::map<std::pair<IInterface*, uint32_t>, TNodeForwarder*>& NodeForwarders() {
  static auto* forwarders = new std::map<std::pair<IInterface*, uint32_t>, TNodeForwarder*>();
  return *forwarders;
}

// Typed node results: the forwarder seen through the interface the caller
// asked for. The inner reference is consumed.
template <class I>
I* WrapTyped(I* inner, uint32_t hidden);

// Runs a call that fills an inner out-parameter, then hands the caller a
// forwarder instead (null stays null).
template <class I, class Call>
HResult ForwardOut(I** result, uint32_t hidden, Call&& call) {
  if (!result) return call(static_cast<I**>(nullptr));
  *result = nullptr;
  I* inner = nullptr;
  HResult hr = call(&inner);
  if (inner) *result = WrapTyped<I>(inner, hidden);
  return hr;
}

// The inner object behind an argument; arguments that are not forwarders
// (a node of another vendor, say) go through unchanged so that the inner DOM
// rejects them as it would.
template <class I>
ComPtr<I> Unwrap(I* arg);

class TNodeForwarder final : public rtl::TRefCounted,
                             public IDOMElement,
                             public IDOMAttr,
                             public IDOMDocument,
                             public IDOMDocumentType,
                             public IDOMNodeExtension,
                             public IDOMPersist,
                             public IDOMParseError,
                             public IDOMParseOptions,
                             public IDOMXMLDeclaration {
 public:
  TNodeForwarder(ComPtr<IDOMNode> inner, IInterface* identity, uint32_t hidden)
      : FInner(std::move(inner)), FIdentity(identity), FHidden(hidden) {
    NodeForwarders()[{FIdentity, FHidden}] = this;
  }
  ~TNodeForwarder() override { NodeForwarders().erase({FIdentity, FHidden}); }

  IDOMNode* AsNode() { return static_cast<IDOMElement*>(this); }
  IDOMNode* Inner() const { return FInner.get(); }

  // IInterface
  HResult QueryInterface(const GUID& iid, void** obj) override {
    if (!obj) return rtl::E_POINTER_;
    *obj = nullptr;
    if (iid == IInterface::IID || iid == IDOMNode::IID) {
      *obj = AsNode();
    } else if (iid == IDOMElement::IID) {
      if (Offers<IDOMElement>()) *obj = static_cast<IDOMElement*>(this);
    } else if (iid == IDOMAttr::IID) {
      if (Offers<IDOMAttr>()) *obj = static_cast<IDOMAttr*>(this);
    } else if (iid == IDOMDocument::IID) {
      if (Offers<IDOMDocument>()) *obj = static_cast<IDOMDocument*>(this);
    } else if (iid == IDOMDocumentType::IID) {
      if (Offers<IDOMDocumentType>()) *obj = static_cast<IDOMDocumentType*>(this);
    } else if (iid == IDOMNodeExtension::IID) {
      if (!(FHidden & hiNodeExtension) && Offers<IDOMNodeExtension>())
        *obj = static_cast<IDOMNodeExtension*>(this);
    } else if (iid == IDOMPersist::IID) {
      if (!(FHidden & hiPersist) && Offers<IDOMPersist>()) *obj = static_cast<IDOMPersist*>(this);
    } else if (iid == IDOMParseError::IID) {
      if (Offers<IDOMParseError>()) *obj = static_cast<IDOMParseError*>(this);
    } else if (iid == IDOMParseOptions::IID) {
      if (!(FHidden & hiParseOptions) && Offers<IDOMParseOptions>())
        *obj = static_cast<IDOMParseOptions*>(this);
    } else if (iid == IDOMXMLDeclaration::IID) {
      if (!(FHidden & hiXMLDeclaration) && Offers<IDOMXMLDeclaration>())
        *obj = static_cast<IDOMXMLDeclaration*>(this);
    }
    if (!*obj) return rtl::E_NOINTERFACE_;
    AddRef();
    return rtl::S_OK_;
  }
  int32_t AddRef() override { return DoAddRef(); }
  int32_t Release() override { return DoRelease(); }

  // IDOMNode
  HResult GetNodeName(WideString* result) override { return FInner->GetNodeName(result); }
  HResult GetNodeValue(WideString* result) override { return FInner->GetNodeValue(result); }
  HResult SetNodeValue(WideStringView value) override { return FInner->SetNodeValue(value); }
  HResult GetNodeType(uint16_t* result) override { return FInner->GetNodeType(result); }
  HResult GetParentNode(IDOMNode** result) override {
    return ForwardOut(result, FHidden, [&](IDOMNode** r) { return FInner->GetParentNode(r); });
  }
  HResult GetChildNodes(IDOMNodeList** result) override {
    return ForwardOut(result, FHidden, [&](IDOMNodeList** r) { return FInner->GetChildNodes(r); });
  }
  HResult GetFirstChild(IDOMNode** result) override {
    return ForwardOut(result, FHidden, [&](IDOMNode** r) { return FInner->GetFirstChild(r); });
  }
  HResult GetLastChild(IDOMNode** result) override {
    return ForwardOut(result, FHidden, [&](IDOMNode** r) { return FInner->GetLastChild(r); });
  }
  HResult GetPreviousSibling(IDOMNode** result) override {
    return ForwardOut(result, FHidden, [&](IDOMNode** r) { return FInner->GetPreviousSibling(r); });
  }
  HResult GetNextSibling(IDOMNode** result) override {
    return ForwardOut(result, FHidden, [&](IDOMNode** r) { return FInner->GetNextSibling(r); });
  }
  HResult GetAttributes(IDOMNamedNodeMap** result) override {
    return ForwardOut(result, FHidden,
                      [&](IDOMNamedNodeMap** r) { return FInner->GetAttributes(r); });
  }
  HResult GetOwnerDocument(IDOMDocument** result) override {
    return ForwardOut(result, FHidden,
                      [&](IDOMDocument** r) { return FInner->GetOwnerDocument(r); });
  }
  HResult GetNamespaceURI(WideString* result) override { return FInner->GetNamespaceURI(result); }
  HResult GetPrefix(WideString* result) override { return FInner->GetPrefix(result); }
  HResult GetLocalName(WideString* result) override { return FInner->GetLocalName(result); }
  HResult InsertBefore(IDOMNode* newChild, IDOMNode* refChild, IDOMNode** result) override {
    auto n = Unwrap(newChild);
    auto ref = Unwrap(refChild);
    return ForwardOut(result, FHidden,
                      [&](IDOMNode** r) { return FInner->InsertBefore(n.get(), ref.get(), r); });
  }
  HResult ReplaceChild(IDOMNode* newChild, IDOMNode* oldChild, IDOMNode** result) override {
    auto n = Unwrap(newChild);
    auto old = Unwrap(oldChild);
    return ForwardOut(result, FHidden,
                      [&](IDOMNode** r) { return FInner->ReplaceChild(n.get(), old.get(), r); });
  }
  HResult RemoveChild(IDOMNode* oldChild, IDOMNode** result) override {
    auto old = Unwrap(oldChild);
    return ForwardOut(result, FHidden,
                      [&](IDOMNode** r) { return FInner->RemoveChild(old.get(), r); });
  }
  HResult AppendChild(IDOMNode* newChild, IDOMNode** result) override {
    auto n = Unwrap(newChild);
    return ForwardOut(result, FHidden,
                      [&](IDOMNode** r) { return FInner->AppendChild(n.get(), r); });
  }
  HResult HasChildNodes(WordBool* result) override { return FInner->HasChildNodes(result); }
  HResult CloneNode(WordBool deep, IDOMNode** result) override {
    return ForwardOut(result, FHidden, [&](IDOMNode** r) { return FInner->CloneNode(deep, r); });
  }
  HResult Normalize() override { return FInner->Normalize(); }
  HResult HasAttributes(WordBool* result) override { return FInner->HasAttributes(result); }

  // IDOMAttr and IDOMDocumentType share GetName.
  HResult GetName(WideString* result) override {
    if (auto a = In<IDOMAttr>()) return a->GetName(result);
    return Call<IDOMDocumentType>([&](IDOMDocumentType* t) { return t->GetName(result); });
  }
  HResult GetSpecified(WordBool* result) override {
    return Call<IDOMAttr>([&](IDOMAttr* a) { return a->GetSpecified(result); });
  }
  HResult GetValue(WideString* result) override {
    return Call<IDOMAttr>([&](IDOMAttr* a) { return a->GetValue(result); });
  }
  HResult SetValue(WideStringView value) override {
    return Call<IDOMAttr>([&](IDOMAttr* a) { return a->SetValue(value); });
  }
  HResult GetOwnerElement(IDOMElement** result) override {
    return Call<IDOMAttr>([&](IDOMAttr* a) {
      return ForwardOut(result, FHidden, [&](IDOMElement** r) { return a->GetOwnerElement(r); });
    });
  }

  // IDOMElement
  HResult GetTagName(WideString* result) override {
    return Call<IDOMElement>([&](IDOMElement* e) { return e->GetTagName(result); });
  }
  HResult GetAttribute(WideStringView name, WideString* result) override {
    return Call<IDOMElement>([&](IDOMElement* e) { return e->GetAttribute(name, result); });
  }
  HResult SetAttribute(WideStringView name, WideStringView value) override {
    return Call<IDOMElement>([&](IDOMElement* e) { return e->SetAttribute(name, value); });
  }
  HResult RemoveAttribute(WideStringView name) override {
    return Call<IDOMElement>([&](IDOMElement* e) { return e->RemoveAttribute(name); });
  }
  HResult GetAttributeNode(WideStringView name, IDOMAttr** result) override {
    return Call<IDOMElement>([&](IDOMElement* e) {
      return ForwardOut(result, FHidden, [&](IDOMAttr** r) { return e->GetAttributeNode(name, r); });
    });
  }
  HResult SetAttributeNode(IDOMAttr* newAttr, IDOMAttr** result) override {
    auto a = Unwrap(newAttr);
    return Call<IDOMElement>([&](IDOMElement* e) {
      return ForwardOut(result, FHidden,
                        [&](IDOMAttr** r) { return e->SetAttributeNode(a.get(), r); });
    });
  }
  HResult RemoveAttributeNode(IDOMAttr* oldAttr, IDOMAttr** result) override {
    auto a = Unwrap(oldAttr);
    return Call<IDOMElement>([&](IDOMElement* e) {
      return ForwardOut(result, FHidden,
                        [&](IDOMAttr** r) { return e->RemoveAttributeNode(a.get(), r); });
    });
  }
  // IDOMElement and IDOMDocument share both element searches.
  HResult GetElementsByTagName(WideStringView name, IDOMNodeList** result) override {
    if (auto e = In<IDOMElement>())
      return ForwardOut(result, FHidden,
                        [&](IDOMNodeList** r) { return e->GetElementsByTagName(name, r); });
    return Call<IDOMDocument>([&](IDOMDocument* d) {
      return ForwardOut(result, FHidden,
                        [&](IDOMNodeList** r) { return d->GetElementsByTagName(name, r); });
    });
  }
  HResult GetAttributeNS(WideStringView namespaceURI, WideStringView localName,
                         WideString* result) override {
    return Call<IDOMElement>(
        [&](IDOMElement* e) { return e->GetAttributeNS(namespaceURI, localName, result); });
  }
  HResult SetAttributeNS(WideStringView namespaceURI, WideStringView qualifiedName,
                         WideStringView value) override {
    return Call<IDOMElement>(
        [&](IDOMElement* e) { return e->SetAttributeNS(namespaceURI, qualifiedName, value); });
  }
  HResult RemoveAttributeNS(WideStringView namespaceURI, WideStringView localName) override {
    return Call<IDOMElement>(
        [&](IDOMElement* e) { return e->RemoveAttributeNS(namespaceURI, localName); });
  }
  HResult GetAttributeNodeNS(WideStringView namespaceURI, WideStringView localName,
                             IDOMAttr** result) override {
    return Call<IDOMElement>([&](IDOMElement* e) {
      return ForwardOut(result, FHidden, [&](IDOMAttr** r) {
        return e->GetAttributeNodeNS(namespaceURI, localName, r);
      });
    });
  }
  HResult SetAttributeNodeNS(IDOMAttr* newAttr, IDOMAttr** result) override {
    auto a = Unwrap(newAttr);
    return Call<IDOMElement>([&](IDOMElement* e) {
      return ForwardOut(result, FHidden,
                        [&](IDOMAttr** r) { return e->SetAttributeNodeNS(a.get(), r); });
    });
  }
  HResult GetElementsByTagNameNS(WideStringView namespaceURI, WideStringView localName,
                                 IDOMNodeList** result) override {
    auto search = [&](auto* target) {
      return ForwardOut(result, FHidden, [&](IDOMNodeList** r) {
        return target->GetElementsByTagNameNS(namespaceURI, localName, r);
      });
    };
    if (auto e = In<IDOMElement>()) return search(e.get());
    return Call<IDOMDocument>([&](IDOMDocument* d) { return search(d); });
  }
  HResult HasAttribute(WideStringView name, WordBool* result) override {
    return Call<IDOMElement>([&](IDOMElement* e) { return e->HasAttribute(name, result); });
  }
  HResult HasAttributeNS(WideStringView namespaceURI, WideStringView localName,
                         WordBool* result) override {
    return Call<IDOMElement>(
        [&](IDOMElement* e) { return e->HasAttributeNS(namespaceURI, localName, result); });
  }

  // IDOMDocumentType
  HResult GetPublicId(WideString* result) override {
    return Call<IDOMDocumentType>([&](IDOMDocumentType* t) { return t->GetPublicId(result); });
  }
  HResult GetSystemId(WideString* result) override {
    return Call<IDOMDocumentType>([&](IDOMDocumentType* t) { return t->GetSystemId(result); });
  }
  HResult GetInternalSubset(WideString* result) override {
    return Call<IDOMDocumentType>(
        [&](IDOMDocumentType* t) { return t->GetInternalSubset(result); });
  }

  // IDOMDocument
  HResult GetDoctype(IDOMDocumentType** result) override {
    return Doc([&](IDOMDocument* d) {
      return ForwardOut(result, FHidden, [&](IDOMDocumentType** r) { return d->GetDoctype(r); });
    });
  }
  HResult GetDomImplementation(IDOMImplementation** result) override;
  HResult GetDocumentElement(IDOMElement** result) override {
    return Doc([&](IDOMDocument* d) {
      return ForwardOut(result, FHidden,
                        [&](IDOMElement** r) { return d->GetDocumentElement(r); });
    });
  }
  HResult GetElementById(WideStringView elementId, IDOMElement** result) override {
    return Doc([&](IDOMDocument* d) {
      return ForwardOut(result, FHidden,
                        [&](IDOMElement** r) { return d->GetElementById(elementId, r); });
    });
  }
  HResult CreateElement(WideStringView tagName, IDOMElement** result) override {
    return Doc([&](IDOMDocument* d) {
      return ForwardOut(result, FHidden,
                        [&](IDOMElement** r) { return d->CreateElement(tagName, r); });
    });
  }
  HResult CreateDocumentFragment(IDOMNode** result) override {
    return Doc([&](IDOMDocument* d) {
      return ForwardOut(result, FHidden,
                        [&](IDOMNode** r) { return d->CreateDocumentFragment(r); });
    });
  }
  HResult CreateTextNode(WideStringView data, IDOMNode** result) override {
    return Doc([&](IDOMDocument* d) {
      return ForwardOut(result, FHidden, [&](IDOMNode** r) { return d->CreateTextNode(data, r); });
    });
  }
  HResult CreateComment(WideStringView data, IDOMNode** result) override {
    return Doc([&](IDOMDocument* d) {
      return ForwardOut(result, FHidden, [&](IDOMNode** r) { return d->CreateComment(data, r); });
    });
  }
  HResult CreateCDATASection(WideStringView data, IDOMNode** result) override {
    return Doc([&](IDOMDocument* d) {
      return ForwardOut(result, FHidden,
                        [&](IDOMNode** r) { return d->CreateCDATASection(data, r); });
    });
  }
  HResult CreateProcessingInstruction(WideStringView target, WideStringView data,
                                      IDOMNode** result) override {
    return Doc([&](IDOMDocument* d) {
      return ForwardOut(result, FHidden, [&](IDOMNode** r) {
        return d->CreateProcessingInstruction(target, data, r);
      });
    });
  }
  HResult CreateAttribute(WideStringView name, IDOMAttr** result) override {
    return Doc([&](IDOMDocument* d) {
      return ForwardOut(result, FHidden, [&](IDOMAttr** r) { return d->CreateAttribute(name, r); });
    });
  }
  HResult CreateEntityReference(WideStringView name, IDOMNode** result) override {
    return Doc([&](IDOMDocument* d) {
      return ForwardOut(result, FHidden,
                        [&](IDOMNode** r) { return d->CreateEntityReference(name, r); });
    });
  }
  HResult ImportNode(IDOMNode* importedNode, WordBool deep, IDOMNode** result) override {
    auto n = Unwrap(importedNode);
    return Doc([&](IDOMDocument* d) {
      return ForwardOut(result, FHidden,
                        [&](IDOMNode** r) { return d->ImportNode(n.get(), deep, r); });
    });
  }
  HResult CreateElementNS(WideStringView namespaceURI, WideStringView qualifiedName,
                          IDOMElement** result) override {
    return Doc([&](IDOMDocument* d) {
      return ForwardOut(result, FHidden, [&](IDOMElement** r) {
        return d->CreateElementNS(namespaceURI, qualifiedName, r);
      });
    });
  }
  HResult CreateAttributeNS(WideStringView namespaceURI, WideStringView qualifiedName,
                            IDOMAttr** result) override {
    return Doc([&](IDOMDocument* d) {
      return ForwardOut(result, FHidden, [&](IDOMAttr** r) {
        return d->CreateAttributeNS(namespaceURI, qualifiedName, r);
      });
    });
  }

  // IDOMNodeExtension
  HResult GetText(WideString* result) override {
    return Call<IDOMNodeExtension>([&](IDOMNodeExtension* x) { return x->GetText(result); });
  }
  HResult GetXMLText(WideString* result) override {
    return Call<IDOMNodeExtension>([&](IDOMNodeExtension* x) { return x->GetXMLText(result); });
  }
  HResult SetText(WideStringView value) override {
    return Call<IDOMNodeExtension>([&](IDOMNodeExtension* x) { return x->SetText(value); });
  }
  HResult TransformToText(IDOMNode* styleSheet, WideString* result) override {
    auto s = Unwrap(styleSheet);
    return Call<IDOMNodeExtension>(
        [&](IDOMNodeExtension* x) { return x->TransformToText(s.get(), result); });
  }
  HResult TransformToDocument(IDOMNode* styleSheet, IDOMDocument* outputDocument) override {
    auto s = Unwrap(styleSheet);
    auto out = Unwrap(outputDocument);
    return Call<IDOMNodeExtension>(
        [&](IDOMNodeExtension* x) { return x->TransformToDocument(s.get(), out.get()); });
  }
  HResult ReadTextElement(WideString* text, WordBool* result) override {
    return Call<IDOMNodeExtension>([&](IDOMNodeExtension* x) { return x->ReadTextElement(text, result); });
  }

  // IDOMPersist
  HResult GetDocumentText(WideString* result) override {
    return Call<IDOMPersist>([&](IDOMPersist* p) { return p->GetDocumentText(result); });
  }
  HResult GetAsyncLoadState(int32_t* result) override {
    return Call<IDOMPersist>([&](IDOMPersist* p) { return p->GetAsyncLoadState(result); });
  }
  HResult LoadFromSource(const rtl::OleVariant& source, WordBool* result) override {
    return Call<IDOMPersist>([&](IDOMPersist* p) { return p->LoadFromSource(source, result); });
  }
  HResult LoadFromStream(rtl::TStream* stream, WordBool* result) override {
    return Call<IDOMPersist>([&](IDOMPersist* p) { return p->LoadFromStream(stream, result); });
  }
  HResult LoadXMLText(WideStringView xml, WordBool* result) override {
    return Call<IDOMPersist>([&](IDOMPersist* p) { return p->LoadXMLText(xml, result); });
  }
  HResult SaveToDestination(const rtl::OleVariant& destination) override {
    if (FHidden & hiFailingSaves) return FailingSave(destination);
    return Call<IDOMPersist>([&](IDOMPersist* p) { return p->SaveToDestination(destination); });
  }
  HResult SaveToStream(rtl::TStream* stream) override {
    return Call<IDOMPersist>([&](IDOMPersist* p) { return p->SaveToStream(stream); });
  }
  HResult SetAsyncLoadHandler(rtl::TObject* sender, const TAsyncEventHandler& handler) override {
    return Call<IDOMPersist>(
        [&](IDOMPersist* p) { return p->SetAsyncLoadHandler(sender, handler); });
  }

  // IDOMParseError
  HResult GetErrorCode(int32_t* result) override {
    return Call<IDOMParseError>([&](IDOMParseError* e) { return e->GetErrorCode(result); });
  }
  HResult GetURL(WideString* result) override {
    return Call<IDOMParseError>([&](IDOMParseError* e) { return e->GetURL(result); });
  }
  HResult GetReason(WideString* result) override {
    return Call<IDOMParseError>([&](IDOMParseError* e) { return e->GetReason(result); });
  }
  HResult GetSourceText(WideString* result) override {
    return Call<IDOMParseError>([&](IDOMParseError* e) { return e->GetSourceText(result); });
  }
  HResult GetLine(int32_t* result) override {
    return Call<IDOMParseError>([&](IDOMParseError* e) { return e->GetLine(result); });
  }
  HResult GetLinePos(int32_t* result) override {
    return Call<IDOMParseError>([&](IDOMParseError* e) { return e->GetLinePos(result); });
  }
  HResult GetFilePos(int32_t* result) override {
    return Call<IDOMParseError>([&](IDOMParseError* e) { return e->GetFilePos(result); });
  }

  // IDOMParseOptions
  HResult GetAsync(WordBool* result) override {
    return Call<IDOMParseOptions>([&](IDOMParseOptions* o) { return o->GetAsync(result); });
  }
  HResult GetPreserveWhiteSpace(WordBool* result) override {
    return Call<IDOMParseOptions>(
        [&](IDOMParseOptions* o) { return o->GetPreserveWhiteSpace(result); });
  }
  HResult GetResolveExternals(WordBool* result) override {
    return Call<IDOMParseOptions>(
        [&](IDOMParseOptions* o) { return o->GetResolveExternals(result); });
  }
  HResult GetValidate(WordBool* result) override {
    return Call<IDOMParseOptions>([&](IDOMParseOptions* o) { return o->GetValidate(result); });
  }
  HResult SetAsync(WordBool value) override {
    return Call<IDOMParseOptions>([&](IDOMParseOptions* o) { return o->SetAsync(value); });
  }
  HResult SetPreserveWhiteSpace(WordBool value) override {
    return Call<IDOMParseOptions>(
        [&](IDOMParseOptions* o) { return o->SetPreserveWhiteSpace(value); });
  }
  HResult SetResolveExternals(WordBool value) override {
    return Call<IDOMParseOptions>(
        [&](IDOMParseOptions* o) { return o->SetResolveExternals(value); });
  }
  HResult SetValidate(WordBool value) override {
    return Call<IDOMParseOptions>([&](IDOMParseOptions* o) { return o->SetValidate(value); });
  }

  // IDOMXMLDeclaration
  HResult GetEncoding(WideString* result) override {
    return Call<IDOMXMLDeclaration>([&](IDOMXMLDeclaration* d) { return d->GetEncoding(result); });
  }
  HResult GetStandalone(WideString* result) override {
    return Call<IDOMXMLDeclaration>(
        [&](IDOMXMLDeclaration* d) { return d->GetStandalone(result); });
  }
  HResult GetVersion(WideString* result) override {
    return Call<IDOMXMLDeclaration>([&](IDOMXMLDeclaration* d) { return d->GetVersion(result); });
  }
  HResult SetEncoding(WideStringView value) override {
    return Call<IDOMXMLDeclaration>([&](IDOMXMLDeclaration* d) { return d->SetEncoding(value); });
  }
  HResult SetStandalone(WideStringView value) override {
    return Call<IDOMXMLDeclaration>(
        [&](IDOMXMLDeclaration* d) { return d->SetStandalone(value); });
  }
  HResult SetVersion(WideStringView value) override {
    return Call<IDOMXMLDeclaration>([&](IDOMXMLDeclaration* d) { return d->SetVersion(value); });
  }

 private:
  template <class I>
  ComPtr<I> In() const { return FInner.try_query<I>(); }
  template <class I>
  bool Offers() const { return static_cast<bool>(In<I>()); }
  // Runs fn on the inner object as I; E_NOINTERFACE when it is not one (a
  // caller reached a member through the wrong kind of node).
  template <class I, class Fn>
  HResult Call(Fn&& fn) const {
    ComPtr<I> inner = In<I>();
    if (!inner) return rtl::E_NOINTERFACE_;
    return fn(inner.get());
  }
  template <class Fn>
  HResult Doc(Fn&& fn) const { return Call<IDOMDocument>(std::forward<Fn>(fn)); }

  // Half of the document reaches the file before the failure is reported.
  HResult FailingSave(const rtl::OleVariant& destination) {
    WideString text;
    HResult hr = Call<IDOMPersist>([&](IDOMPersist* p) { return p->GetDocumentText(&text); });
    if (rtl::Failed(hr)) return hr;
    std::string name = rtl::WideToNarrow(destination.ToWideString());
    std::string bytes = rtl::Utf8Encode(text);
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    rtl::SetSafeCallExceptionMsg("No space left on device while writing " + name);
    return rtl::E_FAIL_;
  }

  TForwarderCount FCount;
  ComPtr<IDOMNode> FInner;
  IInterface* FIdentity;  // the inner node's identity, the key of the forwarder table
  uint32_t FHidden;
};

class TListForwarder final : public rtl::TInterfacedObject<IDOMNodeList> {
 public:
  TListForwarder(ComPtr<IDOMNodeList> inner, uint32_t hidden)
      : FInner(std::move(inner)), FHidden(hidden) {}
  HResult Item(int32_t index, IDOMNode** result) override {
    return ForwardOut(result, FHidden, [&](IDOMNode** r) { return FInner->Item(index, r); });
  }
  HResult GetLength(int32_t* result) override { return FInner->GetLength(result); }

 private:
  TForwarderCount FCount;
  ComPtr<IDOMNodeList> FInner;
  uint32_t FHidden;
};

class TMapForwarder final : public rtl::TInterfacedObject<IDOMNamedNodeMap> {
 public:
  TMapForwarder(ComPtr<IDOMNamedNodeMap> inner, uint32_t hidden)
      : FInner(std::move(inner)), FHidden(hidden) {}
  HResult Item(int32_t index, IDOMNode** result) override {
    return ForwardOut(result, FHidden, [&](IDOMNode** r) { return FInner->Item(index, r); });
  }
  HResult GetLength(int32_t* result) override { return FInner->GetLength(result); }
  HResult GetNamedItem(WideStringView name, IDOMNode** result) override {
    return ForwardOut(result, FHidden, [&](IDOMNode** r) { return FInner->GetNamedItem(name, r); });
  }
  HResult SetNamedItem(IDOMNode* arg, IDOMNode** result) override {
    auto a = Unwrap(arg);
    return ForwardOut(result, FHidden,
                      [&](IDOMNode** r) { return FInner->SetNamedItem(a.get(), r); });
  }
  HResult RemoveNamedItem(WideStringView name, IDOMNode** result) override {
    return ForwardOut(result, FHidden,
                      [&](IDOMNode** r) { return FInner->RemoveNamedItem(name, r); });
  }
  HResult GetNamedItemNS(WideStringView namespaceURI, WideStringView localName,
                         IDOMNode** result) override {
    return ForwardOut(result, FHidden, [&](IDOMNode** r) {
      return FInner->GetNamedItemNS(namespaceURI, localName, r);
    });
  }
  HResult SetNamedItemNS(IDOMNode* arg, IDOMNode** result) override {
    auto a = Unwrap(arg);
    return ForwardOut(result, FHidden,
                      [&](IDOMNode** r) { return FInner->SetNamedItemNS(a.get(), r); });
  }
  HResult RemoveNamedItemNS(WideStringView namespaceURI, WideStringView localName,
                            IDOMNode** result) override {
    return ForwardOut(result, FHidden, [&](IDOMNode** r) {
      return FInner->RemoveNamedItemNS(namespaceURI, localName, r);
    });
  }

 private:
  TForwarderCount FCount;
  ComPtr<IDOMNamedNodeMap> FInner;
  uint32_t FHidden;
};

class TImplementationForwarder final : public rtl::TInterfacedObject<IDOMImplementation> {
 public:
  TImplementationForwarder(ComPtr<IDOMImplementation> inner, uint32_t hidden)
      : FInner(std::move(inner)), FHidden(hidden) {}
  HResult HasFeature(WideStringView feature, WideStringView version, WordBool* result) override {
    return FInner->HasFeature(feature, version, result);
  }
  HResult CreateDocumentType(WideStringView qualifiedName, WideStringView publicId,
                             WideStringView systemId, IDOMDocumentType** result) override {
    return ForwardOut(result, FHidden, [&](IDOMDocumentType** r) {
      return FInner->CreateDocumentType(qualifiedName, publicId, systemId, r);
    });
  }
  HResult CreateDocument(WideStringView namespaceURI, WideStringView qualifiedName,
                         IDOMDocumentType* docType, IDOMDocument** result) override {
    auto t = Unwrap(docType);
    return ForwardOut(result, FHidden, [&](IDOMDocument** r) {
      return FInner->CreateDocument(namespaceURI, qualifiedName, t.get(), r);
    });
  }

 private:
  TForwarderCount FCount;
  ComPtr<IDOMImplementation> FInner;
  uint32_t FHidden;
};

HResult TNodeForwarder::GetDomImplementation(IDOMImplementation** result) {
  return Doc([&](IDOMDocument* d) {
    if (!result) return d->GetDomImplementation(nullptr);
    *result = nullptr;
    ComPtr<IDOMImplementation> inner;
    HResult hr = d->GetDomImplementation(inner.put());
    if (inner) {
      *result = new TImplementationForwarder(std::move(inner), FHidden);
      (*result)->AddRef();
    }
    return hr;
  });
}

TNodeForwarder* ForwarderOf(IDOMNode* inner, uint32_t hidden) {
  ComPtr<IDOMNode> owned = ComPtr<IDOMNode>::adopt(inner);
  ComPtr<IInterface> identity = owned.try_query<IInterface>();
  auto& table = NodeForwarders();
  auto it = table.find({identity.get(), hidden});
  if (it != table.end()) return it->second;
  return new TNodeForwarder(std::move(owned), identity.get(), hidden);
}

IDOMNode* WrapNode(IDOMNode* inner, uint32_t hidden) {
  // Forwarders of our own (a test mixing vendors) are not wrapped twice.
  if (IsForwarder(inner)) return inner;
  IDOMNode* node = ForwarderOf(inner, hidden)->AsNode();
  node->AddRef();
  return node;
}

template <class I>
I* WrapTyped(I* inner, uint32_t hidden) {
  if constexpr (std::is_same_v<I, IDOMNodeList>) {
    I* list = new TListForwarder(ComPtr<I>::adopt(inner), hidden);
    list->AddRef();
    return list;
  } else if constexpr (std::is_same_v<I, IDOMNamedNodeMap>) {
    I* map = new TMapForwarder(ComPtr<I>::adopt(inner), hidden);
    map->AddRef();
    return map;
  } else if constexpr (std::is_same_v<I, IDOMNode>) {
    return WrapNode(inner, hidden);
  } else {
    if (IsForwarder(inner)) return inner;
    // The caller asked for a typed node, so the inner object is one; the
    // forwarder answers to the same type.
    I* typed = static_cast<I*>(ForwarderOf(inner, hidden));
    typed->AddRef();
    return typed;
  }
}

template <class I>
ComPtr<I> Unwrap(I* arg) {
  if (!arg) return nullptr;
  if (auto* f = dynamic_cast<TNodeForwarder*>(arg)) {
    ComPtr<I> inner;
    f->Inner()->QueryInterface(I::IID, reinterpret_cast<void**>(inner.put()));
    // A forwarder only answers to interfaces its inner object has.
    return inner;
  }
  return ComPtr<I>(arg);
}

}  // namespace

TTestDOMVendor::TTestDOMVendor(std::string description, uint32_t hidden,
                               std::string innerDescription)
    : FDescription(std::move(description)),
      FHidden(hidden),
      FInnerDescription(std::move(innerDescription)) {
  RegisterVendor(this);
}

TTestDOMVendor::~TTestDOMVendor() { UnregisterVendor(this); }

rtl::ComPtr<IDOMImplementation> TTestDOMVendor::GetImplementation() {
  rtl::ComPtr<IDOMImplementation> inner = LookupVendor(FInnerDescription)->GetImplementation();
  if (!inner) return nullptr;
  return rtl::ComPtr<IDOMImplementation>(new TImplementationForwarder(std::move(inner), FHidden));
}

int32_t LiveForwarderCount() { return gLiveForwarders; }

bool IsForwarder(rtl::IInterface* intf) {
  if (!intf) return false;
  return dynamic_cast<TNodeForwarder*>(intf) || dynamic_cast<TListForwarder*>(intf) ||
         dynamic_cast<TMapForwarder*>(intf) || dynamic_cast<TImplementationForwarder*>(intf);
}

}  // namespace testvendor
