#include "lib/xercesxmldom/Store.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "lib/xercesxmldom/Limits.h"

namespace xdom {

namespace {
// Text blocks hold at least this many units; a longer text gets a block of
// its own.
constexpr size_t kBlockUnits = size_t(1) << 20;
}  // namespace

Store::Store() { Mut(NewNode()).type = kDocument; }

Store::~Store() { CountFreed(bytes_); }

uint32_t Store::NewNode() {
  if (size_ >= kMaxNodes) throw std::length_error("too many nodes");
  if ((size_ & kChunkMask) == 0) {
    chunks_.push_back(std::make_unique<Node[]>(size_t(1) << kChunkBits));
    bytes_ += sizeof(Node) << kChunkBits;
  }
  return size_++;
}

uint32_t Store::Intern(std::u16string_view ns, std::u16string_view qname) {
  // The scanner hands over the same name from the same place again and
  // again: a small table by place spares the hashing, and the names are
  // compared, so a place that now holds another name does no harm.
  Recent& recent = recent_[((reinterpret_cast<uintptr_t>(qname.data()) >> 3) ^
                            (reinterpret_cast<uintptr_t>(ns.data()) >> 5)) % kRecent];
  if (recent.qname == qname.data() && recent.ns == ns.data() && recent.id != kNone) {
    const Name& n = names_[recent.id];
    if (n.qname == qname && n.ns == ns) return recent.id;
  }
  const uint32_t id = InternSlow(ns, qname);
  recent = {qname.data(), ns.data(), id};
  return id;
}

uint32_t Store::InternSlow(std::u16string_view ns, std::u16string_view qname) {
  std::u16string key;
  key.reserve(ns.size() + 1 + qname.size());
  key.append(ns).push_back(u'\0');
  key.append(qname);
  auto [slot, fresh] = nameIds_.try_emplace(std::move(key), static_cast<uint32_t>(names_.size()));
  if (fresh) {
    Name n;
    n.qname = qname;
    n.ns = ns;
    const size_t colon = qname.find(u':');
    n.prefixLen = colon == std::u16string_view::npos ? 0 : static_cast<uint32_t>(colon);
    names_.push_back(std::move(n));
  }
  return slot->second;
}

char16_t* Store::Room(size_t units, size_t spare) {
  if (units > room_) {
    const size_t size = std::max(kBlockUnits, units + spare);
    blocks_.push_back(std::make_unique<char16_t[]>(size));
    bytes_ += size * sizeof(char16_t);
    free_ = blocks_.back().get();
    room_ = size;
  }
  char16_t* at = free_;
  free_ += units;
  room_ -= units;
  return at;
}

const char16_t* Store::Keep(std::u16string_view text) {
  if (text.size() > kMaxText) throw std::length_error("text too long");
  char16_t* at = Room(text.size(), 0);
  if (!text.empty()) std::memcpy(at, text.data(), text.size() * sizeof(char16_t));
  lastText_ = at;
  return at;
}

uint32_t Store::Append(uint32_t parent, uint8_t type, uint32_t name, std::u16string_view text) {
  const uint32_t i = NewNode();
  Node& n = Mut(i);
  n.type = type;
  n.name = name;
  n.parent = parent;
  if (type != kElement && type != kDocument) {
    n.text = Keep(text);
    n.length = static_cast<uint32_t>(text.size());
  }
  Node& p = Mut(parent);
  if (type == kAttribute) {
    // Attributes come in document order, right after their element.
    if (lastAttrOwner_ == parent) {
      n.prev = lastAttr_;
      Mut(lastAttr_).next = i;
    } else {
      p.firstAttr = i;
    }
    lastAttrOwner_ = parent;
    lastAttr_ = i;
  } else {
    n.prev = p.last;
    if (p.last == kNone)
      p.first = i;
    else
      Mut(p.last).next = i;
    p.last = i;
  }
  return i;
}

void Store::AppendText(uint32_t i, std::u16string_view more) {
  Node& n = Mut(i);
  if (more.size() > kMaxText - n.length) throw std::length_error("text too long");
  const size_t length = n.length + more.size();
  if (n.text == lastText_ && n.text + n.length == free_ && more.size() <= room_) {
    Room(more.size(), 0);
  } else {
    // Moved to a block with as much room again, so a text that comes in
    // many pieces is copied a logarithmic number of times.
    char16_t* moved = Room(length, length);
    std::memcpy(moved, n.text, n.length * sizeof(char16_t));
    n.text = lastText_ = moved;
  }
  if (!more.empty()) std::memcpy(const_cast<char16_t*>(n.text) + n.length, more.data(), more.size() * sizeof(char16_t));
  n.length = static_cast<uint32_t>(length);
}

void Store::Unlink(uint32_t i) {
  Node& n = Mut(i);
  Node& p = Mut(n.parent);
  if (n.prev == kNone)
    p.first = n.next;
  else
    Mut(n.prev).next = n.next;
  if (n.next == kNone)
    p.last = n.prev;
  else
    Mut(n.next).prev = n.prev;
  n.parent = n.prev = n.next = kNone;
}

std::u16string_view Store::NodeName(uint32_t i) const {
  switch (At(i).type) {
    case kText:
      return u"#text";
    case kCData:
      return u"#cdata-section";
    case kComment:
      return u"#comment";
    case kDocument:
      return u"#document";
    default:
      return NameOf(i).qname;
  }
}

std::u16string_view Store::NodeValue(uint32_t i) const {
  const uint8_t t = At(i).type;
  return t == kElement || t == kDocument ? std::u16string_view() : Text(i);
}

std::u16string Store::TextOf(uint32_t root) const {
  const uint8_t t = At(root).type;
  if (t != kElement && t != kDocument) return std::u16string(Text(root));
  std::u16string out;
  uint32_t n = At(root).first;
  while (n != kNone) {
    const Node& node = At(n);
    if (node.type == kText || node.type == kCData) out.append(node.text, node.length);
    if (node.type == kElement && node.first != kNone) {
      n = node.first;
      continue;
    }
    while (n != root && At(n).next == kNone) n = At(n).parent;
    if (n == root) break;
    n = At(n).next;
  }
  return out;
}

uint32_t Store::DocumentElement() const {
  for (uint32_t c = At(0).first; c != kNone; c = At(c).next)
    if (At(c).type == kElement) return c;
  return kNone;
}

uint32_t Store::FindAttr(uint32_t element, std::u16string_view qname) const {
  for (uint32_t a = At(element).firstAttr; a != kNone; a = At(a).next)
    if (NameOf(a).qname == qname) return a;
  return kNone;
}

uint32_t Store::FindAttrNS(uint32_t element, std::u16string_view ns, std::u16string_view local) const {
  for (uint32_t a = At(element).firstAttr; a != kNone; a = At(a).next)
    if (NameOf(a).ns == ns && NameOf(a).Local() == local) return a;
  return kNone;
}

}  // namespace xdom
