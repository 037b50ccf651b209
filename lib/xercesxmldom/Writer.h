// Saving: an iterative serializer (deep trees do not exhaust the stack) and
// the encoders that write its UTF-16 output in a document's encoding
// without losing characters the encoding cannot hold.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "lib/xercesxmldom/Common.h"

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

// The document as UTF-16 text, with its declaration as set.
std::u16string DocumentText(XDoc* doc);
// The document in the encoder's encoding; declEncoding, when given,
// replaces the declared encoding in the written declaration.
// withDoctype false leaves the document type out (the transforms' input,
// which must not make the XSLT processor read external subsets).
void WriteDocument(XDoc* doc, Encoder& encoder, const ByteSink& sink,
                   const std::u16string* declEncoding = nullptr, bool withDoctype = true);

// Text from bytes whose encoding is told by a byte-order mark or an XML
// declaration (UTF-8 otherwise; bytes invalid there are read as Latin-1).
std::u16string DecodeBytes(const uint8_t* data, size_t size);
// 8-bit text in the encoding that the declaration at the start of head
// names (UTF-8 when none).
std::u16string DecodeWithHead(const uint8_t* data, size_t size, const uint8_t* head, size_t headSize);
// True for a name an XML declaration may give as its encoding, short enough
// for the converter library.
bool IsEncodingName(std::u16string_view name);

}  // namespace xdom
