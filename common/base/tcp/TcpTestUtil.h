#pragma once
// Loopback peers for the transport tests, made with plain system calls so
// that the code under test is not used to test itself: listeners, a port
// nobody listens on, a silent peer, and a router that keeps posted messages.
// The system calls live in TcpTestUtilPosix.cpp / TcpTestUtilWin.cpp, so the
// same cases run on every system. Test support: never linked into a program.

#ifdef _WIN32  // the one platform split: where AF_INET and AF_INET6 come from
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "common/base/loggerBase/CoMsg.h"

namespace Kestrix {
namespace TcpTestUtil {

// The socket library's codes for a port in use and for an invalid argument.
extern const int ADDRESS_IN_USE;
extern const int INVALID_ARGUMENT;

int boundPort(int fd);
void closeSocket(int fd);
// One send of the whole of data; the count, or -1.
long sendRaw(int fd, const void* data, std::size_t size);
// Both ends of a connected local stream, non-blocking; false when none could
// be made.
bool streamPair(int fds[2]);
// True once fd is readable within timeoutMs.
bool waitReadable(int fd, int timeoutMs);
// A UDP socket on the any-address that holds port, shared with nobody; -1
// when the port is taken.
int holdUdpPort(unsigned int port);
// The index of the loopback interface, and the interface a socket sends its
// IPv6 multicast through.
unsigned int loopbackIndex();
unsigned int ipv6MulticastInterface(int fd);

// A socket bound to port (0: any) that listens when backlog >= 0; on the
// any-address when anyAddress, else on loopback.
class RawSocket {
 public:
  RawSocket(int family, int port, int backlog, bool anyAddress = false);
  ~RawSocket();
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  int port() const { return port_; }
  // Accepts one pending connection within timeoutMs; -1 when none came.
  int accept(int timeoutMs = 1000) const;

 private:
  int fd_ = -1;
  int port_ = -1;
};

// A loopback listener whose accept queue is full: a further connect gets no
// answer at all, as from a silent host.
class SilentPeer {
 public:
  SilentPeer();
  ~SilentPeer();
  int port() const { return listener_.port(); }

 private:
  RawSocket listener_;
  std::vector<int> fillers_;
};

// Keeps the text of every posted message while it exists.
class CaptureRouter : public CoMsg::Router {
 public:
  explicit CaptureRouter(CoMsg::Level level = CoMsg::LEVEL_DEBUG) : saved_(CoMsg::filterLevel()) {
    CoMsg::setFilterLevel(level);
    CoMsg::setRouter(this);
  }
  ~CaptureRouter() override {
    CoMsg::setRouter(nullptr);
    CoMsg::setFilterLevel(saved_);
  }
  void post(const CoMsg::Msg& msg) const override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(msg.getMsg());
  }
  bool contains(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& line : lines_)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

 private:
  CoMsg::Level saved_;
  mutable std::mutex mutex_;
  mutable std::vector<std::string> lines_;
};

inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace TcpTestUtil
}  // namespace Kestrix
