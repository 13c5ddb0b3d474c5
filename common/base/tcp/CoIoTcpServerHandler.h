#pragma once
// The I/O handler that owns a listening socket for a server-side event
// loop: when the loop finds the socket readable, handleRead() accepts one
// connection, wraps it in a CoIoTcpDescriptor and gives it to the subclass
// (handleConnection), which owns it from then on.

#include <string>

#include "common/base/tcp/CoIoDescriptor.h"
#include "common/base/tcp/CoIoTcpServerDescriptor.h"

namespace Kestrix {

class CoIoTcpServerHandler : public CoIoHandler {
 public:
  CoIoTcpServerHandler(int port, int sendBufSize, int rcvBufSize);
  CoIoTcpServerHandler(int minPort, int maxPort, int sendBufSize, int rcvBufSize);
  CoIoTcpServerHandler(const std::string& address, int port, int sendBufSize, int rcvBufSize);

  CoIoDescriptor* descriptor() override { return &descriptor_; }
  const CoIoDescriptor* descriptor() const override { return &descriptor_; }
  // Accepts one connection; false when none could be accepted.
  bool handleRead() override;
  // Whether the last accept failed for want of descriptors or memory: the
  // connection then stays queued and the socket readable, so a loop that
  // asks again at once spins until one is free.
  bool acceptStarved() const { return starved_; }
  // Stops (or resumes) asking for readability; the owner tells its loop.
  void pauseAccepting(bool paused);
  ~CoIoTcpServerHandler() override = default;
  // Wraps an accepted socket and hands it on.
  virtual bool handleSocket(int socket);
  virtual bool handleConnection(CoIoTcpDescriptor* connection) = 0;
  // Forking a process per connection is not supported on this platform.
  virtual bool forkOnConnection() { return false; }
  virtual void preForkOnConnection() {}
  virtual void postForkOnConnection(bool) {}

 protected:
  int getPort() const { return descriptor_.getPort(); }

 private:
  CoIoTcpServerDescriptor descriptor_;
  bool starved_ = false;
};

}  // namespace Kestrix
