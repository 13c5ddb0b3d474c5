#include <netdb.h>

#include <cerrno>
#include <cstring>

#include "common/base/tcp/CoSocketError.h"

namespace Kestrix {
namespace CoSocketError {

const int CONNECTION_REFUSED = ECONNREFUSED;
const int HOST_UNREACHABLE = EHOSTUNREACH;
const int CONNECTION_ABORTED = ECONNABORTED;
const int CONNECTION_RESET = ECONNRESET;
const int ADDRESS_IN_USE = EADDRINUSE;
const int ADDRESS_NOT_AVAILABLE = EADDRNOTAVAIL;
const int ACCESS_DENIED = EACCES;
const int INVALID_ARGUMENT = EINVAL;
const int NO_DEVICE = ENODEV;
const int NOT_CONNECTED = ENOTCONN;
const int INTERRUPTED = EINTR;
const int TIMED_OUT = ETIMEDOUT;
const int WOULD_BLOCK = EWOULDBLOCK;
const int AGAIN = EAGAIN;
// The resolver reports it through its own codes, never errno.
const int UNKNOWN_HOST = -1;

int last() {
  return errno;
}

void setLast(int code) {
  errno = code;
}

std::string text(int code) {
  char buffer[256];
  // The GNU strerror_r returns its text, which need not be in buffer.
  return ::strerror_r(code, buffer, sizeof buffer);
}

std::string lastText() {
  return text(errno);
}

std::string resolverText(int code) {
  if (code == EAI_SYSTEM) return lastText();
  return ::gai_strerror(code);
}

std::string hostNotFoundText() {
  return ::gai_strerror(EAI_NONAME);
}

}  // namespace CoSocketError
}  // namespace Kestrix
