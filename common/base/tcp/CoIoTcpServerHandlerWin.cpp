#include <winsock2.h>
#include <ws2tcpip.h>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/tcp/CoIoTcpServerHandler.h"
#include "common/base/tcp/CoSocketError.h"
#include "common/base/tcp/CoSocketHandleWin.h"

namespace Kestrix {

bool CoIoTcpServerHandler::handleRead() {
  sockaddr_in6 peer;  // 28 bytes: room for either family
  int length = sizeof peer;
  // An accepted socket takes the listener's non-blocking mode, as the
  // descriptor's loops expect, and is not inherited by child processes.
  const SOCKET accepted = ::accept(CoSocketHandle::toSocket(descriptor_.id()),
                                   reinterpret_cast<sockaddr*>(&peer), &length);
  const int code = accepted == INVALID_SOCKET ? ::WSAGetLastError() : 0;
  starved_ = code == WSAEMFILE || code == WSAENOBUFS;
  if (accepted == INVALID_SOCKET) {
    // Nothing left to accept is the normal end of a burst, not a failure.
    if (code != WSAEWOULDBLOCK)
      CO_POST_DEBUG("Can't accept client connection: %s.", CoSocketError::text(code).c_str());
    return false;
  }
  ::SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
  const int socket = CoSocketHandle::fromSocket(accepted);
  if (socket == -1) {
    ::closesocket(accepted);
    return false;
  }
  CO_POST_DEBUG("Connection successful.");
  if (forkOnConnection()) QV_ASSERT_FLUSH(!"Fork on connection not supported on windows!");
  return handleSocket(socket);
}

}  // namespace Kestrix
