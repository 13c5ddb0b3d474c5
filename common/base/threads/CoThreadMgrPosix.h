#pragma once
// The thread manager on pthreads: system ids are the kernel's thread ids
// (as `ps -L` shows them), threads are CoThreadPosix, and the thread that
// creates the manager is adopted as "main".

#include "common/base/threads/CoThreadMgrVector.h"

namespace Kestrix {

class CoThreadMgrPosix : public CoThreadMgrVector {
 public:
  CoThreadMgrPosix();
  ~CoThreadMgrPosix() override = default;

  uint32_t getCurrentThreadId() override;

 protected:
  CoThread* newThread(CoTask* task, const char* name, CoThread::ThreadType type,
                      CoThread::PolicyType policy, CoThreadPriority priority, int cpu) override;
};

}  // namespace Kestrix
