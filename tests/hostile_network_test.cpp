// kestrixd among hosts that do not trust each other: three network
// namespaces on one bridge, like hosts on one switch. S (198.18.0.1) runs
// kestrixd, C (198.18.0.2) is an honest client, A (198.18.0.3) an attacker
// that speaks the protocol by hand. Each host has its own loopback, so a
// callback that reaches S's loopback is one the attacker aimed there.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/base/loggerBase/CoTestMsgCapture.h"
#include "common/base/rcApi/rcAttrStream.h"
#include "common/base/rcApi/rcCommand.h"
#include "common/base/rcApi/rcConnectionInfo.h"
#include "common/base/rcApi/rcLoginProof.h"
#include "common/base/rcApi/rcRemoteCallTestUtil.h"
#include "tests/KestrixdProcess.h"
#include "tests/ProcessRunner.h"

namespace {

using namespace std::chrono_literals;
using Kestrix::rcTest::RawClient;
using KestrixTest::readFile;
using KestrixTest::runProgram;
using KestrixTest::RunResult;
using KestrixTest::writeFile;

enum Host { S, C, A };
const char* const kIp[] = {"198.18.0.1", "198.18.0.2", "198.18.0.3"};
const std::string kForged = "kestrixd: rules reloaded from '/etc/kestrix/backdoor.conf'";
const std::string kRules =
    "[HostTranslation a]\nsrcHost = fs\nsrcPath = /data\ndstHost = r1\ndstPath = /mnt\n"
    "[Server]\nHostName = fs\n";

// Runs f on a thread inside the host's network namespace: the sockets it
// makes stay there.
void onHost(pid_t host, const std::function<void()>& f) {
  std::thread([&] {
    const int fd = ::open(("/proc/" + std::to_string(host) + "/ns/net").c_str(), O_RDONLY);
    if (fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0) f();
    ::close(fd);
  }).join();
}

// A connection to a numeric address; not ok() when it cannot connect.
std::unique_ptr<RawClient> connectTo(const char* ip, int port) {
  addrinfo hints{}, *found = nullptr;
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_socktype = SOCK_STREAM;
  if (::getaddrinfo(ip, std::to_string(port).c_str(), &hints, &found) != 0)
    return std::make_unique<RawClient>(-1, true);
  int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, found->ai_addr, found->ai_addrlen) != 0) fd = (::close(fd), -1);
  ::freeaddrinfo(found);
  return std::make_unique<RawClient>(fd, true);
}

// The next n reply lines, each with its LF.
std::string replies(RawClient& client, int n) {
  std::string lines;
  while (n-- > 0) lines += client.readLine() + "\n";
  return lines;
}

int listenOn(const char* ip, int port, int backlog = 16) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
  ::inet_pton(AF_INET, ip, &addr.sin_addr);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(fd, backlog);
  return fd;
}

bool acceptsWithin(int listener, std::chrono::milliseconds limit) {
  for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(10ms)) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return ::close(fd), true;
  }
  return false;
}

std::string line(const char* method, const std::string& params) {
  std::string text;
  Kestrix::rcCommand::serialize(Kestrix::rcCommand::SYNC, 0, method, params.c_str(), text);
  return text;
}

// A login whose record claims an address of the sender's choosing.
std::string loginClaiming(const std::string& ip) {
  Kestrix::rcConnectionInfo info(0x07E4000200000000ull);
  info.fillInfo(nullptr);
  Kestrix::rcAttrStream record(info.toAttrStream());
  record.addStringValue("StrIpAddr", ip);
  record.addStringValue("StrUserName", "eve\n" + kForged);
  Kestrix::CoTestMsgCapture quiet;  // the checksum is not right yet
  const Kestrix::rcConnectionInfo parsed(record.getStreamStr().c_str(), nullptr);
  record.addIntValue("IntCRC", static_cast<int>(parsed.generateCRC()));
  return line("_login", record.getStreamStr());
}

std::string subscription(int port, int connection) {
  Kestrix::rcAttrStream s;
  s.addIntValue("Port", port);
  s.addIntValue("Connection", connection);
  s.addStringValue("Subject", "kestrixd:rules");
  return line("RegisterEvents", s.getStreamStr());
}

class HostileNetwork : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string script = "set -e; ip link add kxbr type bridge; ip link set kxbr up;";
    for (int h = S; h <= A; ++h) {
      if ((hosts_[h] = ::fork()) == 0) {  // a host: a namespace that lives as long as the test
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::unshare(CLONE_NEWNET) == 0) ::pause();
        ::_exit(1);
      }
      const std::string pid = std::to_string(hosts_[h]), v = "kxv" + std::to_string(h);
      // Its namespace is made by the time it differs from this one.
      script += "for i in $(seq 300); do [ $(readlink /proc/" + pid +
                "/ns/net) != $(readlink /proc/$$/ns/net) ] && break; sleep 0.01; done; ";
      script += "ip link add " + v + " type veth peer name eth0 netns " + pid + "; ip link set " +
                v + " master kxbr up; nsenter -t " + pid +
                " -n sh -c 'ip link set lo up multicast on; ip addr add " + kIp[h] +
                "/24 dev eth0; ip link set eth0 up multicast on; ip route add 224.0.0.0/4 dev "
                "eth0';";
    }
    const RunResult r = runProgram({"/bin/sh", "-c", script});
    if (r.exitCode != 0) notMade_ = "no bridge of three hosts: " + r.err;
  }
  static void TearDownTestSuite() {
    for (pid_t host : hosts_) ::kill(host, SIGKILL), ::waitpid(host, nullptr, 0);
  }

  void SetUp() override {
    if (!notMade_.empty()) GTEST_SKIP() << notMade_;
    char dirTemplate[] = "/tmp/kestrix-hostile-XXXXXX";
    dir_ = ::mkdtemp(dirTemplate);
  }
  void TearDown() override {
    stopServer();
    std::filesystem::remove_all(dir_);
  }

  // kestrixd on S, port 7549, with kRules and extra.
  void startServer(const std::string& extra = "") {
    writeFile(dir_ + "/rules.conf", kRules + extra);
    log_ = dir_ + "/kestrixd.log";
    server_ = ::fork();
    if (server_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      const int fd = ::open(("/proc/" + std::to_string(hosts_[S]) + "/ns/net").c_str(), O_RDONLY);
      if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) ::_exit(126);
      std::freopen(log_.c_str(), "w", stdout);
      ::dup2(1, 2);
      ::setenv("STATE_DIRECTORY", dir_.c_str(), 1);
      const std::string rules = dir_ + "/rules.conf";
      ::execl(KESTRIXD_BINARY, KESTRIXD_BINARY, "-c", rules.c_str(), "-p", "7549", nullptr);
      ::_exit(127);
    }
    bool up = false;
    for (int i = 0; i < 300 && !up; ++i, std::this_thread::sleep_for(10ms))
      onHost(hosts_[S], [&] { up = connectTo(kIp[S], 7549)->ok(); });
    ASSERT_TRUE(up) << readFile(log_);
  }
  void stopServer() {
    if (server_ > 0 && ::kill(server_, SIGTERM) == 0) ::waitpid(server_, nullptr, 0);
    server_ = -1;
  }
  // A program run on host h, with environment settings before it.
  RunResult runOn(Host h, std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/usr/bin/nsenter", "-t", std::to_string(hosts_[h]), "-n", "env"});
    return runProgram(argv, 15000);
  }
  // A connection from host h to kestrixd.
  std::unique_ptr<RawClient> fromHost(Host h, const char* ip = kIp[S]) {
    std::unique_ptr<RawClient> client;
    onHost(hosts_[h], [&] { client = connectTo(ip, 7549); });
    return client;
  }

  static inline pid_t hosts_[3] = {-1, -1, -1};
  static inline std::string notMade_;
  pid_t server_ = -1;
  std::string dir_, log_;
};

TEST_F(HostileNetwork, NothingBeforeLoginAndNoCallbackToTheServersLoopback) {
  startServer();
  auto early = fromHost(A);
  early->send(subscription(6379, 1));
  EXPECT_EQ(early->readLine(), "error Not logged in");
  EXPECT_TRUE(early->closedByPeer());
  bool v6 = false;  // IPv6 is listened to by default
  onHost(hosts_[S], [&] { v6 = connectTo("::1", 7549)->ok(); });
  EXPECT_TRUE(v6);
  int onServerLoopback = -1, onAttacker = -1;
  onHost(hosts_[S], [&] { onServerLoopback = listenOn("127.0.0.1", 6379); });
  onHost(hosts_[A], [&] { onAttacker = listenOn("0.0.0.0", 6379); });
  auto liar = fromHost(A);
  liar->send(loginClaiming("127.0.0.1") + subscription(6379, 1));
  EXPECT_EQ(replies(*liar, 2), "ok \nok \n");
  ::kill(server_, SIGHUP);
  EXPECT_TRUE(acceptsWithin(onAttacker, 3s)) << "the callback goes to the subscriber's address";
  EXPECT_FALSE(acceptsWithin(onServerLoopback, 200ms));
  // The user name it gave is in the log, on the line of its connection.
  EXPECT_EQ(readFile(log_).find("\n" + kForged), std::string::npos) << readFile(log_);
  ::close(onServerLoopback);
  ::close(onAttacker);
}

TEST_F(HostileNetwork, ListenAndAllowFromShutOutOtherHostsAndTheirDatagrams) {
  startServer("[Access]\nAllowFrom = 198.18.0.2/32, 127.0.0.0/8, ::1\nListen = 198.18.0.1\n");
  EXPECT_FALSE(fromHost(S, "127.0.0.1")->ok()) << "listens where it is told only";
  auto refused = fromHost(A);
  refused->send(loginClaiming(kIp[A]));
  EXPECT_EQ(refused->readLine(), "error Access denied");
  EXPECT_TRUE(refused->closedByPeer());
  onHost(hosts_[A], [] {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{AF_INET, htons(7555), {}, {}};
    ::inet_pton(AF_INET, kIp[S], &to.sin_addr);
    const std::string datagram = "unheard-of marker\n" + kForged;
    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
  });
  const RunResult r = runOn(C, {KESTRIX_TRANSLATE_PATH_BINARY, "-h", std::string(kIp[S]) + ":7549",
                                "-p", "/data/x", "-H", "r1"});
  EXPECT_EQ(r.out, "/mnt/x\n");
  EXPECT_EQ(readFile(log_).find("unheard-of marker"), std::string::npos) << readFile(log_);
}

TEST_F(HostileNetwork, SecretMustBeProvedOnceAndFresh) {
  const std::string secret = dir_ + "/secret", wrong = dir_ + "/wrong";
  writeFile(secret, "correct horse\n");
  writeFile(wrong, "battery staple\n");
  ::chmod(secret.c_str(), 0600);
  startServer("[Access]\nSecretFile = " + secret + "\n");
  for (const std::string& file : {secret, wrong, std::string()}) {
    const RunResult r =
        runOn(C, {"KESTRIX_SECRET_FILE=" + file, KESTRIX_TRANSLATE_PATH_BINARY, "-h",
                  std::string(kIp[S]) + ":7549", "-p", "/data/x", "-H", "r1"});
    const bool right = file == secret;
    EXPECT_EQ(r.exitCode, right ? 0 : 1);
    EXPECT_NE(
        r.out.find(right ? "/mnt/x\n" : "Authentication failed for client's login information"),
        std::string::npos)
        << file << ": " << r.out;
  }
  const auto login = [&](int64_t when) {
    Kestrix::rcConnectionInfo info(0x07E4000200000000ull);
    info.fillInfo(nullptr);
    Kestrix::rcLoginProof::sign(info, "correct horse", when);
    return line("_login", info.toAttrStream());
  };
  const std::string once = login(std::time(nullptr));
  const std::string refused = "error Authentication failed for client's login information";
  for (const auto& [text, reply] : {std::pair<std::string, std::string>{once, "ok "},
                                    {once, refused},
                                    {login(std::time(nullptr) - 300), refused}}) {
    auto client = fromHost(A);
    client->send(text);
    EXPECT_EQ(client->readLine(), reply);
  }
}

TEST_F(HostileNetwork, FloodAndTarpitsOfOnePeerDoNotHoldUpAnother) {
  startServer();
  // Two thirds of the attacker's monitors are ports whose backlog takes a
  // connection or two that nobody answers (the next never completes its
  // handshake), a third are ports where nothing listens.
  std::vector<int> tarpits;
  onHost(hosts_[A], [&] {
    for (int i = 0; i < 200; ++i) tarpits.push_back(listenOn("0.0.0.0", 9000 + i, i % 2));
  });
  auto flood = fromHost(A);
  std::string requests = loginClaiming(kIp[A]);
  for (int i = 0; i < 300; ++i) requests += subscription(9000 + i, i);
  flood->send(requests);
  const std::string lines = replies(*flood, 301);
  const auto count = [](const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count(lines, "ok \n"), 257) << lines.substr(0, 300);
  EXPECT_EQ(count(lines, "error Too many event subscriptions from 198.18.0.3 (256)\n"), 44);
  const std::string out = dir_ + "/watch.out";
  const pid_t watch = ::fork();
  if (watch == 0) {
    std::freopen(out.c_str(), "w", stdout);
    ::execlp("nsenter", "nsenter", "-t", std::to_string(hosts_[C]).c_str(), "-n",
             KESTRIX_WATCH_BINARY, "-h", (std::string(kIp[S]) + ":7549").c_str(), nullptr);
    ::_exit(127);
  }
  const auto waitFor = [&](const std::string& text, int n, std::chrono::milliseconds limit) {
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms))
      if (count(readFile(out), text) >= n) return true;
    return false;
  };
  ASSERT_TRUE(waitFor("-- watching node 'kestrixd:rules'", 1, 10s)) << readFile(out);
  // The second reload finds the attacker's endpoints still being tried.
  for (int reload = 1; reload <= 2; ++reload) {
    ::kill(server_, SIGHUP);
    EXPECT_TRUE(waitFor(" kestrixd:rules Modified ", reload, 3s)) << readFile(out);
  }
  ::kill(watch, SIGKILL);
  ::waitpid(watch, nullptr, 0);
  for (int fd : tarpits) ::close(fd);
}

}  // namespace
