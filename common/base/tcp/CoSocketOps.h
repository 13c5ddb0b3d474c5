#pragma once
// The few system calls under the descriptors' portable loops, so that those
// loops never see a system header. Failures return -1 and leave the cause in
// the socket library's current error (CoSocketError::last).

#include <cstddef>

namespace Kestrix {
namespace CoSocketOps {

enum Ready { READY_READ = 1, READY_WRITE = 2 };

// Waits for the handle: a mask of READY_* (an error or hang-up counts as
// ready for both, so the next read or write reports it), 0 after the
// time-out, -1 on failure.
int wait(int fd, bool forRead, bool forWrite, int timeoutMs);
// Looks at one byte without taking it and without waiting: 1, 0 when the
// peer has closed, -1 on failure.
long peek(int fd);
// One read or write of the handle (sockets and other handles alike); a write
// to a vanished peer fails, it never raises a signal.
long read(int fd, void* buf, std::size_t size);
long write(int fd, const void* buf, std::size_t size);
int close(int fd);
// Ends the sending direction: the peer reads what was sent, then the end.
int shutdownWrite(int fd);
int setSendBufferSize(int fd, int size);
int setReceiveBufferSize(int fd, int size);
// True when the current error is a connection reset by the peer.
bool lastIsConnectionReset();

}  // namespace CoSocketOps
}  // namespace Kestrix
