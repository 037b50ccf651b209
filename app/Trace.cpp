#include "app/Trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/AppConst.h"
#include "rtl/Exception.h"
#include "rtl/TextConv.h"

namespace viewer {

namespace {

[[noreturn]] void RaiseWriteError(int error) {
  std::clearerr(stdout);
  throw rtl::EInOutError(rtl::Format(SWriteTraceError, {std::strerror(error != 0 ? error : EIO)}));
}

// One buffer for every line of the walk, not an allocation per line.
std::string& LineBuffer() {
  thread_local std::string line;
  return line;
}

void WriteLine(std::string& line) {
  line.push_back('\n');
  errno = 0;
  if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::ferror(stdout)) RaiseWriteError(errno);
}

}  // namespace

void WriteTraceLine(std::string_view text) { WriteTraceLine(text, std::string_view(), {}); }

void WriteTraceLine(std::string_view prefix, std::string_view value, std::string_view suffix) {
  std::string& line = LineBuffer();
  line.assign(prefix);
  line.append(value);
  line.append(suffix);
  WriteLine(line);
}

void WriteTraceLine(std::string_view prefix, rtl::WideStringView value, std::string_view suffix) {
  std::string& line = LineBuffer();
  line.assign(prefix);
  rtl::AppendNarrow(line, value);
  line.append(suffix);
  WriteLine(line);
}

void FlushTrace() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) RaiseWriteError(errno);
}

void FlushTraceQuietly() noexcept {
  std::fflush(stdout);
  std::clearerr(stdout);
}

}  // namespace viewer
