#include "common/base/network/CoNetworkMonitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "common/base/network/CoNetwork.h"
#include "common/base/threads/CoThreadMgr.h"

namespace Kestrix {
namespace {

using namespace std::chrono_literals;

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

}  // namespace
}  // namespace Kestrix
