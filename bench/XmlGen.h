// Deterministic generator of large record-style XML documents for load
// benchmarks: a namespaced catalog of records with attributes, text, mixed
// content, comments, CDATA sections and some deeper nesting.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace bench {

struct GenStats {
  uint64_t bytes = 0;
  uint64_t records = 0;
};

// Writes a document of about targetBytes (never less, at most one record
// more) to out. The same seed and size always give the same bytes. Returns
// false when a write fails (errno tells why).
bool GenerateXml(std::FILE* out, uint64_t targetBytes, uint64_t seed, GenStats* stats = nullptr);

// The same document as a string; for small sizes.
std::string GenerateXmlText(uint64_t targetBytes, uint64_t seed);

}  // namespace bench
