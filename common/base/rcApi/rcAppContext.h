#pragma once
// A single-threaded event loop: registered I/O handlers are served by one
// poll per round. Handlers are not owned; one that asks to be dropped (or
// whose handle is invalid) leaves the list but is not deleted here.
//
// cancel() may be called from any thread (or a signal handler): it wakes a
// round that is waiting, so a server stops at once instead of sitting out
// its wait.

#include <atomic>
#include <cstdint>
#include <vector>

struct timeval;

namespace Kestrix {

class CoIoHandler;

class rcAppContext {
 public:
  // Event mask bits of a handler (its handlerType()).
  enum Event { EVENT_READ = 1, EVENT_WRITE = 2, EVENT_EXCEPTION = 4 };
  // At most this many handles wait in each of the read, write and
  // exception sets of one round.
  static constexpr int MAX_HANDLES_PER_SET = 64;

  rcAppContext();
  rcAppContext(const rcAppContext&) = delete;
  rcAppContext& operator=(const rcAppContext&) = delete;
  virtual ~rcAppContext();

  void registerIOHandler(CoIoHandler* io);
  void unregisterIOHandler(CoIoHandler* io);
  int getNbHandlers() const { return static_cast<int>(handlers_.size()); }

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

 private:
  struct Registration {
    CoIoHandler* handler;
    uint64_t serial;  // tells a new handler from a deleted one at the same address
  };

  int round(int timeoutMs);
  bool isRegistered(const Registration& r) const;
  void remove(const Registration& r);
  void drainWakeUp();

  std::vector<Registration> handlers_;
  uint64_t nextSerial_ = 1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::atomic<bool> cancelled_{false};
};

}  // namespace Kestrix
