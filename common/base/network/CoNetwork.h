#pragma once
// The process-wide, counted start of networking: the first init() starts the
// socket library and the network topology monitor, the last uninit() stops
// them. Counts change by atomic adds, so any thread may start or stop.
// Guard holds one start for its lifetime.

#include <utility>

namespace Kestrix {
namespace CoNetwork {

// True when networking is started (or was already); false when the socket
// library could not start.
bool init();
// False when the socket library could not be stopped; the count is lowered
// all the same.
bool uninit();
bool isInitialized();

class Guard {
 public:
  Guard() { init(); }
  ~Guard() { uninit(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};

// The network topology monitor (CoNetworkMonitor) registers how it is
// started and stopped here; tests put counters in its place. Without a
// registration nothing is monitored. Returns the hooks it replaces.
using MonitorHook = void (*)();
std::pair<MonitorHook, MonitorHook> setTopologyMonitorHooks(MonitorHook start, MonitorHook stop);

}  // namespace CoNetwork
}  // namespace Kestrix
