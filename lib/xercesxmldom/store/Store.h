// The compact form of a loaded document: what every load builds instead of
// a Xerces tree. The document type itself (its entities, notations and
// defaults) stays with the Xerces document, which Xerces' parser fills
// while it reads the declarations; the store keeps its place among the
// document's children. Reads, saves and changes (new nodes and fragments,
// moving, copying, importing and removing children, texts and attributes,
// document types and entity references, children of attributes, copies
// of the document; see StoreEdit.h) are served from the store; the first
// call that needs more (a node that only Xerces holds put in) turns it
// into a Xerces tree once (XDoc::Materialize) and the store goes away.
//
// Nodes live in one array and refer to each other by index; names are
// interned once per document; text is kept as the scanner delivered it, in
// large blocks. Index 0 is the document. A node made by a change takes the
// place of a freed one, or is appended to the array, whatever its place in
// the tree. A node that leaves the tree stays in the array while anything
// names it (see Collect).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lib/xercesxmldom/store/Region.h"

namespace xdom {

// Equal texts. The standard library compares UTF-16 unit by unit; names and
// namespace names are compared often enough for that to show.
inline bool SameText(std::u16string_view a, std::u16string_view b) {
  // An empty view may have no data, which memcmp may not be given.
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0);
}

class Store {
 public:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;
  // The longest text a node holds, in UTF-16 units: what a Xerces node
  // can take when the tree is built (the parser's memory refuses single
  // allocations over 256 MB, see Limits.h). The most nodes.
  static constexpr size_t kMaxText = (size_t(1) << 27) - 64;
  static constexpr uint32_t kMaxNodes = 0xFFFFFFF0u;

  // Node types, as the DOM numbers them.
  enum : uint8_t {
    kElement = 1,
    kAttribute = 2,
    kText = 3,
    kCData = 4,
    kEntityRef = 5,  // childless: its entity declares no nodes (see CreateEntityReference)
    kPI = 7,
    kComment = 8,
    kDocument = 9,
    kDocType = 10,
    kFragment = 11
  };
  // Elements, the document and fragments hold children, not text.
  static bool HoldsChildren(uint8_t type) { return type == kElement || type == kDocument || type == kFragment; }

  struct Name {
    std::u16string qname;
    std::u16string ns;       // empty: no namespace
    uint32_t prefixLen = 0;  // 0: no prefix
    // Made by a call without namespace information (createElement and
    // the like): no local name, and the namespace comes from where the
    // node is written.
    bool bare = false;
    std::u16string_view Prefix() const { return std::u16string_view(qname).substr(0, prefixLen); }
    std::u16string_view Local() const {
      return std::u16string_view(qname).substr(prefixLen ? prefixLen + 1 : 0);
    }
  };

  Store();
  // Counts what it frees, so the heap is trimmed after a large one.
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  uint32_t Size() const { return size_; }
  uint8_t Type(uint32_t i) const { return static_cast<uint8_t>(At(i).kind & kTypeMask); }
  const std::vector<Name>& Names() const { return names_; }
  const Name& NameOf(uint32_t i) const { return names_[At(i).name]; }
  uint32_t NameId(uint32_t i) const { return At(i).name; }
  std::u16string_view Text(uint32_t i) const {
    const Node& n = At(i);
    return n.length ? std::u16string_view(Block(n.kind >> 8) + n.offset, n.length) : std::u16string_view();
  }
  // The links. An element's attributes are a chain of their own (FirstAttr,
  // then Next); they are not children, and have no siblings in the DOM.
  uint32_t Parent(uint32_t i) const { return At(i).parent; }  // an attribute's: its element
  uint32_t First(uint32_t i) const { return At(i).first; }
  // The node after n in document order within root's subtree: n's first
  // child, else the next sibling of n or of its nearest ancestor below
  // root; kNone past the subtree's end.
  uint32_t After(uint32_t n, uint32_t root) const {
    if (First(n) != kNone) return First(n);
    while (n != root && Next(n) == kNone) n = Parent(n);
    return n == root ? kNone : Next(n);
  }
  uint32_t Last(uint32_t i) const { return First(i) == kNone ? kNone : At(First(i)).prev; }
  uint32_t Next(uint32_t i) const { return At(i).next; }
  uint32_t Prev(uint32_t i) const {
    const Node& n = At(i);
    return n.parent == kNone || First(n.parent) == i ? kNone : n.prev;
  }
  uint32_t AttrCount(uint32_t element) const { return Type(element) == kElement ? At(element).length : 0; }
  uint32_t FirstAttr(uint32_t element) const { return AttrCount(element) ? At(element).offset : kNone; }
  uint32_t LastAttr(uint32_t element) const { return AttrCount(element) ? At(FirstAttr(element)).prev : kNone; }
  // The attribute before a in its element's chain; kNone for the first.
  uint32_t PrevAttr(uint32_t a) const { return FirstAttr(At(a).parent) == a ? kNone : At(a).prev; }
  // An attribute the document gives itself (not a default of its document
  // type or schema), and one whose type is ID.
  bool Specified(uint32_t attr) const { return !(At(attr).kind & kDefaulted); }
  bool IsId(uint32_t attr) const { return At(attr).kind & kIsId; }
  void SetSpecified(uint32_t attr) { Mut(attr).kind &= ~kDefaulted; }
  void MarkAttr(uint32_t attr, bool specified, bool isId) {
    Mut(attr).kind |= (specified ? 0 : kDefaulted) | (isId ? kIsId : 0);
  }

  // A number the reader keeps with a node: nonzero while a wrapper or a
  // list names it, which keeps it from being freed (see Collect).
  uint32_t Handle(uint32_t i) const { return At(i).handle; }
  void SetHandle(uint32_t i, uint32_t h) { Mut(i).handle = h; }

  // ---- the DOM's view of a node

  // The node name ("#text" and the like for unnamed nodes).
  std::u16string_view NodeName(uint32_t i) const;
  // Empty for elements and the document.
  std::u16string_view NodeValue(uint32_t i) const;
  // kNone for the document and for attributes, which have no parent.
  uint32_t ParentOf(uint32_t i) const { return Type(i) == kAttribute ? kNone : Parent(i); }
  // The text of the node and its descendants (text and CDATA).
  std::u16string TextOf(uint32_t i) const;
  uint32_t DocumentElement() const;
  // The document type among the document's children; kNone for none.
  uint32_t DocType() const;
  // The first element, in document order, with an ID attribute of the
  // value; kNone for none. The first call indexes the IDs.
  uint32_t ElementById(std::u16string_view id) const;
  // The attribute of element with the qualified name, or the namespace and
  // local name; kNone when it has none.
  uint32_t FindAttr(uint32_t element, std::u16string_view qname) const;
  uint32_t FindAttrNS(uint32_t element, std::u16string_view ns, std::u16string_view local) const;

  // ---- building, in document order

  uint32_t Intern(std::u16string_view ns, std::u16string_view qname, bool bare = false);
  // A new child appended under parent. Throws std::length_error beyond
  // kMaxNodes nodes or for a text beyond kMaxText.
  uint32_t Append(uint32_t parent, uint8_t type, uint32_t name, std::u16string_view text);
  // A new attribute of element, after its others.
  uint32_t AppendAttr(uint32_t element, uint32_t name, std::u16string_view value);
  // Extends the text of i, the node made last.
  void AppendText(uint32_t i, std::u16string_view more);

  // ---- changes. The caller checks what the DOM allows; these keep the
  // links sound.

  // A new node outside the tree (no parent).
  uint32_t Create(uint8_t type, uint32_t name, std::u16string_view text);
  // Puts child, which has no parent, under parent before ref (kNone: last).
  void InsertBefore(uint32_t parent, uint32_t child, uint32_t ref);
  // Takes child out of its parent's children.
  void Unlink(uint32_t child);
  // Puts attr, which has no element, among element's attributes before
  // before (kNone: last); takes an attribute out of its element.
  void AddAttr(uint32_t element, uint32_t attr, uint32_t before = kNone);
  void RemoveAttr(uint32_t attr);
  // Replaces the text of a node that has one (not an element or the
  // document); a shorter text takes the old one's place. An attribute's
  // new value is its first child's, a text, and its other children leave
  // it, as does a first child that is no text (that one gets a new text
  // child once asked for). A changed child of an attribute changes its
  // value.
  void SetText(uint32_t i, std::u16string_view text);
  // An attribute's value as its one text child, made the first time it is
  // asked for (the attribute keeps the value itself as well). Children put
  // in or taken out (texts and entity references) change the value: it is
  // their texts together. When the last leaves, the attribute's value is
  // empty and it has no child (kNone) until it is given a value again.
  uint32_t AttrText(uint32_t attr);
  bool Childless(uint32_t attr) const { return !childless_.empty() && childless_.count(attr); }
  // Whether an attribute's children, if made, are its value as one text
  // (not when it is childless).
  bool OneText(uint32_t attr) const {
    const uint32_t first = First(attr);
    return first == kNone || (Next(first) == kNone && Type(first) == kText);
  }
  // An attribute made without a value, or a copy of a childless one.
  void MarkChildless(uint32_t attr) { childless_.insert(attr); }
  void Rename(uint32_t i, uint32_t name) { Mut(i).name = name; }

  // ---- nodes outside the tree. A node that leaves the tree (Unlink,
  // RemoveAttr) or is made outside it (Create) is listed as loose.

  size_t Loose() const { return loose_.size(); }
  // Frees each loose node still outside the tree, with its subtree and
  // their attributes, unless a node there has a handle; the next nodes
  // made take the freed places. Then, once the texts no node holds any
  // more outweigh the ones held (and a block), the held ones are copied
  // together into one block and the old blocks go. Only between changes: a
  // change may hold nodes it made that nothing names yet, or views of
  // texts. Returns how many nodes of the kept subtrees it looked at.
  size_t Collect();

 private:
  // An attribute's value made again from its children (none: as it is).
  void Revalue(uint32_t attr);
  // Takes all but an attribute's first child out, and that one too when it
  // is no text: what a new value keeps.
  void KeepOneText(uint32_t attr);

  // 36 bytes. The first child's prev is the last child. An element's
  // length is its attribute count and its offset its first attribute (it
  // has no text); the first attribute's prev is the last. An attribute's
  // first is its first child, once made (AttrText).
  // Set by NewNode(); chunks are left uninitialised until then, so a small
  // document touches only the pages its nodes use.
  struct Node {
    uint32_t kind;  // type and marks in the low 8 bits, text block above
    uint32_t name;  // elements, attributes, PI targets
    uint32_t parent;
    uint32_t prev;
    uint32_t next;
    uint32_t first;
    uint32_t length;
    uint32_t handle;
    uint32_t offset;  // of the text in its block
  };
  const Node& At(uint32_t i) const { return static_cast<const Node*>(chunks_[i >> kChunkBits].get())[i & kChunkMask]; }
  // The low byte of kind: the type, and an attribute's marks.
  static constexpr uint32_t kTypeMask = 0x1F;
  static constexpr uint32_t kDefaulted = 0x20;
  static constexpr uint32_t kIsId = 0x40;
  // Listed in loose_. A freed node has type 0 and no marks.
  static constexpr uint32_t kLoose = 0x80;

  // Nodes are kept in fixed chunks, so the array never moves while it
  // grows (no copy, no doubled peak).
  static constexpr uint32_t kChunkBits = 16;
  static constexpr uint32_t kChunkMask = (1u << kChunkBits) - 1;
  Node& Mut(uint32_t i) { return static_cast<Node*>(chunks_[i >> kChunkBits].get())[i & kChunkMask]; }
  // Memory for a chunk or block; in huge pages once the store is large.
  Region Allocate(size_t bytes);
  // A place for a node: a freed one, or a new one at the end.
  uint32_t NewNode();
  void ListLoose(uint32_t i);
  void PutText(uint32_t i, std::u16string_view text);
  void Free(uint32_t i);
  void Compact();
  // A new node with its text, in no ring yet.
  uint32_t Make(uint8_t type, uint32_t name, std::u16string_view text);
  // units of text space, in a new block with spare units more when the
  // current block has too little; sets the node's block and offset.
  char16_t* Room(Node& n, size_t units, size_t spare);
  void Keep(Node& n, std::u16string_view text);
  // A ring of siblings: children from their parent's first, attributes
  // from their element's offset; the first's prev is the last, head is
  // kNone for none.
  void RingInsert(uint32_t& head, uint32_t i, uint32_t before);
  void RingRemove(uint32_t& head, uint32_t i);
  void Link(uint32_t parent, uint32_t i);
  void LinkAttr(uint32_t element, uint32_t attr, uint32_t before);
  // The ID index no longer holds after a change.
  void Changed() {
    ids_.clear();
    idsMade_ = false;
  }

  uint32_t InternSlow(std::u16string_view ns, std::u16string_view qname, bool bare);

  std::vector<Region> chunks_;
  uint32_t size_ = 0;
  std::vector<uint32_t> loose_;
  uint32_t freed_ = kNone;  // freed places, linked by next
  std::vector<Name> names_;
  struct Recent {
    const char16_t* qname = nullptr;
    const char16_t* ns = nullptr;
    uint32_t id = kNone;
  };
  static constexpr size_t kRecent = 64;
  Recent recent_[kRecent];
  std::unordered_map<std::u16string, uint32_t> nameIds_;
  std::vector<Region> blocks_;
  char16_t* Block(size_t b) const { return static_cast<char16_t*>(blocks_[b].get()); }
  char16_t* free_ = nullptr;
  size_t room_ = 0;
  // Units of text handed out, those of them no node holds any more (an old
  // text replaced or moved, a freed node's), and the blocks' bytes.
  size_t used_ = 0;
  size_t wasted_ = 0;
  uint64_t textBytes_ = 0;
  // The node whose text was made last, which AppendText may extend in place.
  // Changes do not extend texts: they reset it.
  uint32_t lastText_ = kNone;
  uint64_t bytes_ = 0;
  // Attributes without a text child: made without a value, or the child
  // taken out (see AttrText).
  std::unordered_set<uint32_t> childless_;
  // ID value -> element, made by the first ElementById.
  mutable std::unordered_map<std::u16string_view, uint32_t> ids_;
  mutable bool idsMade_ = false;
};

}  // namespace xdom
