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

// Presence, read once at start-up.
const bool gDisableIPv4 = std::getenv("QV_TCP_DISABLE_IPV4") != nullptr;
const bool gDisableIPv6 = std::getenv("QV_TCP_DISABLE_IPV6") != nullptr;

}  // namespace

int CoIoTcpServerDescriptor::connQueueSize() {
  return connQueueSizeVar().get();
}
bool CoIoTcpServerDescriptor::ipv4Disabled() {
  return gDisableIPv4;
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

bool CoIoTcpServerDescriptor::initPort(int port, int sendBufSize, int rcvBufSize, int minPort,
                                       int maxPort) {
  if (gDisableIPv4 && gDisableIPv6) {
    setId(-1);
    setLastError(std::string("No protocol available"));
    return false;
  }
  const bool neither = !gDisableIPv4 && !gDisableIPv6;
  return initPort(port, sendBufSize, rcvBufSize, minPort, maxPort, gDisableIPv4, neither);
}

}  // namespace Kestrix
