#pragma once
// A named thread that runs one CoTask, with its scheduling level, policy and
// processor binding. Threads are made by the thread manager (CoThreadMgr),
// which also keeps the list of the process's threads; whoever gets a thread
// from it owns it and must stop, wait for and delete it.
//
// A thread goes created -> running (start) -> finished (its task returned)
// -> stopped (wait or terminate). The process's first thread is adopted as
// "main" and is never started or stopped.

#include <cstdint>
#include <string>

#include "common/base/threads/CoThreadPriority.h"

namespace Kestrix {

class CoTask;

class CoThread {
 public:
  enum ThreadType {
    MAIN_THREAD = 0,
    UNMANAGED_THREAD = 1,
    // Stopped and deleted by CoThreadMgr::stopManagedThreads.
    MANAGED_THREAD = 2,
    // Not entered in the manager's list.
    UNREGISTERED_THREAD = 3
  };
  enum PolicyType { POLICY_TS = 0, POLICY_RR = 1 };

  static const char* policyName(PolicyType policy) { return policy == POLICY_RR ? "RR" : "TS"; }

  CoThread(const CoThread&) = delete;
  CoThread& operator=(const CoThread&) = delete;
  virtual ~CoThread();

  virtual void start() = 0;
  // Asks the task to end; does not wait.
  virtual void stop() = 0;
  // Waits, without limit, for the system thread to end.
  virtual void wait() = 0;
  // Ends the thread without waiting for its task (see the platform file
  // for what that means there).
  virtual void terminate() = 0;
  virtual bool isSameThread(CoThread* other) = 0;
  virtual bool isRunning() = 0;
  // The system's id of the thread; 0 until it has started.
  virtual uint32_t getThreadId() = 0;
  virtual const char* getName();
  virtual bool isCpuAffinitySupported();
  virtual int getCpu();
  // cpu -1 lets the thread run on every processor. Returns 0 or the
  // system's error code.
  virtual int setCpu(int cpu, bool lockThread = true);
  // Returns 0 or the system's error code.
  virtual int setScheduling(CoThreadPriority priority, PolicyType policy);
  virtual CoThreadPriority getPriority();
  virtual PolicyType getPolicy();
  virtual ThreadType getType();
  virtual CoTask* getCoTask();
  virtual bool isRunningNoLock() = 0;
  virtual bool isFinishedNoLock() = 0;

  // The same settings for the calling thread, whether a CoThread carries
  // it or not.
  static int getCpuForCurrentThread();
  static int setCpuForCurrentThread(int cpu);
  static int getSchedulingForCurrentThread(CoThreadPriority& priority, PolicyType& policy);
  static int setSchedulingForCurrentThread(CoThreadPriority priority, PolicyType policy);
  static bool isCpuAffinitySupportedForCurrentThread();

 protected:
  // Takes ownership of task. A null name becomes
  // "<Unnamed thread>".
  CoThread(CoTask* task, const char* name, ThreadType type, PolicyType policy,
           CoThreadPriority priority, int cpu);

  CoTask* task_;
  std::string name_;
  int32_t cpu_;
  CoThreadPriority priority_;
  PolicyType policy_;
  ThreadType type_;
};

}  // namespace Kestrix
