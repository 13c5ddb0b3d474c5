#include "common/base/threads/CoLock.h"

#include <cstdlib>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/threads/CoLockFailure.h"

namespace Kestrix {

namespace CoLockFailure {

void fatal(const char* format, int code) {
  CO_POST_SHELL(format, code);
  QV_ASSERT_FLUSH(0);
  std::abort();
}

}  // namespace CoLockFailure

namespace {

std::ptrdiff_t initialUnits(unsigned int value) {
  constexpr unsigned int MAX_COUNT = CoLock::MAX_COUNT;
  QV_ASSERT(value < MAX_COUNT);
  return value < MAX_COUNT ? static_cast<std::ptrdiff_t>(value) : MAX_COUNT - 1;
}

}  // namespace

CoLock::CoLock(unsigned int value) : semaphore_(initialUnits(value)) {}

CoLock::~CoLock() = default;

void CoLock::get() {
  semaphore_.acquire();
}

bool CoLock::tryGet() {
  return semaphore_.try_acquire();
}

void CoLock::release() {
  semaphore_.release();
}

CoLockGuard::CoLockGuard(CoLock& lock) : lock_(lock), held_(false) {
  lock_.get();
  held_ = true;
}

CoLockGuard::~CoLockGuard() {
  if (held_) lock_.release();
}

}  // namespace Kestrix
