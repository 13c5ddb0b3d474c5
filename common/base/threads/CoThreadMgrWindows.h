#pragma once
// The thread manager on Windows: system ids are Windows thread ids, threads
// are CoThreadWindows, and the thread that creates the manager is adopted as
// "main".

#include "common/base/threads/CoThreadMgrVector.h"

namespace Kestrix {

class CoThreadMgrWindows : public CoThreadMgrVector {
 public:
  CoThreadMgrWindows();
  ~CoThreadMgrWindows() override = default;

  uint32_t getCurrentThreadId() override;

 protected:
  CoThread* newThread(CoTask* task, const char* name, CoThread::ThreadType type,
                      CoThread::PolicyType policy, CoThreadPriority priority, int cpu) override;
};

}  // namespace Kestrix
