// The block cache hands out memory that no other live block shares, from
// any thread, whoever frees it.
#include "rtl/BlockCache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

struct Live {
  unsigned char* block;
  size_t size;
  unsigned char mark;
};

// Frees a block after checking that nobody wrote into it meanwhile.
bool FreeChecked(const Live& live) {
  for (size_t i = 0; i < live.size; ++i)
    if (live.block[i] != live.mark) return false;
  rtl::CachedFree(live.block, live.size);
  return true;
}

}  // namespace

// Two threads make blocks of every size up to past the cached classes, mark
// them, and free their own and each other's in random order; a block handed
// out twice, or reused while live, shows as a broken mark.
TEST(BlockCache, LiveBlocksNeverShareMemoryAcrossThreads) {
  std::mutex lock;
  std::vector<Live> shared;  // made by one thread, freed by either
  std::vector<int> broken(2, 0);
  const auto work = [&](int id) {
    std::mt19937 random(20261208u + static_cast<unsigned>(id));
    std::vector<Live> own;
    for (int step = 0; step < 200000; ++step) {
      const unsigned choice = random() % 8;
      if (choice < 4 || own.empty()) {
        const size_t size = 1 + random() % 300;
        auto* block = static_cast<unsigned char*>(rtl::CachedAllocate(size));
        const auto mark = static_cast<unsigned char>(random());
        std::memset(block, mark, size);
        own.push_back({block, size, mark});
      } else if (choice < 6) {
        const size_t at = random() % own.size();
        broken[id] += !FreeChecked(own[at]);
        own[at] = own.back();
        own.pop_back();
      } else {
        std::lock_guard guard(lock);
        if (choice == 6) {
          shared.push_back(own.back());
          own.pop_back();
        } else if (!shared.empty()) {
          broken[id] += !FreeChecked(shared.back());
          shared.pop_back();
        }
      }
    }
    for (const Live& live : own) broken[id] += !FreeChecked(live);
  };
  std::thread other(work, 1);
  work(0);
  other.join();
  for (const Live& live : shared) broken[0] += !FreeChecked(live);
  EXPECT_EQ(broken[0] + broken[1], 0);
}
