#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/base/tcp/CoSocketOps.h"

namespace Kestrix {
namespace CoSocketOps {

int wait(int fd, bool forRead, bool forWrite, int timeoutMs) {
  struct pollfd p = {};
  p.fd = fd;
  p.events = static_cast<short>((forRead ? POLLIN : 0) | (forWrite ? POLLOUT : 0));
  const int n = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
  if (n <= 0) return n;
  int ready = 0;
  if (p.revents & (POLLIN | POLLPRI)) ready |= READY_READ;
  if (p.revents & POLLOUT) ready |= READY_WRITE;
  // Errors and hang-ups are reported by the next read or write.
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
    if (forRead) ready |= READY_READ;
    if (forWrite) ready |= READY_WRITE;
  }
  return ready;
}

long peek(int fd) {
  char c;
  const ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  return n < 0 ? -1 : static_cast<long>(n);
}

long read(int fd, void* buf, std::size_t size) {
  return ::read(fd, buf, size);
}

long write(int fd, const void* buf, std::size_t size) {
  const ssize_t n = ::send(fd, buf, size, MSG_NOSIGNAL);
  if (n >= 0 || errno != ENOTSOCK) return n;
  return ::write(fd, buf, size);
}

int close(int fd) {
  return ::close(fd);
}

int shutdownWrite(int fd) {
  return ::shutdown(fd, SHUT_WR);
}

int setSendBufferSize(int fd, int size) {
  return ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

int setReceiveBufferSize(int fd, int size) {
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

bool lastIsConnectionReset() {
  return errno == ECONNRESET;
}

}  // namespace CoSocketOps
}  // namespace Kestrix
