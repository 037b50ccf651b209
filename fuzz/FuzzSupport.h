// Shared pieces of the fuzz targets: a document bound to the real DOM, a walk
// that touches every wrapper the viewer would, and the one kind of failure a
// target may swallow.
#pragma once

#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dom/xmldom.h"
#include "rtl/Exception.h"
#include "xml/XMLDoc.h"

namespace fuzzsupport {

// An unowned document on the "Xerces XML" vendor, held by its interface.
inline rtl::ComPtr<IXMLDocumentIntf> NewDocument() {
  auto* doc = new TXMLDocument(nullptr);
  rtl::ComPtr<IXMLDocumentIntf> intf(doc);
  doc->SetDOMVendor(LookupVendor("Xerces XML"));
  return intf;
}

// Visits every node as the viewer does (names, values, attribute lists,
// text-element test) without recursion, so deep inputs test the layers and
// not this walk. Stops after limit nodes to keep one run short.
inline void Walk(const rtl::ComPtr<IXMLDocumentIntf>& doc, size_t limit = 20000) {
  if (doc->IsEmptyDocument()) return;
  std::vector<rtl::ComPtr<IXMLNode>> pending;
  if (auto root = doc->GetDocumentElement()) pending.push_back(root);
  size_t seen = 0;
  while (!pending.empty() && seen++ < limit) {
    rtl::ComPtr<IXMLNode> node = pending.back();
    pending.pop_back();
    (void)node->GetNodeName();
    // An element's value is its text, which only a text element has.
    if (node->GetNodeType() != ntElement || node->IsTextElement()) (void)node->GetNodeValue();
    auto attrs = node->GetAttributeNodes();
    for (int32_t i = 0; i < attrs->GetCount(); ++i) (void)attrs->Get(i)->GetNodeValue();
    if (!node->HasChildNodes()) continue;
    auto children = node->GetChildNodes();
    for (int32_t i = children->GetCount() - 1; i >= 0; --i) pending.push_back(children->Get(i));
  }
}

// Live heap bytes and their peak, kept by allocator hooks (installed at
// start-up), so that a target can hold each input to the memory bound.
inline std::atomic<int64_t> gLiveBytes{0};
inline std::atomic<int64_t> gPeakBytes{0};

inline void OnMalloc(const volatile void*, size_t size) {
  const int64_t now = gLiveBytes += static_cast<int64_t>(size);
  for (int64_t peak = gPeakBytes; now > peak && !gPeakBytes.compare_exchange_weak(peak, now);) {
  }
}
inline void OnFree(const volatile void* p) { gLiveBytes -= static_cast<int64_t>(__sanitizer_get_allocated_size(p)); }

// What loading an input of this many bytes may cost at most (README,
// "Reliability"): a gigabyte for about a megabyte, with room for the fixed
// expansion allowance.
inline int64_t MemoryBound(size_t inputBytes) { return (int64_t(256) << 20) + 1000 * static_cast<int64_t>(inputBytes); }

// Traps when the heap grows past the bound for the input between its
// construction and Check().
class MemoryWatch {
 public:
  MemoryWatch() : start_(gLiveBytes) { gPeakBytes = start_; }
  void Check(size_t inputBytes) const {
    if (gPeakBytes - start_ > MemoryBound(inputBytes)) __builtin_trap();
  }

 private:
  int64_t start_;
};

// Runs f; a failure the layers report as their exception is the expected
// answer to bad input. Anything else escapes and stops the fuzzer.
template <class F>
bool Guarded(F&& f) {
  try {
    f();
    return true;
  } catch (const rtl::Exception&) {
    return false;
  }
}

}  // namespace fuzzsupport

// Loads the DOM library before fuzzing starts, so that its coverage counters
// are known from the first input on and a missing library stops the run
// instead of reading as a parse failure. Each target is one source file, so
// this is defined once per program.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  __sanitizer_install_malloc_and_free_hooks(fuzzsupport::OnMalloc, fuzzsupport::OnFree);
  auto doc = fuzzsupport::NewDocument();
  doc->LoadFromXML(WideString(u"<ready/>"));
  return 0;
}
