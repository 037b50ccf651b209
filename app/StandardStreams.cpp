#include "app/StandardStreams.h"

#include <cerrno>
#include <initializer_list>
#include <fcntl.h>
#include <unistd.h>

namespace viewer {

void OpenClosedStandardStreams() noexcept {
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower descriptors are open by now, so this one is the lowest free.
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

}  // namespace viewer
