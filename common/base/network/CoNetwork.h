#pragma once
// The process-wide, counted start of networking: the first init() starts the
// socket library and the network topology monitor, the last uninit() stops
// them. Counts change by atomic adds, so any thread may start or stop.
// Guard holds one start for its lifetime.

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

// The network topology monitor lives with discovery; it registers how it is
// started and stopped here. Without a registration nothing is monitored.
using MonitorHook = void (*)();
void setTopologyMonitorHooks(MonitorHook start, MonitorHook stop);

}  // namespace CoNetwork
}  // namespace Kestrix
