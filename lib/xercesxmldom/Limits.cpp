#include "lib/xercesxmldom/Limits.h"

#include <xercesc/internal/XMLReader.hpp>
#include <xercesc/util/BinInputStream.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>

namespace xdom {

namespace {

// The largest single allocation the parser and its documents may make, also
// outside a load. Legitimate single values stay far below it.
constexpr XMLSize_t kMaxSingleAllocation = XMLSize_t(256) * 1024 * 1024;

ExpansionBudget* gActive = nullptr;
bool gAllocationRefused = false;

std::u16string Decimal(uint64_t n) {
  std::string s = std::to_string(n);
  return std::u16string(s.begin(), s.end());
}

// The scanner opens every entity it expands, general or parameter, in the
// document or in the DTD, with a reader of its own, made through this
// manager. Xerces offers no other hook for the expansions inside the DTD,
// so the reader's allocation is what is counted.
XMLSize_t ReaderBlockSize() {
  static const XMLSize_t size =
      xc::XMLPlatformUtils::alignPointerForNewBlockAllocation(sizeof(xc::MemoryManager*)) + sizeof(xc::XMLReader);
  return size;
}

class BoundedMemoryManager final : public xc::MemoryManager {
 public:
  xc::MemoryManager* getExceptionMemoryManager() override { return xc::XMLPlatformUtils::fgMemoryManager; }
  void* allocate(XMLSize_t size) override {
    if (size > kMaxSingleAllocation) {
      gAllocationRefused = true;
      throw xc::OutOfMemoryException();
    }
    // The out-of-memory exception is the one Xerces unwinds without
    // cleaning up through more allocations.
    if (gActive && size == ReaderBlockSize() && !gActive->Charge(kExpansionCost)) throw xc::OutOfMemoryException();
    // A value the scanner builds in the DTD (a default from entities) is
    // seen only once complete; its buffer may not outgrow the budget. A
    // buffer holds at most twice its value, two bytes a character, so a
    // value from the input itself never comes near this.
    if (gActive && size / 4 > gActive->Limit()) {
      gActive->Exceed();
      throw xc::OutOfMemoryException();
    }
    try {
      return ::operator new(size);
    } catch (const std::bad_alloc&) {
      throw xc::OutOfMemoryException();
    }
  }
  void deallocate(void* p) override { ::operator delete(p); }
};

class CountingStream final : public xc::BinInputStream {
 public:
  CountingStream(xc::BinInputStream* inner, ExpansionBudget& budget, Counted as)
      : inner_(inner), budget_(budget), as_(as) {}
  XMLFilePos curPos() const override { return inner_->curPos(); }
  XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override {
    XMLSize_t n = inner_->readBytes(toFill, maxToRead);
    if (as_ == Counted::AsDocument)
      budget_.Read(n);
    else if (!budget_.Charge(n))
      throw xc::OutOfMemoryException();
    return n;
  }
  const XMLCh* getContentType() const override { return inner_->getContentType(); }
  const XMLCh* getEncoding() const override { return inner_->getEncoding(); }

 private:
  std::unique_ptr<xc::BinInputStream> inner_;
  ExpansionBudget& budget_;
  Counted as_;
};

class CountedSource final : public xc::InputSource {
 public:
  CountedSource(std::unique_ptr<xc::InputSource> inner, ExpansionBudget& budget, Counted as)
      : InputSource(&ParserMemory()), inner_(std::move(inner)), budget_(budget), as_(as) {
    if (inner_->getSystemId()) setSystemId(inner_->getSystemId());
    if (inner_->getPublicId()) setPublicId(inner_->getPublicId());
    if (inner_->getEncoding()) setEncoding(inner_->getEncoding());
  }
  xc::BinInputStream* makeStream() const override {
    xc::BinInputStream* s = inner_->makeStream();
    return s ? new CountingStream(s, budget_, as_) : nullptr;
  }

 private:
  std::unique_ptr<xc::InputSource> inner_;
  ExpansionBudget& budget_;
  Counted as_;
};

}  // namespace

std::u16string ExpansionBudget::Message() const {
  return FormatMsg(FormatMsg(FormatMsg(msg::kExpansionLimit, Decimal(Limit())), Decimal(kExpansionAllowance)),
                   Decimal(kExpansionFactor));
}

ActiveBudget::ActiveBudget(ExpansionBudget& budget) { gActive = &budget; }
ActiveBudget::~ActiveBudget() { gActive = nullptr; }

xc::MemoryManager& ParserMemory() {
  // Documents made by the parser keep using this manager after the parser
  // is gone, so it lives as long as the library.
  static BoundedMemoryManager manager;
  return manager;
}

bool AllocationRefused() { return gAllocationRefused; }
void ResetAllocationRefused() { gAllocationRefused = false; }

std::unique_ptr<xc::InputSource> CountingSource(std::unique_ptr<xc::InputSource> source, ExpansionBudget& budget,
                                                Counted as) {
  return std::make_unique<CountedSource>(std::move(source), budget, as);
}

}  // namespace xdom
