#include <winsock2.h>

#include "common/base/tcp/CoSocketHandleWin.h"
#include "common/base/tcp/CoSocketOps.h"

namespace Kestrix {
namespace CoSocketOps {

using CoSocketHandle::toSocket;

int wait(int fd, bool forRead, bool forWrite, int timeoutMs) {
  WSAPOLLFD p = {};
  p.fd = toSocket(fd);
  // WSAPoll refuses POLLPRI; out-of-band data is not used here.
  p.events = static_cast<SHORT>((forRead ? POLLRDNORM : 0) | (forWrite ? POLLWRNORM : 0));
  const int n = ::WSAPoll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
  if (n <= 0) return n == SOCKET_ERROR ? -1 : n;
  int ready = 0;
  if (p.revents & (POLLRDNORM | POLLRDBAND)) ready |= READY_READ;
  if (p.revents & POLLWRNORM) ready |= READY_WRITE;
  // Errors and hang-ups are reported by the next read or write.
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
    if (forRead) ready |= READY_READ;
    if (forWrite) ready |= READY_WRITE;
  }
  return ready;
}

long peek(int fd) {
  // There is no per-call "do not wait" flag: look first, so that a socket
  // left blocking is not waited on either.
  WSAPOLLFD p = {};
  p.fd = toSocket(fd);
  p.events = POLLRDNORM;
  const int n = ::WSAPoll(&p, 1, 0);
  if (n == SOCKET_ERROR) return -1;
  if (n == 0) {
    ::WSASetLastError(WSAEWOULDBLOCK);
    return -1;
  }
  char c;
  const int got = ::recv(toSocket(fd), &c, 1, MSG_PEEK);
  return got == SOCKET_ERROR ? -1 : static_cast<long>(got);
}

long read(int fd, void* buf, std::size_t size) {
  const int length = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
  const int n = ::recv(toSocket(fd), static_cast<char*>(buf), length, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

// A send to a vanished peer fails with an error; there is no signal here.
long write(int fd, const void* buf, std::size_t size) {
  const int length = size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
  const int n = ::send(toSocket(fd), static_cast<const char*>(buf), length, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int close(int fd) {
  return ::closesocket(toSocket(fd)) == 0 ? 0 : -1;
}

int shutdownWrite(int fd) {
  return ::shutdown(toSocket(fd), SD_SEND) == 0 ? 0 : -1;
}

int setSendBufferSize(int fd, int size) {
  return ::setsockopt(toSocket(fd), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size),
                      sizeof size) == 0
             ? 0
             : -1;
}

int setReceiveBufferSize(int fd, int size) {
  return ::setsockopt(toSocket(fd), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size),
                      sizeof size) == 0
             ? 0
             : -1;
}

bool lastIsConnectionReset() {
  return ::WSAGetLastError() == WSAECONNRESET;
}

}  // namespace CoSocketOps
}  // namespace Kestrix
