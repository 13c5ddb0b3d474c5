#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/tcp/CoIoTcpDescriptor.h"
#include "common/base/tcp/CoSocketError.h"
#include "common/base/tcp/CoSocketHandleWin.h"

namespace Kestrix {
namespace {

using CoSocketHandle::toSocket;

struct AddrInfoList {
  addrinfo* head = nullptr;
  ~AddrInfoList() {
    if (head) ::freeaddrinfo(head);
  }
};

// Name resolution needs a started socket library. The helpers that resolve
// may be called before anything connects, so the process takes one
// reference of its own for them the first time.
void startForResolver() {
  static std::once_flag once;
  std::call_once(once, [] { CoIoTcpDescriptor::init(); });
}

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
bool numericHost(const sockaddr* addr, size_t length, char* out, size_t size, int& code) {
  code = ::getnameinfo(addr, static_cast<socklen_t>(length), out, static_cast<DWORD>(size), nullptr,
                       0, NI_NUMERICHOST);
  return code == 0;
}

// The numeric address that query (getpeername or getsockname) gives; errors
// are posted and leave ip unchanged.
void queryAddress(int fd, int(WSAAPI* query)(SOCKET, sockaddr*, int*), std::string& ip) {
  sockaddr_storage addr;  // 128 bytes
  int length = sizeof addr;
  if (query(toSocket(fd), reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    CO_POST_ERROR("%s", CoSocketError::lastText().c_str());
    return;
  }
  char text[256];
  int code = 0;
  if (!numericHost(reinterpret_cast<sockaddr*>(&addr), static_cast<size_t>(length), text,
                   sizeof text, code)) {
    CO_POST_ERROR("%s", CoSocketError::resolverText(code).c_str());
    return;
  }
  ip = text;
}

bool setIntOption(int fd, int level, int name, int value) {
  return ::setsockopt(toSocket(fd), level, name, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
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
  for (const addrinfo* ai = list.head; ai != nullptr; ai = ai->ai_next) {
    setLastError(std::string());
    if (tcpDebug()) {
      CO_POST_DEBUG("Trying family %d with addr (len %d):", ai->ai_family,
                    static_cast<int>(ai->ai_addrlen));
      CO_POST_DEBUG("%s", hexBytes(ai->ai_addr, ai->ai_addrlen).c_str());
    }
    const int fd = CoSocketHandle::open(ai->ai_family, SOCK_STREAM, 0);
    if (fd == -1) {
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
    const SOCKET socket = toSocket(fd);
    if (::connect(socket, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0) {
      CO_POST_DEBUG("Connected to %s:%d [fd:%d]", remoteHost, port, fd);
      return true;
    }
    if (::WSAGetLastError() == WSAEWOULDBLOCK) {
      // A refused connect shows in the exception set here, not as writable.
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(socket, &writable);
      FD_SET(socket, &failed);
      timeval timeout = {connectionTimeout, 0};
      const int ready = ::select(0, nullptr, &writable, &failed, &timeout);
      if (ready == 0) {
        setLastError(IO_TIMED_OUT);
      } else if (ready == SOCKET_ERROR || FD_ISSET(socket, &failed)) {
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
  const int length = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  const int n = ::recv(toSocket(id()), static_cast<char*>(buf), length, 0);
  if (n == SOCKET_ERROR) {
    const int code = ::WSAGetLastError();
    if (code == WSAEWOULDBLOCK || code == WSAEINTR) return 0;
    setLastError(IO_SYSTEM_ERROR);
    return -1;
  }
  if (n == 0) {
    setLastError(IO_CONNECTION_RESET);
    return -1;
  }
  return n;
}

int CoIoTcpDescriptor::nonBlockingWrite(const void* buf, unsigned int size) {
  QV_ASSERT(isValid());
  const int length = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  const int n = ::send(toSocket(id()), static_cast<const char*>(buf), length, 0);
  if (n == SOCKET_ERROR) {
    const int code = ::WSAGetLastError();
    if (code == WSAEWOULDBLOCK || code == WSAEINTR) return 0;
    setLastError(IO_SYSTEM_ERROR);
    return -1;
  }
  return n;
}

void CoIoTcpDescriptor::getPeerIP(std::string& ip) const {
  queryAddress(id(), ::getpeername, ip);
}

void CoIoTcpDescriptor::getSocketIP(std::string& ip) const {
  queryAddress(id(), ::getsockname, ip);
}

bool CoIoTcpDescriptor::setNonBlocking(bool on) {
  u_long mode = on ? 1 : 0;
  if (::ioctlsocket(toSocket(id()), FIONBIO, &mode) == 0) return true;
  CO_POST_DEBUG("Couldn't set socket as nonblocking: %s", setLastError(IO_SYSTEM_ERROR));
  return false;
}

void CoIoTcpDescriptor::setNoDelaySocketOption(bool on) {
  if (setIntOption(id(), IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0)) return;
  CO_POST_DEBUG("Unable to set socket option: %s", setLastError(IO_SYSTEM_ERROR));
}

void CoIoTcpDescriptor::setReuseAddressSocketOption(bool on) {
  if (setIntOption(id(), SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0)) return;
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
  startForResolver();
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
      if (!numericHost(ai->ai_addr, ai->ai_addrlen, text, sizeof text, ntopCode)) continue;
      return text;
    }
  }
  CO_THROW(CoSocketError::hostNotFoundText().c_str(), "no usable address for %s", host ? host : "");
}

bool CoIoTcpDescriptor::getLoopbackAddrFromHostName(const char* host, std::string& ip) {
  if (host == nullptr) return false;
  startForResolver();
  AddrInfoList list;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;  // one entry per address
  if (::getaddrinfo(host, nullptr, &hints, &list.head) != 0) return false;
  std::string first;
  for (const addrinfo* ai = list.head; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET) {
      const in_addr& in = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
      if ((ntohl(in.s_addr) >> 24) != 127) return false;
    } else if (ai->ai_family == AF_INET6) {
      const in6_addr& in6 = reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr;
      if (!IN6_IS_ADDR_LOOPBACK(&in6)) return false;
    } else {
      continue;
    }
    char text[INET6_ADDRSTRLEN];
    int code = 0;
    if (first.empty() && numericHost(ai->ai_addr, ai->ai_addrlen, text, sizeof text, code))
      first = text;
  }
  if (first.empty()) return false;
  ip = first;
  return true;
}

std::string CoIoTcpDescriptor::getHostNameFromIpAddr(const char* ip, bool nameRequired) {
  startForResolver();
  if (tcpDebug()) CO_POST_DEBUG("Calling getaddrinfo( %s ).", ip ? ip : "(null)");
  AddrInfoList list;
  if (::getaddrinfo(ip, nullptr, nullptr, &list.head) != 0) return std::string();
  const int flags = NI_NOFQDN | (nameRequired ? NI_NAMEREQD : 0);
  for (const addrinfo* ai = list.head; ai != nullptr; ai = ai->ai_next) {
    char host[NI_MAXHOST];
    const socklen_t length = static_cast<socklen_t>(ai->ai_addrlen);
    if (::getnameinfo(ai->ai_addr, length, host, sizeof host, nullptr, 0, flags) == 0) return host;
    // A lookup that cannot reach a name server may fail outright; without a
    // required name the address itself is the answer.
    if (!nameRequired &&
        ::getnameinfo(ai->ai_addr, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0)
      return host;
  }
  CO_THROW(CoSocketError::hostNotFoundText().c_str(), "no host name for %s", ip ? ip : "");
}

CoIoTcpDescriptor::AddressType CoIoTcpDescriptor::getAddrType(const char* text) {
  if (text == nullptr || *text == 0) return ADDR_INVALID;
  startForResolver();
  unsigned char addr[sizeof(in6_addr)];
  if (::inet_pton(AF_INET, text, addr) == 1) return ADDR_IPV4;
  if (::inet_pton(AF_INET6, text, addr) == 1) return ADDR_IPV6;
  if (std::strlen(text) < 256) return ADDR_HOSTNAME;
  CO_POST_WARNING("Invalid host name or address: '%s'", text);
  return ADDR_INVALID;
}

}  // namespace Kestrix
