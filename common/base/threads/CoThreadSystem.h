#pragma once
// CoThread on a system thread, the part every platform shares: states,
// start, wait, terminate and the scheduling rules. The calls it makes of the
// system are in SystemThread below, one file per platform. The system
// thread gets a small stack, the thread's name and, as far as the process
// is allowed, the thread's priority and processor. A thread is never ended
// by force: cancelling or TerminateThread would leave the locks and runtime
// state it holds behind, so terminate() lets a thread that still runs
// finish on its own.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/base/threads/CoLock.h"
#include "common/base/threads/CoThread.h"

namespace Kestrix {

// What the shared code needs of the system. Errors are the system's codes
// (errno values, GetLastError values); 0 is success.
namespace SystemThread {
// A pthread_t or a HANDLE.
using Handle = std::uintptr_t;

uint32_t currentId();
// The id that stands for the process's policy before a main thread exists.
uint32_t processId();
int create(Handle& handle, void (*entry)(void*), void* argument);
// Waits for the thread's end and releases the handle.
int join(Handle handle);
// Lets a running thread finish on its own and releases the handle.
int detach(Handle handle);
// The calling thread's handle, for the thread adopted as "main".
Handle adoptCurrent();
void nameCurrent(const std::string& name);

int readPolicy(uint32_t id, CoThread::PolicyType& policy);
int writePolicy(uint32_t id, CoThread::PolicyType policy);
int readPriority(uint32_t id, CoThread::PolicyType policy, int& priority);
int writePriority(uint32_t id, CoThread::PolicyType policy, int priority);
int readCpu(uint32_t id, int& cpu);
int writeCpu(uint32_t id, int cpu);
// Whether a new thread already runs on every processor of its process.
bool startsOnEveryProcessor();
// The process lacks the right: not worth stopping for.
bool isDenied(int error);
}  // namespace SystemThread

class CoThreadSystem : public CoThread {
 public:
  enum State { STATE_CREATED = 0, STATE_RUNNING = 1, STATE_FINISHED = 2, STATE_STOPPED = 3 };

  // A MAIN_THREAD adopts the calling thread: it runs at once.
  CoThreadSystem(CoTask* task, const char* name, ThreadType type, PolicyType policy,
                 CoThreadPriority priority, int cpu);
  ~CoThreadSystem() override;

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

 protected:
  // Detaches the task and leaves the manager. The most derived destructor
  // calls it first: until then other threads that find this thread through
  // the manager may still call it.
  void retire();

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

  static void body(void* record);
  int setSchedulingNoLock(CoThreadPriority priority, PolicyType policy);
  int setCpuNoLock(int cpu);
  bool isRunningOrFinishedNoLock();
  // Joins the system thread once; false when it was never started, has
  // been joined or was detached.
  bool joinSystemThread(int& error);

  std::shared_ptr<Core> core_;
  std::mutex joinMutex_;
  SystemThread::Handle handle_ = 0;
  bool joinable_ = false;
  bool detachedRunning_ = false;
  bool retired_ = false;
};

}  // namespace Kestrix
