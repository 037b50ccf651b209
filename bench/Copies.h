// Copies of a benchmark file with a document type or root attributes
// added: the same document loaded in another form.
#pragma once

#include <cstddef>
#include <string>

namespace bench {

// The whole of a file; throws std::runtime_error when it cannot be read.
std::string ReadFileText(const std::string& path);

// Writes text to path, replacing what was there; throws std::runtime_error
// when it cannot.
void WriteFileText(const std::string& path, const std::string& text);

// Where the first element's name lies in text: from begin (just past its
// '<') to end. Throws std::runtime_error when text has no element.
struct NameSpan {
  size_t begin = 0;
  size_t end = 0;
};
NameSpan FindRootName(const std::string& text);

// Puts "<!DOCTYPE root externalId>" on a line of its own after the XML
// declaration (at the start when there is none); root is the first
// element's name, externalId may be empty or, say, SYSTEM "x.dtd".
void AddDocumentType(std::string& text, const std::string& externalId);

}  // namespace bench
