#pragma once
// Loopback peers for the transport tests, made with plain system calls so
// that the code under test is not used to test itself: listeners, a port
// nobody listens on, a silent peer, and a router that keeps posted messages.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/base/loggerBase/CoMsg.h"

namespace Kestrix {
namespace TcpTestUtil {

inline socklen_t loopback(int family, int port, sockaddr_storage& addr) {
  std::memset(&addr, 0, sizeof addr);
  if (family == AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof(sockaddr_in6);
  }
  auto* in = reinterpret_cast<sockaddr_in*>(&addr);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  in->sin_port = htons(static_cast<uint16_t>(port));
  return sizeof(sockaddr_in);
}

inline int boundPort(int fd) {
  sockaddr_storage addr;
  socklen_t length = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

// A socket bound to port (0: any) that listens when backlog >= 0; on the
// any-address when anyAddress, else on loopback.
class RawSocket {
 public:
  RawSocket(int family, int port, int backlog, bool anyAddress = false) {
    fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage addr;
    socklen_t length = loopback(family, port, addr);
    if (anyAddress) {
      if (family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr = in6addr_any;
      else
        reinterpret_cast<sockaddr_in*>(&addr)->sin_addr.s_addr = htonl(INADDR_ANY);
    }
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
        (backlog >= 0 && ::listen(fd_, backlog) != 0)) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    port_ = boundPort(fd_);
  }
  ~RawSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  int port() const { return port_; }
  // Accepts one pending connection within timeoutMs; -1 when none came.
  int accept(int timeoutMs = 1000) const {
    pollfd p = {fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int fd_ = -1;
  int port_ = -1;
};

// A loopback listener whose accept queue is full: a further connect gets no
// answer at all, as from a silent host.
class SilentPeer {
 public:
  SilentPeer() : listener_(AF_INET, 0, 0) {
    for (int i = 0; i < 8; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      sockaddr_storage addr;
      const socklen_t length = loopback(AF_INET, listener_.port(), addr);
      ::connect(fd, reinterpret_cast<sockaddr*>(&addr), length);
      fillers_.push_back(fd);
      pollfd p = {fd, POLLOUT, 0};
      if (::poll(&p, 1, 200) == 0) break;  // this one is already unanswered
    }
  }
  ~SilentPeer() {
    for (const int fd : fillers_) ::close(fd);
  }
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
