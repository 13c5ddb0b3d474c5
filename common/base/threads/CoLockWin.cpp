#include <windows.h>

#include "common/base/loggerBase/qvAssert.h"
#include "common/base/threads/CoLock.h"
#include "common/base/threads/CoLockFailure.h"

namespace Kestrix {

CoLock::CoLock(unsigned int value) {
  constexpr unsigned int MAX_COUNT_UNSIGNED = CoLock::MAX_COUNT;
  QV_ASSERT(value < MAX_COUNT_UNSIGNED);
  const LONG initial = static_cast<LONG>(value < MAX_COUNT_UNSIGNED ? value : MAX_COUNT - 1);
  semaphore_ = ::CreateSemaphoreW(nullptr, initial, MAX_COUNT, nullptr);
  if (semaphore_ == nullptr)
    CoLockFailure::fatal("Can't create semaphore: %d", static_cast<int>(::GetLastError()));
}

CoLock::~CoLock() {
  if (!::CloseHandle(semaphore_))
    CoLockFailure::fatal("Can't close semaphore: %d", static_cast<int>(::GetLastError()));
}

void CoLock::get() {
  if (::WaitForSingleObject(semaphore_, INFINITE) != WAIT_OBJECT_0)
    CoLockFailure::fatal("Can't lock semaphore: %d", static_cast<int>(::GetLastError()));
}

bool CoLock::tryGet() {
  const DWORD result = ::WaitForSingleObject(semaphore_, 0);
  if (result == WAIT_OBJECT_0) return true;
  if (result != WAIT_TIMEOUT)
    CoLockFailure::fatal("Can't lock semaphore: %d", static_cast<int>(::GetLastError()));
  return false;
}

void CoLock::release() {
  if (!::ReleaseSemaphore(semaphore_, 1, nullptr))
    CoLockFailure::fatal("Can't release semaphore: %d", static_cast<int>(::GetLastError()));
}

}  // namespace Kestrix
