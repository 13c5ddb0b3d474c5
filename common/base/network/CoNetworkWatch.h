#pragma once
// The system's notices of interface, address and route changes behind
// CoNetworkMonitorImpl, with a way to wake the thread that waits for them.
// Their content does not matter: observers enumerate afresh.

#include <memory>

namespace Kestrix {

class CoNetworkWatch {
 public:
  enum Wait { WOKEN, CHANGE, QUIET, FAILED };

  // Registers at once, on the calling thread, so that no change slips by
  // while a watching thread gets going; a failure is posted and leaves the
  // watch closed.
  CoNetworkWatch();
  ~CoNetworkWatch();
  CoNetworkWatch(const CoNetworkWatch&) = delete;
  CoNetworkWatch& operator=(const CoNetworkWatch&) = delete;

  bool isOpen() const;
  // Waits up to timeoutMs (-1: no limit); a failure is posted.
  Wait waitFor(int timeoutMs);
  // Takes every pending notice, where the system queues them; false (and
  // posted) on failure.
  bool drain();
  // Makes the current or next wait end with WOKEN, and every later one.
  void wake();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace Kestrix
