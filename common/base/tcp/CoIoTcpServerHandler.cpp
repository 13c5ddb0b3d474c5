#include "common/base/tcp/CoIoTcpServerHandler.h"

namespace Kestrix {
namespace {

// The kind of handler the server-side event loop sees for a listener.
constexpr int LISTENER_HANDLER_TYPE = 5;
// The loop's read bit: a paused listener waits for errors only.
constexpr int READ_EVENT = 1;

}  // namespace

CoIoTcpServerHandler::CoIoTcpServerHandler(int port, int sendBufSize, int rcvBufSize)
    : CoIoHandler(LISTENER_HANDLER_TYPE), descriptor_(port, sendBufSize, rcvBufSize) {}

CoIoTcpServerHandler::CoIoTcpServerHandler(int minPort, int maxPort, int sendBufSize,
                                           int rcvBufSize)
    : CoIoHandler(LISTENER_HANDLER_TYPE), descriptor_(minPort, maxPort, sendBufSize, rcvBufSize) {}

CoIoTcpServerHandler::CoIoTcpServerHandler(const std::string& address, int port, int sendBufSize,
                                           int rcvBufSize)
    : CoIoHandler(LISTENER_HANDLER_TYPE), descriptor_(address, port, sendBufSize, rcvBufSize) {}

void CoIoTcpServerHandler::pauseAccepting(bool paused) {
  setHandlerType(paused ? LISTENER_HANDLER_TYPE & ~READ_EVENT : LISTENER_HANDLER_TYPE);
}

bool CoIoTcpServerHandler::handleSocket(int socket) {
  return handleConnection(new CoIoTcpDescriptor(socket));
}

}  // namespace Kestrix
