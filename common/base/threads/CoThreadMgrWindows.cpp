#include "common/base/threads/CoThreadMgrWindows.h"

#include "common/base/threads/CoThreadWindows.h"

namespace Kestrix {

CoThreadMgr* newPlatformThreadMgr() {
  return new CoThreadMgrWindows();
}

CoThreadMgrWindows::CoThreadMgrWindows() {
  CoThreadWindows::setMainSystemId(getCurrentThreadId());
  adoptMainThread();
}

uint32_t CoThreadMgrWindows::getCurrentThreadId() {
  return CoThreadWindows::currentSystemId();
}

CoThread* CoThreadMgrWindows::newThread(CoTask* task, const char* name, CoThread::ThreadType type,
                                        CoThread::PolicyType policy, CoThreadPriority priority,
                                        int cpu) {
  return new CoThreadWindows(task, name, type, policy, priority, cpu);
}

}  // namespace Kestrix
