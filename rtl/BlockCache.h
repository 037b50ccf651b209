// Memory for small objects that are made and freed by the hundred thousand
// (node wrappers and their lists, during a walk of a large document).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace rtl {

// Each thread keeps up to kBlockCacheLimit freed blocks of each size class
// (16-byte steps up to 256 bytes) and hands them out again before asking the
// heap; the rest goes to the heap at once, and the kept ones when the thread
// ends. A block may be freed on another thread than the one that made it.
// Under AddressSanitizer every call goes to the heap, so that the sanitizer
// sees each object's life.
void* CachedAllocate(std::size_t size);
void CachedFree(void* block, std::size_t size) noexcept;

// A class deriving from this one is allocated through the cache (its
// derived classes too, each by its own size).
struct TBlockCached {
  static void* operator new(std::size_t size) { return CachedAllocate(size); }
  static void operator delete(void* block, std::size_t size) noexcept { CachedFree(block, size); }
};

namespace detail {

inline constexpr std::size_t kBlockStep = 16;
inline constexpr std::size_t kBlockClasses = 16;
inline constexpr uint32_t kBlockCacheLimit = 1024;

class TBlockCache {
 public:
  TBlockCache() = default;
  TBlockCache(const TBlockCache&) = delete;
  TBlockCache& operator=(const TBlockCache&) = delete;
  ~TBlockCache() {
    alive_ = false;
    for (std::size_t c = 0; c < kBlockClasses; ++c)
      while (Block* b = head_[c]) {
        head_[c] = b->next;
        ::operator delete(b);
      }
  }

  static std::size_t Bytes(std::size_t sizeClass) { return (sizeClass + 1) * kBlockStep; }

  void* Take(std::size_t sizeClass) {
    Block* b = head_[sizeClass];
    if (!b) return ::operator new(Bytes(sizeClass));
    head_[sizeClass] = b->next;
    --count_[sizeClass];
    return b;
  }
  void Give(void* block, std::size_t sizeClass) noexcept {
    // Past the thread's end (a destructor running after this one), or full.
    if (!alive_ || count_[sizeClass] >= kBlockCacheLimit) {
      ::operator delete(block);
      return;
    }
    head_[sizeClass] = new (block) Block{head_[sizeClass]};
    ++count_[sizeClass];
  }

 private:
  struct Block {
    Block* next;
  };
  Block* head_[kBlockClasses] = {};
  uint32_t count_[kBlockClasses] = {};
  bool alive_ = true;
};

inline thread_local TBlockCache tBlockCache;

inline std::size_t BlockClass(std::size_t size) { return size == 0 ? 0 : (size - 1) / kBlockStep; }

}  // namespace detail

// GCC says so with a macro, clang through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define RTL_BLOCK_CACHE_OFF 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RTL_BLOCK_CACHE_OFF 1
#endif
#endif

#if defined(RTL_BLOCK_CACHE_OFF)
inline void* CachedAllocate(std::size_t size) { return ::operator new(size); }
inline void CachedFree(void* block, std::size_t) noexcept { ::operator delete(block); }
#else
inline void* CachedAllocate(std::size_t size) {
  const std::size_t c = detail::BlockClass(size);
  return c < detail::kBlockClasses ? detail::tBlockCache.Take(c) : ::operator new(size);
}
inline void CachedFree(void* block, std::size_t size) noexcept {
  if (!block) return;
  const std::size_t c = detail::BlockClass(size);
  if (c < detail::kBlockClasses)
    detail::tBlockCache.Give(block, c);
  else
    ::operator delete(block);
}
#endif

}  // namespace rtl
