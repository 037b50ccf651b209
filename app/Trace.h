// The load trace on standard output.
#pragma once

#include <string_view>

#include "rtl/Types.h"

namespace viewer {

// Writes text and a line break to standard output. Raises rtl::EInOutError
// when the stream reports an error (the error state is cleared, so a later
// load tries again).
void WriteTraceLine(std::string_view text);
// Writes the three parts as one line, the same way.
void WriteTraceLine(std::string_view prefix, std::string_view value, std::string_view suffix);
// The same with the value converted to the locale's narrow text on the way.
void WriteTraceLine(std::string_view prefix, rtl::WideStringView value, std::string_view suffix);
// Flushes standard output; raises rtl::EInOutError when that fails.
void FlushTrace();
// Flushes standard output and clears its error state, ignoring failures; for
// paths that are already failing.
void FlushTraceQuietly() noexcept;

}  // namespace viewer
