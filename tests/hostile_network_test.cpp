// kestrixd among hosts that do not trust each other: S (198.18.0.1) runs
// kestrixd, C (198.18.0.2) is an honest client, A (198.18.0.3) an attacker
// that speaks the protocol by hand. Each host has its own loopback, so a
// callback that reaches S's loopback is one the attacker aimed there.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include "common/base/loggerBase/CoTestMsgCapture.h"
#include "common/base/rcApi/rcAttrStream.h"
#include "common/base/rcApi/rcCommand.h"
#include "common/base/rcApi/rcConnectionInfo.h"
#include "common/base/rcApi/rcLoginProof.h"
#include "tests/NetnsHosts.h"

namespace {

using namespace KestrixTest;
using Kestrix::rcTest::RawClient;

const std::string kForged = "kestrixd: rules reloaded from '/etc/kestrix/backdoor.conf'";
const std::string kRules =
    "[HostTranslation a]\nsrcHost = fs\nsrcPath = /data\ndstHost = r1\ndstPath = /mnt\n"
    "[Server]\nHostName = fs\n";

// The next n reply lines, each with its LF.
std::string replies(RawClient& client, int n) {
  std::string lines;
  while (n-- > 0) lines += client.readLine() + "\n";
  return lines;
}

bool acceptsWithin(int listener, std::chrono::milliseconds limit) {
  int fd = -1;
  return waitFor([&] { return (fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; },
                 limit) &&
         ::close(fd) == 0;
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

class HostileNetwork : public NetnsHosts {
 protected:
  static void SetUpTestSuite() { makeHosts(3); }
  static void TearDownTestSuite() { dropHosts(); }
  // kestrixd on S with kRules and extra.
  void startServer(const std::string& extra = "") { NetnsHosts::startServer(S, kRules + extra); }
};

TEST_F(HostileNetwork, NothingBeforeLoginAndNoCallbackToTheServersLoopback) {
  startServer();
  auto early = fromHost(A);
  early->send(subscription(6379, 1));
  EXPECT_EQ(early->readLine(), "error Not logged in");
  EXPECT_TRUE(early->closedByPeer());
  bool v6 = false;  // IPv6 is listened to by default
  onHost(S, [&] { v6 = connectTo("::1", 7549)->ok(); });
  EXPECT_TRUE(v6);
  int onServerLoopback = -1, onAttacker = -1;
  onHost(S, [&] { onServerLoopback = listenOn("127.0.0.1", 6379); });
  onHost(A, [&] { onAttacker = listenOn("0.0.0.0", 6379); });
  auto liar = fromHost(A);
  liar->send(loginClaiming("127.0.0.1") + subscription(6379, 1));
  EXPECT_EQ(replies(*liar, 2), "ok \nok \n");
  ::kill(server_[S], SIGHUP);
  EXPECT_TRUE(acceptsWithin(onAttacker, 3s)) << "the callback goes to the subscriber's address";
  EXPECT_FALSE(acceptsWithin(onServerLoopback, 200ms));
  // The user name it gave is in the log, on the line of its connection.
  EXPECT_EQ(log(S).find("\n" + kForged), std::string::npos) << log(S);
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
  udpSend(A, {"unheard-of marker\n" + kForged}, kIp[S]);
  const RunResult r = runOn(C, {KESTRIX_TRANSLATE_PATH_BINARY, "-h", std::string(kIp[S]) + ":7549",
                                "-p", "/data/x", "-H", "r1"});
  EXPECT_EQ(r.out, "/mnt/x\n");
  EXPECT_EQ(log(S).find("unheard-of marker"), std::string::npos) << log(S);
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
  onHost(A, [&] {
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
  spawnOn(C, {KESTRIX_WATCH_BINARY, "-h", std::string(kIp[S]) + ":7549"}, out);
  const auto seen = [&](const std::string& text, int n, std::chrono::milliseconds limit) {
    return waitFor([&] { return count(readFile(out), text) >= n; }, limit);
  };
  ASSERT_TRUE(seen("-- watching node 'kestrixd:rules'", 1, 10s)) << readFile(out);
  // The second reload finds the attacker's endpoints still being tried.
  for (int reload = 1; reload <= 2; ++reload) {
    ::kill(server_[S], SIGHUP);
    EXPECT_TRUE(seen(" kestrixd:rules Modified ", reload, 3s)) << readFile(out);
  }
  for (int fd : tarpits) ::close(fd);
}

}  // namespace
