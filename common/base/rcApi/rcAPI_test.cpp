#include "common/base/rcApi/rcAPI.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/base/rcApi/rcRemoteCallTestUtil.h"
#include "common/base/tcp/CoIoDescriptor.h"

namespace Kestrix {
namespace {

using rcTest::RawClient;
using rcTest::ServerThread;
using TcpTestUtil::RawSocket;
using Clock = std::chrono::steady_clock;

std::string timedOutText() {
  char text[256];
  CoIoDescriptor::getIoError(CoIoDescriptor::IO_TIMED_OUT, text, sizeof text);
  return text;
}

// A hand-written server for one client: it answers the login with
// loginReply, then the test scripts the rest with peer().
class ScriptedServer {
 public:
  explicit ScriptedServer(std::string loginReply = "error Unknown method: _login\n")
      : listener_(AF_INET, 0, 4), loginReply_(std::move(loginReply)) {}

  int port() const { return listener_.port(); }
  RawClient& peer() { return *peer_; }

  // Connects api, answering its login from a thread.
  bool connect(rcAPI& api) {
    std::thread accepting([this] {
      peer_ = std::make_unique<RawClient>(listener_.accept(3000), true);
      loginLine = peer_->readLine();
      peer_->send(loginReply_);
    });
    const bool ok = api.connect("127.0.0.1", port(), 3000);
    accepting.join();
    return ok;
  }

  std::string loginLine;

 private:
  RawSocket listener_;
  std::string loginReply_;
  std::unique_ptr<RawClient> peer_;
};

// A call made while the scripted server answers from a thread.
struct Outcome {
  bool ok;
  std::string result;
  std::string request;
};
Outcome callWith(rcAPI& api, ScriptedServer& server, const std::string& reply,
                 const char* params = "", unsigned timeoutMs = 3000) {
  Outcome out;
  std::thread serving([&] {
    out.request = server.peer().readLine();
    if (!reply.empty()) server.peer().send(reply);
  });
  out.ok = api.call(0, "Method", params, true, out.result, timeoutMs);
  serving.join();
  return out;
}

TEST(rcAPI, VersionFromParts) {
  const unsigned short twoOne[] = {2, 1};
  EXPECT_EQ(rcAPI(twoOne, 2).getVersion(), 0x0002000100000000ull);
  const unsigned short four[] = {2020, 2, 0, 236};
  EXPECT_EQ(rcAPI(four, 4).getVersion(), 0x07E40002000000ECull);
  EXPECT_EQ(rcAPI().getVersion(), 0u);
}

TEST(rcAPI, RequestLinesOnTheWire) {
  ScriptedServer server;
  rcAPI api;
  ASSERT_TRUE(server.connect(api));
  EXPECT_EQ(server.loginLine.rfind("sync 0 _login StrUserName ", 0), 0u) << server.loginLine;
  Outcome ping = callWith(api, server, "ok \n");
  EXPECT_TRUE(ping.ok);
  EXPECT_EQ(ping.request, "sync 0 Method ");  // three spaces, also without parameters
  EXPECT_EQ(ping.result, "");
  EXPECT_EQ(callWith(api, server, "ok \n", "a\tb\nc\\d").request, "sync 0 Method a\\tb\\nc\\\\d");
  std::string result = "x";
  EXPECT_TRUE(api.call(0, "Notify", "p", false, result, 1000));
  EXPECT_EQ(result, "");
  EXPECT_EQ(server.peer().readLine(), "async 0 Notify p");
}

TEST(rcAPI, LoginRefusalTextsThatMeanNoLoginStep) {
  for (const char* text : {"error Unknown method: _login\n", "error Unknown method: '_login'.\n",
                           "error Authentication failed\n"}) {
    ScriptedServer server(text);
    rcAPI api;
    const bool noLoginStep = std::string(text).find("_login") != std::string::npos;
    EXPECT_EQ(server.connect(api), noLoginStep) << text;
    EXPECT_EQ(api.isConnected(false), noLoginStep) << text;
    EXPECT_EQ("error " + api.lastError() + "\n", text);
  }
}

TEST(rcAPI, StatusMustBeExactlyOk) {
  ScriptedServer server;
  rcAPI api;
  ASSERT_TRUE(server.connect(api));
  Outcome ok = callWith(api, server, "ok value with spaces\\tand tab\n");
  EXPECT_TRUE(ok.ok);
  EXPECT_EQ(ok.result, "value with spaces\tand tab");
  for (const char* status : {"OK", "oks", "o", "error"}) {
    Outcome bad = callWith(api, server, std::string(status) + " server text\n");
    EXPECT_FALSE(bad.ok) << status;
    EXPECT_EQ(bad.result + api.lastError(), "server textserver text");
    EXPECT_TRUE(api.isConnected(true));  // an error reply keeps the connection
  }
  // A megabyte of error text is cut to its first 4096 bytes.
  Outcome huge = callWith(api, server, "error " + std::string(1 << 20, 'e') + "\n");
  EXPECT_EQ(huge.result, std::string(4096, 'e') + "...");
  EXPECT_EQ(api.lastError(), huge.result);
  Outcome longStatus = callWith(api, server, std::string(65, 'o') + " text\n");
  EXPECT_EQ(longStatus.result, "Bad reply: status longer than 64 bytes");
}

TEST(rcAPI, ReplyTimeOutKeepsConnection) {
  ScriptedServer server;
  rcAPI api;
  ASSERT_TRUE(server.connect(api));
  const auto start = Clock::now();
  Outcome out = callWith(api, server, "", "", 0);
  const double waited = TcpTestUtil::secondsSince(start);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.result, timedOutText());
  EXPECT_TRUE(api.timedOut());
  EXPECT_TRUE(api.isConnected(false));
  EXPECT_GE(waited, 0.001);
  EXPECT_LT(waited, 1.0);
}

TEST(rcAPI, EndlessReplyIsBoundedByTimeOut) {
  ScriptedServer server;
  rcAPI api;
  ASSERT_TRUE(server.connect(api));
  std::atomic<bool> done{false};
  std::thread flooding([&] {
    server.peer().readLine();
    const std::string chunk = "ok " + std::string(4096, 'z');
    while (!done && server.peer().send(chunk)) {
    }
  });
  std::string result;
  const auto start = Clock::now();
  EXPECT_FALSE(api.call(0, "Flood", "", true, result, 300));
  EXPECT_LT(TcpTestUtil::secondsSince(start), 2.0);
  EXPECT_TRUE(api.timedOut());
  done = true;
  api.disconnect();
  flooding.join();
}

// KESTRIX_MAX_REPLY_BYTES=1000 for this suite (CMakeLists.txt).
TEST(rcAPIMaxReplyFromEnv, LongerReplyFailsTheCallAndClosesTheConnection) {
  ScriptedServer server;
  rcAPI api;
  ASSERT_TRUE(server.connect(api));
  Outcome fits = callWith(api, server, "ok " + std::string(997, 'x') + "\n");
  EXPECT_TRUE(fits.ok) << fits.result;
  Outcome longer = callWith(api, server, "ok " + std::string(998, 'x') + "\n");
  EXPECT_FALSE(longer.ok);
  EXPECT_EQ(longer.result, "Reply too large (limit 1000 bytes, KESTRIX_MAX_REPLY_BYTES)");
  EXPECT_FALSE(api.isConnected(false));
}

TEST(rcAPI, StopFromAnotherThreadBreaksOffCall) {
  ScriptedServer server;
  rcAPI api;
  ASSERT_TRUE(server.connect(api));
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    api.stop("user gave up");
  });
  std::string result;
  const auto start = Clock::now();
  EXPECT_FALSE(api.call(0, "Slow", "", true, result, 60000));
  stopper.join();
  EXPECT_LT(TcpTestUtil::secondsSince(start), 2.0);
  EXPECT_EQ(result, "user gave up");
  EXPECT_TRUE(api.stopped());
  EXPECT_FALSE(api.isConnected(false));
}

TEST(rcAPI, PeerClosingDropsConnectionAndLaterCallsFail) {
  ScriptedServer server;
  rcAPI api;
  ASSERT_TRUE(server.connect(api));
  std::thread closing([&] {
    server.peer().readLine();
    server.peer().close();
  });
  std::string result;
  EXPECT_FALSE(api.call(0, "M", "", true, result, 3000));
  closing.join();
  EXPECT_FALSE(result.empty());
  EXPECT_FALSE(api.isConnected(false));
  EXPECT_FALSE(api.call(0, "M", "", true, result, 100));
  EXPECT_EQ(result, "Connection not established.");
}

TEST(rcAPI, RefusedConnection) {
  int port;
  {
    RawSocket unused(AF_INET, 0, -1);
    port = unused.port();
  }
  rcAPI api;
  EXPECT_FALSE(api.connect("127.0.0.1", port, 1000));
  char refused[256];
  CoIoDescriptor::getIoError(CoIoDescriptor::IO_CONNECTION_REFUSED, refused, sizeof refused);
  EXPECT_EQ(api.lastError(), refused);
  EXPECT_FALSE(api.isConnected(false));
}

}  // namespace
}  // namespace Kestrix
