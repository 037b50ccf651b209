#include "lib/xercesxmldom/store/Region.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>

namespace xdom {

namespace {
constexpr size_t kHugePage = size_t(2) << 20;
}  // namespace

Region::Region(size_t bytes, bool huge) {
  if (!huge) {
    p_ = ::operator new(bytes);
    return;
  }
  // Mapped with a huge page's room to spare, then cut to start on a huge
  // page's boundary: the kernel gives huge pages only to aligned ranges.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t length = (bytes + page - 1) / page * page;
  const size_t span = length + kHugePage;
  void* m = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) throw std::bad_alloc();
  char* base = static_cast<char*>(m);
  char* at = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(base) + kHugePage - 1) & ~(kHugePage - 1));
  if (at > base) munmap(base, static_cast<size_t>(at - base));
  if (base + span > at + length) munmap(at + length, static_cast<size_t>(base + span - (at + length)));
  // Only advice: without huge pages the range works as any other.
  madvise(at, length, MADV_HUGEPAGE);
  p_ = at;
  mapped_ = length;
}

Region::~Region() { Free(); }

Region& Region::operator=(Region&& o) noexcept {
  if (this != &o) {
    Free();
    p_ = o.p_;
    mapped_ = o.mapped_;
    o.p_ = nullptr;
  }
  return *this;
}

void Region::Free() {
  if (!p_) return;
  if (mapped_)
    munmap(p_, mapped_);
  else
    ::operator delete(p_);
  p_ = nullptr;
}

}  // namespace xdom
