// The standard descriptors at start-up.
#pragma once

namespace viewer {

// Opens each of standard input, output and error that is closed on the null
// device. Runs first thing: a descriptor left closed would be handed to the
// next file opened (the display connection, say), and the trace written to
// standard output would go into it.
void OpenClosedStandardStreams() noexcept;

}  // namespace viewer
