// The load trace on standard output.
#pragma once

#include <string_view>

#include "rtl/Types.h"

namespace viewer {

// Writes text and a line break to standard output. Lines are handed to the
// stream in batches (each line at once on a terminal), so a failing stream
// raises rtl::EInOutError on a later line or at FlushTrace at the latest
// (the error state is cleared, so a later load tries again).
void WriteTraceLine(std::string_view text);
// Writes the three parts as one line, the same way.
void WriteTraceLine(std::string_view prefix, std::string_view value, std::string_view suffix);
// The same with the value converted to the locale's narrow text on the way.
void WriteTraceLine(std::string_view prefix, rtl::WideStringView value, std::string_view suffix);
// Hands the pending lines to standard output, where its own buffering
// holds them like any other output; raises as WriteTraceLine does.
void WritePendingTrace();
// Writes the pending lines and flushes standard output; raises
// rtl::EInOutError when that fails.
void FlushTrace();
// The same, ignoring failures, and clears the stream's error state; for
// paths that are already failing.
void FlushTraceQuietly() noexcept;

}  // namespace viewer
