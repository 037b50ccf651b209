#include "lib/xercesxmldom/store/Store.h"

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "lib/xercesxmldom/parse/Limits.h"

namespace xdom {

namespace {
// Text blocks hold at least this many units; a longer text gets a block of
// its own.
constexpr size_t kBlockUnits = size_t(1) << 20;
}  // namespace

static_assert((Store::kMaxText + 1) * sizeof(char16_t) < kMaxSingleAllocation,
              "every text of a store fits a Xerces node");

Store::Store() { Mut(NewNode()).kind = kDocument; }

Region Store::Allocate(size_t bytes) {
  // A small document keeps to the heap's small pages; past a few
  // megabytes the store is large and the rest comes in huge pages.
  constexpr uint64_t kHugeFrom = uint64_t(8) << 20;
  return Region(bytes, bytes_ >= kHugeFrom);
}

Store::~Store() { CountFreed(bytes_); }

uint32_t Store::NewNode() {
  if (freed_ != kNone) {
    const uint32_t i = freed_;
    freed_ = At(i).next;
    Mut(i) = Node{0, kNone, kNone, kNone, kNone, kNone, 0, 0, kNone};
    return i;
  }
  if (size_ >= kMaxNodes) throw std::length_error("too many nodes");
  if ((size_ & kChunkMask) == 0) {
    chunks_.push_back(Allocate(sizeof(Node) << kChunkBits));
    bytes_ += sizeof(Node) << kChunkBits;
  }
  Mut(size_) = Node{0, kNone, kNone, kNone, kNone, kNone, 0, 0, kNone};
  return size_++;
}

uint32_t Store::Intern(std::u16string_view ns, std::u16string_view qname, bool bare) {
  if (bare) return InternSlow(ns, qname, true);
  // The scanner hands over the same name from the same place again and
  // again: a small table by place spares the hashing, and the names are
  // compared, so a place that now holds another name does no harm.
  Recent& recent = recent_[((reinterpret_cast<uintptr_t>(qname.data()) >> 3) ^
                            (reinterpret_cast<uintptr_t>(ns.data()) >> 5)) % kRecent];
  if (recent.qname == qname.data() && recent.ns == ns.data() && recent.id != kNone) {
    const Name& n = names_[recent.id];
    if (SameText(n.qname, qname) && SameText(n.ns, ns) && !n.bare) return recent.id;
  }
  const uint32_t id = InternSlow(ns, qname, false);
  recent = {qname.data(), ns.data(), id};
  return id;
}

uint32_t Store::InternSlow(std::u16string_view ns, std::u16string_view qname, bool bare) {
  std::u16string key;
  key.reserve(ns.size() + 2 + qname.size());
  key.push_back(bare ? u'b' : u'n');
  key.append(ns).push_back(u'\0');
  key.append(qname);
  auto [slot, fresh] = nameIds_.try_emplace(std::move(key), static_cast<uint32_t>(names_.size()));
  if (fresh) {
    Name n;
    n.qname = qname;
    n.ns = ns;
    n.bare = bare;
    const size_t colon = qname.find(u':');
    n.prefixLen = colon == std::u16string_view::npos ? 0 : static_cast<uint32_t>(colon);
    names_.push_back(std::move(n));
  }
  return slot->second;
}

char16_t* Store::Room(Node& n, size_t units, size_t spare) {
  if (units > room_) {
    // Offsets are 32 bits: no block holds more units than that counts.
    const size_t size = std::max(kBlockUnits, units + std::min(spare, kMaxText - units));
    if (blocks_.size() >= (size_t(1) << 24)) throw std::length_error("too much text");
    blocks_.push_back(Allocate(size * sizeof(char16_t)));
    bytes_ += size * sizeof(char16_t);
    textBytes_ += size * sizeof(char16_t);
    free_ = Block(blocks_.size() - 1);
    room_ = size;
  }
  const size_t block = blocks_.size() - 1;
  n.kind = (n.kind & 0xFF) | static_cast<uint32_t>(block << 8);
  n.offset = static_cast<uint32_t>(free_ - Block(block));
  char16_t* at = free_;
  free_ += units;
  room_ -= units;
  used_ += units;
  return at;
}

void Store::Keep(Node& n, std::u16string_view text) {
  if (text.size() > kMaxText) throw std::length_error("text too long");
  // The node keeps its old text if there is no room for the new one.
  if (!text.empty()) std::memcpy(Room(n, text.size(), 0), text.data(), text.size() * sizeof(char16_t));
  wasted_ += n.length;
  n.length = static_cast<uint32_t>(text.size());
}

void Store::RingInsert(uint32_t& head, uint32_t i, uint32_t before) {
  Node& n = Mut(i);
  n.next = before;
  if (head == kNone) {
    head = i;
    n.prev = i;
    return;
  }
  // Before nothing is after the last, which the first's prev names.
  Node& b = Mut(before == kNone ? head : before);
  n.prev = b.prev;
  if (before == head)
    head = i;
  else
    Mut(b.prev).next = i;
  b.prev = i;
}

void Store::RingRemove(uint32_t& head, uint32_t i) {
  Node& n = Mut(i);
  if (head == i) {
    head = n.next;
    if (n.next != kNone) Mut(n.next).prev = n.prev;
  } else {
    Mut(n.prev).next = n.next;
    Mut(n.next != kNone ? n.next : head).prev = n.prev;
  }
  n.prev = n.next = kNone;
}

void Store::Link(uint32_t parent, uint32_t i) {
  Mut(i).parent = parent;
  RingInsert(Mut(parent).first, i, kNone);
}

uint32_t Store::Make(uint8_t type, uint32_t name, std::u16string_view text) {
  const uint32_t i = NewNode();
  Node& n = Mut(i);
  n.kind = type;
  n.name = name;
  if (!HoldsChildren(type)) {
    Keep(n, text);
    lastText_ = i;
  }
  return i;
}

uint32_t Store::Append(uint32_t parent, uint8_t type, uint32_t name, std::u16string_view text) {
  const uint32_t i = Make(type, name, text);
  Link(parent, i);
  return i;
}

uint32_t Store::AppendAttr(uint32_t element, uint32_t name, std::u16string_view value) {
  const uint32_t i = Make(kAttribute, name, value);
  LinkAttr(element, i, kNone);
  return i;
}

void Store::AppendText(uint32_t i, std::u16string_view more) {
  Node& n = Mut(i);
  if (more.size() > kMaxText - n.length) throw std::length_error("text too long");
  if (more.empty()) return;
  const size_t old = n.length;
  const size_t length = old + more.size();
  // The text made last, at the end of the last block, can grow where it is.
  const bool atEnd = i == lastText_ && old && (n.kind >> 8) == blocks_.size() - 1 &&
                     Block(blocks_.size() - 1) + n.offset + old == free_;
  char16_t* end;
  if (atEnd && more.size() <= room_) {
    end = free_;
  } else if (atEnd && n.offset == 0) {
    // Alone in its block: the block is replaced by one with as much room
    // again, so a text that comes in many pieces is copied a logarithmic
    // number of times and no old copy stays behind.
    const size_t size = std::max(kBlockUnits, length + std::min(length, kMaxText - length));
    Region grown = Allocate(size * sizeof(char16_t));
    std::memcpy(grown.get(), blocks_.back().get(), old * sizeof(char16_t));
    bytes_ -= (old + room_) * sizeof(char16_t);
    bytes_ += size * sizeof(char16_t);
    textBytes_ -= (old + room_) * sizeof(char16_t);
    textBytes_ += size * sizeof(char16_t);
    blocks_.back() = std::move(grown);
    free_ = Block(blocks_.size() - 1) + old;
    room_ = size - old;
    end = free_;
  } else {
    // Moved to a new place with as much room again (in a block of its own
    // once it is long); the old copy stays until the store goes.
    const char16_t* from = Text(i).data();
    char16_t* moved = Room(n, length, length);
    if (old) std::memcpy(moved, from, old * sizeof(char16_t));
    std::memcpy(moved + old, more.data(), more.size() * sizeof(char16_t));
    wasted_ += old;
    n.length = static_cast<uint32_t>(length);
    lastText_ = i;
    return;
  }
  std::memcpy(end, more.data(), more.size() * sizeof(char16_t));
  free_ += more.size();
  room_ -= more.size();
  used_ += more.size();
  n.length = static_cast<uint32_t>(length);
  lastText_ = i;
}

std::u16string_view Store::NodeName(uint32_t i) const {
  switch (Type(i)) {
    case kText:
      return u"#text";
    case kCData:
      return u"#cdata-section";
    case kComment:
      return u"#comment";
    case kDocument:
      return u"#document";
    case kFragment:
      return u"#document-fragment";
    default:
      return NameOf(i).qname;
  }
}

std::u16string_view Store::NodeValue(uint32_t i) const {
  const uint8_t t = Type(i);
  return HoldsChildren(t) ? std::u16string_view() : Text(i);
}

std::u16string Store::TextOf(uint32_t root) const {
  const uint8_t t = Type(root);
  if (!HoldsChildren(t)) return std::u16string(Text(root));
  std::u16string out;
  for (uint32_t n = First(root); n != kNone; n = After(n, root)) {
    const uint8_t type = Type(n);
    if (type == kText || type == kCData) out += Text(n);
  }
  return out;
}

uint32_t Store::DocumentElement() const {
  for (uint32_t c = First(0); c != kNone; c = Next(c))
    if (Type(c) == kElement) return c;
  return kNone;
}

uint32_t Store::DocType() const {
  for (uint32_t c = First(0); c != kNone; c = Next(c))
    if (Type(c) == kDocType) return c;
  return kNone;
}

uint32_t Store::ElementById(std::u16string_view id) const {
  if (!idsMade_) {
    // In document order, so the first of equal values wins.
    for (uint32_t n = First(0); n != kNone; n = After(n, 0))
      if (Type(n) == kElement)
        for (uint32_t a = FirstAttr(n); a != kNone; a = Next(a))
          if (IsId(a)) ids_.emplace(Text(a), n);
    idsMade_ = true;
  }
  const auto it = ids_.find(id);
  return it == ids_.end() ? kNone : it->second;
}

uint32_t Store::FindAttr(uint32_t element, std::u16string_view qname) const {
  for (uint32_t a = FirstAttr(element); a != kNone; a = Next(a))
    if (NameOf(a).qname == qname) return a;
  return kNone;
}

uint32_t Store::FindAttrNS(uint32_t element, std::u16string_view ns, std::u16string_view local) const {
  for (uint32_t a = FirstAttr(element); a != kNone; a = Next(a))
    if (!NameOf(a).bare && NameOf(a).ns == ns && NameOf(a).Local() == local) return a;
  return kNone;
}

// ---- changes

uint32_t Store::Create(uint8_t type, uint32_t name, std::u16string_view text) {
  const uint32_t i = Make(type, name, text);
  lastText_ = kNone;
  ListLoose(i);
  return i;
}

void Store::InsertBefore(uint32_t parent, uint32_t child, uint32_t ref) {
  Changed();
  Mut(child).parent = parent;
  RingInsert(Mut(parent).first, child, ref);
  if (Type(parent) == kAttribute) {
    if (!childless_.empty()) childless_.erase(parent);
    Revalue(parent);
  }
}

void Store::Revalue(uint32_t attr) {
  const uint32_t first = First(attr);
  if (first == kNone) return;
  if (Next(first) == kNone) return PutText(attr, Type(first) == kText ? Text(first) : std::u16string_view());
  std::u16string value;
  for (uint32_t c = first; c != kNone; c = Next(c))
    if (Type(c) == kText) value += Text(c);
  PutText(attr, value);
}

void Store::KeepOneText(uint32_t attr) {
  while (First(attr) != kNone && Next(First(attr)) != kNone) Unlink(Last(attr));
  if (First(attr) != kNone && Type(First(attr)) != kText) Unlink(First(attr));
}

void Store::Unlink(uint32_t child) {
  ListLoose(child);  // first: if it fails, nothing has changed
  Changed();
  Node& n = Mut(child);
  const uint32_t parent = n.parent;
  RingRemove(Mut(parent).first, child);
  n.parent = kNone;
  if (Type(parent) == kAttribute) {
    if (First(parent) != kNone) return Revalue(parent);
    PutText(parent, {});
    childless_.insert(parent);
  }
}

uint32_t Store::AttrText(uint32_t attr) {
  if (First(attr) != kNone || Childless(attr)) return First(attr);
  const uint32_t t = Make(kText, kNone, Text(attr));
  lastText_ = kNone;
  Link(attr, t);
  return t;
}

void Store::AddAttr(uint32_t element, uint32_t attr, uint32_t before) {
  Changed();
  LinkAttr(element, attr, before);
}

void Store::LinkAttr(uint32_t element, uint32_t attr, uint32_t before) {
  Mut(attr).parent = element;
  Node& e = Mut(element);
  RingInsert(e.offset, attr, before);
  ++e.length;
}

void Store::RemoveAttr(uint32_t attr) {
  ListLoose(attr);
  Changed();
  Node& n = Mut(attr);
  Node& e = Mut(n.parent);
  RingRemove(e.offset, attr);
  --e.length;
  n.parent = kNone;
}

void Store::SetText(uint32_t i, std::u16string_view text) {
  if (Type(i) == kAttribute) KeepOneText(i);
  Changed();
  PutText(i, text);
  lastText_ = kNone;
  // An attribute holds the text of its children; a value gives a childless
  // attribute its child again.
  if (Type(i) == kAttribute) {
    if (!childless_.empty()) childless_.erase(i);
    if (First(i) != kNone) PutText(First(i), Text(i));
  } else if (Parent(i) != kNone && Type(Parent(i)) == kAttribute) {
    Revalue(Parent(i));
  }
}

void Store::PutText(uint32_t i, std::u16string_view text) {
  Node& n = Mut(i);
  // A text no longer than the old one takes its place (the same values set
  // again and again do not grow the store); a longer one gets new room.
  if (!text.empty() && text.size() <= n.length) {
    std::memmove(Block(n.kind >> 8) + n.offset, text.data(), text.size() * sizeof(char16_t));
    wasted_ += n.length - text.size();
    n.length = static_cast<uint32_t>(text.size());
  } else {
    Keep(n, text);
  }
}

void Store::ListLoose(uint32_t i) {
  if (At(i).kind & kLoose) return;
  loose_.push_back(i);
  Mut(i).kind |= kLoose;
}

void Store::Free(uint32_t i) {
  if (!childless_.empty()) childless_.erase(i);
  // An element's length counts its attributes.
  if (!HoldsChildren(Type(i))) wasted_ += At(i).length;
  Mut(i) = Node{0, kNone, kNone, kNone, freed_, kNone, 0, 0, kNone};
  freed_ = i;
}

size_t Store::Collect() {
  size_t looked = 0;
  std::vector<uint32_t> kept, subtree;
  for (const uint32_t root : loose_) {
    // Freed already with the subtree of an earlier one, or back in a tree.
    if (!(At(root).kind & kLoose)) continue;
    Mut(root).kind &= ~kLoose;
    if (Parent(root) != kNone) continue;
    subtree.clear();
    bool held = false;
    for (uint32_t n = root; n != kNone && !held; n = After(n, root)) {
      subtree.push_back(n);
      held = Handle(n) != 0;
      if (Type(n) == kElement)
        for (uint32_t a = FirstAttr(n); a != kNone && !held; a = Next(a)) {
          subtree.push_back(a);
          held = Handle(a) != 0;
          for (uint32_t t = First(a); t != kNone && !held; t = Next(t)) {
            subtree.push_back(t);
            held = Handle(t) != 0;
          }
        }
    }
    if (held) {
      looked += subtree.size();
      kept.push_back(root);
      Mut(root).kind |= kLoose;
      continue;
    }
    for (const uint32_t n : subtree) Free(n);
  }
  loose_ = std::move(kept);
  if (wasted_ >= kBlockUnits && wasted_ >= used_ - wasted_) Compact();
  return looked;
}

void Store::Compact() {
  // Free places have type 0, which holds no text either.
  auto holdsText = [&](const Node& n) { return !HoldsChildren(static_cast<uint8_t>(n.kind & kTypeMask)) && n.length; };
  size_t live = 0;
  for (uint32_t i = 0; i < size_; ++i)
    if (holdsText(At(i))) live += At(i).length;
  // Offsets are 32 bits. Without the memory the blocks stay as they are.
  const size_t size = live + kBlockUnits;
  if (size > UINT32_MAX) return;
  Region fresh;
  try {
    fresh = Allocate(size * sizeof(char16_t));
  } catch (const std::bad_alloc&) {
    return;
  }
  char16_t* const base = static_cast<char16_t*>(fresh.get());
  char16_t* at = base;
  for (uint32_t i = 0; i < size_; ++i) {
    Node& n = Mut(i);
    if (!holdsText(n)) continue;
    std::memcpy(at, Block(n.kind >> 8) + n.offset, n.length * sizeof(char16_t));
    n.kind &= 0xFF;  // block 0
    n.offset = static_cast<uint32_t>(at - base);
    at += n.length;
  }
  blocks_.clear();
  blocks_.push_back(std::move(fresh));
  CountFreed(textBytes_);
  bytes_ = bytes_ - textBytes_ + size * sizeof(char16_t);
  textBytes_ = size * sizeof(char16_t);
  free_ = at;
  room_ = size - live;
  used_ = live;
  wasted_ = 0;
  lastText_ = kNone;
  // The ID index's keys are views of the old blocks.
  Changed();
}

}  // namespace xdom
