#include "common/base/network/CoNetworkMonitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/base/network/CoNetwork.h"
#include "common/base/threads/CoThreadMgr.h"

namespace Kestrix {
namespace {

using namespace std::chrono_literals;

class CountingObserver : public CoNetworkMonitor::Observer {
 public:
  CountingObserver() { startObserving(); }
  ~CountingObserver() override { stopObserving(); }
  void networkChanged() override {
    std::lock_guard<std::mutex> guard(mutex_);
    ++count;
    told_.notify_all();
  }
  // A liveness check, not a timing: up to 5 s for more than `seen` notices.
  bool toldAfter(int seen) {
    std::unique_lock<std::mutex> lock(mutex_);
    return told_.wait_for(lock, 5s, [&] { return count > seen; });
  }
  std::atomic<int> count{0};

 private:
  std::mutex mutex_;
  std::condition_variable told_;
};

// Logs its id when told, then drops `drop` (itself, say).
struct Recorder : CoNetworkMonitor::Observer {
  Recorder(std::vector<int>& l, int i) : log(l), id(i) { startObserving(); }
  ~Recorder() override { stopObserving(); }
  void networkChanged() override {
    log.push_back(id);
    if (drop) drop->reset();
  }
  std::vector<int>& log;
  int id;
  std::unique_ptr<Recorder>* drop = nullptr;
};

TEST(CoNetworkMonitorTest, ObserversAreToldInOrderAndNeverAfterTheyAreGone) {
  std::vector<int> log;
  std::unique_ptr<Recorder> first;
  first = std::make_unique<Recorder>(log, 1);
  first->drop = &first;
  Recorder second(log, 2);
  CoNetworkMonitor::changed();
  CoNetworkMonitor::changed();
  EXPECT_EQ(log, (std::vector<int>{1, 2, 2})) << "an observer leaving skipped the next one";
}

TEST(CoNetworkMonitorTest, LastUninitEndsTheThreadAtOnce) {
  const char* name = "CoNetworkMonitor (Kestrix)";
  ASSERT_TRUE(CoNetwork::init());
  EXPECT_TRUE(CoNetworkMonitor::isRunning());
  EXPECT_NE(CoThreadMgr::getInstance()->findThread(name), nullptr);
  const auto before = std::chrono::steady_clock::now();
  CoNetwork::uninit();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  EXPECT_FALSE(CoNetworkMonitor::isRunning());
  EXPECT_EQ(CoThreadMgr::getInstance()->findThread(name), nullptr);
}

// Makes interfaces: registered to run in a namespace of its own.
class CoNetworkMonitorOwnNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("[ \"$(ip -o link show | wc -l)\" = 1 ]") != 0)
      GTEST_SKIP() << "needs a namespace with only lo (tools/netns-run --own)";
    network.emplace();
  }

  CountingObserver observer;
  std::optional<CoNetwork::Guard> network;
};

TEST_F(CoNetworkMonitorOwnNetns, InterfaceChangesAreToldAndABurstIsOneChange) {
  ASSERT_EQ(std::system("ip link add kxa type veth peer name kxb"), 0);
  EXPECT_TRUE(observer.toldAfter(0)) << "a new veth pair was not told";
  std::this_thread::sleep_for(200ms);
  const int before = observer.count;
  ASSERT_EQ(std::system("for i in $(seq 1 20); do echo addr add 198.18.0.$i/24 dev kxa; done |"
                        " ip -batch -"),
            0);
  EXPECT_TRUE(observer.toldAfter(before)) << "twenty new addresses were not told";
  std::this_thread::sleep_for(1s);  // time for one notice per message, were it so
  EXPECT_LE(observer.count - before, 3) << "a burst of twenty messages was not coalesced";
  const int added = observer.count;
  ASSERT_EQ(std::system("ip link del kxa"), 0);
  EXPECT_TRUE(observer.toldAfter(added)) << "a removed veth pair was not told";
}

}  // namespace
}  // namespace Kestrix
