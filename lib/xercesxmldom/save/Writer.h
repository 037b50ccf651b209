// Saving: the document as text or in its encoding (the serializer is in
// Serializer.h), the encoders, and reading back encoded text.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "lib/xercesxmldom/nodes/Common.h"

namespace xdom {

class Encoder {
 public:
  virtual ~Encoder() = default;
  // Whether the code point can be written as it is; others are written as
  // character references where the syntax allows.
  virtual bool CanEncode(char32_t cp) const = 0;
  // Bytes written before the text (a byte-order mark), or empty.
  virtual std::string_view Preamble() const { return {}; }
  // Appends the encoded units to out. A split surrogate pair at the end of
  // one call is completed by the next.
  virtual void Encode(const char16_t* s, size_t n, std::string& out) = 0;
};

// The encoder for an encoding name; empty means UTF-8. Fails for names no
// transcoder is known for.
std::unique_ptr<Encoder> MakeEncoder(const std::u16string& encoding);

using ByteSink = std::function<void(const void* data, size_t size)>;

struct WriteSettings {
  // Replaces the declared encoding in the written declaration.
  const std::u16string* declEncoding = nullptr;
  // Declarations added to the internal subset.
  std::u16string extraSubset;
};

// The document as UTF-16 text, with its declaration as set; empty for a
// document without children. Fails for a tree that has no text form.
std::u16string DocumentText(XDoc* doc);
// The document in the encoder's encoding. A refusal comes before the sink
// receives anything.
void WriteDocument(XDoc* doc, Encoder& encoder, const ByteSink& sink, const WriteSettings& settings = {});

// Text from bytes whose encoding is told by a byte-order mark or an XML
// declaration (UTF-8 otherwise; bytes invalid there are read as Latin-1).
std::u16string DecodeBytes(const uint8_t* data, size_t size);
// 8-bit text in the encoding that the declaration at the start of head
// names (UTF-8 when none).
std::u16string DecodeWithHead(const uint8_t* data, size_t size, const uint8_t* head, size_t headSize);
// Text in the named encoding (UTF-8 when empty; bytes as Latin-1 when no
// converter knows the name).
std::u16string DecodeAs(const uint8_t* data, size_t size, const std::u16string& encoding);
// True when the bytes tell their encoding themselves: a byte-order mark,
// UTF-16 markup, or a declaration that names one.
bool HasEncodingMark(const uint8_t* data, size_t size);
// True for a name an XML declaration may give as its encoding, short enough
// for the converter library.
bool IsEncodingName(std::u16string_view name);

}  // namespace xdom
