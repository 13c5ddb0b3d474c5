#pragma once
// Windows only: the descriptors keep a socket as an int, as the portable
// headers promise. A SOCKET is a kernel handle, and Windows keeps handles
// within 32 bits so that 32-bit and 64-bit processes can share them; the
// conversions below are exact, and -1 stands for INVALID_SOCKET.

#include <winsock2.h>

#include <climits>

namespace Kestrix {
namespace CoSocketHandle {

inline SOCKET toSocket(int fd) {
  return fd == -1 ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<unsigned int>(fd));
}

inline int fromSocket(SOCKET socket) {
  if (socket == INVALID_SOCKET || socket > static_cast<SOCKET>(UINT_MAX)) return -1;
  return static_cast<int>(static_cast<unsigned int>(socket));
}

// A socket that child processes do not inherit (as SOCK_CLOEXEC elsewhere);
// -1 with the cause in WSAGetLastError.
inline int open(int family, int type, int protocol) {
  const SOCKET socket = ::WSASocketW(family, type, protocol, nullptr, 0,
                                     WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  const int fd = fromSocket(socket);
  if (fd == -1 && socket != INVALID_SOCKET) {
    ::closesocket(socket);
    ::WSASetLastError(WSAEMFILE);
  }
  return fd;
}

}  // namespace CoSocketHandle
}  // namespace Kestrix
