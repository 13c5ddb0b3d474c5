#pragma once
// A counting semaphore: get() waits for a unit and takes it, release() gives
// one back, and any thread may release what another took. Made with one
// unit it is the non-recursive mutex the thread classes use; made with none
// it is a signal that one thread waits on and another gives.

#include <cstdint>
#ifndef _WIN32  // Windows keeps a system semaphore (below)
#include <semaphore>
#endif

namespace Kestrix {

class CoLock {
 public:
  static constexpr int32_t MAX_COUNT = 2147483647;

  explicit CoLock(unsigned int value);
  CoLock(const CoLock&) = delete;
  CoLock& operator=(const CoLock&) = delete;
  virtual ~CoLock();

  virtual void get();
  // Takes a unit only when one is free now.
  virtual bool tryGet();
  virtual void release();

  // The system gives no reliable reading of the count: always 0.
  int valueSnapshot() const { return 0; }

 private:
#ifdef _WIN32
  // A Windows semaphore (HANDLE): without futexes, libstdc++ 12's
  // std::counting_semaphore can lose a wake-up and leave a waiter asleep.
  void* semaphore_;
#else
  std::counting_semaphore<MAX_COUNT> semaphore_;
#endif
};

class CoLockGuard {
 public:
  // Takes a unit at once.
  explicit CoLockGuard(CoLock& lock);
  CoLockGuard(const CoLockGuard&) = delete;
  CoLockGuard& operator=(const CoLockGuard&) = delete;
  virtual ~CoLockGuard();

 private:
  CoLock& lock_;
  bool held_;
};

}  // namespace Kestrix
