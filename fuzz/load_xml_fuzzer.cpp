// Text loading: the input as narrow XML text and, when it has an even
// length, as UTF-16 text. A document that loads is walked, saved, and its
// saved text must load again.
#include <cstring>
#include <string>

#include "FuzzSupport.h"

using fuzzsupport::Guarded;

namespace {

void LoadWalkSave(const rtl::ComPtr<IXMLDocumentIntf>& doc) {
  fuzzsupport::Walk(doc);
  WideString saved;
  doc->SaveToXML(saved);
  // What the layer wrote must read back: anything else loses the user's data.
  auto again = fuzzsupport::NewDocument();
  again->LoadFromXML(saved);
  if (doc->GetChildNodes()->GetCount() != again->GetChildNodes()->GetCount()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Loaded or refused, and walked as the viewer walks it, an input stays
  // within the memory bound for its size.
  fuzzsupport::MemoryWatch watch;
  auto doc = fuzzsupport::NewDocument();
  if (Guarded([&] { doc->LoadFromXML(AnsiString(reinterpret_cast<const char*>(data), size)); }))
    LoadWalkSave(doc);
  watch.Check(size);

  if (size % 2 == 0) {
    WideString wide(size / 2, u'\0');
    std::memcpy(wide.data(), data, size);
    if (Guarded([&] { doc->LoadFromXML(wide); })) LoadWalkSave(doc);
  }
  return 0;
}
