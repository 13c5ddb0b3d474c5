#pragma once
// The socket library's error codes and their texts, in one place for the
// transport and network modules. On this platform a socket error is an
// errno value; a failed name resolution has a code of its own.

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

}  // namespace CoSocketError
}  // namespace Kestrix
