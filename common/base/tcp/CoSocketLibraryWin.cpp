#include <winsock2.h>

#include "common/base/tcp/CoSocketLibrary.h"

namespace Kestrix {
namespace CoSocketLibrary {

bool start() {
  WSADATA data;
  const int code = ::WSAStartup(MAKEWORD(2, 0), &data);
  if (code == 0) return true;
  // WSAStartup returns its cause instead of setting it; callers read it from
  // the current error like any other socket failure.
  ::WSASetLastError(code);
  return false;
}

bool stop() {
  return ::WSACleanup() == 0;
}

const bool NEEDED_TO_RESOLVE = true;

}  // namespace CoSocketLibrary
}  // namespace Kestrix
