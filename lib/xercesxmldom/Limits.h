// What one load may cost: the expansion budget, the parser's memory manager
// and an input source that counts what is read.
#pragma once

#include <cstdint>
#include <memory>

#include <xercesc/framework/MemoryManager.hpp>
#include <xercesc/sax/InputSource.hpp>

#include "lib/xercesxmldom/Common.h"

namespace xdom {

// Expansion may produce this many characters whatever the document's size...
inline constexpr uint64_t kExpansionAllowance = uint64_t(8) * 1024 * 1024;
// ...plus this many for every byte of the document read so far.
inline constexpr uint64_t kExpansionFactor = 20;
// Charged for every entity the scanner opens (so that empty entities nested
// a billion times are not free) and for every attribute supplied from a
// DTD default (on top of its value, since each one is a node of its own).
inline constexpr uint64_t kExpansionCost = 32;
inline constexpr uint64_t kDefaultAttributeCost = 64;

// Everything expansion makes in one load, in characters: the replacement
// text of every entity reference, in content and in attribute values,
// every attribute value supplied from a DTD default, the declarations the
// DTD delivers and every byte of an external resource. Once it exceeds
// kExpansionAllowance + kExpansionFactor * (bytes of the document read),
// the load fails. Exceeding it is sticky: the load fails however the parse
// then ends.
class ExpansionBudget {
 public:
  void Read(uint64_t bytes) { read_ += bytes; }
  // Adds n; false once the total exceeds the limit.
  bool Charge(uint64_t n) {
    used_ += n;
    if (used_ > Limit()) exceeded_ = true;
    return !exceeded_;
  }
  // Fails the load as if the limit had been exceeded.
  void Exceed() { exceeded_ = true; }
  bool Exceeded() const { return exceeded_; }
  uint64_t Limit() const { return kExpansionAllowance + kExpansionFactor * read_; }
  // The failure text, naming the limit.
  std::u16string Message() const;

 private:
  uint64_t read_ = 0;
  uint64_t used_ = 0;
  bool exceeded_ = false;
};

// Makes budget the one charged by the parser's memory manager while it
// lives (one load at a time runs on the one thread).
class ActiveBudget {
 public:
  explicit ActiveBudget(ExpansionBudget& budget);
  ~ActiveBudget();
  ActiveBudget(const ActiveBudget&) = delete;
  ActiveBudget& operator=(const ActiveBudget&) = delete;
};

// The memory manager of the parser and of the documents it makes. It
// refuses any single allocation above a fixed size, and while a budget is
// active charges it for every entity reader the scanner opens and refuses a
// buffer larger than the budget could fill.
xc::MemoryManager& ParserMemory();
// The last refusal came from the single-allocation limit.
bool AllocationRefused();
void ResetAllocationRefused();

// Wraps source so that what its stream reads is counted: the document's
// own bytes widen the budget, an external resource's bytes are charged to
// it.
enum class Counted { AsDocument, AsExpansion };
std::unique_ptr<xc::InputSource> CountingSource(std::unique_ptr<xc::InputSource> source, ExpansionBudget& budget,
                                                Counted as);

}  // namespace xdom
