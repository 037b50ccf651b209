// Stream loading: the input as the bytes of a stream, read from a position
// that is not its start (the document must rewind it), with the parse
// options taken from the first byte.
#include <string>

#include "FuzzSupport.h"
#include "rtl/Streams.h"

using fuzzsupport::Guarded;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Externals stay off: the fuzzer must not read files or reach the network.
  const TParseOptions options =
      TParseOptions::FromByte(data[0] & 0x0F).Exclude(poResolveExternals).Exclude(poAsyncLoad);
  rtl::TStringStream stream(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  stream.Seek(0, rtl::soEnd);

  fuzzsupport::MemoryWatch watch;
  auto doc = fuzzsupport::NewDocument();
  doc->SetParseOptions(options);
  const bool loaded = Guarded([&] { doc->LoadFromStream(&stream); });
  watch.Check(size);
  if (!loaded) {
    // A failed load leaves the document closed and ready for the next one.
    if (doc->GetActive()) __builtin_trap();
    doc->LoadFromXML(WideString(u"<ok/>"));
    if (doc->GetDocumentElement()->GetNodeName() != u"ok") __builtin_trap();
    return 0;
  }
  fuzzsupport::Walk(doc);
  rtl::TMemoryStream out;
  Guarded([&] { doc->SaveToStream(&out); });
  doc->SetActive(false);
  return 0;
}
