#pragma once
// Start and stop of the system's socket library. Callers count their own
// users (CoIoTcpDescriptor::init, CoNetwork::init) and call these only for
// the first start and the last stop. On failure the reason is the socket
// library's current error (CoSocketError::last).

namespace Kestrix {
namespace CoSocketLibrary {

bool start();
bool stop();
// True where even resolving a name needs the library started.
extern const bool NEEDED_TO_RESOLVE;

}  // namespace CoSocketLibrary
}  // namespace Kestrix
