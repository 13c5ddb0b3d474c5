#pragma once
// Waiting on sockets: the system's poll (WSAPoll on Windows, which has no
// poll of its name), the non-blocking switch of a socket, and the socket
// address types, so that the code that waits sees no system header. The one
// platform split of this header.

#include <cstddef>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#endif

namespace KestrixPoll {

#ifdef _WIN32
using Entry = WSAPOLLFD;
inline Entry entry(int fd) {
  return {static_cast<SOCKET>(fd), POLLRDNORM, 0};
}
inline int wait(Entry* entries, std::size_t count, int timeoutMs) {
  return ::WSAPoll(entries, static_cast<ULONG>(count), timeoutMs);
}
// Only a signal interrupts a poll, and Windows sends none.
inline bool interrupted() {
  return false;
}
inline void setNonBlocking(int fd) {
  u_long on = 1;
  if (fd != -1) ::ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &on);
}
#else
using Entry = pollfd;
inline Entry entry(int fd) {
  return {fd, POLLIN, 0};
}
inline int wait(Entry* entries, std::size_t count, int timeoutMs) {
  return ::poll(entries, count, timeoutMs);
}
inline bool interrupted() {
  return errno == EINTR;
}
inline void setNonBlocking(int fd) {
  if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}
#endif

}  // namespace KestrixPoll
