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

// The codes of the failures the connection layers name.
extern const int CONNECTION_REFUSED;
extern const int HOST_UNREACHABLE;
extern const int CONNECTION_ABORTED;

}  // namespace CoSocketError
}  // namespace Kestrix
