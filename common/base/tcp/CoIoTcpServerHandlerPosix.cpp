#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/tcp/CoIoTcpServerHandler.h"
#include "common/base/tcp/CoSocketError.h"

namespace Kestrix {

bool CoIoTcpServerHandler::handleRead() {
  sockaddr_in6 peer;  // 28 bytes: room for either family
  socklen_t length = sizeof peer;
  // Accepted sockets are non-blocking like the listener, as the descriptor's
  // loops expect (here they would not inherit it).
  const int socket = ::accept4(descriptor_.id(), reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
  starved_ =
      socket < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM);
  if (socket < 0) {
    // Nothing left to accept is the normal end of a burst, not a failure.
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      CO_POST_DEBUG("Can't accept client connection: %s.", CoSocketError::text(errno).c_str());
    return false;
  }
  CO_POST_DEBUG("Connection successful.");
  if (forkOnConnection()) QV_ASSERT_FLUSH(!"Fork on connection not supported on windows!");
  return handleSocket(socket);
}

}  // namespace Kestrix
