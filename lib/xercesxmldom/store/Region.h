// Memory for the store's node chunks and text blocks.
#pragma once

#include <cstddef>

namespace xdom {

// A block of uninitialised memory. A large store asks for its blocks in
// huge pages (where the system gives them on request): filled page by
// page, each 4 KB would cost a fault, and on a virtual machine a fault
// costs more than writing the page. A small store keeps to the heap, so
// that it holds only the pages its nodes touch.
class Region {
 public:
  Region() = default;
  // Throws std::bad_alloc when there is no memory.
  Region(size_t bytes, bool huge);
  ~Region();
  Region(Region&& o) noexcept : p_(o.p_), mapped_(o.mapped_) { o.p_ = nullptr; }
  Region& operator=(Region&& o) noexcept;
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;

  void* get() const { return p_; }

 private:
  void Free();
  void* p_ = nullptr;
  size_t mapped_ = 0;  // bytes mapped; 0: from the heap
};

}  // namespace xdom
