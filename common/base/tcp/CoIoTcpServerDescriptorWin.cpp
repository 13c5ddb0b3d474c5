#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/tcp/CoIoTcpServerDescriptor.h"
#include "common/base/tcp/CoSocketHandleWin.h"

namespace Kestrix {

namespace {

using CoSocketHandle::toSocket;

constexpr int FIRST_DYNAMIC_PORT = 49152;
constexpr int LAST_PORT = 65535;

// The address (the family's any-address when empty) on port; 0 when the
// text is no address of the family.
int bindAddress(bool ipv6, const std::string& text, int port, sockaddr_storage& addr) {
  std::memset(&addr, 0, sizeof addr);
  if (ipv6) {
    sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_any;
    in6->sin6_port = htons(static_cast<u_short>(port));
    if (!text.empty() && ::inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr) != 1) return 0;
    return sizeof(sockaddr_in6);
  }
  sockaddr_in* in = reinterpret_cast<sockaddr_in*>(&addr);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = htonl(INADDR_ANY);
  in->sin_port = htons(static_cast<u_short>(port));
  if (!text.empty() && ::inet_pton(AF_INET, text.c_str(), &in->sin_addr) != 1) return 0;
  return sizeof(sockaddr_in);
}

void setIntOption(int fd, int level, int name, int value) {
  ::setsockopt(toSocket(fd), level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace

bool CoIoTcpServerDescriptor::failListening(const char* format, int port) {
  const int fd = id();
  setLastError(IO_SYSTEM_ERROR);
  CO_POST_DEBUG(format, port, fd, lastError().c_str());
  const std::string cause = lastError();
  close();
  setLastError(cause);
  return false;
}

bool CoIoTcpServerDescriptor::initPort(int port, int sendBufSize, int rcvBufSize, int minPort,
                                       int maxPort, bool ipv6, bool fallBack) {
  if (port == 0) {
    port_ = -1;
    return false;
  }
  const bool systemChooses = port == -1 && minPort == -1 && maxPort == -1;
  if (minPort == -1) minPort = FIRST_DYNAMIC_PORT;
  if (maxPort == -1) maxPort = LAST_PORT;
  const bool scanning = systemChooses || (port < 0 && minPort != maxPort);
  const int firstPort = port >= 0 ? port : (port == -1 ? minPort : -port);

  try {
    init();
  } catch (...) {
    return false;
  }

  const int fd = CoSocketHandle::open(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd == -1) {
    const int code = ::WSAGetLastError();
    CO_POST_DEBUG("Could not create IPv%c socket on port '%d'", ipv6 ? '6' : '4', firstPort);
    if (fallBack) {
      setLastError(std::string());
      return initPort(port, sendBufSize, rcvBufSize, minPort, maxPort, !ipv6, false);
    }
    ::WSASetLastError(code);
    setLastError(IO_SYSTEM_ERROR);
    return false;
  }
  setId(fd);
  // An IPv6 listener takes IPv6 traffic only (the default here, said aloud
  // so that disabling IPv4 does disable it).
  if (ipv6) setIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1);
  if (scanning) {
    setReuseAddressSocketOption(false);
  } else {
    // Here SO_REUSEADDR would let this listener share a port another socket
    // holds; a restarted server gets its fixed port without it, so the port
    // is taken exclusively instead, and a port in use stays an error.
    setIntOption(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
  }
  setNoDelaySocketOption(true);
  if (!setNonBlocking(true)) {
    const std::string cause = lastError();
    close();
    setLastError(cause);
    return false;
  }
  if (sendBufSize > 0) setSendBufferSizeSocketOption(sendBufSize);
  if (rcvBufSize > 0) setReceiveBufferSizeSocketOption(rcvBufSize);

  int current = firstPort;
  int bindError = 0;
  bool bound = false;
  for (;;) {
    sockaddr_storage addr;
    const int bindPort = systemChooses && current == firstPort ? 0 : current;
    const int length = bindAddress(ipv6, bindAddress_, bindPort, addr);
    if (length == 0) {
      close();
      setLastError("Not a numeric address: '" + bindAddress_ + "'");
      return false;
    }
    if (::bind(toSocket(fd), reinterpret_cast<sockaddr*>(&addr), length) == 0) {
      bound = true;
      break;
    }
    bindError = ::WSAGetLastError();
    if (!scanning) break;
    if ((bindError != WSAEADDRINUSE && bindError != WSAEACCES) || current >= maxPort) break;
    ++current;
  }
  if (!bound) {
    if (fallBack && bindError == WSAEADDRNOTAVAIL) {
      setLastError(std::string());
      close();
      return initPort(port, sendBufSize, rcvBufSize, minPort, maxPort, !ipv6, false);
    }
    ::WSASetLastError(bindError);
    return failListening("Could not bind to port '%d' [fd:%d]: %s", current);
  }

  if (systemChooses) {
    sockaddr_storage addr;
    int length = sizeof addr;
    if (::getsockname(toSocket(fd), reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
      setLastError(IO_SYSTEM_ERROR);
      CO_POST_DEBUG("Could not retrieve bound socket name: %s", lastError().c_str());
      const std::string cause = lastError();
      close();
      setLastError(cause);
      return false;
    }
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  } else {
    port_ = current;
  }

  if (::listen(toSocket(fd), connQueueSize()) != 0)
    return failListening("Could not listen on port '%d' [fd:%d]: %s", port_);

  const bool ipv4Allowed = !ipv4Disabled();
  CO_POST_DEBUG("Listening for%s%s%straffic on %d [fd:%d]", ipv4Allowed ? " IPv4" : " ",
                ipv4Allowed && ipv6 ? "/" : "", ipv6 ? "IPv6 " : " ", port_, fd);
  return true;
}

}  // namespace Kestrix
