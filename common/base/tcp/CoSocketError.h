#pragma once
// The socket library's error codes and their texts, in one place for the
// transport and network modules. A socket error is an errno value on Posix
// systems and a Windows Sockets code on Windows; a failed name resolution
// has a code of its own on Posix systems.

#include <string>

namespace Kestrix {
namespace CoSocketError {

// The socket library's current error code.
int last();
// The platform's text for an error code.
std::string text(int code);
// The platform's text for the current error code.
std::string lastText();
// The text of a failed name resolution's return code.
std::string resolverText(int code);
// The text for a host name that names no host (there is no errno for it).
std::string hostNotFoundText();
// Makes code the current error.
void setLast(int code);

// The codes of the failures the connection layers and descriptors name.
extern const int CONNECTION_REFUSED;
extern const int HOST_UNREACHABLE;
extern const int CONNECTION_ABORTED;
extern const int CONNECTION_RESET;
extern const int ADDRESS_IN_USE;
extern const int ADDRESS_NOT_AVAILABLE;
extern const int ACCESS_DENIED;
extern const int INVALID_ARGUMENT;
// No device for a route; -1 where the socket library has no such code.
extern const int NO_DEVICE;
extern const int NOT_CONNECTED;
extern const int INTERRUPTED;
extern const int TIMED_OUT;
extern const int WOULD_BLOCK;
// Where a platform has a second code for "would block"; else WOULD_BLOCK.
extern const int AGAIN;
// A host name that names no host, where that is a socket error; else -1,
// which no call leaves as its error.
extern const int UNKNOWN_HOST;

}  // namespace CoSocketError
}  // namespace Kestrix
