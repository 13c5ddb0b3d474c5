#pragma once
// The few system calls under the descriptors' portable loops, so that those
// loops never see a system header. Failures return -1 and leave the cause in
// the socket library's current error (CoSocketError::last).

#include <cstddef>

struct sockaddr;
struct sockaddr_storage;

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

// A socket that child processes do not inherit.
int open(int family, int type, int protocol);
// An option whose value is an int, or one given as bytes.
int setOption(int fd, int level, int name, int value);
int setOption(int fd, int level, int name, const void* value, int size);
// The multicast time-to-live and loopback options, whose size differs by
// system; a value read is 0 to 255.
int setMulticastOption(int fd, int level, int name, int value);
int getMulticastOption(int fd, int level, int name, int& value);
int bind(int fd, const sockaddr_storage& addr, int length);
int listen(int fd, int backlog);
// The socket's own address or its peer's, and the length of it.
int localAddress(int fd, sockaddr_storage& addr, int& length);
int peerAddress(int fd, sockaddr_storage& addr, int& length);
int setNonBlocking(int fd, bool on);
// Starts a connect on a non-blocking socket: 0 when connected at once, 1
// when under way, -1 on failure. connectFinish waits up to timeoutSeconds
// for one under way: 1 when connected, 0 after the time-out, -1 when it
// failed (refused, unreachable, or the wait itself).
int connectStart(int fd, const sockaddr& addr, int length);
int connectFinish(int fd, int timeoutSeconds);
// Where address reuse would let a listener share a port that another
// socket holds, takes the fixed port exclusively and says true; false
// where address reuse is how a restarted server gets its port back.
bool claimFixedPort(int fd);
// One datagram to or from an address. A datagram longer than size is cut
// to size on every system.
long sendTo(int fd, const void* buf, std::size_t size, const sockaddr_storage& to, int length);
long receiveFrom(int fd, void* buf, std::size_t size, sockaddr_storage& from);

}  // namespace CoSocketOps
}  // namespace Kestrix
