#pragma once
// Test support: a kestrixd process on a free loopback port, with its rules,
// log and STATE_DIRECTORY in a temporary directory of its own, as on a host
// of its own. KESTRIX_TEST_KESTRIXD names another build of kestrixd to run.

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace KestrixTest {

inline sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

// A loopback port that nothing listens on right now.
inline int freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = loopback(0);
  socklen_t length = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  ::close(fd);
  return ntohs(addr.sin_port);
}

inline bool accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in addr = loopback(port);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class ServerProcess {
 public:
  // On fixedPort when given, else on a free one.
  explicit ServerProcess(const std::string& rules, int fixedPort = 0) {
    char dirTemplate[] = "/tmp/kestrix-test-XXXXXX";
    dir_ = ::mkdtemp(dirTemplate);
    rulesPath = dir_ + "/rules.conf";
    logPath = dir_ + "/kestrixd.log";
    writeFile(rulesPath, rules);
    port = fixedPort > 0 ? fixedPort : freePort();
    const char* other = std::getenv("KESTRIX_TEST_KESTRIXD");
    const std::string program = other != nullptr && *other != '\0' ? other : KESTRIXD_BINARY;
    pid_ = ::fork();
    if (pid_ == 0) {
      std::freopen(logPath.c_str(), "w", stdout);
      ::dup2(1, 2);
      ::setenv("STATE_DIRECTORY", dir_.c_str(), 1);
      const std::string portText = std::to_string(port);
      ::execl(program.c_str(), program.c_str(), "-c", rulesPath.c_str(), "-p", portText.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 300 && !accepts(port) && waitExit(0) == -1; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~ServerProcess() {
    stop();
    std::filesystem::remove_all(dir_);
  }
  // Waits for the process to end by itself; its exit code, -1 on time-out.
  int waitExit(int timeoutMs) {
    for (int waited = 0; pid_ > 0; waited += 10) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (waited >= timeoutMs) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  // SIGTERM, then its exit code (-1 when it died of a signal or was gone).
  int stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void signal(int sig) const { ::kill(pid_, sig); }
  pid_t pid() const { return pid_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port); }
  std::string dir() const { return dir_; }
  std::string log() const { return readFile(logPath); }

  int port = 0;
  std::string rulesPath;
  std::string logPath;

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

}  // namespace KestrixTest
