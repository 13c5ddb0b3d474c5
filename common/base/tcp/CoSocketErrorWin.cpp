#include <winsock2.h>

#include <cstdio>

#include "common/base/tcp/CoSocketError.h"

namespace Kestrix {
namespace CoSocketError {
namespace {

// Texts for the codes the transport names, for systems whose message table
// lacks the Windows Sockets range.
const char* knownText(int code) {
  switch (code) {
    case WSAEINTR:
      return "A blocking operation was interrupted.";
    case WSAEACCES:
      return "An attempt was made to access a socket in a way forbidden by its access permissions.";
    case WSAEFAULT:
      return "The system detected an invalid pointer address.";
    case WSAEINVAL:
      return "An invalid argument was supplied.";
    case WSAEMFILE:
      return "Too many open sockets.";
    case WSAEWOULDBLOCK:
      return "A non-blocking socket operation could not be completed immediately.";
    case WSAENOTSOCK:
      return "An operation was attempted on something that is not a socket.";
    case WSAEADDRINUSE:
      return "Only one usage of each socket address (protocol/network address/port) is normally "
             "permitted.";
    case WSAEADDRNOTAVAIL:
      return "The requested address is not valid in its context.";
    case WSAENETUNREACH:
      return "A socket operation was attempted to an unreachable network.";
    case WSAECONNABORTED:
      return "An established connection was aborted by the software in your host machine.";
    case WSAECONNRESET:
      return "An existing connection was forcibly closed by the remote host.";
    case WSAENOBUFS:
      return "No buffer space is available for the socket operation.";
    case WSAENOTCONN:
      return "A request to send or receive data was disallowed because the socket is not "
             "connected.";
    case WSAETIMEDOUT:
      return "A connection attempt failed because the connected party did not properly respond "
             "after a period of time.";
    case WSAECONNREFUSED:
      return "No connection could be made because the target machine actively refused it.";
    case WSAEHOSTUNREACH:
      return "A socket operation was attempted to an unreachable host.";
    case WSANOTINITIALISED:
      return "Either the application has not called WSAStartup, or WSAStartup failed.";
    case WSAHOST_NOT_FOUND:
      return "No such host is known.";
    case WSATRY_AGAIN:
      return "This is usually a temporary error during hostname resolution.";
    case WSANO_DATA:
      return "The requested name is valid, but no data of the requested type was found.";
    default:
      return nullptr;
  }
}

}  // namespace

const int CONNECTION_REFUSED = WSAECONNREFUSED;
const int HOST_UNREACHABLE = WSAEHOSTUNREACH;
const int CONNECTION_ABORTED = WSAECONNABORTED;
const int CONNECTION_RESET = WSAECONNRESET;
const int ADDRESS_IN_USE = WSAEADDRINUSE;
const int ADDRESS_NOT_AVAILABLE = WSAEADDRNOTAVAIL;
const int ACCESS_DENIED = WSAEACCES;
const int INVALID_ARGUMENT = WSAEINVAL;
const int NO_DEVICE = -1;
const int NOT_CONNECTED = WSAENOTCONN;
const int INTERRUPTED = WSAEINTR;
const int TIMED_OUT = WSAETIMEDOUT;
const int WOULD_BLOCK = WSAEWOULDBLOCK;
const int AGAIN = WSAEWOULDBLOCK;
const int UNKNOWN_HOST = WSAHOST_NOT_FOUND;

int last() {
  return ::WSAGetLastError();
}

void setLast(int code) {
  ::WSASetLastError(code);
}

std::string text(int code) {
  // Reading the message table may change the current error.
  const int saved = ::WSAGetLastError();
  char buffer[512];
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code),
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
  std::string message(buffer, length);
  // The system's texts end in a line break, which would split a log line.
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  ::WSASetLastError(saved);
  // A text with an unfilled insert is the table's own "not found" message.
  if (!message.empty() && message.find("%1") == std::string::npos) return message;
  if (const char* known = knownText(code)) return known;
  std::snprintf(buffer, sizeof buffer, "Windows Sockets error %d", code);
  return buffer;
}

std::string lastText() {
  return text(last());
}

// The resolver's codes are Windows Sockets codes here.
std::string resolverText(int code) {
  return text(code);
}

std::string hostNotFoundText() {
  return text(WSAHOST_NOT_FOUND);
}

}  // namespace CoSocketError
}  // namespace Kestrix
