// The socket calls under CoIoDescriptor, CoIoTcpDescriptor, its server and
// CoMulticast (CoSocketOps), through Winsock.

#include <winsock2.h>
#include <ws2tcpip.h>

#include "common/base/tcp/CoSocketHandleWin.h"
#include "common/base/tcp/CoSocketOps.h"

namespace Kestrix {
namespace CoSocketOps {

using CoSocketHandle::toSocket;

namespace {

int clampedLength(std::size_t size) {
  return size > 0x7fffffff ? 0x7fffffff : static_cast<int>(size);
}

}  // namespace

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

int open(int family, int type, int protocol) {
  return CoSocketHandle::open(family, type, protocol);
}

int setOption(int fd, int level, int name, int value) {
  return ::setsockopt(toSocket(fd), level, name, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0
             ? 0
             : -1;
}

int setOption(int fd, int level, int name, const void* value, int size) {
  return ::setsockopt(toSocket(fd), level, name, static_cast<const char*>(value), size) == 0 ? 0
                                                                                             : -1;
}

// Both families take a DWORD here, as the system documents them.
int setMulticastOption(int fd, int level, int name, int value) {
  const DWORD dword = static_cast<DWORD>(value);
  return setOption(fd, level, name, &dword, sizeof dword);
}

int getMulticastOption(int fd, int level, int name, int& value) {
  DWORD dword = 0;
  int length = sizeof dword;
  const int result =
      ::getsockopt(toSocket(fd), level, name, reinterpret_cast<char*>(&dword), &length);
  value = static_cast<int>(dword);
  return result == 0 ? 0 : -1;
}

int bind(int fd, const sockaddr_storage& addr, int length) {
  return ::bind(toSocket(fd), reinterpret_cast<const sockaddr*>(&addr), length) == 0 ? 0 : -1;
}

int listen(int fd, int backlog) {
  return ::listen(toSocket(fd), backlog) == 0 ? 0 : -1;
}

int localAddress(int fd, sockaddr_storage& addr, int& length) {
  length = sizeof addr;
  return ::getsockname(toSocket(fd), reinterpret_cast<sockaddr*>(&addr), &length) == 0 ? 0 : -1;
}

int peerAddress(int fd, sockaddr_storage& addr, int& length) {
  length = sizeof addr;
  return ::getpeername(toSocket(fd), reinterpret_cast<sockaddr*>(&addr), &length) == 0 ? 0 : -1;
}

int setNonBlocking(int fd, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(toSocket(fd), FIONBIO, &mode) == 0 ? 0 : -1;
}

int connectStart(int fd, const sockaddr& addr, int length) {
  if (::connect(toSocket(fd), &addr, length) == 0) return 0;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? 1 : -1;
}

int connectFinish(int fd, int timeoutSeconds) {
  const SOCKET socket = toSocket(fd);
  // A refused connect shows in the exception set here, not as writable.
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(socket, &writable);
  FD_SET(socket, &failed);
  timeval timeout = {timeoutSeconds, 0};
  const int ready = ::select(0, nullptr, &writable, &failed, &timeout);
  if (ready == 0) return 0;
  return ready == SOCKET_ERROR || FD_ISSET(socket, &failed) ? -1 : 1;
}

// SO_REUSEADDR here would let the listener share a port another socket
// holds; a restarted server gets its fixed port without it.
bool claimFixedPort(int fd) {
  setOption(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
  return true;
}

long sendTo(int fd, const void* buf, std::size_t size, const sockaddr_storage& to, int length) {
  const int n = ::sendto(toSocket(fd), static_cast<const char*>(buf), clampedLength(size), 0,
                         reinterpret_cast<const sockaddr*>(&to), length);
  return n == SOCKET_ERROR ? -1 : n;
}

long receiveFrom(int fd, void* buf, std::size_t size, sockaddr_storage& from) {
  int length = sizeof from;
  const int capacity = clampedLength(size);
  const int n = ::recvfrom(toSocket(fd), static_cast<char*>(buf), capacity, 0,
                           reinterpret_cast<sockaddr*>(&from), &length);
  if (n != SOCKET_ERROR) return n;
  // Here a longer datagram fills buf and then fails.
  return ::WSAGetLastError() == WSAEMSGSIZE ? capacity : -1;
}

}  // namespace CoSocketOps
}  // namespace Kestrix
