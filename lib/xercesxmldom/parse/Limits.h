// What one load may cost: the expansion budget, the parser's memory manager
// and an input source that counts what is read.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include <xercesc/framework/MemoryManager.hpp>
#include <xercesc/sax/InputSource.hpp>

#include "lib/xercesxmldom/nodes/Common.h"

namespace xdom {

// Expansion may produce this many characters whatever the document's size...
inline constexpr uint64_t kExpansionAllowance = uint64_t(8) * 1024 * 1024;
// ...plus this many for every byte of the document read so far.
inline constexpr uint64_t kExpansionFactor = 20;
// Charged on top of the characters for every entity the scanner opens (so
// that empty entities nested a billion times are not free: each costs a
// reader and an exception in Xerces), every DTD declaration, and every node
// expansion makes: an attribute supplied from a DTD default, and each
// element, attribute, text, comment and processing instruction made from
// an entity's replacement text. A node costs the library and the window
// some hundreds of bytes however short its markup (`<a/>` is four
// characters), so that a budget spent on nodes stays as small in memory as
// one spent on characters.
inline constexpr uint64_t kExpansionCost = 64;

// Everything expansion makes in one load, in characters: the replacement
// text of every entity reference, in content and in attribute values,
// every attribute value supplied from a DTD default, the declarations the
// DTD delivers, every byte of an external resource, and kExpansionCost for
// each of the things listed there. Once it exceeds
// kExpansionAllowance + kExpansionFactor * (bytes of the document read),
// the load fails. Exceeding it is sticky: the load fails however the parse
// then ends.
class ExpansionBudget {
 public:
  // Called once, when the budget is first exceeded (while the scanner
  // still knows where it is).
  std::function<void()> onExceeded;

  void Read(uint64_t bytes) { read_ += bytes; }
  // Adds n; false once the total exceeds the limit.
  bool Charge(uint64_t n) {
    used_ += n;
    if (used_ > Limit()) Exceed();
    return !exceeded_;
  }
  // Fails the load as if the limit had been exceeded.
  void Exceed() {
    if (!exceeded_ && onExceeded) onExceeded();
    exceeded_ = true;
  }
  bool Exceeded() const { return exceeded_; }
  uint64_t Limit() const { return kExpansionAllowance + kExpansionFactor * read_; }
  // The failure text, naming the limit.
  std::u16string Message() const;

 private:
  uint64_t read_ = 0;
  uint64_t used_ = 0;
  bool exceeded_ = false;
};

// Thrown by the parser's memory manager to stop a load over its budget.
struct ExpansionRefused {};

// Makes budget the one charged by the parser's memory manager for what
// this thread allocates while it lives. Loads on other threads charge
// their own.
class ActiveBudget {
 public:
  explicit ActiveBudget(ExpansionBudget& budget);
  ~ActiveBudget();
  ActiveBudget(const ActiveBudget&) = delete;
  ActiveBudget& operator=(const ActiveBudget&) = delete;
};

// The memory manager of the parser and of the documents it makes. It
// refuses any single allocation above a fixed size (out of memory). While a
// budget is active it charges it for every entity the scanner opens, and
// once the budget is exceeded, or for a buffer larger than the budget could
// fill, it throws ExpansionRefused.
xc::MemoryManager& ParserMemory();
// The most it allocates at once; more fails the load ("A value of the
// document exceeds the parser's size limit").
inline constexpr XMLSize_t kMaxSingleAllocation = XMLSize_t(256) * 1024 * 1024;
// Hands the heap's free pages back to the system once the parser's memory
// manager has freed kGiveBackAfter bytes since the last time. Called after a
// document is freed and after a load: the C library's allocator keeps what
// a large document or a failed load's partial tree freed, and the process
// would go on holding it.
inline constexpr uint64_t kGiveBackAfter = uint64_t(8) * 1024 * 1024;
void GiveBackMemory();
// Counts memory freed outside the parser's memory manager (a store).
void CountFreed(uint64_t bytes);
// The last refusal on this thread came from the single-allocation limit.
bool AllocationRefused();
void ResetAllocationRefused();

// Wraps source so that what its stream reads is counted: the document's
// own bytes widen the budget, an external resource's bytes are charged to
// it. progress, when set, is called from the reads once kProgressInterval
// has passed since the last call: the scanner reads its source a buffer at
// a time however the document is shaped, so this sees the whole parse.
enum class Counted { AsDocument, AsExpansion };
inline constexpr std::chrono::milliseconds kProgressInterval{25};
std::unique_ptr<xc::InputSource> CountingSource(std::unique_ptr<xc::InputSource> source, ExpansionBudget& budget,
                                                Counted as, std::function<void()> progress = {});

}  // namespace xdom
