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

void WriteTraceLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
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
