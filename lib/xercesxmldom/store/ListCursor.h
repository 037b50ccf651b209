// Item i of a chain of siblings, for the child lists over the store (nodes
// named by index) and over Xerces' tree (nodes named by pointer).
//
// A list remembers the position it read last: reading in order, forwards
// or backwards, costs one step per item, and a read far from that position
// steps from the nearer end. A read that would still step far builds an
// index of the whole chain once, so reads in any order cost O(1) amortised.
// The index is only made for such reads: the walks in order that nearly
// every caller makes keep no more than the position.
//
// The cursor belongs to one list and knows nothing of changes: the list
// resets it whenever the children may have changed.
#pragma once

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

}  // namespace xdom
