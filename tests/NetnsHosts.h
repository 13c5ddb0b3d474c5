#pragma once
// Test support: hosts on one switch. Each host is a network namespace with
// a host name and an /etc/hosts of its own (naming every host, as a site's
// name service would), joined to the bridge kxbr of the test's namespace by
// a veth pair: S 198.18.0.1 (kxs), C .2 (kxc), A .3 (kxa), D .4 (kxd).
// Programs run on a host through nsenter, threads of the test through
// setns; each kestrixd keeps its rules, log and STATE_DIRECTORY in a
// directory of its host's under the case's own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/base/rcApi/rcRemoteCallTestUtil.h"
#include "tests/KestrixdProcess.h"
#include "tests/ProcessRunner.h"

namespace KestrixTest {

using namespace std::chrono_literals;

enum Host { S, C, A, D };
inline const char* const kIp[] = {"198.18.0.1", "198.18.0.2", "198.18.0.3", "198.18.0.4"};
inline const char* const kName[] = {"kxs", "kxc", "kxa", "kxd"};
inline const char* const kGroup = "224.0.0.1";

inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  for (auto end = std::chrono::steady_clock::now() + limit; !done();
       std::this_thread::sleep_for(20ms))
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}

// A connection to a numeric address; not ok() when it cannot connect.
inline std::unique_ptr<Kestrix::rcTest::RawClient> connectTo(const char* ip, int port) {
  addrinfo hints{}, *found = nullptr;
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_socktype = SOCK_STREAM;
  if (::getaddrinfo(ip, std::to_string(port).c_str(), &hints, &found) != 0)
    return std::make_unique<Kestrix::rcTest::RawClient>(-1, true);
  int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, found->ai_addr, found->ai_addrlen) != 0) fd = (::close(fd), -1);
  ::freeaddrinfo(found);
  return std::make_unique<Kestrix::rcTest::RawClient>(fd, true);
}

inline int listenOn(const char* ip, int port, int backlog = 16) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0), on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {inet_addr(ip)}, {}};
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(fd, backlog);
  return fd;
}

// A UDP socket that multicasts from ip: on port 7555 of every address and in
// the discovery group there with group, else on a port of ip's own.
inline int udpSocket(const char* ip, bool group = false) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{AF_INET, htons(group ? 7555 : 0), {inet_addr(group ? "0.0.0.0" : ip)}, {}};
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  const ip_mreq join = {{inet_addr(kGroup)}, {inet_addr(ip)}};
  if (group) ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join);
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &join.imr_interface, sizeof join.imr_interface);
  return fd;
}

inline void sendTo(int fd, const std::string& datagram, const char* ip = kGroup) {
  const sockaddr_in to{AF_INET, htons(7555), {inet_addr(ip)}, {}};
  ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
}

class NetnsHosts : public ::testing::Test {
 protected:
  // Hosts S, C, ... up to count; when they cannot be made, every case is
  // skipped with the reason.
  static void makeHosts(int count) {
    count_ = count;
    char file[] = "/tmp/kestrix-hosts-XXXXXX";
    ::close(::mkstemp(file));
    hostsFile_ = file;
    std::string names = "127.0.0.1 localhost\n";
    for (int h = S; h < count; ++h) names += std::string(kIp[h]) + " " + kName[h] + "\n";
    writeFile(hostsFile_, names);
    std::string script = "set -e; ip link add kxbr type bridge; ip link set kxbr up;";
    for (int h = S; h < count; ++h) {
      int ready[2];
      if (::pipe2(ready, O_CLOEXEC) != 0) return void(notMade_ = "no pipe");
      if ((hosts_[h] = ::fork()) == 0) {  // a host: lives until killed, or with the test
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const bool made = ::unshare(CLONE_NEWNET | CLONE_NEWUTS | CLONE_NEWNS) == 0 &&
                          ::sethostname(kName[h], std::strlen(kName[h])) == 0 &&
                          // Private first: the hosts file must not reach the test's namespace.
                          ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                          ::mount(hostsFile_.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
        if (::write(ready[1], made ? "1" : "0", 1) == 1 && made) ::pause();
        ::_exit(1);
      }
      ::close(ready[1]);
      char made = '0';
      (void)!::read(ready[0], &made, 1);
      ::close(ready[0]);
      if (made != '1') return void(notMade_ = "no namespace for host " + std::string(kName[h]));
      const std::string pid = std::to_string(hosts_[h]), v = "kxv" + std::to_string(h);
      script += "ip link add " + v + " type veth peer name eth0 netns " + pid + "; ip link set " +
                v + " master kxbr up; nsenter -t " + pid +
                " -n sh -c 'ip link set lo up multicast on; ip addr add " + kIp[h] +
                "/24 dev eth0; ip link set eth0 up multicast on; ip route add 224.0.0.0/4 dev "
                "eth0';";
    }
    const RunResult r = runProgram({"/bin/sh", "-c", script});
    if (r.exitCode != 0) notMade_ = "no bridge of hosts: " + r.err;
  }
  static void dropHosts() {
    // A namespace's links go some time after its last process: the ends
    // here go at once.
    runProgram({"/bin/sh", "-c", "for l in kxv0 kxv1 kxv2 kxv3 kxbr; do ip link del $l; done"});
    for (pid_t& host : hosts_)
      if (host > 0) ::kill(host, SIGKILL), ::waitpid(host, nullptr, 0), host = -1;
    std::filesystem::remove(hostsFile_);
    notMade_.clear();
  }

  void SetUp() override {
    if (!notMade_.empty()) GTEST_SKIP() << notMade_;
    char dirTemplate[] = "/tmp/kestrix-net-XXXXXX";
    dir_ = ::mkdtemp(dirTemplate);
    for (int h = S; h < count_; ++h) std::filesystem::create_directory(hostDir(Host(h)));
  }
  void TearDown() override {
    for (int h = S; h < count_; ++h) stopServer(Host(h));
    for (pid_t pid : spawned_) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(dir_);
  }

  // Runs f on a thread inside the host's network namespace: the sockets it
  // makes stay there.
  static void onHost(Host h, const std::function<void()>& f) {
    std::thread([&] {
      const int fd = ::open(("/proc/" + std::to_string(hosts_[h]) + "/ns/net").c_str(), O_RDONLY);
      if (fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0) f();
      ::close(fd);
    }).join();
  }
  // A program run on host h, with environment settings before it.
  RunResult runOn(Host h, std::vector<std::string> argv, int timeoutMs = 15000) {
    return runProgram(onHostArgs(h, std::move(argv)), timeoutMs);
  }
  // The same, left running with its output in file out; killed at the end
  // of the case.
  pid_t spawnOn(Host h, std::vector<std::string> argv, const std::string& out) {
    const std::vector<std::string> all = onHostArgs(h, std::move(argv));
    std::vector<char*> args;
    for (const std::string& a : all) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      std::freopen(out.c_str(), "w", stdout);
      ::dup2(1, 2);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    spawned_.push_back(pid);
    return pid;
  }

  std::string hostDir(Host h) const { return dir_ + "/" + kName[h]; }
  std::string rulesPath(Host h) const { return hostDir(h) + "/rules.conf"; }
  std::string log(Host h) const { return readFile(hostDir(h) + "/kestrixd.log"); }
  // kestrixd on host h, port 7549, with these rules and environment settings.
  void startServer(Host h, const std::string& rules, std::vector<std::string> env = {}) {
    writeFile(rulesPath(h), rules);
    env.insert(env.end(), {"STATE_DIRECTORY=" + hostDir(h), KESTRIXD_BINARY, "-c", rulesPath(h),
                           "-p", "7549"});
    server_[h] = spawnOn(h, env, hostDir(h) + "/kestrixd.log");
    spawned_.pop_back();  // stopped with SIGTERM, which it answers with goodbyes
    bool up = false;
    for (int i = 0; i < 300 && !up; ++i, std::this_thread::sleep_for(10ms))
      onHost(h, [&] { up = connectTo(kIp[h], 7549)->ok(); });
    ASSERT_TRUE(up) << log(h);
  }
  void stopServer(Host h) {
    if (server_[h] > 0 && ::kill(server_[h], SIGTERM) == 0) ::waitpid(server_[h], nullptr, 0);
    server_[h] = -1;
  }
  // A connection from host h to a kestrixd.
  std::unique_ptr<Kestrix::rcTest::RawClient> fromHost(Host h, const char* ip = kIp[S]) {
    std::unique_ptr<Kestrix::rcTest::RawClient> client;
    onHost(h, [&] { client = connectTo(ip, 7549); });
    return client;
  }
  // Sends the datagrams from host h to port 7555 of ip, four a millisecond
  // so that a receiver's socket buffer keeps up.
  void udpSend(Host h, const std::vector<std::string>& datagrams, const char* ip = kGroup) {
    onHost(h, [&] {
      const int fd = udpSocket(kIp[h]);
      for (size_t i = 0; i < datagrams.size(); ++i) {
        sendTo(fd, datagrams[i], ip);
        if (i % 4 == 3) std::this_thread::sleep_for(1ms);
      }
      ::close(fd);
    });
  }

  static inline pid_t hosts_[4] = {-1, -1, -1, -1};
  static inline int count_ = 0;
  static inline std::string notMade_, hostsFile_;
  pid_t server_[4] = {-1, -1, -1, -1};
  std::vector<pid_t> spawned_;
  std::string dir_;

 private:
  static std::vector<std::string> onHostArgs(Host h, std::vector<std::string> argv) {
    argv.insert(argv.begin(),
                {"/usr/bin/nsenter", "-t", std::to_string(hosts_[h]), "-n", "-u", "-m", "env"});
    return argv;
  }
};

}  // namespace KestrixTest
