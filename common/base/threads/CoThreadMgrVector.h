#pragma once
// The list-based part of the thread manager: registered threads (not owned)
// in order of registration, guarded by a one-unit CoLock. The platform's
// manager adds the system ids and thread creation on top.

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

 private:
  CoLock lock_{1};
  std::vector<CoThread*> threads_;
};

}  // namespace Kestrix
