// An ordered list of counted interface references with a lock.
#pragma once

#include <cstdint>
#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "rtl/BlockCache.h"
#include "rtl/Exception.h"
#include "rtl/Interface.h"
#include "rtl/rtlconst.h"

namespace rtl {

// A lock one thread may take again while it holds it. Taking it again costs
// a compare with the owner; only the outermost lock and unlock reach the
// mutex, whose uncontended path is shorter than a recursive mutex's.
class TRecursiveLock {
 public:
  void lock() {
    if (Owned()) {
      ++depth_;
      return;
    }
    mutex_.lock();
    Own();
  }
  bool try_lock() {
    if (Owned()) {
      ++depth_;
      return true;
    }
    if (!mutex_.try_lock()) return false;
    Own();
    return true;
  }
  void unlock() {
    if (--depth_ != 0) return;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
  }

 private:
  // Only the owner stores its own id, so no other thread can see it here.
  bool Owned() const { return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }
  void Own() {
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    depth_ = 1;
  }

  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  uint32_t depth_ = 0;
};

// Holds one counted reference per item. Every operation but the Unlocked
// ones takes the list's own recursive lock, so single calls are safe from
// several threads; Lock/Unlock hold it across a sequence of calls. References dropped by Delete, Remove
// and Clear are released after the lock is let go, so a destructor that
// reaches back into the list cannot see it half-changed.
template <class I>
class TInterfaceList {
 public:
  using Item = ComPtr<I>;

  TInterfaceList() = default;
  TInterfaceList(const TInterfaceList&) = delete;
  TInterfaceList& operator=(const TInterfaceList&) = delete;

  int32_t Count() const {
    std::lock_guard guard(mutex_);
    return static_cast<int32_t>(items_.size());
  }
  // Raises EListError "List index out of bounds (%d)" outside 0..Count()-1.
  Item Get(int32_t index) const {
    std::lock_guard guard(mutex_);
    CheckIndex(index, Size());
    return items_[static_cast<size_t>(index)];
  }
  // Count and Get without the lock and, for the item, without a counted
  // copy: for a caller that holds the lock (Lock) or is the list's only
  // user. The reference stays valid until the list changes.
  int32_t UnlockedCount() const { return Size(); }
  const Item& UnlockedGet(int32_t index) const {
    CheckIndex(index, Size());
    return items_[static_cast<size_t>(index)];
  }
  // Reserve and Add without the lock, for a caller that holds it (Lock)
  // or is the list's only user (filling a list nobody else sees yet).
  void UnlockedReserve(int32_t count) {
    if (count > 0) items_.reserve(static_cast<size_t>(count));
  }
  int32_t UnlockedAdd(Item item) {
    items_.push_back(std::move(item));
    return Size() - 1;
  }
  // Replaces the item at index; raises EListError outside 0..Count()-1.
  void Put(int32_t index, Item item) {
    // item now holds the old reference; it is released after the lock goes.
    std::lock_guard guard(mutex_);
    CheckIndex(index, Size());
    std::swap(items_[static_cast<size_t>(index)], item);
  }
  // Appends item (null allowed); returns its index.
  int32_t Add(Item item) {
    std::lock_guard guard(mutex_);
    items_.push_back(std::move(item));
    return static_cast<int32_t>(items_.size()) - 1;
  }
  // Inserts before index (Count() appends); raises EListError outside
  // 0..Count().
  void Insert(int32_t index, Item item) {
    std::lock_guard guard(mutex_);
    CheckIndex(index, Size() + 1);
    items_.insert(items_.begin() + index, std::move(item));
  }
  // Position of that very reference (pointer identity), or -1.
  int32_t IndexOf(const I* item) const {
    std::lock_guard guard(mutex_);
    return Find(item);
  }
  int32_t IndexOf(const Item& item) const { return IndexOf(item.get()); }
  // Removes the first occurrence of item; returns the index it had, or -1
  // (and no change) when absent.
  int32_t Remove(const Item& item) {
    Item dropped;
    std::lock_guard guard(mutex_);
    const int32_t index = Find(item.get());
    if (index >= 0) dropped = Take(index);
    return index;
  }
  // Raises EListError outside 0..Count()-1.
  void Delete(int32_t index) {
    Item dropped;
    std::lock_guard guard(mutex_);
    CheckIndex(index, Size());
    dropped = Take(index);
  }
  // The first / last item, or null when the list is empty.
  Item First() const {
    std::lock_guard guard(mutex_);
    return items_.empty() ? Item() : items_.front();
  }
  Item Last() const {
    std::lock_guard guard(mutex_);
    return items_.empty() ? Item() : items_.back();
  }
  // Makes room for count items without changing the list.
  void Reserve(int32_t count) {
    std::lock_guard guard(mutex_);
    if (count > 0) items_.reserve(static_cast<size_t>(count));
  }
  void Clear() {
    Items dropped;
    std::lock_guard guard(mutex_);
    dropped.swap(items_);
  }

  // Holds the list's lock until the matching Unlock (may nest on one thread).
  void Lock() const { mutex_.lock(); }
  void Unlock() const { mutex_.unlock(); }
  // Takes the lock only when no other thread holds it; true when taken.
  bool TryLock() const { return mutex_.try_lock(); }

 private:
  // The helpers below expect the lock held: each public call takes it once.
  int32_t Size() const { return static_cast<int32_t>(items_.size()); }
  int32_t Find(const I* item) const {
    for (size_t i = 0; i < items_.size(); ++i)
      if (items_[i].get() == item) return static_cast<int32_t>(i);
    return -1;
  }
  static void CheckIndex(int32_t index, int32_t limit) {
    if (index < 0 || index >= limit) throw EListError(Format(msg::kListIndexError, {index}));
  }
  Item Take(int32_t index) {
    Item item = std::move(items_[static_cast<size_t>(index)]);
    items_.erase(items_.begin() + index);
    return item;
  }

  // Most lists a walk makes are a few items long: their arrays come from
  // the block cache, not the heap.
  using Items = std::vector<Item, TCachedAllocator<Item>>;

  mutable TRecursiveLock mutex_;
  Items items_;
};

}  // namespace rtl
