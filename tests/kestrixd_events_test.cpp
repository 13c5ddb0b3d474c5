// kestrixd calls back the monitors (the library's own server contexts, as
// a client's) that watch its rules node; monitors that turn it away are
// dropped, slow ones are kept and hear each latest state once, and neither
// holds up live ones, other clients or kestrixd's exit.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/base/rcApi/rcAPI.h"
#include "common/base/rcApi/rcAttrStream.h"
#include "common/base/rcApi/rcLoginProof.h"
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

// A client's event monitor: records the "NodeEvent" calls to its
// connections; while held, a call waits (at most 20 s) as in a stopped process.
struct Monitor {
  explicit Monitor(std::vector<int> connections) {
    const auto record = [](void* tag, const rcMethod&, const rcParam::Array& args, rcParam&) {
      auto& [monitor, connection] = *static_cast<std::pair<Monitor*, int>*>(tag);
      std::unique_lock<std::mutex> lock(monitor->mutex_);
      ++monitor->calls_;
      monitor->changed_.notify_all();
      monitor->changed_.wait_for(lock, std::chrono::seconds(20), [&] { return !monitor->held_; });
      monitor->events_.push_back(args[0].stringValue());
      monitor->connections_.push_back(connection);
      monitor->changed_.notify_all();
      return true;
    };
    context.registerMethod(rcMethod(context, "NodeEvent", record, rcParamVoid::getType(), kText));
    for (int connection : connections)
      context.registerObject(connection, &tags_.emplace_back(this, connection));
    thread_ = std::make_unique<rcTest::ServerThread>(context);
  }
  ~Monitor() {
    hold(false);
    thread_.reset();
  }
  void hold(bool held) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = held;
    changed_.notify_all();
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<int> connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
  }
  // Until n calls are recorded, or begun (answered or not).
  bool waitEvents(size_t n, int ms = 3000, bool begun = false) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return (begun ? calls_ : events_.size()) >= n; });
  }
  rcServerContext context{0};
  std::mutex mutex_;
  std::condition_variable changed_;  // held, or a call begun or recorded
  bool held_ = false;
  size_t calls_ = 0;
  std::vector<std::string> events_;
  std::vector<int> connections_;
  std::deque<std::pair<Monitor*, int>> tags_;
  std::unique_ptr<rcTest::ServerThread> thread_;
};

// The number of groups of the rules an event tells of.
int groupsOf(const std::string& event) {
  std::string details;
  int groups = -1;
  rcAttrStream(event).getStringValue("Details", details);
  rcAttrStream(details).getIntValue("Groups", groups);
  return groups;
}

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
  int count(const std::string& text) {
    const std::string log = server.log();
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  // Rules of the given number of groups, after limits; returns once reloaded.
  void reload(int groups) {
    std::string rules = limits;
    for (int i = 0; i < groups; ++i)
      rules += "[Group g" + std::to_string(i) + "]\nOsType = Linux\nHosts = h" + std::to_string(i) +
               "\n";
    KestrixTest::writeFile(server.rulesPath, rules);
    const int before = count("rules reloaded");
    server.signal(SIGHUP);
    for (int i = 0; i < 300 && count("rules reloaded") == before; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  std::string limits = "[Limits]\nMaxSubscriptionsPerPeer = 2\n";
  KestrixTest::ServerProcess server{limits + kOneGroup};
  rcAPI api;
  std::string reply;
};

TEST_F(KestrixdEvents, ReloadReachesEachWatcherOfTheRulesNodeOnceAndOnlyWhileSubscribed) {
  Monitor watcher({7}), other({8});
  ASSERT_TRUE(subscribe(watcher.context.getPort(), 7, "a"));
  ASSERT_TRUE(subscribe(watcher.context.getPort(), 7, "b"));  // a second format: still one call
  // Repeated, a subscription is kept as it is: it takes no more of the cap.
  ASSERT_TRUE(subscribe(watcher.context.getPort(), 7, "a")) << reply;
  EXPECT_FALSE(subscribe(other.context.getPort(), 8));
  EXPECT_EQ(reply, "Too many event subscriptions from 127.0.0.1 (2)");
  EXPECT_FALSE(request("RegisterEvents", other.context.getPort(), 8, "kestrixd:other\nerror x"));
  EXPECT_EQ(reply, "Unknown node 'kestrixd:other\\x0aerror x'");
  EXPECT_FALSE(request("RegisterEvents", other.context.getPort(), 8, KESTRIXD_RULES_NODE_ID, "",
                       std::string(1025, 'm')));
  EXPECT_EQ(reply, "'Meta' parameter longer than 1024 bytes");
  KestrixTest::writeFile(server.rulesPath, kNewRules);
  server.signal(SIGHUP);
  ASSERT_TRUE(watcher.waitEvents(1)) << server.log();
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

TEST_F(KestrixdEvents, MonitorsThatTurnTheCallAwayAreDroppedOnceWithoutHoldingUpOthers) {
  const std::string secretFile = server.dir() + "/secret";
  KestrixTest::writeFile(secretFile, "correct horse\n");
  ::chmod(secretFile.c_str(), 0600);
  limits = "[Limits]\nMaxSubscriptionsPerPeer = 5\n[Access]\nSecretFile = " + secretFile + "\n";
  reload(1);
  const int refusing = KestrixTest::freePort();
  Monitor silent({2}), live({3}), wrongSecret({4});
  silent.hold(true);
  live.context.setLoginProof(std::make_shared<rcLoginProof>("correct horse"));
  wrongSecret.context.setLoginProof(std::make_shared<rcLoginProof>("wrong"));
  ASSERT_TRUE(subscribe(refusing, 1) && subscribe(silent.context.getPort(), 2) &&
              subscribe(live.context.getPort(), 3) && subscribe(live.context.getPort(), 9) &&
              subscribe(wrongSecret.context.getPort(), 4));
  reload(2);
  // Signed with kestrixd's secret, the call reaches the live monitor while the silent one waits.
  ASSERT_TRUE(live.waitEvents(1, 2000) && silent.waitEvents(1, 3000, true)) << server.log();
  // The refused, the wrong secret's and the gone connection's places free; the silent one's not.
  for (int connection = 20; connection < 23; ++connection)
    for (int i = 0; i < 300 && !subscribe(live.context.getPort(), connection); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(subscribe(live.context.getPort(), 23)) << server.log();
  EXPECT_GE(count("kestrixd: dropped event subscriber 127.0.0.1:"), 1) << server.log();

  // The next reload goes to the live monitor's connection alone.
  reload(3);
  ASSERT_TRUE(live.waitEvents(2, 2000)) << server.log();
  EXPECT_EQ(live.connections(), (std::vector<int>{3, 3}));

  // SIGTERM breaks off a call that waits.
  const auto stop = Clock::now();
  EXPECT_EQ(server.stop(), 0) << server.log();
  EXPECT_LT(Clock::now() - stop, std::chrono::milliseconds(1000));
}

TEST_F(KestrixdEvents, StoppedWatcherHearsEachLatestReloadOnceItAnswersAgain) {
  Monitor watcher({7});
  ASSERT_TRUE(subscribe(watcher.context.getPort(), 7));
  reload(1);
  ASSERT_TRUE(watcher.waitEvents(1)) << server.log();
  // Stopped for longer than a call's time-out, across three reloads.
  watcher.hold(true);
  reload(2);
  ASSERT_TRUE(watcher.waitEvents(2, 3000, true)) << server.log();
  reload(3);
  reload(4);
  std::this_thread::sleep_for(std::chrono::milliseconds(6500));
  watcher.hold(false);
  // The waiting call is answered late, not sent again; of the two after it, only the latest.
  ASSERT_TRUE(watcher.waitEvents(3, 5000)) << server.log();
  reload(5);
  ASSERT_TRUE(watcher.waitEvents(4, 5000)) << server.log();
  std::vector<int> groups;
  for (const std::string& event : watcher.events()) groups.push_back(groupsOf(event));
  EXPECT_EQ(groups, (std::vector<int>{1, 2, 4, 5}));
  EXPECT_EQ(count("dropped event"), 0) << server.log();
}

TEST_F(KestrixdEvents, ManyHandlesAndQuickReloadsCoalesceInsteadOfDroppingTheProcess) {
  limits = "[Limits]\nMaxSubscriptionsPerPeer = 1000\n";
  reload(1);
  std::vector<int> handles;
  for (int c = 1; c <= 600; ++c) handles.push_back(c);
  Monitor process(handles);
  for (int c : handles) ASSERT_TRUE(subscribe(process.context.getPort(), c)) << reply;
  process.hold(true);
  reload(2);
  ASSERT_TRUE(process.waitEvents(1, 3000, true)) << server.log();
  reload(3);
  reload(4);
  process.hold(false);
  // The call in progress (of the first reload), then the latest for each.
  ASSERT_TRUE(process.waitEvents(601, 20000)) << server.log();
  std::vector<int> last(601, 0);
  const std::vector<std::string> events = process.events();
  const std::vector<int> connections = process.connections();
  for (size_t i = 0; i < events.size(); ++i) last[connections[i]] = groupsOf(events[i]);
  EXPECT_EQ(std::count(last.begin() + 1, last.end(), 4), 600);
  EXPECT_EQ(groupsOf(events.front()), 2);
  EXPECT_EQ(count("dropped event"), 0) << server.log();
}

}  // namespace
