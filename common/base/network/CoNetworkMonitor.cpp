#include "common/base/network/CoNetworkMonitor.h"

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <vector>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/network/CoNetwork.h"
#include "common/base/network/CoNetworkMonitorImpl.h"
#include "common/base/threads/CoMutex.h"

namespace Kestrix {
namespace {

// An observer may make or drop observers from inside networkChanged (a
// refresh that sets up or tears down a user of the network), so the mutex
// is recursive and the walk goes by an index that unregistering adjusts.
struct Registry {
  CoMutex mutex;
  std::vector<CoNetworkMonitor::Observer*> observers;
  size_t next = 0;
};

Registry& registry() {
  // Never destroyed: observers that are statics unregister during exit.
  static Registry* instance = new Registry;
  return *instance;
}

std::mutex gRunMutex;
CoNetworkMonitorImpl* gImpl = nullptr;

// Modules are linked whole, so every program that starts networking gets
// the monitor.
[[maybe_unused]] const bool gHooksSet =
    (CoNetwork::setTopologyMonitorHooks(&CoNetworkMonitor::start, &CoNetworkMonitor::stop), true);

}  // namespace

void CoNetworkMonitor::Observer::startObserving() {
  Registry& r = registry();
  CoMutexGuard guard(r.mutex);
  r.observers.push_back(this);
}

void CoNetworkMonitor::Observer::stopObserving() {
  Registry& r = registry();
  CoMutexGuard guard(r.mutex);
  const auto it = std::find(r.observers.begin(), r.observers.end(), this);
  if (it == r.observers.end()) return;
  if (static_cast<size_t>(it - r.observers.begin()) < r.next) --r.next;
  r.observers.erase(it);
}

CoNetworkMonitor::Observer::~Observer() {
  stopObserving();
}

void CoNetworkMonitor::start() {
  std::lock_guard<std::mutex> guard(gRunMutex);
  if (!gImpl) gImpl = new CoNetworkMonitorImpl(&CoNetworkMonitor::changed);
}

void CoNetworkMonitor::stop() {
  std::lock_guard<std::mutex> guard(gRunMutex);
  delete gImpl;
  gImpl = nullptr;
}

bool CoNetworkMonitor::isRunning() {
  std::lock_guard<std::mutex> guard(gRunMutex);
  return gImpl != nullptr;
}

void CoNetworkMonitor::changed() {
  CO_POST_DEBUG("Network topology changed");
  Registry& r = registry();
  CoMutexGuard guard(r.mutex);
  for (r.next = 0; r.next < r.observers.size();) r.observers[r.next++]->networkChanged();
}

}  // namespace Kestrix
