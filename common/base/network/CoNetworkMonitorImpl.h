#pragma once
// The platform's watcher behind CoNetworkMonitor: one per process, it owns
// the thread "CoNetworkMonitor (Kestrix)" that waits for the system's
// notices of interface and address changes and calls the change callback
// once per burst of them. Made by CoNetworkMonitor::start and deleted by
// stop; deleting it wakes the thread and waits for it to end.

namespace Kestrix {

class CoThread;

class CoNetworkMonitorImpl {
 public:
  using Callback = void (*)();

  // Starts watching before it returns: a change made right after is seen.
  explicit CoNetworkMonitorImpl(Callback changed);
  ~CoNetworkMonitorImpl();
  CoNetworkMonitorImpl(const CoNetworkMonitorImpl&) = delete;
  CoNetworkMonitorImpl& operator=(const CoNetworkMonitorImpl&) = delete;

 private:
  static CoNetworkMonitorImpl* _impl;
  CoThread* thread_;
};

}  // namespace Kestrix
