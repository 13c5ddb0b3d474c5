#pragma once
// Test helpers for the call engine and the server context: a server context
// served by a thread of its own, and a raw loopback client and server made
// with plain system calls, so that either end can be tested against bytes
// written by hand.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/base/rcApi/rcServerContext.h"
#include "common/base/tcp/TcpTestUtil.h"

namespace Kestrix {
namespace rcTest {

// Serves a context from a thread until destroyed. Register methods first:
// the context has no lock.
class ServerThread {
 public:
  explicit ServerThread(rcAppContext& context) : context_(context) {
    thread_ = std::thread([this] { context_.run(); });
  }
  ~ServerThread() {
    context_.cancel();
    thread_.join();
  }

 private:
  rcAppContext& context_;
  std::thread thread_;
};

// A plain loopback client.
class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage addr;
    const socklen_t length = TcpTestUtil::loopback(AF_INET, port, addr);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  explicit RawClient(int fd, bool) : fd_(fd) {}
  ~RawClient() { close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // One line without its LF; "<timeout>" or "<closed>" when none came.
  std::string readLine(int timeoutMs = 3000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const size_t lf = pending_.find('\n');
      if (lf != std::string::npos) {
        std::string line = pending_.substr(0, lf);
        pending_.erase(0, lf + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return "<timeout>";
      pollfd p = {fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) != 1) return "<timeout>";
      char buffer[65536];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return "<closed>";
      pending_.append(buffer, static_cast<size_t>(n));
    }
  }
  // True when the peer closes within timeoutMs (unread data is skipped).
  bool closedByPeer(int timeoutMs = 3000) {
    for (;;) {
      const std::string line = readLine(timeoutMs);
      if (line == "<closed>") return true;
      if (line == "<timeout>") return false;
    }
  }

 private:
  int fd_ = -1;
  std::string pending_;
};

}  // namespace rcTest
}  // namespace Kestrix
