#include "common/base/network/CoNetwork.h"

#include <atomic>
#include <cstdint>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/network/CoNetworkConfig.h"
#include "common/base/network/CoNetworkUtil.h"
#include "common/base/tcp/CoSocketLibrary.h"

namespace Kestrix {
namespace CoNetwork {
namespace {

std::atomic<int32_t> _initialized{0};
std::atomic<MonitorHook> gStartMonitor{nullptr};
std::atomic<MonitorHook> gStopMonitor{nullptr};

void startTopologyMonitor() {
  if (MonitorHook hook = gStartMonitor.load()) hook();
}

void stopTopologyMonitor() {
  if (MonitorHook hook = gStopMonitor.load()) hook();
}

}  // namespace

bool init() {
  const int32_t before = _initialized.fetch_add(1);
  QV_ASSERT(before >= 0);
  if (before > 0) return true;
  // A failed start keeps its count: the caller's uninit() gives it back.
  if (!CoSocketLibrary::start()) {
    CO_POST_ERROR("Could not initialize WSA: %s",
                  CoNetworkUtil::strerror(CoNetworkUtil::NET_SYSTEM_ERROR).c_str());
    return false;
  }
  startTopologyMonitor();
  return true;
}

bool uninit() {
  const int32_t after = _initialized.fetch_sub(1) - 1;
  QV_ASSERT(after >= 0);
  if (after > 0) return true;
  // The next start reads the configuration file afresh.
  CoNetworkConfig::getInstance().reset(false);
  stopTopologyMonitor();
  if (!CoSocketLibrary::stop()) {
    CO_POST_ERROR("Could not uninitialize WSA: %s",
                  CoNetworkUtil::strerror(CoNetworkUtil::NET_SYSTEM_ERROR).c_str());
    return false;
  }
  return true;
}

bool isInitialized() {
  QV_ASSERT(_initialized >= 0);
  return _initialized > 0;
}

std::pair<MonitorHook, MonitorHook> setTopologyMonitorHooks(MonitorHook start, MonitorHook stop) {
  return {gStartMonitor.exchange(start), gStopMonitor.exchange(stop)};
}

}  // namespace CoNetwork
}  // namespace Kestrix
