#include "common/base/rcApi/rcServerContext.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/base/rcApi/rcAPI.h"
#include "common/base/rcApi/rcAttrStream.h"
#include "common/base/rcApi/rcRemoteCallTestUtil.h"

namespace Kestrix {
namespace {

using rcTest::RawClient;
using rcTest::ServerThread;

std::string loginRecord() {
  rcConnectionInfo info(0x0001000200030004ull);
  info.fillInfo(nullptr);
  return info.toAttrStream();
}

std::string loginLine(const std::string& record = loginRecord()) {
  rcCommand command;
  command.set(rcCommand::SYNC, 0, "_login", record.c_str());
  return command.toString();
}

// A server with a few scripted methods; the test's methods reach it
// through their method's context.
class TestServer : public rcServerContext {
 public:
  TestServer() : rcServerContext(0) {
    static const rcParam::Info oneText[] = {{&rcParamString::getType(), "text"},
                                            {nullptr, nullptr}};
    registerMethod(rcMethod(*this, "Echo", echo, rcParamString::getType(), oneText));
    registerMethod(
        rcMethod(*this, "Later", later, rcParamVoid::getType(), nullptr, rcMethod::DELAYED));
    registerMethod(rcMethod(*this, "Release", release, rcParamVoid::getType(), oneText));
    registerMethod(rcMethod(*this, "ObjectName", objectName, rcParamString::getType(), nullptr));
    registerMethod(rcMethod(*this, "Big", big, rcParamString::getType(), oneText));
  }

  unsigned waitingClient = 0;

 private:
  static bool echo(void*, const rcMethod&, const rcParam::Array& args, rcParam& result) {
    result.setStringValue(args[0].stringValue());
    return true;
  }
  static bool later(void*, const rcMethod& method, const rcParam::Array&, rcParam&) {
    auto& self = static_cast<TestServer&>(method.getServerContext());
    self.waitingClient = self.getCurrentClientId();
    return true;
  }
  static bool release(void*, const rcMethod& method, const rcParam::Array& args, rcParam&) {
    auto& self = static_cast<TestServer&>(method.getServerContext());
    self.returnFromDelayedCommand(self.waitingClient, true, args[0].stringValue().c_str());
    return true;
  }
  static bool big(void*, const rcMethod&, const rcParam::Array& args, rcParam& result) {
    result.setStringValue(std::string(std::stoul(args[0].stringValue()), 'z'));
    return true;
  }
  static bool objectName(void* object, const rcMethod&, const rcParam::Array&, rcParam& result) {
    result.setStringValue(static_cast<const char*>(object));
    return true;
  }
};

class ServerContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.isValid());
    server.setLimits(limits);
    ASSERT_TRUE(server.registerObject(7, const_cast<char*>("seven")));
    thread = std::make_unique<ServerThread>(server);
  }

  // A raw client that has logged in.
  std::unique_ptr<RawClient> loggedIn() {
    auto client = std::make_unique<RawClient>(server.getPort());
    EXPECT_TRUE(client->send(loginLine()));
    EXPECT_EQ(client->readLine(), "ok ");
    return client;
  }

  TcpTestUtil::CaptureRouter messages{CoMsg::LEVEL_NOTICE};
  rcServerContext::Limits limits;
  TestServer server;
  std::unique_ptr<ServerThread> thread;
};

// Small limits, so that a test reaches them at little cost.
class LimitedServerTest : public ServerContextTest {
 protected:
  LimitedServerTest() { limits = {64 << 10, 16 << 20, 96 << 10, 3, 800}; }
};

TEST_F(ServerContextTest, RequestsAreSplitAtLineFeedsAndErrorsAnsweredSyncOnly) {
  auto client = loggedIn();
  client->send("sync 0 X \n");
  EXPECT_EQ(client->readLine(), "error Unknown method: X");
  client->send("async 0 X \n");
  client->send("sync 7 ObjectName \n");
  EXPECT_EQ(client->readLine(), "ok seven");  // nothing came for the async request
  client->send("sync 8 ObjectName \n");
  EXPECT_EQ(client->readLine(), "error Invalid Object: 8");
  client->send("sync 0 Echo one\nsync 0 Echo two\\nlines\nsync 0 Ec");
  EXPECT_EQ(client->readLine(), "ok one");
  EXPECT_EQ(client->readLine(), "ok two\\nlines");
  client->send("ho three\n");
  EXPECT_EQ(client->readLine(), "ok three");
}

TEST_F(ServerContextTest, NothingButALoginIsServedBeforeOne) {
  rcAttrStream record(loginRecord());
  unsigned crc = 0;
  ASSERT_TRUE(record.getUIntValue("IntCRC", crc));
  record.addIntValue("IntCRC", static_cast<int>(crc + 1));
  for (const auto& [request, reply] :
       {std::pair<std::string, std::string>{"sync 0 _ping \n", "error Not logged in"},
        {"sync 0 X \n", "error Not logged in"},
        {loginLine(record.getStreamStr()),
         "error Authentication failed for client's login information"}}) {
    RawClient client(server.getPort());
    client.send(request);
    EXPECT_EQ(client.readLine(), reply);
    EXPECT_TRUE(client.closedByPeer());
  }
  EXPECT_TRUE(messages.contains("Invalid client info, breaking connection"));
}

TEST_F(ServerContextTest, DelayedMethodIsAnsweredWhenReleased) {
  auto waiting = loggedIn();
  waiting->send("sync 0 Later \n");
  EXPECT_EQ(waiting->readLine(300), "<timeout>");
  auto other = loggedIn();
  other->send("sync 0 Release done\n");
  EXPECT_EQ(other->readLine(), "ok ");
  EXPECT_EQ(waiting->readLine(), "ok done");
}

TEST_F(ServerContextTest, GarbageOrVanishingClientsLeaveOthersServed) {
  auto good = loggedIn();
  RawClient garbage(server.getPort());
  garbage.send("\x01\x02\xffgarbage\n");
  EXPECT_EQ(garbage.readLine(), "error Not logged in");
  EXPECT_TRUE(garbage.closedByPeer());
  loggedIn()->send("sync 0 Echo " + std::string(4 << 20, 'y') + "\n");  // closed unread
  good->send("sync 0 Echo still\n");
  EXPECT_EQ(good->readLine(), "ok still");
}

TEST_F(ServerContextTest, ManyIdleClientsDoNotStarveANewOne) {
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 70; ++i) idle.push_back(std::make_unique<RawClient>(server.getPort()));
  auto client = loggedIn();
  client->send("sync 0 Echo served\n");
  EXPECT_EQ(client->readLine(), "ok served");
}

TEST_F(LimitedServerTest, ClientNotReadingItsReplyHoldsUpNobodyAndIsDropped) {
  auto stuck = loggedIn();
  auto other = loggedIn();
  stuck->send("sync 0 Big 12000000\n");  // more than loopback's socket buffers hold
  ASSERT_TRUE(TcpTestUtil::waitReadable(stuck->fd(), 10000));
  other->send("sync 0 Echo meanwhile\n");
  EXPECT_EQ(other->readLine(2000), "ok meanwhile");
  const char* dropped = "took no byte of its reply for 800 ms";
  for (int i = 0; i < 250 && !messages.contains(dropped); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(messages.contains(dropped));
  EXPECT_TRUE(stuck->closedByPeer());
}

TEST_F(LimitedServerTest, SlowButReadingClientGetsItsWholeReply) {
  auto slow = loggedIn();
  slow->send("sync 0 Big 12000000\n");
  // Longer than the stall time in all, but never idle for long.
  std::string reply;
  while (reply.empty() || reply.back() != '\n') {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    if (!TcpTestUtil::waitReadable(slow->fd(), 0)) continue;
    char buffer[256 << 10];
    const long n = rcTest::receiveRaw(slow->fd(), buffer, sizeof buffer);
    if (n <= 0) break;
    reply.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(reply.size(), 12000000u + 4);
  EXPECT_EQ(reply.substr(0, 4), "ok z");
}

TEST_F(LimitedServerTest, OversizeRequestIsToldSoAndEndsWithoutReset) {
  auto big = loggedIn();
  std::thread sender([&] { big->send("sync 0 Echo " + std::string(1 << 20, 'x')); });
  EXPECT_EQ(big->readLine(), "error Request too large (limit 65536 bytes)");
  sender.join();
  char byte;
  ASSERT_TRUE(TcpTestUtil::waitReadable(big->fd(), 5000));
  EXPECT_EQ(rcTest::receiveRaw(big->fd(), &byte, 1), 0);
  // Partial lines of two clients together pass what all may buffer: the
  // client whose bytes come last is refused.
  auto first = loggedIn();
  auto second = loggedIn();
  const std::string part = "sync 0 Echo " + std::string(60 << 10, 'y');
  first->send(part);
  second->send(part);
  const std::string expected = "error Request too large (limit 98304 bytes)";
  const bool firstRefused = first->readLine(1000) == expected;
  EXPECT_NE(firstRefused, second->readLine(1000) == expected);
}

TEST_F(LimitedServerTest, ClientsPastTheLimitGetOneErrorLine) {
  RawClient a(server.getPort()), b(server.getPort()), c(server.getPort()), d(server.getPort());
  EXPECT_EQ(d.readLine(), "error Too many clients (limit 3)");
  EXPECT_TRUE(d.closedByPeer());
  c.send(loginLine(loginRecord()) + "sync 0 _ping \n");
  EXPECT_EQ(c.readLine(), "ok ");
  EXPECT_EQ(c.readLine(), "ok ");
}

TEST_F(LimitedServerTest, PendingOutputPastTheLimitDropsTheClient) {
  auto greedy = loggedIn();
  greedy->send("sync 0 Big 40000000\n");
  EXPECT_TRUE(greedy->closedByPeer(10000));
  EXPECT_TRUE(messages.contains("pending output over the limit of 16777216 bytes"));
}

TEST(ServerContextSetup, CancelEndsWaitingLoopAtOnce) {
  rcServerContext server(0);
  const auto start = std::chrono::steady_clock::now();
  std::thread loop([&] { server.run(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  server.cancel();
  loop.join();
  EXPECT_LT(TcpTestUtil::secondsSince(start), 1.0);
}

TEST(ServerContextEnv, PresetConnectionInfoSkipsLogin) {
  // The record is read when a client is made, so setting it here is enough.
  rcConnectionInfo info(0x0001000000000000ull);
  info.fillInfo(nullptr);
  rcTest::setTestEnv("QV_RC_CONNINFO", info.toAttrStream().c_str());
  rcServerContext server(0);
  {
    ServerThread thread(server);
    RawClient client(server.getPort());
    client.send("sync 0 _ping \nsync 0 _ping \n");
    EXPECT_EQ(client.readLine(), "ok ");
    EXPECT_EQ(client.readLine(), "ok ");
  }
  rcTest::setTestEnv("QV_RC_CONNINFO", nullptr);
}

}  // namespace
}  // namespace Kestrix
