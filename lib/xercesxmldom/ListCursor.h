// Item i of a chain of siblings, for the child lists over the store (nodes
// named by index) and over Xerces' tree (nodes named by pointer).
//
// A list remembers the position it read last: reading in order, forwards
// or backwards, costs one step per item, and a read far from that position
// steps from the nearer end. A read that would still step far builds an
// index of the whole chain once, so reads in any order cost O(1) amortised.
// The index is only made for such reads: the walks in order that nearly
// every caller makes keep no more than the position (an index would cost
// 4 or 8 bytes per child for every list read).
//
// Callers that ask for a new list for every item leave their position in
// the document's ListPositions when the list goes, where the next list over
// the same parent finds it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace xdom {

template <class N, N kNull>
class ListCursor {
 public:
  // Farther than this from every known position, a read builds the index.
  static constexpr int32_t kFar = 64;

  // A chain c has First(), Last(), Next(n) and Prev(n).
  template <class Chain>
  int32_t Length(const Chain& c) {
    if (length_ < 0) {
      int32_t n = 0;
      for (N x = c.First(); x != kNull; x = c.Next(x)) ++n;
      length_ = n;
    }
    return length_;
  }

  template <class Chain>
  N At(const Chain& c, int32_t index) {
    if (index < 0 || (length_ >= 0 && index >= length_)) return kNull;
    if (!index_.empty()) return index_[static_cast<size_t>(index)];
    int32_t from = 0;
    N n = c.First();
    if (length_ >= 0 && length_ - 1 - index < index) {
      from = length_ - 1;
      n = c.Last();
    }
    if (node_ != kNull && std::abs(index - at_) < std::abs(index - from)) {
      from = at_;
      n = node_;
    }
    if (std::abs(index - from) > kFar) {
      Index(c);
      return index < length_ ? index_[static_cast<size_t>(index)] : kNull;
    }
    for (; from > index; --from) n = c.Prev(n);
    for (; n != kNull && from < index; ++from) n = c.Next(n);
    if (n == kNull) {
      length_ = from;
      return kNull;
    }
    at_ = index;
    node_ = n;
    return n;
  }

  void Reset() { *this = ListCursor(); }

  // The position without the index, which a list leaves behind.
  struct Position {
    int32_t length = -1;
    int32_t at = -1;
    N node = kNull;
  };
  Position Where() const { return {length_, at_, node_}; }
  void Resume(const Position& p) {
    length_ = p.length;
    at_ = p.at;
    node_ = p.node;
  }

 private:
  template <class Chain>
  void Index(const Chain& c) {
    for (N x = c.First(); x != kNull; x = c.Next(x)) index_.push_back(x);
    length_ = static_cast<int32_t>(index_.size());
  }

  int32_t length_ = -1;
  int32_t at_ = -1;
  N node_ = kNull;
  std::vector<N> index_;
};

// The positions of the lists that went last over a few parents of one
// document. A position is dropped for a new one when it is the cheapest to
// find again (nearest an end) and has waited longest, so a walk that asks
// for a new list per item keeps its wide parents while it goes down into
// their children.
template <class N, N kNull>
class ListPositions {
 public:
  using Position = typename ListCursor<N, kNull>::Position;

  // A position of parent's children saved when the document's version was
  // version.
  void Save(N parent, uint64_t version, const Position& p) {
    if (p.node == kNull && p.length < 0) return;
    const int32_t cost = p.length >= 0 ? std::min(p.at, p.length - 1 - p.at) : p.at;
    Slot* victim = &slots_[0];
    for (Slot& s : slots_) {
      if (s.parent == parent) {
        victim = &s;
        break;
      }
      if (s.keep < victim->keep) victim = &s;
    }
    *victim = {parent, version, p, ++clock_ + static_cast<uint64_t>(cost < 0 ? 0 : cost)};
  }
  // Whether a position of parent's children is known for version.
  bool Find(N parent, uint64_t version, Position* p) const {
    for (const Slot& s : slots_)
      if (s.parent == parent && s.version == version && parent != kNull) {
        *p = s.position;
        return true;
      }
    return false;
  }
  void Clear() { *this = ListPositions(); }

 private:
  struct Slot {
    N parent = kNull;
    uint64_t version = 0;
    Position position;
    uint64_t keep = 0;  // the least is dropped first
  };
  Slot slots_[8];
  uint64_t clock_ = 0;
};

}  // namespace xdom
