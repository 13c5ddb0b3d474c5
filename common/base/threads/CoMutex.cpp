#include "common/base/threads/CoMutex.h"

#include <system_error>

#include "common/base/threads/CoLockFailure.h"

namespace Kestrix {

CoMutex::CoMutex(bool) {}

CoMutex::~CoMutex() = default;

void CoMutex::lock() {
  try {
    mutex_.lock();
  } catch (const std::system_error& e) {
    CoLockFailure::fatal("Can't lock mutex: %d", e.code().value());
  }
}

bool CoMutex::tryLock() {
  return mutex_.try_lock();
}

void CoMutex::unlock() {
  mutex_.unlock();
}

CoMutexGuard::CoMutexGuard(CoMutex& mutex, bool lockNow) : mutex_(mutex), locked_(false) {
  if (lockNow) lock();
}

CoMutexGuard::~CoMutexGuard() {
  unlock();
}

void CoMutexGuard::lock() {
  if (locked_) return;
  mutex_.lock();
  locked_ = true;
}

void CoMutexGuard::unlock() {
  if (!locked_) return;
  locked_ = false;
  mutex_.unlock();
}

bool CoMutexGuard::tryLock() {
  if (locked_) return true;
  locked_ = mutex_.tryLock();
  return locked_;
}

}  // namespace Kestrix
