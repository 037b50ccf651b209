// The floor of the load benchmark: Xerces-C++ alone parsing the file into a
// DOM with the parser settings of lib/xercesxmldom.
#pragma once

#include <cstdint>
#include <string>

#include "bench/Measure.h"

namespace bench {

struct FloorResult {
  bool ok = false;
  char error[512] = {};
  StageResult stage;
  uint64_t nodes = 0;            // every node below the document, attributes included
  uint64_t whitespaceTexts = 0;  // whitespace-only text nodes among them
  uint64_t elements = 0;
  uint64_t attributes = 0;
};

// Parses path in a forked child process, so the floor's peak and heap stay
// out of the measurements that follow; the child initialises Xerces itself.
FloorResult MeasureFloorInChild(const std::string& path);

}  // namespace bench
