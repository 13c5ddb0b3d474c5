// First: windows.h, under winsock2.h, defines ERROR, a name of rcResult.
#include "common/base/rcApi/rcRemoteCallTestUtil.h"

#include <stdlib.h>
#include <winsock2.h>

namespace Kestrix {
namespace rcTest {

int connectLoopback(int port) {
  // Counted by the system; the test may not have started the library yet.
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return -1;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<u_short>(port));
  if (s != INVALID_SOCKET && ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
    return static_cast<int>(s);
  if (s != INVALID_SOCKET) ::closesocket(s);
  return -1;
}

long receiveRaw(int fd, void* buffer, std::size_t size) {
  return ::recv(static_cast<SOCKET>(fd), static_cast<char*>(buffer), static_cast<int>(size), 0);
}

// An empty value removes the variable here.
void setTestEnv(const char* name, const char* value) {
  ::_putenv_s(name, value != nullptr ? value : "");
}

}  // namespace rcTest
}  // namespace Kestrix
