#pragma once
// Test helpers for the call engine and the server context: a server context
// served by a thread of its own, and a raw loopback client and server made
// with plain system calls, so that either end can be tested against bytes
// written by hand. The system calls live in rcRemoteCallTestUtilPosix.cpp /
// rcRemoteCallTestUtilWin.cpp (and TcpTestUtil's), linked as the
// rcApiTestSupport library. Test support: never linked into a program.

#include <chrono>
#include <cstddef>
#include <string>
#include <thread>

#include "common/base/rcApi/rcServerContext.h"
#include "common/base/tcp/TcpTestUtil.h"

namespace Kestrix {
namespace rcTest {

// A socket connected to port on 127.0.0.1, or -1.
int connectLoopback(int port);
// One receive: the count, 0 when the peer has closed, -1 on failure.
long receiveRaw(int fd, void* buffer, std::size_t size);
// Sets a variable of the environment, or removes it when value is null.
void setTestEnv(const char* name, const char* value);

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
  explicit RawClient(int port) : fd_(connectLoopback(port)) {}
  explicit RawClient(int fd, bool) : fd_(fd) {}
  ~RawClient() { close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void close() {
    if (fd_ >= 0) TcpTestUtil::closeSocket(fd_);
    fd_ = -1;
  }
  bool send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const long n = TcpTestUtil::sendRaw(fd_, bytes.data() + done, bytes.size() - done);
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
      if (!TcpTestUtil::waitReadable(fd_, static_cast<int>(left))) return "<timeout>";
      char buffer[65536];
      const long n = receiveRaw(fd_, buffer, sizeof buffer);
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
