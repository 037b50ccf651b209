// The floors of the load benchmark, Xerces-C++ alone with the parser
// settings of lib/xercesxmldom: the SAX2 scan of the file (what reading it
// costs at all) and the parse into Xerces' own DOM.
#pragma once

#include <cstdint>
#include <string>

#include "bench/Measure.h"

namespace bench {

struct FloorResult {
  bool ok = false;
  char error[512] = {};
  StageResult stage;
  uint64_t nodes = 0;            // DOM: every node below the document, attributes included
  uint64_t whitespaceTexts = 0;  // DOM: whitespace-only text nodes among them
  uint64_t elements = 0;
  uint64_t attributes = 0;
};

// Each parses path in a forked child process, so the floor's peak and heap
// stay out of the measurements that follow; the child initialises Xerces
// itself. The scan counts elements and attributes only.
FloorResult MeasureFloorInChild(const std::string& path);
FloorResult MeasureScanInChild(const std::string& path);

}  // namespace bench
