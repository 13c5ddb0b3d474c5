#include <winsock2.h>
#include <ws2tcpip.h>

#include "common/base/rcApi/rcWakeUp.h"
#include "common/base/tcp/CoSocketError.h"

namespace Kestrix {
namespace {

SOCKET toSocket(int handle) {
  return static_cast<SOCKET>(handle);
}

}  // namespace

// Waits here take sockets only, so the channel is a loopback datagram
// socket that sends to itself.
rcWakeUp::rcWakeUp() {
  WSADATA data;
  // Counted by the system: the channel may open before the library starts
  // networking and close after it stops.
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    error_ = CoSocketError::lastText();
    return;
  }
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof addr;
  u_long nonBlocking = 1;
  if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &length) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
      ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    error_ = CoSocketError::lastText();
    if (s != INVALID_SOCKET) ::closesocket(s);
    ::WSACleanup();
    return;
  }
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  read_ = write_ = static_cast<int>(s);
}

rcWakeUp::~rcWakeUp() {
  if (read_ == -1) return;
  ::closesocket(toSocket(read_));
  ::WSACleanup();
}

bool rcWakeUp::signal() {
  const char byte = 1;
  // A full buffer already holds a wake-up.
  return write_ != -1 &&
         (::send(toSocket(write_), &byte, 1, 0) == 1 || ::WSAGetLastError() == WSAEWOULDBLOCK);
}

void rcWakeUp::drain() {
  char buffer[64];
  while (read_ != -1 && ::recv(toSocket(read_), buffer, sizeof buffer, 0) > 0) {
  }
}

}  // namespace Kestrix
