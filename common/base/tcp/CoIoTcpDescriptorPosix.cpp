// The socket calls under CoIoDescriptor, CoIoTcpDescriptor, its server and
// CoMulticast (CoSocketOps), on Posix systems.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

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

int open(int family, int type, int protocol) {
  return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

int setOption(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof value);
}

int setOption(int fd, int level, int name, const void* value, int size) {
  return ::setsockopt(fd, level, name, value, static_cast<socklen_t>(size));
}

// The IPv4 ones take one byte; the IPv6 ones an int, of which the low byte
// is read.
int setMulticastOption(int fd, int level, int name, int value) {
  if (level != IPPROTO_IP) return setOption(fd, level, name, value);
  const unsigned char byte = static_cast<unsigned char>(value);
  return ::setsockopt(fd, level, name, &byte, sizeof byte);
}

int getMulticastOption(int fd, int level, int name, int& value) {
  value = 0;
  socklen_t length = 1;
  return ::getsockopt(fd, level, name, &value, &length);
}

int bind(int fd, const sockaddr_storage& addr, int length) {
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), static_cast<socklen_t>(length));
}

int listen(int fd, int backlog) {
  return ::listen(fd, backlog);
}

int localAddress(int fd, sockaddr_storage& addr, int& length) {
  socklen_t size = sizeof addr;
  const int result = ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  length = static_cast<int>(size);
  return result;
}

int peerAddress(int fd, sockaddr_storage& addr, int& length) {
  socklen_t size = sizeof addr;
  const int result = ::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  length = static_cast<int>(size);
  return result;
}

int setNonBlocking(int fd, bool on) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return -1;
  return ::fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0 ? 0 : -1;
}

int connectStart(int fd, const sockaddr& addr, int length) {
  if (::connect(fd, &addr, static_cast<socklen_t>(length)) == 0) return 0;
  return errno == EINPROGRESS || errno == EAGAIN ? 1 : -1;
}

int connectFinish(int fd, int timeoutSeconds) {
  const int waitMs = timeoutSeconds >= INT_MAX / 1000 ? INT_MAX : timeoutSeconds * 1000;
  const int ready = wait(fd, false, true, waitMs);
  if (ready == 0) return 0;
  int soError = 0;
  socklen_t length = sizeof soError;
  if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0 || soError != 0)
    return -1;
  return 1;
}

bool claimFixedPort(int) {
  return false;
}

long sendTo(int fd, const void* buf, std::size_t size, const sockaddr_storage& to, int length) {
  return ::sendto(fd, buf, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                  static_cast<socklen_t>(length));
}

long receiveFrom(int fd, void* buf, std::size_t size, sockaddr_storage& from) {
  socklen_t length = sizeof from;
  return ::recvfrom(fd, buf, size, 0, reinterpret_cast<sockaddr*>(&from), &length);
}

}  // namespace CoSocketOps
}  // namespace Kestrix
