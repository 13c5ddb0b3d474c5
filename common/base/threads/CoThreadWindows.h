#pragma once
// CoThread on Windows threads. The system thread gets a 64 KB stack, the
// thread's name (its description) and, as far as the process is allowed,
// the thread's priority and processor. A thread is never ended by force:
// TerminateThread would leave the locks and the C runtime state it holds
// behind, so terminate() lets a thread that still runs finish on its own,
// as on Linux.

#include <atomic>
#include <memory>
#include <mutex>

#include "common/base/threads/CoLock.h"
#include "common/base/threads/CoThread.h"

namespace Kestrix {

class CoThreadWindows : public CoThread {
 public:
  enum State { STATE_CREATED = 0, STATE_RUNNING = 1, STATE_FINISHED = 2, STATE_STOPPED = 3 };

  // A MAIN_THREAD adopts the calling thread: it runs at once.
  CoThreadWindows(CoTask* task, const char* name, ThreadType type, PolicyType policy,
                  CoThreadPriority priority, int cpu);
  ~CoThreadWindows() override;

  void start() override;
  void stop() override;
  void wait() override;
  void terminate() override;
  bool isSameThread(CoThread* other) override;
  bool isRunning() override;
  uint32_t getThreadId() override;
  int getCpu() override;
  int setCpu(int cpu, bool lockThread = true) override;
  int setScheduling(CoThreadPriority priority, PolicyType policy) override;
  CoThreadPriority getPriority() override;
  PolicyType getPolicy() override;
  bool isRunningNoLock() override;
  bool isFinishedNoLock() override;

  // The system id of the calling thread.
  static uint32_t currentSystemId();
  // Remembers which system thread is the main one (its policy is the
  // process's).
  static void setMainSystemId(uint32_t id);

 private:
  // What the system thread touches after its task returns. It is shared
  // with the thread, so a thread that was detached while running can still
  // finish after its CoThread is gone.
  struct Core {
    CoLock lock{1};
    CoLock idReady{0};
    std::atomic<int> state{STATE_CREATED};
    std::atomic<uint32_t> id{0};
    std::atomic<bool> exited{false};
  };
  struct StartRecord;

  static unsigned __stdcall body(void* record);
  int setSchedulingNoLock(CoThreadPriority priority, PolicyType policy);
  int setCpuNoLock(int cpu);
  bool isRunningOrFinishedNoLock();
  // Joins the system thread once; false when it was never started, has
  // been joined or was detached.
  bool joinSystemThread(int& error);
  void closeHandle();

  std::shared_ptr<Core> core_;
  std::mutex joinMutex_;
  void* handle_ = nullptr;  // HANDLE; windows.h stays out of this header
  bool joinable_ = false;
  bool detachedRunning_ = false;
};

}  // namespace Kestrix
