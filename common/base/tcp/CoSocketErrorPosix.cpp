#include <netdb.h>

#include <cerrno>
#include <cstring>

#include "common/base/tcp/CoSocketError.h"

namespace Kestrix {
namespace CoSocketError {

const int CONNECTION_REFUSED = ECONNREFUSED;
const int HOST_UNREACHABLE = EHOSTUNREACH;
const int CONNECTION_ABORTED = ECONNABORTED;

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
