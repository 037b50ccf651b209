// Internals shared by the parts of the DOM library: the program's callbacks,
// the failure path, text conversion and the counted holder of a Xerces
// document that every wrapper keeps alive.
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include <xercesc/dom/DOM.hpp>

#include "dom/xercesxmldom.h"
#include "dom/xmldom.h"
#include "lib/xercesxmldom/LibConst.h"
#include "lib/xercesxmldom/store/Store.h"
#include "rtl/Interface.h"
#include "rtl/StreamIntf.h"
#include "rtl/Types.h"

namespace xdom {

namespace xc = XERCES_CPP_NAMESPACE;
using rtl::ComPtr;
using rtl::HResult;
using rtl::WideString;
using rtl::WideStringView;
using rtl::WordBool;

// ---------------------------------------------------------------------------
// Program callbacks (installed by SetCallback; null until then).

struct Callbacks {
  TReportDOMErrorProc reportError = nullptr;
  TReportUnsupportedProc reportUnsupported = nullptr;
  TMakeWideStringProc makeWide = nullptr;
  TWrapStreamProc wrapStream = nullptr;
};
Callbacks& TheCallbacks();

// Fills a program wide string through callback 2, so the program frees
// only memory it made itself. A null source gives an empty string.
void Put(WideString* target, const char16_t* units, size_t count);
inline void Put(WideString* target, const XMLCh* text) {
  Put(target, text, text ? xc::XMLString::stringLen(text) : 0);
}
inline void Put(WideString* target, std::u16string_view text) {
  Put(target, text.data(), text.size());
}

// ---------------------------------------------------------------------------
// Failures. Thrown inside the library, turned into a callback and a failure
// status by Guard at the interface boundary.

struct Failure {
  int32_t code;  // W3C code 1..15, 257, 258 or 0 (message is the whole text)
  std::u16string message;
};
struct UnsupportedMember {
  const char16_t* member;
};

[[noreturn]] inline void Fail(int32_t code, std::u16string message = {}) {
  throw Failure{code, std::move(message)};
}
[[noreturn]] inline void FailText(std::u16string message) { throw Failure{0, std::move(message)}; }
[[noreturn]] inline void FailUnsupported(const char16_t* member) { throw UnsupportedMember{member}; }

// Replaces the first "%s" of a message text, or the first two.
std::u16string FormatMsg(std::u16string_view text, std::u16string_view arg);
std::u16string FormatMsg(std::u16string_view text, std::u16string_view first, std::u16string_view second);

// Reports the exception in flight through the callbacks; returns the status.
HResult ReportCurrentException() noexcept;

// Runs body and turns every exception into a reported failure status, so
// nothing ever crosses the library boundary.
template <class F>
HResult Guard(F&& body) noexcept {
  try {
    body();
    return rtl::S_OK_;
  } catch (...) {
    return ReportCurrentException();
  }
}

// ---------------------------------------------------------------------------
// Text

// Null-terminated copy of a view, for Xerces calls; refuses a NUL inside.
inline std::u16string Z(WideStringView v) {
  if (v.find(u'\0') != WideStringView::npos) FailText(msg::kNulInText);
  return std::u16string(v);
}
// Null for an empty text (Xerces' "no namespace").
inline const XMLCh* NullIfEmpty(const std::u16string& s) { return s.empty() ? nullptr : s.c_str(); }

// Appends the UTF-8 form of one code point.
void AppendUtf8(char32_t cp, std::string& out);
std::string Utf16ToUtf8(std::u16string_view s);
std::u16string Utf8ToUtf16(std::string_view s);

inline WordBool WB(bool b) { return rtl::ToWordBool(b); }

// Load states of a document, as GetAsyncLoadState returns them and as the
// asynchronous load handler receives them: 0 nothing loaded yet, 1 loading,
// 4 completed (successfully or not; the load result and IDOMParseError tell
// which). Loads are synchronous: with the async option set, the handler is
// called with 1 and then 4 while the load call runs, and with 1 again every
// 25 ms or so of a long parse, so the caller can keep its user interface
// alive; an exception the handler raises there fails the load (the document
// is left empty). Without the option the handler is not called.
enum : int32_t { kLoadStateNone = 0, kLoadStateLoading = 1, kLoadStateCompleted = 4 };

// ---------------------------------------------------------------------------
// Document holder

// Declaration values of a document: what was parsed, or what was set.
struct XMLDecl {
  std::u16string version;
  std::u16string encoding;
  std::u16string standalone;
};

// Document order of the attributes of elements whose Xerces map order
// differs from it (the map is sorted by name). Recorded when the tree is
// built from the store, and for copies.
class AttrOrder {
 public:
  void Add(const xc::DOMElement* element, xc::DOMAttr* const* attrs, uint32_t count);
  // Sorts the index once the tree is built so lookups are binary searches.
  void Seal();
  // The order of a copy made after the load: kept aside, so that a copy
  // does not sort the whole index again.
  void AddCopy(const xc::DOMElement* element, std::vector<xc::DOMAttr*> attrs);
  // The recorded attributes of element (count 0 when none).
  std::pair<xc::DOMAttr* const*, uint32_t> Find(const xc::DOMElement* element) const;

 private:
  struct Entry {
    const xc::DOMElement* element;
    uint32_t offset;
    uint32_t count;
  };
  std::vector<Entry> index_;
  std::vector<xc::DOMAttr*> arena_;
  bool sealed_ = true;
  std::unordered_map<const xc::DOMElement*, std::vector<xc::DOMAttr*>> copies_;
};

class TDocument;
struct NodeCore;

// One Xerces document, alive while any wrapper of it or of one of its nodes
// lives. Xerces' nodes are never released individually (removed nodes stay
// valid in the document's pool); a store's node is freed only once no
// wrapper and no list names it (Store::Collect), so a wrapper never dangles.
//
// A loaded document comes as a store (see Store.h): the Xerces document
// holds at most its document type until Materialize builds its tree from
// the store.
// Wrappers made meanwhile name their node by its store index and are
// pointed at the Xerces node when that happens.
class XDoc : public rtl::TRefCounted {
 public:
  explicit XDoc(xc::DOMDocument* doc);
  ~XDoc() override;
  XDoc(const XDoc&) = delete;

  int32_t AddRef() noexcept { return DoAddRef(); }
  int32_t Release() noexcept { return DoRelease(); }

  // The Xerces document as a factory of new nodes; its tree may still be in
  // the store. Tree() is the document with its tree.
  xc::DOMDocument* doc;
  xc::DOMDocument* Tree() {
    if (store) Materialize();
    return doc;
  }
  // The loaded tree while no call has needed Xerces' own (null after).
  std::unique_ptr<Store> store;
  // Builds the Xerces tree from the store and drops the store.
  void Materialize();
  // The Xerces node built for each store index (kept for lists made over
  // the store, which name their parent by index).
  std::vector<xc::DOMNode*> byIndex;
  // Bumped on every change made through the library; list caches compare it.
  uint64_t version = 0;
  void Touch() { ++version; }
  // The live document wrapper over this document, if any (not counted).
  TDocument* owner = nullptr;
  XMLDecl decl;
  AttrOrder attrOrder;
  // The one live wrapper of each wrapped node, so that a node has one
  // identity however often it is handed out (not counted).
  std::unordered_map<const xc::DOMNode*, NodeCore*> wrappers;
  // The same for nodes still in the store, with the count of lists over
  // the store that name the node: slot h of a node whose store handle is h
  // (slot 0 unused), and the free slots. A node with a slot is not freed.
  struct StoreSlot {
    NodeCore* wrapper = nullptr;
    uint32_t lists = 0;
  };
  std::vector<StoreSlot> storeSlots{StoreSlot{}};
  std::vector<uint32_t> freeSlots;
  void DropStoreWrapper(uint32_t idx);
  // A list over the store names idx from its making to its end (the
  // document itself is never freed).
  void HoldStoreNode(uint32_t idx) {
    if (idx != 0) ++storeSlots[SlotOf(idx)].lists;
  }
  void LetGoStoreNode(uint32_t idx) {
    // Once the tree is built, nothing is freed by store index any more.
    if (idx == 0 || !store) return;
    const uint32_t h = store->Handle(idx);
    if (--storeSlots[h].lists == 0 && !storeSlots[h].wrapper) FreeSlot(idx, h);
  }
  // The slot of idx, made if it has none; giving it back.
  uint32_t SlotOf(uint32_t idx) {
    const uint32_t h = store->Handle(idx);
    return h ? h : NewSlot(idx);
  }
  uint32_t NewSlot(uint32_t idx);
  void FreeSlot(uint32_t idx, uint32_t h);
  // Frees what has left the store's tree and nothing names any more, once
  // enough has left since the last time (Store::Collect). Called where no
  // change is under way.
  void CollectStore();
  size_t collectAt = 0;
  // What Xerces gives an element it makes by a store name: the defaults
  // the document type declares for it, each as a store name, value and
  // marks. Asked once per name: Xerces keeps memory of every element it
  // makes until its document goes.
  struct Default {
    uint32_t name;
    std::u16string value;
    bool specified, isId;
  };
  std::unordered_map<uint32_t, std::vector<Default>> elementDefaults;
  // A document type of the store is Xerces' node in what it says (name,
  // identifiers, internal subset, entities, notations, defaults). Xerces'
  // document holds the one in the store's tree, so that elements it makes
  // get that one's defaults; the others (taken out, or copies) are kept
  // here by store index. TypeNode gives the node of any of them.
  std::unordered_map<uint32_t, xc::DOMNode*> outsideTypes;
  xc::DOMNode* TypeNode(uint32_t idx) const {
    const auto it = outsideTypes.find(idx);
    return it != outsideTypes.end() ? it->second : doc->getDoctype();
  }
  // Pseudo-attributes "SYSTEM"/"PUBLIC" of the document type, made once.
  // No element takes one: they are in use there.
  std::vector<xc::DOMNode*> doctypeAttrs;
  bool doctypeAttrsMade = false;
  bool IsTypeAttr(const xc::DOMNode* n) const {
    return std::find(doctypeAttrs.begin(), doctypeAttrs.end(), n) != doctypeAttrs.end();
  }

  static int32_t LiveCount();
};
using XDocRef = ComPtr<XDoc>;

// What a wrapper of ours holds, reachable from an incoming IDOMNode.
struct NodeCore {
  NodeCore() = default;
  NodeCore(const NodeCore&) = delete;
  ~NodeCore();
  // The Xerces node, its tree built first if the node is in the store.
  xc::DOMNode* Node() {
    if (InStore()) doc->Materialize();
    return node_;
  }
  // The node is read from the store (the document node while its tree is
  // there, or a node made from the store).
  bool InStore() const { return idx != Store::kNone && doc->store; }
  // Null while in the store, but for the document type, which the Xerces
  // document holds from the load on.
  xc::DOMNode* node_ = nullptr;
  uint32_t idx = Store::kNone;   // store index, if made from the store
  XDocRef doc;
  // What Wrap hands out for node while this wrapper lives (not counted);
  // null for wrappers outside the document's identity table.
  IDOMNode* self = nullptr;
};
// The core of one of our wrappers; null for null or foreign objects.
NodeCore* CoreOf(rtl::IInterface* n);
// Like CoreOf, but fails (WRONG_DOCUMENT_ERR) for foreign objects; null
// stays null.
xc::DOMNode* NodeOf(IDOMNode* n);
// Like NodeOf, but a null node fails (NOT_FOUND_ERR): Xerces would crash.
xc::DOMNode* RequireNode(IDOMNode* n);

// A counted reference to node's wrapper (null for null). While a wrapper of
// a node lives, every call hands out that same object: callers may compare
// references (after QueryInterface for IInterface) to compare nodes.
IDOMNode* Wrap(XDoc* doc, xc::DOMNode* node);
// The same for a node of doc's store.
IDOMNode* WrapAt(XDoc* doc, uint32_t idx);
template <class I, class N>
I* WrapAs(XDoc* doc, N node) {
  IDOMNode* n;
  if constexpr (std::is_same_v<N, uint32_t>)
    n = node == Store::kNone ? nullptr : WrapAt(doc, node);
  else
    n = Wrap(doc, node);
  // Every wrapper is handed out as its IDOMNode already.
  if constexpr (std::is_same_v<I, IDOMNode>) return n;
  if (!n) return nullptr;
  I* r = nullptr;
  n->QueryInterface(I::IID, reinterpret_cast<void**>(&r));
  n->Release();
  return r;
}

// Xerces' own DOM implementation (core + LS).
xc::DOMImplementation* XercesImpl();

}  // namespace xdom
