#include "app/Trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "app/AppConst.h"
#include "rtl/Exception.h"
#include "rtl/TextConv.h"

namespace viewer {

namespace {

[[noreturn]] void RaiseWriteError(int error) {
  std::clearerr(stdout);
  throw rtl::EInOutError(rtl::Format(SWriteTraceError, {std::strerror(error != 0 ? error : EIO)}));
}

// The lines written since the last flush, whole lines only. Handing them
// to the stream in pieces of this size, not a call per line, halves the
// cost of a line; the stream sees the same bytes in the same order.
constexpr size_t kPendingLimit = 64 * 1024;

std::string& Pending() {
  thread_local std::string pending;
  return pending;
}

// Hands the pending lines to the stream (dropped if it fails).
void Emit(std::string& pending) {
  if (pending.empty()) return;
  errno = 0;
  const bool written = std::fwrite(pending.data(), 1, pending.size(), stdout) == pending.size();
  pending.clear();
  if (!written || std::ferror(stdout)) RaiseWriteError(errno);
}

void EndLine(std::string& pending) {
  pending.push_back('\n');
  // A terminal shows each line as it comes, as the stream would.
  static const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  if (pending.size() >= kPendingLimit || terminal) Emit(pending);
}

}  // namespace

void WriteTraceLine(std::string_view text) { WriteTraceLine(text, std::string_view(), {}); }

void WriteTraceLine(std::string_view prefix, std::string_view value, std::string_view suffix) {
  std::string& line = Pending();
  line.append(prefix);
  line.append(value);
  line.append(suffix);
  EndLine(line);
}

void WriteTraceLine(std::string_view prefix, rtl::WideStringView value, std::string_view suffix) {
  std::string& line = Pending();
  line.append(prefix);
  rtl::AppendNarrow(line, value);
  line.append(suffix);
  EndLine(line);
}

void WritePendingTrace() { Emit(Pending()); }

void FlushTrace() {
  Emit(Pending());
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) RaiseWriteError(errno);
}

void FlushTraceQuietly() noexcept {
  std::string& pending = Pending();
  std::fwrite(pending.data(), 1, pending.size(), stdout);
  pending.clear();
  std::fflush(stdout);
  std::clearerr(stdout);
}

}  // namespace viewer
