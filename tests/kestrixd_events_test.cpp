// kestrixd calls its event subscribers back: a rules reload reaches every
// monitor that watches the rules node, and only those, while a monitor that
// refuses or never answers is dropped without holding up the others, the
// requests of other clients or kestrixd's exit. The monitors are the
// library's own server contexts, as a client's would be.
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
class Monitor {
 public:
  explicit Monitor(int connection) : connection(connection) {
    context_.registerMethod(rcMethod(context_, "NodeEvent", record, rcParamVoid::getType(), kText));
    context_.registerObject(connection, this);
    thread_ = std::make_unique<rcTest::ServerThread>(context_);
  }
  int port() const { return context_.getPort(); }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  bool waitEvents(size_t n, int ms = 3000) {
    for (auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end;) {
      if (events().size() >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  const int connection;

 private:
  static bool record(void* self, const rcMethod&, const rcParam::Array& args, rcParam&) {
    Monitor& monitor = *static_cast<Monitor*>(self);
    std::lock_guard<std::mutex> lock(monitor.mutex_);
    monitor.events_.push_back(args[0].stringValue());
    return true;
  }
  rcServerContext context_{0};
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
  bool connected(int ms) const {
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
               const char* format = "") {
    rcAttrStream stream;
    stream.addIntValue("Port", port);
    stream.addIntValue("Connection", connection);
    stream.addStringValue("Subject", subject);
    if (*format != '\0') stream.addStringValue("Fmt", format);
    std::string reply;
    return api.call(0, method, stream.getStream(), true, reply, 3000);
  }
  bool subscribe(int port, int connection, const char* format = "") {
    return request("RegisterEvents", port, connection, KESTRIXD_RULES_NODE_ID, format);
  }
  int count(const std::string& text) {
    const std::string log = server.log();
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  std::string dropped(int port, int connection) {
    return "kestrixd: dropped event subscriber 127.0.0.1:" + std::to_string(port) +
           " (connection " + std::to_string(connection) + "): ";
  }

  KestrixTest::ServerProcess server{kOneGroup};
  rcAPI api;
};

TEST_F(KestrixdEvents, ReloadReachesEachWatcherOfTheRulesNodeOnceAndOnlyWhileSubscribed) {
  Monitor watcher(7), other(8);
  ASSERT_TRUE(subscribe(watcher.port(), 7, "a"));
  ASSERT_TRUE(subscribe(watcher.port(), 7, "b"));  // a second format: still one call
  ASSERT_TRUE(request("RegisterEvents", other.port(), 8, "kestrixd:other"));
  KestrixTest::writeFile(server.rulesPath, kNewRules);
  server.signal(SIGHUP);
  ASSERT_TRUE(watcher.waitEvents(1)) << server.log();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(watcher.events().size(), 1u);
  EXPECT_TRUE(other.events().empty());
  const rcAttrStream event(watcher.events()[0]);
  std::string nodeId, type, detailsText, rulesFile;
  EXPECT_TRUE(event.getStringValue("NodeId", nodeId) && nodeId == KESTRIXD_RULES_NODE_ID);
  EXPECT_TRUE(event.getStringValue("Type", type) && type == "Modified");
  ASSERT_TRUE(event.getStringValue("Details", detailsText));
  const rcAttrStream details(detailsText);
  int groups = 0, hosts = 0, osTypes = 0;
  EXPECT_TRUE(details.getStringValue("RulesFile", rulesFile) && rulesFile == server.rulesPath);
  EXPECT_TRUE(details.getIntValue("Groups", groups) && groups == 2) << detailsText;
  EXPECT_TRUE(details.getIntValue("HostTranslations", hosts) && hosts == 1) << detailsText;
  EXPECT_TRUE(details.getIntValue("OsTypeTranslations", osTypes) && osTypes == 1) << detailsText;

  // Unsubscribed, the watcher hears nothing of a reload that the other
  // monitor, now subscribed, does hear.
  ASSERT_TRUE(request("UnregisterEvents", watcher.port(), 7, ""));
  ASSERT_TRUE(subscribe(other.port(), 8));
  server.signal(SIGHUP);
  ASSERT_TRUE(other.waitEvents(1)) << server.log();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(watcher.events().size(), 1u);
  EXPECT_EQ(other.events().size(), 1u);
  EXPECT_EQ(server.stop(), 0) << server.log();
}

TEST_F(KestrixdEvents, DeadSubscribersAreDroppedWithoutDelayingTheLiveOneOrOtherClients) {
  const int refusing = KestrixTest::freePort();
  SilentPort silent;
  Monitor live(3);
  ASSERT_TRUE(subscribe(refusing, 1) && subscribe(silent.port, 2) && subscribe(live.port(), 3));
  const auto reload = Clock::now();
  server.signal(SIGHUP);
  ASSERT_TRUE(live.waitEvents(1, 2000)) << server.log();
  EXPECT_LT(Clock::now() - reload, std::chrono::milliseconds(1000));
  // Pings keep being answered while the silent monitor runs out its time.
  rcAPI pinger;
  ASSERT_TRUE(pinger.connect("127.0.0.1", server.port, 3000));
  std::string reply;
  while (count(dropped(silent.port, 2)) == 0 && Clock::now() - reload < std::chrono::seconds(7)) {
    const auto sent = Clock::now();
    ASSERT_TRUE(pinger.call(0, "Ping", "", true, reply, 3000)) << reply;
    EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(300));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_GE(Clock::now() - reload, std::chrono::milliseconds(4500));
  EXPECT_EQ(count(dropped(silent.port, 2)), 1) << server.log();
  EXPECT_EQ(count(dropped(refusing, 1)), 1) << server.log();

  // The next reload goes to the live monitor alone.
  server.signal(SIGHUP);
  ASSERT_TRUE(live.waitEvents(2, 2000)) << server.log();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int calls = 0;
  for (int fd; (fd = ::accept(silent.fd, nullptr, nullptr)) >= 0; ++calls) ::close(fd);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(count(dropped(refusing, 1)), 1) << server.log();
  EXPECT_EQ(server.stop(), 0) << server.log();
}

TEST_F(KestrixdEvents, SigtermBreaksOffACallThatWaitsOnASilentMonitor) {
  SilentPort silent;
  ASSERT_TRUE(subscribe(silent.port, 1));
  server.signal(SIGHUP);
  ASSERT_TRUE(silent.connected(3000)) << server.log();
  const auto start = Clock::now();
  EXPECT_EQ(server.stop(), 0) << server.log();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000)) << server.log();
}

}  // namespace
