#include "app/Trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/AppConst.h"
#include "rtl/Exception.h"

namespace viewer {

namespace {

[[noreturn]] void RaiseWriteError(int error) {
  std::clearerr(stdout);
  throw rtl::EInOutError(rtl::Format(SWriteTraceError, {std::strerror(error != 0 ? error : EIO)}));
}

}  // namespace

void WriteTraceLine(std::string_view text) { WriteTraceLine(text, {}, {}); }

void WriteTraceLine(std::string_view prefix, std::string_view value, std::string_view suffix) {
  // One buffer for every line of the walk, not an allocation per line.
  thread_local std::string line;
  line.assign(prefix);
  line.append(value);
  line.append(suffix);
  line.push_back('\n');
  errno = 0;
  if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::ferror(stdout)) RaiseWriteError(errno);
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
