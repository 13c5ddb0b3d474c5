// The event monitor against a scripted server on loopback that records
// subscription requests, with "NodeEvent" calls sent to the monitor as a
// server would send them.
#include "kestrix/client/api/KestrixEventMonitor.h"

#include <gtest/gtest.h>

#ifndef _WIN32  // the descriptor limit, which Windows has not: sockets are not numbered files there
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
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
  std::atomic<bool> refuseUnregister{false};
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
    if (line.rfind("Unregister", 0) == 0 && gSeen.refuseUnregister) {
      method.setLastError("refused");
      return false;
    }
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

// Counts its calls, remembers the thread of the last one, then runs then.
struct Counter : KestrixNodeEvent::Handler {
  void handleEvent(const KestrixNodeEvent& event) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++calls;
      last = event;
      thread = std::this_thread::get_id();
    }
    if (then) then();
  }
  bool waitCount(int n) {
    for (int i = 0; i < 500 && count() < n; ++i) std::this_thread::sleep_for(10ms);
    return count() == n;
  }
  std::function<void()> then;
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
  EXPECT_TRUE(twice.waitCount(2));
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
  EXPECT_TRUE(watcher.waitCount(1));
}

TEST_F(EventMonitorTest, ConnectionIdsFollowCreationOrder) {
  handle_->getIdStr();  // attaches: the handle's connection comes first
  KestrixBaseClientAPI api(nullptr);
  KestrixEventMonitor::Connection first(&api);
  KestrixEventMonitor::Connection second(&api);
  EXPECT_EQ(second.getId(), first.getId() + 1);
  EXPECT_GT(first.getId(), connectionId());
}

// Runs body on a thread of its own and ends the program if it has not
// returned within limit: a deadlock would leave nothing to tear down.
void within(std::chrono::seconds limit, const std::function<void()>& body) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([body, done] {
    body();
    done->set_value();
  }).detach();
  if (finished.wait_for(limit) != std::future_status::ready) std::abort();  // deadlocked
}

TEST_F(EventMonitorTest, HandlersMayUnregisterThemselvesAndOthersAndThrow) {
  Counter self, victim, thrower, last;
  self.then = [&] { EXPECT_TRUE(handle_->unregisterEventHandler("self", &self)); };
  thrower.then = [&] {
    EXPECT_TRUE(handle_->unregisterEventHandler("n", &victim));
    throw std::runtime_error("handler failed");
  };
  within(20s, [&] {
    ASSERT_TRUE(handle_->registerEventHandler("self", &self));
    ASSERT_TRUE(handle_->registerEventHandler("self", &self));  // both go at its first call
    ASSERT_TRUE(handle_->registerEventHandler("n", &thrower, "a"));
    ASSERT_TRUE(handle_->registerEventHandler("n", &victim, "b"));
    ASSERT_TRUE(handle_->registerEventHandler("n", &last, "b"));
    for (const char* node : {"self", "n", "self", "n"}) EXPECT_EQ(send(connectionId(), node), "ok");
    EXPECT_TRUE(last.waitCount(2));
    EXPECT_TRUE(handle_->registerEventHandler("n", &victim, "c"));  // the lock is free again
  });
  EXPECT_EQ(self.count(), 1);
  EXPECT_EQ(victim.count(), 0);  // unregistered before its turn came
  EXPECT_EQ(thrower.count(), 2);
  EXPECT_EQ(handle_->imp()->events->subjectCount(), 3u);  // "self" is gone, not made again
}

TEST_F(EventMonitorTest, HandlersMayUseHandlesThatOtherThreadsAttachAndRegisterOn) {
  KestrixServerHandle second{KestrixServerId(address().c_str())};
  Counter watcher, other;
  std::promise<void> entered;
  watcher.then = [&] {
    entered.set_value();
    // Time for the main thread to attach second, another to register on handle_.
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(second.ping(2000));
    EXPECT_TRUE(handle_->ping(2000));
  };
  ASSERT_TRUE(handle_->registerEventHandler("n", &watcher));
  within(20s, [&] {
    std::thread events([&] { EXPECT_EQ(send(connectionId(), "n"), "ok"); });
    entered.get_future().wait();
    std::thread registering([&] { EXPECT_TRUE(handle_->registerEventHandler("m", &other)); });
    second.getIdStr();  // attaches
    registering.join();
    events.join();
  });
  EXPECT_EQ(watcher.count(), 1);
}

TEST_F(EventMonitorTest, SubscriptionsAreRenewedAndAFailedWithdrawalIsRetried) {
  Counter watcher;
  ASSERT_TRUE(handle_->registerEventHandler("node-a", &watcher));
  takeRequests();
  KestrixEventMonitor::instance().renewNow();
  EXPECT_EQ(takeRequests(), std::vector<std::string>{"RegisterEvents node-a"});
  gSeen.refuseUnregister = true;
  EXPECT_FALSE(handle_->unregisterEventHandler("node-a", &watcher));
  gSeen.refuseUnregister = false;
  EXPECT_EQ(handle_->imp()->events->subjectCount(), 1u);
  EXPECT_EQ(send(connectionId(), "node-a"), "ok");
  takeRequests();
  KestrixEventMonitor::instance().renewNow();
  EXPECT_EQ(takeRequests(), std::vector<std::string>{"UnregisterEvents node-a"});
  EXPECT_EQ(handle_->imp()->events->subjectCount(), 0u);
  EXPECT_EQ(watcher.count(), 0);
}

TEST_F(EventMonitorTest, TheMonitorAdmitsOnlyLoggedInSubscribedServersAtABoundedCost) {
  KestrixEventMonitor& monitor = KestrixEventMonitor::instance();
  EXPECT_FALSE(monitor.allowPeer("127.0.0.1"));  // no server of this host is attached
  handle_->getIdStr();
  EXPECT_TRUE(monitor.allowPeer("127.0.0.1") && !monitor.allowPeer("198.18.0.9"));
  const int port = monitor.getPort();

// Not with UBSan, whose checks need descriptors too; not on Windows (above).
#if !defined(__SANITIZE_ADDRESS__) && !defined(_WIN32)
  // Out of descriptors, the monitor waits for one instead of spinning.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const rlimit low{std::min<rlim_t>(saved.rlim_cur, 512), saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> spare;
  for (int fd; (fd = ::dup(0)) >= 0;) spare.push_back(fd);
  ASSERT_FALSE(spare.empty());
  ::close(spare.back());
  spare.pop_back();
  Kestrix::rcTest::RawClient waiting(port);  // connected, but not to be accepted
  const std::clock_t before = std::clock();
  std::this_thread::sleep_for(1s);
  const double spent = static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
  for (int fd : spare) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_LT(spent, 0.2);
  ASSERT_TRUE(waiting.ok() && waiting.send("1 NodeEvent x\n"));
  EXPECT_NE(waiting.readLine(), "<timeout>");  // then it is served
#endif

  Kestrix::rcTest::RawClient flood(port);
  ASSERT_TRUE(flood.send(std::string(100000, 'x')));
  EXPECT_NE(flood.readLine().find("Request too large (limit 65536 bytes)"), std::string::npos);
  std::vector<std::unique_ptr<Kestrix::rcTest::RawClient>> idle;
  for (int i = 0; i < 70; ++i) idle.push_back(std::make_unique<Kestrix::rcTest::RawClient>(port));
  EXPECT_NE(idle.back()->readLine().find("Too many clients (limit 64)"), std::string::npos);
  ASSERT_TRUE(idle.front()->send("1 NodeEvent x\n"));  // without a login
  EXPECT_NE(idle.front()->readLine().find("Not logged in"), std::string::npos);
}

// The thread manager, made after the client, ends its threads at exit first.
TEST(ClientLifecycle, AStaticClientWithALiveSubscriptionExitsCleanly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static SubscriptionServer server;
        static KestrixServerHandle handle{
            KestrixServerId(("127.0.0.1:" + std::to_string(server.getPort())).c_str())};
        static KestrixClient client;
        static Counter watcher;
        if (!client.init() || !handle.registerEventHandler("node-a", &watcher)) std::_Exit(2);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
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
