#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/tcp/CoIoTcpDescriptor.h"
#include "common/base/tcp/CoSocketError.h"
#include "common/base/tcp/CoSocketOps.h"

namespace Kestrix {
namespace {

struct AddrInfoList {
  addrinfo* head = nullptr;
  ~AddrInfoList() {
    if (head) ::freeaddrinfo(head);
  }
};

std::string hexBytes(const void* data, size_t size) {
  std::string out;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  char cell[4];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(cell, sizeof cell, "%02x ", bytes[i]);
    out += cell;
  }
  return out;
}

// Numeric host text of a socket address; false with the resolver's code.
bool numericHost(const sockaddr* addr, socklen_t length, char* out, size_t size, int& code) {
  code = ::getnameinfo(addr, length, out, static_cast<socklen_t>(size), nullptr, 0, NI_NUMERICHOST);
  return code == 0;
}

// The numeric address that query (getpeername or getsockname) gives; errors
// are posted and leave ip unchanged.
void queryAddress(int fd, int (*query)(int, sockaddr*, socklen_t*), std::string& ip) {
  sockaddr_storage addr;  // 128 bytes
  socklen_t length = sizeof addr;
  if (query(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    CO_POST_ERROR("%s", CoSocketError::lastText().c_str());
    return;
  }
  char text[256];
  int code = 0;
  if (!numericHost(reinterpret_cast<sockaddr*>(&addr), length, text, sizeof text, code)) {
    CO_POST_ERROR("%s", CoSocketError::resolverText(code).c_str());
    return;
  }
  ip = text;
}

}  // namespace

CoIoTcpDescriptor::CoIoTcpDescriptor(const char* remoteHost, int port, int sendBufSize,
                                     int rcvBufSize, int connectionTimeout) {
  QV_ASSERT(remoteHost);
  QV_ASSERT(port >= 0);
  QV_ASSERT(sendBufSize >= 0);
  QV_ASSERT(rcvBufSize >= 0);
  QV_ASSERT(connectionTimeout >= 0);
  init();
  if (remoteHost == nullptr) {
    setLastError(IO_HOST_NOT_FOUND);
    return;
  }
  connectTo(remoteHost, port, sendBufSize, rcvBufSize, connectionTimeout);
}

bool CoIoTcpDescriptor::connectTo(const char* remoteHost, int port, int sendBufSize, int rcvBufSize,
                                  int connectionTimeout) {
  char portText[16];
  std::snprintf(portText, sizeof portText, "%d", port);
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  if (tcpDebug()) CO_POST_DEBUG("Calling getaddrinfo( %s, %s ).", remoteHost, portText);
  AddrInfoList list;
  if (::getaddrinfo(remoteHost, portText, &hints, &list.head) != 0) {
    setLastError(IO_HOST_NOT_FOUND);
    return false;
  }
  const int waitMs = connectionTimeout >= INT_MAX / 1000 ? INT_MAX : connectionTimeout * 1000;
  for (const addrinfo* ai = list.head; ai != nullptr; ai = ai->ai_next) {
    setLastError(std::string());
    if (tcpDebug()) {
      CO_POST_DEBUG("Trying family %d with addr (len %d):", ai->ai_family,
                    static_cast<int>(ai->ai_addrlen));
      CO_POST_DEBUG("%s", hexBytes(ai->ai_addr, ai->ai_addrlen).c_str());
    }
    const int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      setLastError(IO_SYSTEM_ERROR);
      continue;
    }
    setId(fd);
    setNoDelaySocketOption(true);
    if (sendBufSize > 0) setSendBufferSizeSocketOption(sendBufSize);
    if (rcvBufSize > 0) setReceiveBufferSizeSocketOption(rcvBufSize);
    if (!setNonBlocking(true)) {
      close();
      continue;
    }
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
      CO_POST_DEBUG("Connected to %s:%d [fd:%d]", remoteHost, port, fd);
      return true;
    }
    if (errno == EINPROGRESS || errno == EAGAIN) {
      const int ready = CoSocketOps::wait(fd, false, true, waitMs);
      int soError = 0;
      socklen_t length = sizeof soError;
      if (ready == 0) {
        setLastError(IO_TIMED_OUT);
      } else if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0 ||
                 soError != 0) {
        setLastError(IO_CONNECTION_REFUSED);
      } else {
        CO_POST_DEBUG("Connected to %s:%d [fd:%d]", remoteHost, port, fd);
        return true;
      }
    } else {
      setLastError(IO_SYSTEM_ERROR);
    }
    const std::string cause = lastError();
    close();
    setLastError(cause);
  }
  return false;
}

int CoIoTcpDescriptor::nonBlockingRead(void* buf, unsigned int size) {
  if (size == 0) return 0;
  QV_ASSERT(isValid());
  const ssize_t n = ::recv(id(), buf, size, 0);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    setLastError(IO_SYSTEM_ERROR);
    return -1;
  }
  if (n == 0) {
    setLastError(IO_CONNECTION_RESET);
    return -1;
  }
  return static_cast<int>(n);
}

int CoIoTcpDescriptor::nonBlockingWrite(const void* buf, unsigned int size) {
  QV_ASSERT(isValid());
  // A peer that has gone gives EPIPE here, not SIGPIPE.
  const ssize_t n = ::send(id(), buf, size, MSG_NOSIGNAL);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    setLastError(IO_SYSTEM_ERROR);
    return -1;
  }
  return static_cast<int>(n);
}

void CoIoTcpDescriptor::getPeerIP(std::string& ip) const {
  queryAddress(id(), ::getpeername, ip);
}

void CoIoTcpDescriptor::getSocketIP(std::string& ip) const {
  queryAddress(id(), ::getsockname, ip);
}

bool CoIoTcpDescriptor::setNonBlocking(bool on) {
  const int flags = ::fcntl(id(), F_GETFL);
  if (flags >= 0 && ::fcntl(id(), F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0)
    return true;
  CO_POST_DEBUG("Couldn't set socket as nonblocking: %s", setLastError(IO_SYSTEM_ERROR));
  return false;
}

void CoIoTcpDescriptor::setNoDelaySocketOption(bool on) {
  const int value = on ? 1 : 0;
  if (::setsockopt(id(), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == 0) return;
  CO_POST_DEBUG("Unable to set socket option: %s", setLastError(IO_SYSTEM_ERROR));
}

void CoIoTcpDescriptor::setReuseAddressSocketOption(bool on) {
  const int value = on ? 1 : 0;
  if (::setsockopt(id(), SOL_SOCKET, SO_REUSEADDR, &value, sizeof value) == 0) return;
  CO_POST_DEBUG("Can't set socket option: '%s'.", setLastError(IO_SYSTEM_ERROR));
}

std::string CoIoTcpDescriptor::getHostName() {
  init();
  char buffer[128];
  if (::gethostname(buffer, sizeof buffer) != 0)
    CO_THROW(getLastSocketErrorStr().c_str(), "gethostname");
  buffer[sizeof buffer - 1] = 0;
  std::string name = buffer;
  cutHostName(name);
  return name;
}

std::string CoIoTcpDescriptor::getIpAddrFromHostName(const char* host) {
  if (tcpDebug()) CO_POST_DEBUG("Calling getaddrinfo( %s ).", host ? host : "(null)");
  AddrInfoList list;
  const int code = ::getaddrinfo(host, nullptr, nullptr, &list.head);
  if (code != 0)
    CO_THROW(CoSocketError::resolverText(code).c_str(), "getaddrinfo( %s )", host ? host : "");
  for (const addrinfo* ai = list.head; ai != nullptr; ai = ai->ai_next) {
    char text[65];
    int ntopCode = 0;
    if (ai->ai_family == AF_INET6) {
      if (!numericHost(ai->ai_addr, ai->ai_addrlen, text, sizeof text, ntopCode)) continue;
      if (std::strncmp(text, "fe80", 4) == 0 || std::strcmp(text, "::1") == 0) continue;
      return text;
    }
    if (ai->ai_family == AF_INET) {
      const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
      if (in->sin_addr.s_addr == htonl(INADDR_LOOPBACK)) continue;
      if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) continue;
      return text;
    }
  }
  CO_THROW(CoSocketError::hostNotFoundText().c_str(), "no usable address for %s", host ? host : "");
}

bool CoIoTcpDescriptor::getLoopbackAddrFromHostName(const char* host, std::string& ip) {
  if (host == nullptr) return false;
  AddrInfoList list;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;  // one entry per address
  if (::getaddrinfo(host, nullptr, &hints, &list.head) != 0) return false;
  std::string first;
  for (const addrinfo* ai = list.head; ai != nullptr; ai = ai->ai_next) {
    char text[INET6_ADDRSTRLEN];
    const void* address;
    if (ai->ai_family == AF_INET) {
      const in_addr& in = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
      if ((ntohl(in.s_addr) >> 24) != 127) return false;
      address = &in;
    } else if (ai->ai_family == AF_INET6) {
      const in6_addr& in6 = reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr;
      if (!IN6_IS_ADDR_LOOPBACK(&in6)) return false;
      address = &in6;
    } else {
      continue;
    }
    if (first.empty() && ::inet_ntop(ai->ai_family, address, text, sizeof text) != nullptr)
      first = text;
  }
  if (first.empty()) return false;
  ip = first;
  return true;
}

std::string CoIoTcpDescriptor::getHostNameFromIpAddr(const char* ip, bool nameRequired) {
  if (tcpDebug()) CO_POST_DEBUG("Calling getaddrinfo( %s ).", ip ? ip : "(null)");
  AddrInfoList list;
  if (::getaddrinfo(ip, nullptr, nullptr, &list.head) != 0) return std::string();
  const int flags = NI_NOFQDN | (nameRequired ? NI_NAMEREQD : 0);
  for (const addrinfo* ai = list.head; ai != nullptr; ai = ai->ai_next) {
    char host[NI_MAXHOST];
    if (::getnameinfo(ai->ai_addr, ai->ai_addrlen, host, sizeof host, nullptr, 0, flags) == 0)
      return host;
    // Here a name lookup that cannot reach a name server fails outright;
    // without a required name the address itself is the answer, as where
    // the lookup falls back by itself.
    if (!nameRequired && ::getnameinfo(ai->ai_addr, ai->ai_addrlen, host, sizeof host, nullptr, 0,
                                       NI_NUMERICHOST) == 0)
      return host;
  }
  CO_THROW(CoSocketError::hostNotFoundText().c_str(), "no host name for %s", ip ? ip : "");
}

CoIoTcpDescriptor::AddressType CoIoTcpDescriptor::getAddrType(const char* text) {
  if (text == nullptr || *text == 0) return ADDR_INVALID;
  unsigned char addr[sizeof(in6_addr)];
  if (::inet_pton(AF_INET, text, addr) == 1) return ADDR_IPV4;
  if (::inet_pton(AF_INET6, text, addr) == 1) return ADDR_IPV6;
  if (std::strlen(text) < 256) return ADDR_HOSTNAME;
  CO_POST_WARNING("Invalid host name or address: '%s'", text);
  return ADDR_INVALID;
}

}  // namespace Kestrix
