#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/base/tcp/TcpTestUtil.h"

namespace Kestrix {
namespace TcpTestUtil {
namespace {

socklen_t loopback(int family, int port, sockaddr_storage& addr) {
  std::memset(&addr, 0, sizeof addr);
  if (family == AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof(sockaddr_in6);
  }
  auto* in = reinterpret_cast<sockaddr_in*>(&addr);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  in->sin_port = htons(static_cast<uint16_t>(port));
  return sizeof(sockaddr_in);
}

}  // namespace

const int ADDRESS_IN_USE = EADDRINUSE;
const int INVALID_ARGUMENT = EINVAL;

int boundPort(int fd) {
  sockaddr_storage addr;
  socklen_t length = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

void closeSocket(int fd) {
  ::close(fd);
}

long sendRaw(int fd, const void* data, std::size_t size) {
  return ::send(fd, data, size, MSG_NOSIGNAL);
}

bool streamPair(int fds[2]) {
  return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0;
}

bool waitReadable(int fd, int timeoutMs) {
  pollfd p = {fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) == 1;
}

int holdUdpPort(unsigned int port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = {AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  ::close(fd);
  return -1;
}

unsigned int loopbackIndex() {
  return ::if_nametoindex("lo");
}

unsigned int ipv6MulticastInterface(int fd) {
  unsigned int index = 0;
  socklen_t length = sizeof index;
  ::getsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, &length);
  return index;
}

RawSocket::RawSocket(int family, int port, int backlog, bool anyAddress) {
  fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage addr;
  socklen_t length = loopback(family, port, addr);
  if (anyAddress) {
    if (family == AF_INET6)
      reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr = in6addr_any;
    else
      reinterpret_cast<sockaddr_in*>(&addr)->sin_addr.s_addr = htonl(INADDR_ANY);
  }
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
      (backlog >= 0 && ::listen(fd_, backlog) != 0)) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  port_ = boundPort(fd_);
}

RawSocket::~RawSocket() {
  if (fd_ >= 0) ::close(fd_);
}

int RawSocket::accept(int timeoutMs) const {
  if (!waitReadable(fd_, timeoutMs)) return -1;
  return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

SilentPeer::SilentPeer() : listener_(AF_INET, 0, 0) {
  for (int i = 0; i < 8; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_storage addr;
    const socklen_t length = loopback(AF_INET, listener_.port(), addr);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), length);
    fillers_.push_back(fd);
    pollfd p = {fd, POLLOUT, 0};
    if (::poll(&p, 1, 200) == 0) break;  // this one is already unanswered
  }
}

SilentPeer::~SilentPeer() {
  for (const int fd : fillers_) ::close(fd);
}

}  // namespace TcpTestUtil
}  // namespace Kestrix
