// Memory for small objects that are made and freed by the hundred thousand
// (node wrappers and their lists, during a walk of a large document).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

// A thread-local that a walk reaches several times per node: in the
// libraries a program links at its start (RTL_STATIC_TLS), one reached at a
// fixed offset, without a call into the dynamic linker each time.
#if defined(RTL_STATIC_TLS)
#define RTL_HOT_THREAD_LOCAL __attribute__((tls_model("initial-exec")))
#else
#define RTL_HOT_THREAD_LOCAL
#endif

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

// Trivially destructible, so that reaching it costs one thread-local lookup:
// a thread-local with a destructor is reached through a wrapper that checks
// its initialisation on every access, and the walk of a large document
// reaches the cache several times per node. The blocks a thread keeps are
// freed at its end by a separate guard, made on the first block kept.
class TBlockCache {
 public:
  static std::size_t Bytes(std::size_t sizeClass) { return (sizeClass + 1) * kBlockStep; }

  void* Take(std::size_t sizeClass) {
    Block* b = head_[sizeClass];
    if (!b) return ::operator new(Bytes(sizeClass));
    head_[sizeClass] = b->next;
    --count_[sizeClass];
    return b;
  }
  void Give(void* block, std::size_t sizeClass) noexcept {
    // Before the guard exists (it is made here), past the thread's end (a
    // destructor running after the guard's), or full.
    if (state_ != kKeeping && !StartKeeping()) {
      ::operator delete(block);
      return;
    }
    if (count_[sizeClass] >= kBlockCacheLimit) {
      ::operator delete(block);
      return;
    }
    head_[sizeClass] = new (block) Block{head_[sizeClass]};
    ++count_[sizeClass];
  }
  // Frees every kept block; the cache keeps none from now on.
  void End() noexcept {
    state_ = kEnded;
    for (std::size_t c = 0; c < kBlockClasses; ++c)
      while (Block* b = head_[c]) {
        head_[c] = b->next;
        ::operator delete(b);
      }
  }

 private:
  enum TState : uint8_t { kFresh, kKeeping, kEnded };
  struct Block {
    Block* next;
  };
  // Out of line: once per thread.
  bool StartKeeping() noexcept;

  Block* head_[kBlockClasses] = {};
  uint32_t count_[kBlockClasses] = {};
  TState state_ = kFresh;
};

// Constant-initialised, no destructor: no initialisation check.
inline constinit thread_local TBlockCache tBlockCache RTL_HOT_THREAD_LOCAL;

// Frees the thread's kept blocks when the thread ends.
struct TBlockCacheGuard {
  ~TBlockCacheGuard() { tBlockCache.End(); }
};

[[gnu::noinline]] inline bool TBlockCache::StartKeeping() noexcept {
  if (state_ == kEnded) return false;
  // Made once, on the thread's first kept block: its destructor runs at the
  // thread's end.
  static thread_local TBlockCacheGuard guard;
  (void)guard;
  state_ = kKeeping;
  return true;
}

// The thread's cache, its address looked up once: left alone, the compiler
// looks a thread-local's address up again (a call) after every branch.
inline TBlockCache& ThreadBlockCache() {
  TBlockCache* cache = &tBlockCache;
  asm("" : "+r"(cache));
  return *cache;
}

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
  return c < detail::kBlockClasses ? detail::ThreadBlockCache().Take(c) : ::operator new(size);
}
inline void CachedFree(void* block, std::size_t size) noexcept {
  if (!block) return;
  const std::size_t c = detail::BlockClass(size);
  if (c < detail::kBlockClasses)
    detail::ThreadBlockCache().Give(block, c);
  else
    ::operator delete(block);
}
#endif

// An allocator over the cache, for the small item arrays of the many short
// lists a walk makes and frees.
template <class T>
struct TCachedAllocator {
  using value_type = T;
  TCachedAllocator() noexcept = default;
  template <class U>
  TCachedAllocator(const TCachedAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(CachedAllocate(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { CachedFree(p, n * sizeof(T)); }
  friend bool operator==(const TCachedAllocator&, const TCachedAllocator&) { return true; }
};

}  // namespace rtl
