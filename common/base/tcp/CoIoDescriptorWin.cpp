#include <winsock2.h>

#include <algorithm>
#include <cstring>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/tcp/CoIoDescriptor.h"
#include "common/base/tcp/CoSocketError.h"

namespace Kestrix {

CoIoDescriptor::IoError CoIoDescriptor::getIoError() {
  const int code = ::WSAGetLastError();
  switch (code) {
    case WSAENOTCONN:
      return IO_NOT_CONNECTED;
    case WSAEINTR:
      return IO_INTERRUPTED;
    case WSAEWOULDBLOCK:
      return IO_WOULD_BLOCK;
    case WSAECONNABORTED:
      return IO_CONNECTION_ABORTED;
    case WSAECONNRESET:
      return IO_CONNECTION_RESET;
    case WSAETIMEDOUT:
      return IO_TIMED_OUT;
    case WSAECONNREFUSED:
      return IO_CONNECTION_REFUSED;
    case WSAHOST_NOT_FOUND:
      return IO_HOST_NOT_FOUND;
    default:
      break;
  }
  CO_POST_NOTICE("Unexpected WinSock error: %x", static_cast<unsigned int>(code));
  // Callers read the same error again for its text.
  ::WSASetLastError(code);
  return IO_SYSTEM_ERROR;
}

void CoIoDescriptor::getIoError(IoError error, char* buf, int size) {
  if (buf == nullptr || size <= 0) return;
  std::string text;
  switch (error) {
    case IO_NO_ERROR:
      break;
    case IO_SYSTEM_ERROR:
      text = CoSocketError::lastText();
      break;
    case IO_INTERRUPTED:
      text = CoSocketError::text(WSAEINTR);
      break;
    case IO_WOULD_BLOCK:
      text = CoSocketError::text(WSAEWOULDBLOCK);
      break;
    case IO_NOT_CONNECTED:
      text = CoSocketError::text(WSAENOTCONN);
      break;
    case IO_CONNECTION_ABORTED:
      text = CoSocketError::text(WSAECONNABORTED);
      break;
    case IO_CONNECTION_RESET:
      text = CoSocketError::text(WSAECONNRESET);
      break;
    case IO_TIMED_OUT:
      text = CoSocketError::text(WSAETIMEDOUT);
      break;
    case IO_CONNECTION_REFUSED:
      text = CoSocketError::text(WSAECONNREFUSED);
      break;
    case IO_HOST_NOT_FOUND:
      text = CoSocketError::hostNotFoundText();
      break;
  }
  const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
  std::memcpy(buf, text.data(), n);
  buf[n] = 0;
}

}  // namespace Kestrix
