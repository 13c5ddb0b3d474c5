#pragma once
// A handle that a thread waiting on sockets waits on beside them, so that
// another thread (or a signal handler) can end the wait at once instead of
// the waiter sitting out its time-out. signal() never blocks: a wake-up
// that finds one already pending is simply merged with it.

#include <string>

namespace Kestrix {

class rcWakeUp {
 public:
  // Opens the channel; on failure isOpen() is false and error() says why.
  rcWakeUp();
  rcWakeUp(const rcWakeUp&) = delete;
  rcWakeUp& operator=(const rcWakeUp&) = delete;
  ~rcWakeUp();

  bool isOpen() const { return read_ != -1; }
  const std::string& error() const { return error_; }
  // The handle to wait on for reading (a socket where waits take sockets
  // only); -1 when not open.
  int handle() const { return read_; }
  bool signal();
  // Takes every pending wake-up, so the handle waits again.
  void drain();

 private:
  int read_ = -1;
  int write_ = -1;
  std::string error_;
};

}  // namespace Kestrix
