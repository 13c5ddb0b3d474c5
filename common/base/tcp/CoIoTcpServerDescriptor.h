#pragma once
// A listening TCP socket on the any-address: on a fixed port, on the first
// free port of a range, or on a port the system chooses. IPv4 is tried first
// and IPv6 is the fall-back; QV_TCP_DISABLE_IPV4 / QV_TCP_DISABLE_IPV6 (read
// once at start-up) leave a family out, and QV_TCP_CONN_QUEUE_SIZE sets the
// listen queue (100). A failure never throws: the descriptor is invalid and
// lastError() says why.
//
// The socket is non-blocking; CoIoTcpServerHandler accepts from it.

#include "common/base/tcp/CoIoTcpDescriptor.h"

namespace Kestrix {

class CoIoTcpServerDescriptor : public CoIoTcpDescriptor {
 public:
  // port > 0: exactly that port. port -1: a port the system chooses.
  // port < -1: the first free port from -port upwards.
  CoIoTcpServerDescriptor(int port, int sendBufSize, int rcvBufSize);
  // The first free port of [minPort, maxPort] (maxPort -1: up to 65535);
  // no socket at all when minPort is not above 0.
  CoIoTcpServerDescriptor(int minPort, int maxPort, int sendBufSize, int rcvBufSize);
  // On one numeric address (IPv4 or IPv6; an IPv6 one takes IPv6 only), on
  // port, or a port the system chooses for -1.
  CoIoTcpServerDescriptor(const std::string& address, int port, int sendBufSize, int rcvBufSize);

  // The bound port, or -1 (or the requested one) when nothing listens.
  int getPort() const { return port_; }

 private:
  bool initPort(int port, int sendBufSize, int rcvBufSize, int minPort, int maxPort);
  bool initPort(int port, int sendBufSize, int rcvBufSize, int minPort, int maxPort, bool ipv6,
                bool fallBack);
  // Failure after the socket exists: the last error is the system's, the
  // message is posted and the socket closed.
  bool failListening(const char* format, int port);
  static int connQueueSize();
  static bool ipv4Disabled();

  int port_;
  std::string bindAddress_;  // empty: the any-address
};

}  // namespace Kestrix
