// Loading: Xerces parsing with the library's safety limits and tree shape.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "lib/xercesxmldom/nodes/Common.h"

namespace xdom {

struct ParseSettings {
  bool validate = false;
  bool resolveExternals = false;
  bool preserveWhiteSpace = false;
  // Called while the source is read, once kProgressInterval has passed since
  // the start or the last call, so a caller can keep its user interface
  // alive during a long parse. An exception it raises ends the parse and
  // passes on. Empty: not called.
  std::function<void()> progress;
};

struct ParseErrorInfo {
  int32_t code = 0;
  std::u16string reason;
  std::u16string url;
  std::u16string srcText;
  int32_t line = 0;
  int32_t linePos = 0;
  int32_t filePos = 0;
};

// Result of a load: the adopted document (null on failure), its declaration
// values and its tree, or the reason of the failure.
struct ParseOutcome {
  xc::DOMDocument* doc = nullptr;
  XMLDecl decl;
  // The tree; doc holds at most the document type.
  std::unique_ptr<Store> store;
  ParseErrorInfo error;
};

struct ParseSource {
  enum Kind { File, Stream, Text, Bytes };
  Kind kind = File;
  std::string path;                   // File: narrow (UTF-8) file name
  rtl::IStream* stream = nullptr;     // Stream
  std::u16string_view text;           // Text: parsed as UTF-16
  const uint8_t* bytes = nullptr;     // Bytes: encoding from BOM/declaration
  size_t size = 0;
};

ParseOutcome Parse(const ParseSource& source, const ParseSettings& settings);

// Longest source line handed back with a parse error, in UTF-16 units.
inline constexpr size_t kMaxSourceLine = 4096;

}  // namespace xdom
