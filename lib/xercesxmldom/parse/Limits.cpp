#include "lib/xercesxmldom/parse/Limits.h"

#include <atomic>
#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <xercesc/util/BinInputStream.hpp>
#include <xercesc/util/BinMemInputStream.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "lib/xercesxmldom/xerces/XercesPrivate.h"

namespace xdom {

namespace {

// Per thread: loads on different threads each charge their own budget, and
// the manager is shared by every parser and document of the process.
thread_local ExpansionBudget* tActive = nullptr;
thread_local bool tAllocationRefused = false;
// Bytes the manager freed since the heap was last trimmed (documents may be
// freed on any thread).
std::atomic<uint64_t> gFreed{0};

std::u16string Decimal(uint64_t n) {
  std::string s = std::to_string(n);
  return std::u16string(s.begin(), s.end());
}

// The scanner opens every entity it expands, general or parameter, in the
// document or in the DTD, with a reader of its own made through this
// manager, and an internal entity's reader reads a memory stream made just
// before it. Xerces offers no other hook for the expansions inside the DTD,
// so these allocations are what is counted and refused.
XMLSize_t BlockSize(size_t objectSize) {
  return xc::XMLPlatformUtils::alignPointerForNewBlockAllocation(sizeof(xc::MemoryManager*)) + objectSize;
}

XMLSize_t ReaderBlock() {
  static const XMLSize_t size = BlockSize(xp::ReaderSize());
  return size;
}

// An entity is read with a reader of its own, 176 KB, and nested or
// repeated entities open them by the hundred thousand: each thread keeps
// its last freed reader for the next one. (Otherwise glibc trims and
// regrows its heap for them, and the sanitizers map and unmap each.)
struct SpareReader {
  void* block = nullptr;
  ~SpareReader() { ::operator delete(block); }
};
thread_local SpareReader tSpareReader;
#if defined(__GLIBC__)
std::atomic<size_t> gReaderUsable{0};  // malloc_usable_size of a reader's block
#endif

class BoundedMemoryManager final : public xc::MemoryManager {
 public:
  xc::MemoryManager* getExceptionMemoryManager() override { return xc::XMLPlatformUtils::fgMemoryManager; }
  void* allocate(XMLSize_t size) override {
    if (size > kMaxSingleAllocation) {
      tAllocationRefused = true;
      throw xc::OutOfMemoryException();
    }
    if (ExpansionBudget* active = tActive) Account(*active, size);
    if (size == ReaderBlock() && tSpareReader.block) return std::exchange(tSpareReader.block, nullptr);
    try {
      void* p = ::operator new(size);
#if defined(__GLIBC__)
      if (size == ReaderBlock()) gReaderUsable.store(malloc_usable_size(p), std::memory_order_relaxed);
#endif
      return p;
    } catch (const std::bad_alloc&) {
      throw xc::OutOfMemoryException();
    }
  }
  void deallocate(void* p) override {
    if (!p) return;
#if defined(__GLIBC__)
    const size_t usable = malloc_usable_size(p);
    if (!tSpareReader.block && usable == gReaderUsable.load(std::memory_order_relaxed)) {
      tSpareReader.block = p;
      return;
    }
    gFreed.fetch_add(usable, std::memory_order_relaxed);
#endif
    ::operator delete(p);
  }

 private:
  static void Account(ExpansionBudget& budget, XMLSize_t size) {
    static const XMLSize_t stream = BlockSize(sizeof(xc::BinMemInputStream));
    if (size == ReaderBlock()) budget.Charge(kExpansionCost);
    // A value the scanner builds in the DTD (a default from entities) is
    // seen only once complete; its buffer may not outgrow the budget. A
    // buffer holds at most twice its value, two bytes a character, so a
    // value from the input itself never comes near this.
    if (size / 4 > budget.Limit()) budget.Exceed();
    // Once over, the next expansion is refused as it starts: its stream is
    // the first thing it allocates, so nothing is left half made. (The
    // reader's own allocation cannot be refused: Xerces would leak the
    // stream.)
    if (budget.Exceeded() && (size == stream || size / 4 > budget.Limit())) throw ExpansionRefused{};
  }
};

class CountingStream final : public xc::BinInputStream {
 public:
  CountingStream(xc::BinInputStream* inner, ExpansionBudget& budget, Counted as,
                 std::function<void()> progress)
      : inner_(inner), budget_(budget), as_(as), progress_(std::move(progress)), last_(std::chrono::steady_clock::now()) {}
  XMLFilePos curPos() const override { return inner_->curPos(); }
  // Never throws for the budget: the first read happens inside the reader's
  // constructor, which would leak. The parse stops at its next callback.
  // (progress may throw to cancel; it is first called a while after the
  // first read.)
  XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override {
    if (progress_) {
      const auto now = std::chrono::steady_clock::now();
      if (now - last_ >= kProgressInterval) {
        last_ = now;
        progress_();
      }
    }
    XMLSize_t n = inner_->readBytes(toFill, maxToRead);
    if (as_ == Counted::AsDocument)
      budget_.Read(n);
    else
      budget_.Charge(n);
    return n;
  }
  const XMLCh* getContentType() const override { return inner_->getContentType(); }
  const XMLCh* getEncoding() const override { return inner_->getEncoding(); }

 private:
  std::unique_ptr<xc::BinInputStream> inner_;
  ExpansionBudget& budget_;
  Counted as_;
  // A copy: the scanner deletes an entity's source once its reader is made,
  // while the reader goes on reading this stream.
  std::function<void()> progress_;
  std::chrono::steady_clock::time_point last_;
};

class CountedSource final : public xc::InputSource {
 public:
  CountedSource(std::unique_ptr<xc::InputSource> inner, ExpansionBudget& budget, Counted as,
                std::function<void()> progress)
      : InputSource(&ParserMemory()), inner_(std::move(inner)), budget_(budget), as_(as), progress_(std::move(progress)) {
    if (inner_->getSystemId()) setSystemId(inner_->getSystemId());
    if (inner_->getPublicId()) setPublicId(inner_->getPublicId());
    if (inner_->getEncoding()) setEncoding(inner_->getEncoding());
  }
  xc::BinInputStream* makeStream() const override {
    xc::BinInputStream* s = inner_->makeStream();
    return s ? new CountingStream(s, budget_, as_, progress_) : nullptr;
  }

 private:
  std::unique_ptr<xc::InputSource> inner_;
  ExpansionBudget& budget_;
  Counted as_;
  std::function<void()> progress_;
};

}  // namespace

std::u16string ExpansionBudget::Message() const {
  return FormatMsg(FormatMsg(FormatMsg(msg::kExpansionLimit, Decimal(Limit())), Decimal(kExpansionAllowance)),
                   Decimal(kExpansionFactor));
}

ActiveBudget::ActiveBudget(ExpansionBudget& budget) { tActive = &budget; }
ActiveBudget::~ActiveBudget() { tActive = nullptr; }

xc::MemoryManager& ParserMemory() {
  // Documents made by the parser keep using this manager after the parser
  // is gone, so it lives as long as the library.
  static BoundedMemoryManager manager;
  return manager;
}

void GiveBackMemory() {
  if (gFreed.load(std::memory_order_relaxed) < kGiveBackAfter) return;
  gFreed.store(0, std::memory_order_relaxed);
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

void CountFreed(uint64_t bytes) { gFreed.fetch_add(bytes, std::memory_order_relaxed); }

bool AllocationRefused() { return tAllocationRefused; }
void ResetAllocationRefused() { tAllocationRefused = false; }

std::unique_ptr<xc::InputSource> CountingSource(std::unique_ptr<xc::InputSource> source, ExpansionBudget& budget,
                                                Counted as, std::function<void()> progress) {
  return std::make_unique<CountedSource>(std::move(source), budget, as, std::move(progress));
}

}  // namespace xdom
