#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/tcp/CoIoDescriptor.h"
#include "common/base/tcp/CoSocketError.h"

namespace Kestrix {

CoIoDescriptor::IoError CoIoDescriptor::getIoError() {
  const int code = errno;
  switch (code) {
    case ENOTCONN:
      return IO_NOT_CONNECTED;
    case EINTR:
      return IO_INTERRUPTED;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return IO_WOULD_BLOCK;
    case ECONNABORTED:
      return IO_CONNECTION_ABORTED;
    case ECONNRESET:
      return IO_CONNECTION_RESET;
    case ETIMEDOUT:
      return IO_TIMED_OUT;
    case ECONNREFUSED:
      return IO_CONNECTION_REFUSED;
    default:
      break;
  }
  CO_POST_NOTICE("Unexpected WinSock error: %x", static_cast<unsigned int>(code));
  // Callers read the same error again for its text.
  errno = code;
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
      text = CoSocketError::text(EINTR);
      break;
    case IO_WOULD_BLOCK:
      text = CoSocketError::text(EWOULDBLOCK);
      break;
    case IO_NOT_CONNECTED:
      text = CoSocketError::text(ENOTCONN);
      break;
    case IO_CONNECTION_ABORTED:
      text = CoSocketError::text(ECONNABORTED);
      break;
    case IO_CONNECTION_RESET:
      text = CoSocketError::text(ECONNRESET);
      break;
    case IO_TIMED_OUT:
      text = CoSocketError::text(ETIMEDOUT);
      break;
    case IO_CONNECTION_REFUSED:
      text = CoSocketError::text(ECONNREFUSED);
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
