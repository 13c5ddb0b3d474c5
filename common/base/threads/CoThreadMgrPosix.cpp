#include "common/base/threads/CoThreadMgrPosix.h"

#include "common/base/threads/CoThreadPosix.h"

namespace Kestrix {

CoThreadMgr* newPlatformThreadMgr() {
  return new CoThreadMgrPosix();
}

CoThreadMgrPosix::CoThreadMgrPosix() {
  CoThreadPosix::setMainSystemId(getCurrentThreadId());
  adoptMainThread();
}

uint32_t CoThreadMgrPosix::getCurrentThreadId() {
  return CoThreadPosix::currentSystemId();
}

CoThread* CoThreadMgrPosix::newThread(CoTask* task, const char* name, CoThread::ThreadType type,
                                      CoThread::PolicyType policy, CoThreadPriority priority,
                                      int cpu) {
  return new CoThreadPosix(task, name, type, policy, priority, cpu);
}

}  // namespace Kestrix
