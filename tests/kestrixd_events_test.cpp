// kestrixd calls back the monitors (the library's own server contexts, as
// a client's) that watch its rules node; dead ones are dropped without
// holding up live ones, other clients or kestrixd's exit.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/base/rcApi/rcAPI.h"
#include "common/base/rcApi/rcAttrStream.h"
#include "common/base/rcApi/rcRemoteCallTestUtil.h"
#include "kestrix/server/KestrixRulesNode.h"
#include "tests/KestrixdProcess.h"

namespace {

using namespace Kestrix;
using Clock = std::chrono::steady_clock;

const char kOneGroup[] = "[Group farm]\nOsType = Linux\nHosts = fs\n";
const char kNewRules[] =
    "[Group farm]\nOsType = Linux\nHosts = fs\n[Group edit]\nOsType = WindowsNT\nHosts = e1\n"
    "[HostTranslation d]\nsrcHost = fs\nsrcPath = /d\ndstHost = e1\ndstPath = D:\\\n"
    "[OsTypeTranslation d]\nsrcType = Linux\nsrcPath = /d\ndstType = MacOSX\ndstPath = /V\n";
const rcParam::Info kText[] = {{&rcParamString::getType(), "event"}, {nullptr, nullptr}};

// A client's event monitor: records the "NodeEvent" calls to one connection.
struct Monitor {
  explicit Monitor(int connection) {
    const auto record = [](void* self, const rcMethod&, const rcParam::Array& args, rcParam&) {
      Monitor& monitor = *static_cast<Monitor*>(self);
      std::lock_guard<std::mutex> lock(monitor.mutex_);
      monitor.events_.push_back(args[0].stringValue());
      return true;
    };
    context.registerMethod(rcMethod(context, "NodeEvent", record, rcParamVoid::getType(), kText));
    context.registerObject(connection, this);
    thread_ = std::make_unique<rcTest::ServerThread>(context);
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  bool waitEvents(size_t n, int ms = 3000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (; events().size() < n; std::this_thread::sleep_for(std::chrono::milliseconds(10)))
      if (Clock::now() > end) return false;
    return true;
  }
  rcServerContext context{0};
  std::mutex mutex_;
  std::vector<std::string> events_;
  std::unique_ptr<rcTest::ServerThread> thread_;
};

// A port that accepts connections (into its backlog) but never answers.
struct SilentPort {
  SilentPort() {
    sockaddr_in addr = KestrixTest::loopback(0);
    socklen_t length = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), length);
    ::listen(fd, 16);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    port = ntohs(addr.sin_port);
  }
  ~SilentPort() { ::close(fd); }
  bool called(int ms) const {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int port = 0;
};

class KestrixdEvents : public ::testing::Test {
 protected:
  KestrixdEvents() { EXPECT_TRUE(api.connect("127.0.0.1", server.port, 3000)) << api.lastError(); }
  bool request(const char* method, int port, int connection, const char* subject,
               const std::string& format = "", const std::string& meta = "") {
    rcAttrStream stream;
    stream.addIntValue("Port", port);
    stream.addIntValue("Connection", connection);
    stream.addStringValue("Subject", subject);
    if (!format.empty()) stream.addStringValue("Fmt", format);
    if (!meta.empty()) stream.addStringValue("Meta", meta);
    return api.call(0, method, stream.getStream(), true, reply, 3000);
  }
  bool subscribe(int port, int connection, const std::string& format = "") {
    return request("RegisterEvents", port, connection, KESTRIXD_RULES_NODE_ID, format);
  }
  // Notices of a subscriber's drop.
  int drops(int port, int connection) {
    const std::string log = server.log();
    const std::string text =
        "kestrixd: dropped event subscriber 127.0.0.1:" + std::to_string(port) + " (connection " +
        std::to_string(connection) + ")";
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }

  KestrixTest::ServerProcess server{kOneGroup};
  rcAPI api;
  std::string reply;
};

TEST_F(KestrixdEvents, ReloadReachesEachWatcherOfTheRulesNodeOnceAndOnlyWhileSubscribed) {
  Monitor watcher(7), other(8);
  ASSERT_TRUE(subscribe(watcher.context.getPort(), 7, "a"));
  ASSERT_TRUE(subscribe(watcher.context.getPort(), 7, "b"));  // a second format: still one call
  EXPECT_FALSE(request("RegisterEvents", other.context.getPort(), 8, "kestrixd:other\nerror x"));
  EXPECT_EQ(reply, "Unknown node 'kestrixd:other\\x0aerror x'");
  EXPECT_FALSE(request("RegisterEvents", other.context.getPort(), 8, KESTRIXD_RULES_NODE_ID, "",
                       std::string(1025, 'm')));
  EXPECT_EQ(reply, "'Meta' parameter longer than 1024 bytes");
  KestrixTest::writeFile(server.rulesPath, kNewRules);
  server.signal(SIGHUP);
  ASSERT_TRUE(watcher.waitEvents(1)) << server.log();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(other.events().empty());
  rcAttrStream details, event;
  details.addStringValue("RulesFile", server.rulesPath);
  details.addIntValue("Groups", 2);
  details.addIntValue("HostTranslations", 1);
  details.addIntValue("OsTypeTranslations", 1);
  event.addStringValue("NodeId", KESTRIXD_RULES_NODE_ID);
  event.addStringValue("Type", "Modified");
  event.addStringValue("Details", details.getStreamStr());
  EXPECT_EQ(watcher.events(), std::vector<std::string>{event.getStreamStr()});

  // Unsubscribed, the watcher hears nothing of a reload that the other
  // monitor, now subscribed, does hear.
  ASSERT_TRUE(request("UnregisterEvents", watcher.context.getPort(), 7, ""));
  ASSERT_TRUE(subscribe(other.context.getPort(), 8));
  server.signal(SIGHUP);
  ASSERT_TRUE(other.waitEvents(1)) << server.log();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(watcher.events().size(), 1u);
  EXPECT_EQ(other.events().size(), 1u);
  EXPECT_EQ(server.stop(), 0) << server.log();
}

TEST_F(KestrixdEvents, DeadSubscribersAreDroppedWithoutHoldingUpLiveOnesOtherClientsOrExit) {
  const int refusing = KestrixTest::freePort();
  SilentPort silent;
  Monitor live(3);
  ASSERT_TRUE(subscribe(refusing, 1) && subscribe(silent.port, 2));
  const auto reload = Clock::now();
  server.signal(SIGHUP);
  ASSERT_TRUE(silent.called(3000)) << server.log();
  // A reload while the silent monitor keeps its call waiting.
  ASSERT_TRUE(subscribe(live.context.getPort(), 3));
  const auto second = Clock::now();
  server.signal(SIGHUP);
  ASSERT_TRUE(live.waitEvents(1, 2000)) << server.log();
  EXPECT_LT(Clock::now() - second, std::chrono::milliseconds(1000));
  // Pings are answered at once while the silent monitor, which has never
  // answered, runs out its first call's time; kestrixd then hangs up.
  const int call = ::accept(silent.fd, nullptr, nullptr);
  ASSERT_GE(call, 0);
  for (char bytes[4096]; Clock::now() - reload < std::chrono::seconds(4);) {
    ASSERT_TRUE(api.call(0, "Ping", "", true, reply, 300)) << reply;
    pollfd p{call, POLLIN, 0};
    if (::poll(&p, 1, 50) == 1 && ::recv(call, bytes, sizeof bytes, MSG_DONTWAIT) == 0) break;
  }
  ::close(call);
  EXPECT_GE(Clock::now() - reload, std::chrono::milliseconds(900));
  EXPECT_LT(Clock::now() - reload, std::chrono::milliseconds(2500));
  EXPECT_EQ(drops(refusing, 1), 1) << server.log();

  // The next reload goes to the live monitor alone.
  server.signal(SIGHUP);
  ASSERT_TRUE(live.waitEvents(2, 2000)) << server.log();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(silent.called(0));

  // SIGTERM breaks off a call that waits.
  ASSERT_TRUE(subscribe(silent.port, 4));
  server.signal(SIGHUP);
  ASSERT_TRUE(silent.called(3000)) << server.log();
  const auto stop = Clock::now();
  EXPECT_EQ(server.stop(), 0) << server.log();
  EXPECT_LT(Clock::now() - stop, std::chrono::milliseconds(1000));
}

}  // namespace
