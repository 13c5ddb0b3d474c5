#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <vector>

#include "common/base/tcp/CoAdapterListWin.h"
#include "common/base/tcp/CoIoTcpDescriptor.h"
#include "common/base/tcp/CoSocketHandleWin.h"
#include "common/base/tcp/TcpTestUtil.h"

namespace Kestrix {
namespace TcpTestUtil {
namespace {

using CoSocketHandle::fromSocket;
using CoSocketHandle::toSocket;

// The raw sockets below need the library started before any case runs.
struct Started {
  Started() { CoIoTcpDescriptor::init(); }
} gStarted;

int loopback(int family, int port, sockaddr_storage& addr) {
  std::memset(&addr, 0, sizeof addr);
  if (family == AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    in6->sin6_port = htons(static_cast<u_short>(port));
    return sizeof(sockaddr_in6);
  }
  auto* in = reinterpret_cast<sockaddr_in*>(&addr);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  in->sin_port = htons(static_cast<u_short>(port));
  return sizeof(sockaddr_in);
}

void setNonBlocking(int fd) {
  u_long on = 1;
  ::ioctlsocket(toSocket(fd), FIONBIO, &on);
}

}  // namespace

const int ADDRESS_IN_USE = WSAEADDRINUSE;
const int INVALID_ARGUMENT = WSAEINVAL;

int boundPort(int fd) {
  sockaddr_storage addr;
  int length = sizeof addr;
  ::getsockname(toSocket(fd), reinterpret_cast<sockaddr*>(&addr), &length);
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

void closeSocket(int fd) {
  ::closesocket(toSocket(fd));
}

long sendRaw(int fd, const void* data, std::size_t size) {
  return ::send(toSocket(fd), static_cast<const char*>(data), static_cast<int>(size), 0);
}

// No local socket pair here: a loopback TCP connection stands in.
bool streamPair(int fds[2]) {
  RawSocket listener(AF_INET, 0, 1);
  if (!listener.ok()) return false;
  const int client = fromSocket(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_storage addr;
  const int length = loopback(AF_INET, listener.port(), addr);
  if (client == -1) return false;
  if (::connect(toSocket(client), reinterpret_cast<sockaddr*>(&addr), length) != 0) {
    closeSocket(client);
    return false;
  }
  const int server = listener.accept();
  if (server == -1) {
    closeSocket(client);
    return false;
  }
  setNonBlocking(client);
  setNonBlocking(server);
  fds[0] = client;
  fds[1] = server;
  return true;
}

bool waitReadable(int fd, int timeoutMs) {
  WSAPOLLFD p = {};
  p.fd = toSocket(fd);
  p.events = POLLRDNORM;
  return ::WSAPoll(&p, 1, timeoutMs) == 1;
}

int holdUdpPort(unsigned int port) {
  const int fd = fromSocket(::socket(AF_INET, SOCK_DGRAM, 0));
  // Without this a later SO_REUSEADDR socket could still share the port.
  const int on = 1;
  ::setsockopt(toSocket(fd), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
               sizeof on);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<u_short>(port));
  if (::bind(toSocket(fd), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  closeSocket(fd);
  return -1;
}

unsigned int loopbackIndex() {
  std::vector<CoAdapterList::Adapter> adapters;
  unsigned long code = 0;
  CoAdapterList::list(adapters, code);
  for (const auto& adapter : adapters)
    if (adapter.loopback) return adapter.ipv6Index;
  return 0;
}

unsigned int ipv6MulticastInterface(int fd) {
  DWORD index = 0;
  int length = sizeof index;
  ::getsockopt(toSocket(fd), IPPROTO_IPV6, IPV6_MULTICAST_IF, reinterpret_cast<char*>(&index),
               &length);
  return index;
}

RawSocket::RawSocket(int family, int port, int backlog, bool anyAddress) {
  fd_ = fromSocket(::socket(family, SOCK_STREAM, 0));
  sockaddr_storage addr;
  const int length = loopback(family, port, addr);
  if (anyAddress) {
    if (family == AF_INET6)
      reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr = in6addr_any;
    else
      reinterpret_cast<sockaddr_in*>(&addr)->sin_addr.s_addr = htonl(INADDR_ANY);
  }
  if (fd_ == -1) return;
  if (::bind(toSocket(fd_), reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
      (backlog >= 0 && ::listen(toSocket(fd_), backlog) != 0)) {
    closeSocket(fd_);
    fd_ = -1;
    return;
  }
  port_ = boundPort(fd_);
}

RawSocket::~RawSocket() {
  if (fd_ >= 0) closeSocket(fd_);
}

int RawSocket::accept(int timeoutMs) const {
  if (!waitReadable(fd_, timeoutMs)) return -1;
  return fromSocket(::accept(toSocket(fd_), nullptr, nullptr));
}

SilentPeer::SilentPeer() : listener_(AF_INET, 0, 0) {
  for (int i = 0; i < 8; ++i) {
    const int fd = fromSocket(::socket(AF_INET, SOCK_STREAM, 0));
    setNonBlocking(fd);
    sockaddr_storage addr;
    const int length = loopback(AF_INET, listener_.port(), addr);
    ::connect(toSocket(fd), reinterpret_cast<sockaddr*>(&addr), length);
    fillers_.push_back(fd);
    WSAPOLLFD p = {};
    p.fd = toSocket(fd);
    p.events = POLLWRNORM;
    if (::WSAPoll(&p, 1, 200) == 0) break;  // this one is already unanswered
  }
}

SilentPeer::~SilentPeer() {
  for (const int fd : fillers_) closeSocket(fd);
}

}  // namespace TcpTestUtil
}  // namespace Kestrix
