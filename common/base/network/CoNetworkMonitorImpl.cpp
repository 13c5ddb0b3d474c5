#include "common/base/network/CoNetworkMonitorImpl.h"

#include <algorithm>
#include <chrono>

#include "common/base/loggerBase/qvAssert.h"
#include "common/base/network/CoNetwork.h"
#include "common/base/network/CoNetworkWatch.h"
#include "common/base/threads/CoTask.h"
#include "common/base/threads/CoThread.h"
#include "common/base/threads/CoThreadMgr.h"

namespace Kestrix {
namespace {

// Notices closer together than this are one change: an interface coming
// up sends one per address and route within a few milliseconds, and
// observers should refresh once for all of them.
constexpr int QUIET_MS = 50;
// A stream that never pauses (a flapping link) is still told this often.
constexpr std::chrono::milliseconds MAX_BURST{1000};

class WatchTask : public CoTask {
 public:
  explicit WatchTask(CoNetworkMonitorImpl::Callback changed) : changed_(changed) {}

  void run(CoThread*) override {
    if (!watch_.isOpen()) return;
    while (watch_.waitFor(-1) == CoNetworkWatch::CHANGE && collectBurst()) changed_();
  }

  // The wake stays set, so a stop before run() starts still ends it.
  void stop(CoThread*) override { watch_.wake(); }

 private:
  // Takes notices until QUIET_MS pass without one; false when stopped or
  // failed meanwhile.
  bool collectBurst() {
    const auto first = std::chrono::steady_clock::now();
    for (;;) {
      if (!watch_.drain()) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          first + MAX_BURST - std::chrono::steady_clock::now());
      if (left.count() <= 0) return true;
      const CoNetworkWatch::Wait wait =
          watch_.waitFor(std::min<int>(QUIET_MS, static_cast<int>(left.count())));
      if (wait == CoNetworkWatch::QUIET) return true;
      if (wait != CoNetworkWatch::CHANGE) return false;
    }
  }

  CoNetworkMonitorImpl::Callback changed_;
  CoNetworkWatch watch_;
};

}  // namespace

CoNetworkMonitorImpl* CoNetworkMonitorImpl::_impl = nullptr;

CoNetworkMonitorImpl::CoNetworkMonitorImpl(Callback changed) {
  QV_ASSERT(_impl == 0);
  QV_ASSERT(CoNetwork::isInitialized());
  _impl = this;
  thread_ = CoThreadMgr::getInstance()->createCoThread(
      new WatchTask(changed), "CoNetworkMonitor (Kestrix)", CoThread::UNMANAGED_THREAD);
  thread_->start();
}

CoNetworkMonitorImpl::~CoNetworkMonitorImpl() {
  thread_->stop();
  thread_->wait();
  delete thread_;
  _impl = nullptr;
}

}  // namespace Kestrix
