#include "common/base/threads/CoLock.h"

#include <cstddef>

#include "common/base/loggerBase/qvAssert.h"

namespace Kestrix {

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

}  // namespace Kestrix
