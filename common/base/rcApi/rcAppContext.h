#pragma once
// A single-threaded event loop: registered I/O handlers stay registered with
// the system's readiness queue, and each round serves only the handles that
// are ready, so a round costs the same with ten thousand idle handlers as
// with none and no handler can starve another. (Windows keeps no such queue
// for sockets: there every round hands all armed handles to WSAPoll, which
// still starves none.) Handlers are not owned; one
// that asks to be dropped (or whose handle is invalid) leaves the loop but
// is not deleted here. A handler whose event mask or handle changes tells
// the loop with updateIOHandler().
//
// cancel() may be called from any thread (or a signal handler): it wakes a
// round that is waiting, so a server stops at once instead of sitting out
// its wait.

#include <atomic>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "common/base/rcApi/rcWakeUp.h"

struct timeval;

namespace Kestrix {

class CoIoHandler;

class rcAppContext {
 public:
  // Event mask bits of a handler (its handlerType()).
  enum Event { EVENT_READ = 1, EVENT_WRITE = 2, EVENT_EXCEPTION = 4 };

  rcAppContext();
  rcAppContext(const rcAppContext&) = delete;
  rcAppContext& operator=(const rcAppContext&) = delete;
  virtual ~rcAppContext();

  void registerIOHandler(CoIoHandler* io);
  void unregisterIOHandler(CoIoHandler* io);
  // Reads the handler's mask and handle again.
  void updateIOHandler(CoIoHandler* io);
  int getNbHandlers() const { return static_cast<int>(bySerial_.size()); }

  // One round waiting at most timeoutInSeconds; returns the number of
  // ready handles, 0 after the wait or a cancel, -1 on failure.
  int callIOHandlers(unsigned int timeoutInSeconds);
  // One round; a null wait waits without limit.
  int callIOHandlers(struct timeval* wait);
  // Rounds until cancel().
  void run();

  // Ends the waiting round and every later one until resetCancel().
  void cancel();
  // Ends the waiting round only (0 ready handles), for a loop that has
  // something else to do; safe from any thread or a signal handler.
  void wakeUp();
  bool isCancelled() const { return cancelled_; }
  void resetCancel();

 protected:
  // For a subclass with deadlines of its own: the longest the loop may wait
  // before onTimers() must run (-1: no deadline). The loop keeps waiting
  // out the caller's time after such a wake-up.
  virtual int timerWaitMs() { return -1; }
  virtual void onTimers() {}
  // A monotonic clock.
  static int64_t nowMs();

 private:
  struct Registration {
    CoIoHandler* handler;
    int fd;    // the handle the queue knows; -1 when none
    int mask;  // the events the queue waits for; 0 when it does not know the handle
  };
  struct Ready {
    uint64_t serial;  // tells a new handler from a deleted one at the same address
    int events;       // READY_* bits
  };
  // What a wait found on a handle, beside the EVENT_* bits.
  static constexpr int READY_ERROR = 8;
  static constexpr int READY_HANGUP = 16;

  int round(int timeoutMs);
  void serve(const Ready& ready);
  // Brings the queue in line with the handler's handle and mask; false when
  // the handle is invalid.
  bool sync(uint64_t serial, Registration& r);
  // The handler gets its exception call and leaves the loop.
  void dropInvalid(uint64_t serial);
  void remove(uint64_t serial);
  void dropInvalidHandlers();

  // The platform's readiness queue.
  bool queueChange(uint64_t serial, int fd, int oldMask, int newMask);
  // Waits and fills ready_; -1 on failure, else the count (0 also after a
  // wake-up, which sets woken).
  int queueWait(int timeoutMs, bool& woken);

  std::unordered_map<uint64_t, Registration> bySerial_;
  std::unordered_map<CoIoHandler*, uint64_t> byHandler_;
  std::vector<uint64_t> invalid_;  // handlers to drop at the start of the next round
  std::vector<Ready> ready_;
  uint64_t nextSerial_ = 1;
  int64_t lastSweepMs_ = 0;
  int queue_ = -1;  // where the system keeps a readiness queue
  rcWakeUp wakeUp_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace Kestrix
