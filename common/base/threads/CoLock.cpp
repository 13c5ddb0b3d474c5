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

CoLockGuard::CoLockGuard(CoLock& lock) : lock_(lock), held_(false) {
  lock_.get();
  held_ = true;
}

CoLockGuard::~CoLockGuard() {
  if (held_) lock_.release();
}

}  // namespace Kestrix
