#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/base/rcApi/rcWakeUp.h"

namespace Kestrix {

rcWakeUp::rcWakeUp() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    error_ = std::strerror(errno);
    return;
  }
  read_ = fds[0];
  write_ = fds[1];
}

rcWakeUp::~rcWakeUp() {
  if (read_ >= 0) ::close(read_);
  if (write_ >= 0) ::close(write_);
}

bool rcWakeUp::signal() {
  const char byte = 1;
  // A full pipe already holds a wake-up.
  return write_ >= 0 && (::write(write_, &byte, 1) == 1 || errno == EAGAIN);
}

void rcWakeUp::drain() {
  char buffer[64];
  while (read_ >= 0 && ::read(read_, buffer, sizeof buffer) > 0) {
  }
}

}  // namespace Kestrix
