#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

#include "common/base/network/CoNetwork.h"
#include "common/base/network/CoNetworkMonitor.h"

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
