#include "common/base/tcp/CoIoTcpServerDescriptor.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/EnvVar.h"
#include "common/base/tcp/CoSocketApi.h"
#include "common/base/tcp/CoSocketError.h"
#include "common/base/tcp/CoSocketOps.h"

namespace Kestrix {
namespace {

constexpr int FIRST_DYNAMIC_PORT = 49152;
constexpr int LAST_PORT = 65535;

EnvVar<int>& connQueueSizeVar() {
  static EnvVar<int> var("QV_TCP_CONN_QUEUE_SIZE", 100);
  return var;
}
// Forking on a connection is not supported here; the variable is only
// registered so that listings show it.
EnvVar<int>& forkOnConnDelayVar() {
  static EnvVar<int> var("QV_TCP_FORK_ON_CONN_DELAY", 0);
  return var;
}
RegEnvVar<int> gRegConnQueueSize(connQueueSizeVar());
RegEnvVar<int> gRegForkOnConnDelay(forkOnConnDelayVar());

// Presence, read once.
bool disableIPv4() {
  static const bool disabled = std::getenv("QV_TCP_DISABLE_IPV4") != nullptr;
  return disabled;
}
bool disableIPv6() {
  static const bool disabled = std::getenv("QV_TCP_DISABLE_IPV6") != nullptr;
  return disabled;
}

// The address (the family's any-address when empty) on port; 0 when the
// text is no address of the family.
int bindAddress(bool ipv6, const std::string& text, int port, sockaddr_storage& addr) {
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

int CoIoTcpServerDescriptor::connQueueSize() {
  return connQueueSizeVar().get();
}
bool CoIoTcpServerDescriptor::ipv4Disabled() {
  return disableIPv4();
}

CoIoTcpServerDescriptor::CoIoTcpServerDescriptor(int port, int sendBufSize, int rcvBufSize)
    : port_(port) {
  initPort(port, sendBufSize, rcvBufSize, -1, -1);
}

CoIoTcpServerDescriptor::CoIoTcpServerDescriptor(int minPort, int maxPort, int sendBufSize,
                                                 int rcvBufSize)
    : port_(-1) {
  initPort(minPort > 0 ? -1 : 0, sendBufSize, rcvBufSize, minPort, maxPort);
}

CoIoTcpServerDescriptor::CoIoTcpServerDescriptor(const std::string& address, int port,
                                                 int sendBufSize, int rcvBufSize)
    : port_(port), bindAddress_(address) {
  const bool ipv6 = address.find(':') != std::string::npos;
  initPort(port, sendBufSize, rcvBufSize, -1, -1, ipv6, false);
}

bool CoIoTcpServerDescriptor::initPort(int port, int sendBufSize, int rcvBufSize, int minPort,
                                       int maxPort) {
  if (disableIPv4() && disableIPv6()) {
    setId(-1);
    setLastError(std::string("No protocol available"));
    return false;
  }
  const bool neither = !disableIPv4() && !disableIPv6();
  return initPort(port, sendBufSize, rcvBufSize, minPort, maxPort, disableIPv4(), neither);
}

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

  const int fd = CoSocketOps::open(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd == -1) {
    const int code = CoSocketError::last();
    CO_POST_DEBUG("Could not create IPv%c socket on port '%d'", ipv6 ? '6' : '4', firstPort);
    if (fallBack) {
      setLastError(std::string());
      return initPort(port, sendBufSize, rcvBufSize, minPort, maxPort, !ipv6, false);
    }
    CoSocketError::setLast(code);
    setLastError(IO_SYSTEM_ERROR);
    return false;
  }
  setId(fd);
  // An IPv6 listener takes IPv6 traffic only, as on systems where that is the
  // default, so that disabling IPv4 does disable it.
  if (ipv6) CoSocketOps::setOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1);
  // Address reuse would let a scan take a port that only lingers in
  // TIME_WAIT; a fixed port wants it so that a restarted server gets its
  // port, unless the system claims that port its own way.
  if (scanning || !CoSocketOps::claimFixedPort(fd)) setReuseAddressSocketOption(!scanning);
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
    if (CoSocketOps::bind(fd, addr, length) == 0) {
      bound = true;
      break;
    }
    bindError = CoSocketError::last();
    if (!scanning) break;
    if ((bindError != CoSocketError::ADDRESS_IN_USE && bindError != CoSocketError::ACCESS_DENIED) ||
        current >= maxPort)
      break;
    ++current;
  }
  if (!bound) {
    if (fallBack && bindError == CoSocketError::ADDRESS_NOT_AVAILABLE) {
      setLastError(std::string());
      close();
      return initPort(port, sendBufSize, rcvBufSize, minPort, maxPort, !ipv6, false);
    }
    CoSocketError::setLast(bindError);
    return failListening("Could not bind to port '%d' [fd:%d]: %s", current);
  }

  if (systemChooses) {
    sockaddr_storage addr;
    int length = 0;
    if (CoSocketOps::localAddress(fd, addr, length) != 0) {
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

  if (CoSocketOps::listen(fd, connQueueSize()) != 0)
    return failListening("Could not listen on port '%d' [fd:%d]: %s", port_);

  const bool ipv4Allowed = !ipv4Disabled();
  CO_POST_DEBUG("Listening for%s%s%straffic on %d [fd:%d]", ipv4Allowed ? " IPv4" : " ",
                ipv4Allowed && ipv6 ? "/" : "", ipv6 ? "IPv6 " : " ", port_, fd);
  return true;
}

}  // namespace Kestrix
