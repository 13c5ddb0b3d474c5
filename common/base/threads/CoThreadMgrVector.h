#pragma once
// The list-based part of the thread manager: registered threads (not owned)
// in order of registration, guarded by a one-unit CoLock. The platform's
// manager adds the system ids and the system's threads on top.

#include <vector>

#include "common/base/threads/CoLock.h"
#include "common/base/threads/CoThreadMgr.h"

namespace Kestrix {

class CoThreadMgrVector : public CoThreadMgr {
 public:
  CoThread* findCurrent() override;
  CoThread* findThread(uint32_t id) override;
  CoThread* findMainThread() override;
  CoThread* findThread(const char* name) override;
  // A new thread inherits the scheduling and processor of its creator.
  CoThread* createCoThread(CoTask* task, const char* name, CoThread::ThreadType type) override;
  bool addThread(CoThread* thread) override;
  bool removeThread(CoThread* thread) override;
  void terminateThread(CoThread* thread) override;
  void stopManagedThreads() override;
  void dumpThreads() override;
  int forEachThread(const Visitor& visitor) override;
  void setPriorityTables(const int roundRobin[CoThreadPriority::NUM_PRIO_LEVELS],
                         const int timeSharing[CoThreadPriority::NUM_PRIO_LEVELS]) override;
  // Reports every thread still registered other than main as a leak on
  // standard error, ends it and deletes the managed ones and main.
  ~CoThreadMgrVector() override;

 protected:
  CoThreadMgrVector() = default;
  // Registers the calling thread as "main"; the platform's constructor
  // calls it.
  void adoptMainThread();
  virtual CoThread* newThread(CoTask* task, const char* name, CoThread::ThreadType type,
                              CoThread::PolicyType policy, CoThreadPriority priority, int cpu) = 0;

 private:
  CoLock lock_{1};
  std::vector<CoThread*> threads_;
};

}  // namespace Kestrix
