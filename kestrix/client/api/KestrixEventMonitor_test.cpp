// The event monitor against a scripted server on loopback that records
// subscription requests, with "NodeEvent" calls sent to the monitor as a
// server would send them.
#include "kestrix/client/api/KestrixEventMonitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/base/rcApi/rcAPI.h"
#include "common/base/rcApi/rcAttrStream.h"
#include "common/base/rcApi/rcRemoteCallTestUtil.h"
#include "kestrix/client/api/KestrixBaseClientAPI.h"
#include "kestrix/client/api/KestrixClientAPI.h"
#include "kestrix/client/api/KestrixServerImp.h"

namespace {

using Kestrix::rcAttrStream;
using Kestrix::rcMethod;
using Kestrix::rcParam;
using namespace std::chrono_literals;

// Requests the server saw, as "Method Subject[ Fmt]"; and whether an
// "UnregisterEvents" waits for release before it answers.
struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> requests;
  bool holdUnregister = false;
  bool held = false;
} gSeen;

class SubscriptionServer : public Kestrix::rcServerContext {
 public:
  explicit SubscriptionServer(int port = 0) : rcServerContext(port) {
    static const rcParam::Info text[] = {{&Kestrix::rcParamString::getType(), "params"},
                                         {nullptr, nullptr}};
    for (const char* name : {"RegisterEvents", "UnregisterEvents"})
      registerMethod(rcMethod(*this, name, record, Kestrix::rcParamVoid::getType(), text));
    registerMethod(rcMethod(*this, "Ping", ping, Kestrix::rcParamVoid::getType(),
                            rcMethod::getDudParamList()));
    thread_.emplace(*this);
  }

 private:
  static bool ping(void*, const rcMethod&, const rcParam::Array&, rcParam&) { return true; }
  static bool record(void*, const rcMethod& method, const rcParam::Array& args, rcParam&) {
    const rcAttrStream stream(args[0].stringValue());
    std::string subject, format;
    int port = 0;
    if (!stream.getIntValue("Port", port) || port != KestrixEventMonitor::instance().getPort()) {
      method.setLastError("Missing 'Port' parameter");
      return false;
    }
    stream.getStringValue("Subject", subject);
    std::string line = std::string(method.getName()) + " " + subject;
    if (stream.getStringValue("Fmt", format)) line += " " + format;
    std::unique_lock<std::mutex> lock(gSeen.mutex);
    gSeen.requests.push_back(line);
    if (line.rfind("Unregister", 0) == 0 && gSeen.holdUnregister) {
      gSeen.held = true;
      gSeen.changed.notify_all();
      gSeen.changed.wait_for(lock, 5s, [] { return !gSeen.holdUnregister; });
    }
    return true;
  }
  std::optional<Kestrix::rcTest::ServerThread> thread_;
};

// Waits up to 2 s for n requests: withdrawing everything awaits no reply.
std::vector<std::string> takeRequests(size_t n = 0) {
  std::unique_lock<std::mutex> lock(gSeen.mutex);
  for (int i = 0; i < 200 && gSeen.requests.size() < n; ++i) {
    lock.unlock();
    std::this_thread::sleep_for(10ms);
    lock.lock();
  }
  return std::exchange(gSeen.requests, {});
}

// Counts its calls and remembers the thread of the last one.
struct Counter : KestrixNodeEvent::Handler {
  void handleEvent(const KestrixNodeEvent& event) override {
    std::lock_guard<std::mutex> lock(mutex);
    ++calls;
    last = event;
    thread = std::this_thread::get_id();
  }
  int count() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
  std::mutex mutex;
  int calls = 0;
  KestrixNodeEvent last;
  std::thread::id thread;
};

class EventMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(client_.init());
    // On a fixed port, which is listened on with address reuse: a server
    // restarted there gets it back while the closed connections linger.
    port_ = SubscriptionServer().getPort();
    server_ = std::make_unique<SubscriptionServer>(port_);
    handle_ = std::make_unique<KestrixServerHandle>(KestrixServerId(address().c_str()));
  }
  void TearDown() override {
    handle_.reset();
    server_.reset();
    takeRequests();
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  uint32_t connectionId() { return handle_->imp()->events->getId(); }
  // Calls "NodeEvent" on the monitor as a server does; the reply's text.
  std::string send(uint32_t connection, const char* node, bool withDetails = true) {
    rcAttrStream event;
    event.addStringValue("NodeId", node);
    event.addStringValue("Type", "Modified");
    if (withDetails) event.addStringValue("Details", "Groups 1 3");
    if (!engine_.isConnected(true) &&
        !engine_.connect("127.0.0.1", KestrixEventMonitor::instance().getPort(), 2000))
      return engine_.lastError();
    std::string result;
    return engine_.call(static_cast<int>(connection), "NodeEvent", event.getStream(), true, result,
                        2000)
               ? "ok"
               : result;
  }

  KestrixClient client_;
  std::unique_ptr<SubscriptionServer> server_;
  int port_ = 0;
  std::unique_ptr<KestrixServerHandle> handle_;
  Kestrix::rcAPI engine_;
};

TEST_F(EventMonitorTest, SubscriptionsMapToRequestsAndEventsToHandlers) {
  Counter twice, other;
  ASSERT_TRUE(handle_->registerEventHandler("node-a", &twice, "fmt1"));
  ASSERT_TRUE(handle_->registerEventHandler("node-a", &twice, "fmt1"));
  ASSERT_TRUE(handle_->registerEventHandler("node-a", &other, "fmt2"));
  // The first connection's re-subscription withdraws stale subscriptions.
  EXPECT_EQ(takeRequests(),
            (std::vector<std::string>{"UnregisterEvents ", "RegisterEvents node-a fmt1",
                                      "RegisterEvents node-a fmt2"}));
  EXPECT_EQ(handle_->imp()->events->subjectCount(), 2u);

  EXPECT_EQ(send(connectionId(), "node-a"), "ok");
  EXPECT_EQ(send(connectionId(), "node-b"), "ok");  // nobody watches it: dropped
  EXPECT_EQ(send(connectionId() + 1000, "node-a"),
            "Invalid Object: " + std::to_string(connectionId() + 1000));
  EXPECT_EQ(send(connectionId(), "node-a", false), "Missing 'Details' parameter");
  for (auto start = std::chrono::steady_clock::now();
       twice.count() < 2 && std::chrono::steady_clock::now() - start < 5s;)
    std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(twice.count(), 2);
  EXPECT_EQ(other.count(), 1);
  KestrixStr groups;
  EXPECT_TRUE(other.last.getDetails().getString("Groups", groups));
  EXPECT_STREQ(groups.c_str(), "3");
  EXPECT_STREQ(other.last.getNodeId().c_str(), "node-a");

  // One unregistration removes both of its registrations; the node is
  // withdrawn once, when its last handler goes.
  ASSERT_TRUE(handle_->unregisterEventHandler("node-a", &twice));
  EXPECT_TRUE(takeRequests().empty());
  ASSERT_TRUE(handle_->unregisterEventHandler("node-a", &other));
  EXPECT_EQ(takeRequests(), std::vector<std::string>{"UnregisterEvents node-a"});
  EXPECT_EQ(handle_->imp()->events->subjectCount(), 0u);
  EXPECT_FALSE(handle_->registerEventHandler("node-a", nullptr));
  EXPECT_STREQ(handle_->lastError(), "Invalid handler pointer");

  handle_.reset();
  EXPECT_EQ(takeRequests(1), std::vector<std::string>{"UnregisterEvents "});
}

TEST_F(EventMonitorTest, EventArrivingWhileTheLockIsHeldIsDeliveredByTheHolder) {
  Counter watcher, leaving;
  ASSERT_TRUE(handle_->registerEventHandler("watched", &watcher));
  ASSERT_TRUE(handle_->registerEventHandler("leaving", &leaving));
  {
    std::lock_guard<std::mutex> lock(gSeen.mutex);
    gSeen.holdUnregister = true;
  }
  std::thread::id holder;
  std::thread unregistering([&] {
    holder = std::this_thread::get_id();
    EXPECT_TRUE(handle_->unregisterEventHandler("leaving", &leaving));
  });
  {
    std::unique_lock<std::mutex> lock(gSeen.mutex);
    ASSERT_TRUE(gSeen.changed.wait_for(lock, 5s, [] { return gSeen.held; }));
  }
  // The monitor thread takes the event and returns at once.
  EXPECT_EQ(send(connectionId(), "watched"), "ok");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(watcher.count(), 0);
  {
    std::lock_guard<std::mutex> lock(gSeen.mutex);
    gSeen.holdUnregister = false;
    gSeen.held = false;
    gSeen.changed.notify_all();
  }
  unregistering.join();
  EXPECT_EQ(watcher.count(), 1);
  EXPECT_EQ(watcher.thread, holder);
}

TEST_F(EventMonitorTest, SubscriptionsComeBackWhenTheServerRestarts) {
  Counter watcher;
  ASSERT_TRUE(handle_->registerEventHandler("node-a", &watcher, nullptr, "meta"));
  server_.reset();
  takeRequests();
  server_ = std::make_unique<SubscriptionServer>(port_);
  ASSERT_TRUE(server_->isValid());
  ASSERT_TRUE(handle_->ping(2000));
  EXPECT_EQ(takeRequests(),
            (std::vector<std::string>{"UnregisterEvents ", "RegisterEvents node-a"}));
  EXPECT_EQ(send(connectionId(), "node-a"), "ok");
  for (auto start = std::chrono::steady_clock::now();
       watcher.count() < 1 && std::chrono::steady_clock::now() - start < 5s;)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(watcher.count(), 1);
}

TEST_F(EventMonitorTest, ConnectionIdsFollowCreationOrder) {
  handle_->getIdStr();  // attaches: the handle's connection comes first
  KestrixBaseClientAPI api(nullptr);
  KestrixEventMonitor::Connection first(&api);
  KestrixEventMonitor::Connection second(&api);
  EXPECT_EQ(second.getId(), first.getId() + 1);
  EXPECT_GT(first.getId(), connectionId());
}

// The library's start count, seen through the monitor thread it runs.
TEST(ClientLifecycle, TheLastStopShutsDownAndAStopWithoutStartDoesNothing) {
  KestrixEventMonitor& monitor = KestrixEventMonitor::instance();
  ASSERT_FALSE(monitor.isRunning());
  {
    KestrixClient neverStarted;
    auto first = std::make_unique<KestrixClient>();
    KestrixClient second;
    ASSERT_TRUE(first->init());
    ASSERT_TRUE(second.init());
    first.reset();
    EXPECT_TRUE(monitor.isRunning());
  }
  EXPECT_FALSE(monitor.isRunning());
  KestrixClient again;
  ASSERT_TRUE(again.init());
  EXPECT_TRUE(monitor.isRunning());
}

}  // namespace
