// kestrixd under hostile peers: during (where it can) and after each attack
// an ordinary kestrix_translate_path run is answered within seconds,
// kestrixd stays within its memory limits and, once the attackers are gone,
// holds no more descriptors than before. KESTRIX_TEST_KESTRIXD runs the
// cases against another build of kestrixd.
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/base/rcApi/rcAPI.h"
#include "common/base/rcApi/rcCommand.h"
#include "common/base/rcApi/rcConnectionInfo.h"
#include "common/base/rcApi/rcRemoteCallTestUtil.h"
#include "tests/KestrixdProcess.h"
#include "tests/ProcessRunner.h"

namespace {

using KestrixTest::RunResult;
using Clock = std::chrono::steady_clock;

constexpr long kMaxRequestBytes = 1L << 20;
constexpr long kMaxPendingOutputBytes = 100L << 20;
constexpr long kMaxBufferedInputBytes = 8L << 20;
constexpr int kStallSeconds = 2;
// Each "/d" comes back as a 1000-byte path: a 60 MB reply to 300 KB.
constexpr int kBigPaths = 60000;
constexpr size_t kBigReplyBytes = kBigPaths * 1001 - 1;

std::string rules() {
  return "[Server]\nDisplayName = Hostile\nHostName = fs\n"
         "[Group farm]\nOsType = Linux\nHosts = fs\n[Group edit]\nOsType = WindowsNT\nHosts = e1\n"
         "[HostTranslation data]\nsrcHost = fs\nsrcPath = /data\ndstHost = e1\ndstPath = D:\\data\n"
         "[HostTranslation big]\nsrcHost = fs\nsrcPath = /d\ndstHost = big\ndstPath = /" +
         std::string(999, 'b') +
         "\n[Limits]\nMaxRequestBytes = " + std::to_string(kMaxRequestBytes) +
         "\nMaxPendingOutputBytes = " + std::to_string(kMaxPendingOutputBytes) +
         "\nMaxBufferedInputBytes = " + std::to_string(kMaxBufferedInputBytes) +
         "\nMaxClients = 2000\nStallTimeoutSeconds = " + std::to_string(kStallSeconds) + "\n";
}

std::string bigParams() {
  std::string params = "\"fs\" 2 \"big\" 2 \"/d\"";
  for (int i = 1; i < kBigPaths; ++i) params += ",\"/d\"";
  return params;
}

std::string loginLine() {
  Kestrix::rcConnectionInfo info(Kestrix::rcAPI().getVersion());
  info.fillInfo(nullptr);
  std::string line;
  Kestrix::rcCommand::serialize(Kestrix::rcCommand::SYNC, 0, "_login", info.toAttrStream().c_str(),
                                line);
  return line;
}

// A blocking connection whose connect, sends and receives give up after 3 s;
// -1 when it cannot connect.
int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval limit = {3, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  const sockaddr_in addr = KestrixTest::loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
  ::close(fd);
  return -1;
}

// Sends text while taking what comes back, until the peer ends the
// connection (closed is set), or all is sent (or cannot be) and nothing
// arrives for quietMs; 10 s at most.
std::string talk(int fd, const std::string& text, bool* closed = nullptr, int quietMs = 500) {
  std::string received;
  size_t sent = 0;
  bool sending = !text.empty();
  for (const auto end = Clock::now() + std::chrono::seconds(10); Clock::now() < end;) {
    pollfd p = {fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, sending ? 1000 : quietMs) <= 0 && !sending) break;
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buffer[65536];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) received.append(buffer, static_cast<size_t>(n));
      if (n == 0 || (n < 0 && errno != EAGAIN)) {
        if (closed != nullptr) *closed = true;
        break;
      }
    }
    if (sending && (p.revents & POLLOUT) != 0) {
      const size_t chunk = std::min<size_t>(text.size() - sent, 1 << 20);
      const ssize_t n = ::send(fd, text.data() + sent, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<size_t>(n);
      sending = sent < text.size() && (n >= 0 || errno == EAGAIN);
    }
  }
  return received;
}

bool sendAll(int fd, const std::string& text) {
  return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// One "_ping" round trip on a connection of its own. The storms below wait
// for one every 50 connections so as to stay within the listen queue: past
// it they would only time how long dropped connection requests wait.
bool ping(int port) {
  Kestrix::rcTest::RawClient client(port);
  client.send(loginLine() + "sync 0 _ping \n");
  return client.readLine() == "ok " && client.readLine() == "ok ";
}

class HostilePeer : public ::testing::Test {
 protected:
  // kestrixd stops cleanly after every attack (a sanitizer build ends with
  // an error status when it found a fault).
  void TearDown() override {
    closeAttackers();
    EXPECT_EQ(server.stop(), 0) << "kestrixd did not stop cleanly: " << server.log();
  }

  void SetUp() override {
    ASSERT_TRUE(ping(port)) << "kestrixd did not start: " << server.log();
    expectServed("before the attack");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    baseDescriptors = openDescriptors();
  }

  // An ordinary run gets its answer within a few seconds, and kestrixd is
  // within its memory limits plus 64 MiB (sanitizer builds keep freed
  // memory, so only the plain build is measured).
  void expectServed(const char* when) {
    SCOPED_TRACE(when);
    const RunResult r =
        KestrixTest::runProgram({KESTRIX_TRANSLATE_PATH_BINARY, "-h",
                                 "127.0.0.1:" + std::to_string(port), "-p", "/data/x", "-H", "e1"},
                                3000);
    EXPECT_EQ(r.out, "D:\\data\\x\n") << r.err;
    EXPECT_EQ(r.exitCode, 0);
    std::ifstream status("/proc/" + std::to_string(server.pid()) + "/status");
    std::string line;
    while (std::getline(status, line) && line.rfind("VmRSS:", 0) != 0) continue;
    if (KESTRIX_CHECK_MEMORY) {
      EXPECT_LE(std::atol(line.c_str() + 6),
                (kMaxBufferedInputBytes + kMaxPendingOutputBytes) / 1024 + 64 * 1024);
    }
  }

  // A connection of the attack, closed at the end of the case at the latest.
  int attacker() {
    attackers.push_back(connectTo(port));
    return attackers.back();
  }
  void closeAttackers() {
    for (const int fd : attackers) ::close(fd);
    attackers.clear();
  }

  long openDescriptors() const {
    std::error_code error;
    const std::filesystem::directory_iterator fds("/proc/" + std::to_string(server.pid()) + "/fd",
                                                  error);
    return std::distance(fds, {});
  }

  void expectRecovered() {
    closeAttackers();
    expectServed("after the attack");
    long open = -1;
    for (int i = 0; i < 50 && (open = openDescriptors()) > baseDescriptors; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LE(open, baseDescriptors) << "descriptors left open after the attack";
  }

  KestrixTest::ServerProcess server{rules()};
  const int port = server.port;
  long baseDescriptors = 0;
  std::vector<int> attackers;
};

TEST_F(HostilePeer, ThousandIdleConnections) {
  // Raised here only: kestrixd must raise its own.
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  if (limit.rlim_max < 1100 || ::setrlimit(RLIMIT_NOFILE, &limit) != 0)
    GTEST_SKIP() << "1,000 connections need more descriptors than the hard limit of "
                 << limit.rlim_max;
  for (int i = 1; i <= 1000; ++i) {
    ASSERT_GE(attacker(), 0) << "connection " << i << ": " << std::strerror(errno);
    ASSERT_TRUE(i % 50 != 0 || ping(port)) << "no ping answer after " << i << " connections";
  }
  expectServed("with 1,000 idle connections open");
  expectRecovered();
}

TEST_F(HostilePeer, RequestLinePastTheLimitIsAnsweredNotReset) {
  bool closed = false;
  const std::string reply =
      talk(attacker(), loginLine() + "sync 0 _ping " + std::string(32 << 20, 'x'), &closed);
  const std::string error = "Request too large (limit " + std::to_string(kMaxRequestBytes);
  EXPECT_NE(reply.find(error + " bytes)"), std::string::npos) << reply.substr(0, 200);
  EXPECT_TRUE(closed);
  expectRecovered();
}

TEST_F(HostilePeer, HalfLinesThatStall) {
  const std::string half =
      "sync 0 TranslatePaths \"fs\" 2 \"e1\" 3 \"/data/" + std::string(kMaxRequestBytes / 2, 'p');
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(sendAll(attacker(), loginLine() + half));
  expectServed("while four half lines stall");
  expectRecovered();
}

TEST_F(HostilePeer, ClientThatNeverReadsItsLargeReply) {
  const int fd = attacker();
  ASSERT_TRUE(sendAll(fd, loginLine() + "sync 0 TranslatePaths " + bigParams() + "\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  expectServed("while a 60 MB reply waits to be read");
  // A client that takes nothing for the stall time from its reply's first
  // byte (a sanitizer build may take seconds to translate) is dropped: what
  // is left to read ends before the reply does.
  char login[4];  // the login's "ok \n"; then the reply's first byte, maybe seconds later
  pollfd ready = {fd, POLLIN, 0};
  ASSERT_TRUE(::recv(fd, login, 4, MSG_WAITALL) == 4 && ::poll(&ready, 1, 60000) == 1);
  std::this_thread::sleep_for(std::chrono::seconds(kStallSeconds + 1));
  bool closed = false;
  EXPECT_LT(talk(fd, "", &closed, 3000).size(), kBigReplyBytes);
  EXPECT_TRUE(closed);
  expectRecovered();
}

TEST_F(HostilePeer, ClientsThatCloseOrResetMidReply) {
  const std::string request = loginLine() + "sync 0 TranslatePaths " + bigParams() + "\n";
  for (const bool reset : {false, false, true, true}) {
    const int fd = attacker();
    ASSERT_TRUE(sendAll(fd, request));
    // A sanitizer build on a busy machine may take longer than 3 s to
    // translate 60 MB before the first byte goes out.
    const timeval patience = {30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::string part(1 << 20, '\0');
    ASSERT_GT(::recv(fd, part.data(), part.size(), MSG_WAITALL), 0);
    const linger abort = {1, 0};
    if (reset) ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    closeAttackers();
  }
  expectServed("after clients left mid-reply");
  Kestrix::rcAPI reader;  // one that reads gets the whole reply
  ASSERT_TRUE(reader.connect("127.0.0.1", port, 5000)) << reader.lastError();
  std::string result;
  ASSERT_TRUE(reader.call(0, "TranslatePaths", bigParams().c_str(), true, result, 30000))
      << result.substr(0, 200);
  EXPECT_EQ(result.size(), kBigReplyBytes);
  reader.disconnect();
  expectRecovered();
}

TEST_F(HostilePeer, GarbageAndBinaryBytes) {
  std::mt19937 random(12);
  std::string noise(256 << 10, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  static const char kNasty[] = "\0\0\0\n\r\r\r\n\rsync\r\nsync\nsync 0 \n\\\n \nsync 0 _ping \\";
  const std::string nasty(kNasty, sizeof kNasty - 1);
  for (const std::string& text : {loginLine() + noise, loginLine() + nasty + noise, nasty})
    EXPECT_NE(talk(attacker(), text).find("error "), std::string::npos) << "no error reply";
  expectRecovered();
}

TEST_F(HostilePeer, TenThousandConnectAndClose) {
  for (int i = 1; i <= 10000; ++i) {
    const int fd = connectTo(port);
    ASSERT_GE(fd, 0) << "connection " << i << ": " << std::strerror(errno);
    ::close(fd);
    ASSERT_TRUE(i % 50 != 0 || ping(port)) << "no ping answer after " << i << " connections";
    if (i % 2500 == 0) expectServed("amid connect-and-close");
  }
  expectRecovered();
}

}  // namespace
