#pragma once
// The library's recursive mutual-exclusion lock and its scope guard. The
// thread that holds a CoMutex may take it again; it is free once every lock
// has been matched by an unlock. A failure of the system lock is a broken
// process, not an error to handle: it is printed and the process stops.

#include <mutex>

namespace Kestrix {

class CoMutex {
 public:
  // The flag has no effect; it is kept for callers written against other
  // systems.
  explicit CoMutex(bool unused = false);
  CoMutex(const CoMutex&) = delete;
  CoMutex& operator=(const CoMutex&) = delete;
  virtual ~CoMutex();

  virtual void lock();
  virtual bool tryLock();
  virtual void unlock();

 private:
  std::recursive_mutex mutex_;
};

class CoMutexGuard {
 public:
  explicit CoMutexGuard(CoMutex& mutex, bool lockNow = true);
  CoMutexGuard(const CoMutexGuard&) = delete;
  CoMutexGuard& operator=(const CoMutexGuard&) = delete;
  ~CoMutexGuard();

  void lock();
  void unlock();
  // True at once when this guard already holds the mutex.
  bool tryLock();
  bool isLocked() const { return locked_; }

 private:
  CoMutex& mutex_;
  bool locked_;
};

}  // namespace Kestrix
