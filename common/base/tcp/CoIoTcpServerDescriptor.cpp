#include "common/base/tcp/CoIoTcpServerDescriptor.h"

#include <cstdlib>

#include "common/base/loggerBase/EnvVar.h"

namespace Kestrix {
namespace {

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

}  // namespace Kestrix
