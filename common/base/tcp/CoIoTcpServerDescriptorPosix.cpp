#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/tcp/CoIoTcpServerDescriptor.h"

namespace Kestrix {

namespace {

constexpr int FIRST_DYNAMIC_PORT = 49152;
constexpr int LAST_PORT = 65535;

// The address (the family's any-address when empty) on port; 0 when the
// text is no address of the family.
socklen_t bindAddress(bool ipv6, const std::string& text, int port, sockaddr_storage& addr) {
  std::memset(&addr, 0, sizeof addr);
  if (ipv6) {
    sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_any;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    if (!text.empty() && ::inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr) != 1) return 0;
    return sizeof(sockaddr_in6);
  }
  sockaddr_in* in = reinterpret_cast<sockaddr_in*>(&addr);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = htonl(INADDR_ANY);
  in->sin_port = htons(static_cast<uint16_t>(port));
  if (!text.empty() && ::inet_pton(AF_INET, text.c_str(), &in->sin_addr) != 1) return 0;
  return sizeof(sockaddr_in);
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

  const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    const int code = errno;
    CO_POST_DEBUG("Could not create IPv%c socket on port '%d'", ipv6 ? '6' : '4', firstPort);
    if (fallBack) {
      setLastError(std::string());
      return initPort(port, sendBufSize, rcvBufSize, minPort, maxPort, !ipv6, false);
    }
    errno = code;
    setLastError(IO_SYSTEM_ERROR);
    return false;
  }
  setId(fd);
  // An IPv6 listener takes IPv6 traffic only, as on systems where that is the
  // default, so that disabling IPv4 does disable it.
  if (ipv6) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  }
  // Address reuse would let a scan take a port that only lingers in
  // TIME_WAIT; a fixed port wants it so that a restarted server gets its port.
  setReuseAddressSocketOption(!scanning);
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
    const socklen_t length = bindAddress(ipv6, bindAddress_, bindPort, addr);
    if (length == 0) {
      close();
      setLastError("Not a numeric address: '" + bindAddress_ + "'");
      return false;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), length) == 0) {
      bound = true;
      break;
    }
    bindError = errno;
    if (!scanning) break;
    if ((bindError != EADDRINUSE && bindError != EACCES) || current >= maxPort) break;
    ++current;
  }
  if (!bound) {
    if (fallBack && bindError == EADDRNOTAVAIL) {
      setLastError(std::string());
      close();
      return initPort(port, sendBufSize, rcvBufSize, minPort, maxPort, !ipv6, false);
    }
    errno = bindError;
    return failListening("Could not bind to port '%d' [fd:%d]: %s", current);
  }

  if (systemChooses) {
    sockaddr_storage addr;
    socklen_t length = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
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

  if (::listen(fd, connQueueSize()) != 0)
    return failListening("Could not listen on port '%d' [fd:%d]: %s", port_);

  const bool ipv4Allowed = !ipv4Disabled();
  CO_POST_DEBUG("Listening for%s%s%straffic on %d [fd:%d]", ipv4Allowed ? " IPv4" : " ",
                ipv4Allowed && ipv6 ? "/" : "", ipv6 ? "IPv6 " : " ", port_, fd);
  return true;
}

}  // namespace Kestrix
