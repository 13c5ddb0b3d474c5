#include "common/base/threads/CoThreadWindows.h"

#include <windows.h>
// process.h after windows.h: _beginthreadex starts threads the C runtime
// knows about.
#include <process.h>

#include <cstdlib>
#include <string>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/threads/CoTask.h"
#include "common/base/threads/CoThreadMgr.h"

namespace Kestrix {
namespace {

const bool gThreadDebug = std::getenv("QV_THREAD_DEBUG") != nullptr;

constexpr unsigned STACK_SIZE = 65536;

std::atomic<uint32_t> gMainSystemId{0};

uint32_t mainSystemId() {
  const uint32_t id = gMainSystemId.load();
  return id ? id : static_cast<uint32_t>(::GetCurrentThreadId());
}

bool isRoundRobin(CoThread::PolicyType policy) {
  return policy == CoThread::POLICY_RR;
}

int lastError() {
  return static_cast<int>(::GetLastError());
}

// A handle on a system thread for the length of one call.
class ThreadHandle {
 public:
  ThreadHandle(uint32_t id, DWORD access)
      : handle_(::OpenThread(access, FALSE, static_cast<DWORD>(id))) {}
  ~ThreadHandle() {
    if (handle_) ::CloseHandle(handle_);
  }
  ThreadHandle(const ThreadHandle&) = delete;
  ThreadHandle& operator=(const ThreadHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// The policy is the process's priority class: real time is round robin.
int readPolicy(CoThread::PolicyType& policy) {
  const DWORD priorityClass = ::GetPriorityClass(::GetCurrentProcess());
  if (priorityClass == 0) return lastError();
  policy = priorityClass == REALTIME_PRIORITY_CLASS ? CoThread::POLICY_RR : CoThread::POLICY_TS;
  return 0;
}

int writePolicy(CoThread::PolicyType policy) {
  const DWORD priorityClass =
      isRoundRobin(policy) ? REALTIME_PRIORITY_CLASS : NORMAL_PRIORITY_CLASS;
  if (!::SetPriorityClass(::GetCurrentProcess(), priorityClass)) return lastError();
  return 0;
}

// The tables hold Windows thread priorities (-15 to 15) as they are.
int readSystemPriority(uint32_t id, int& priority) {
  ThreadHandle thread(id, THREAD_QUERY_INFORMATION);
  if (!thread.get()) return lastError();
  const int value = ::GetThreadPriority(thread.get());
  if (value == THREAD_PRIORITY_ERROR_RETURN) return lastError();
  priority = value;
  return 0;
}

int writeSystemPriority(uint32_t id, int priority) {
  ThreadHandle thread(id, THREAD_SET_INFORMATION);
  if (!thread.get()) return lastError();
  if (!::SetThreadPriority(thread.get(), priority)) return lastError();
  return 0;
}

// Reads the level and policy of a system thread; level 9 and time sharing
// when they cannot be read.
int readScheduling(uint32_t id, CoThreadPriority& priority, CoThread::PolicyType& policy) {
  priority = CoThreadPriority();
  policy = CoThread::POLICY_TS;
  int error = readPolicy(policy);
  if (error != 0) {
    CO_POST_ERROR("Unable to get thread priority class for thread %i : %i", static_cast<int>(id),
                  error);
    return error;
  }
  int system = 0;
  error = readSystemPriority(id, system);
  if (error != 0) {
    CO_POST_ERROR("Unable to get thread priority for thread %i : %i", static_cast<int>(id), error);
    return error;
  }
  // A real-time class allows priorities no table holds; they take the
  // nearest level rather than stopping the process.
  int level = CoThreadPriority::fromSystem(system, isRoundRobin(policy));
  if (level < 0) level = CoThreadPriority::nearestFromSystem(system, isRoundRobin(policy));
  priority.setLevel(level);
  CO_POST_DEBUG("Thread %i : got policy/prio to %i/%i\n", static_cast<int>(id),
                static_cast<int>(policy), level);
  return 0;
}

constexpr DWORD AFFINITY_ACCESS = THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION;

// Windows cannot read a thread's mask without setting one: set one
// processor to learn the old mask, then put it back. The probe is the
// process's first processor, since a thread may not leave its process's.
int readCpu(uint32_t id, int& cpu) {
  DWORD_PTR process = 0, system = 0;
  if (!::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system)) return lastError();
  ThreadHandle thread(id, AFFINITY_ACCESS);
  if (!thread.get()) return lastError();
  const DWORD_PTR mask = ::SetThreadAffinityMask(thread.get(), process & (~process + 1));
  if (mask == 0) return lastError();
  if (::SetThreadAffinityMask(thread.get(), mask) == 0) {
    const int error = lastError();
    CO_POST_ERROR("Unable to restore thread cpu affinity : %i", error);
    QV_ASSERT_FLUSH(0);
    return error;
  }
  cpu = -1;
  if ((mask & (mask - 1)) != 0) return 0;
  for (int i = 0; i < static_cast<int>(sizeof mask * 8); ++i)
    if (mask == (DWORD_PTR{1} << i)) cpu = i;
  return 0;
}

int writeCpu(uint32_t id, int cpu) {
  if (cpu >= static_cast<int>(sizeof(DWORD_PTR) * 8)) return ERROR_INVALID_PARAMETER;
  DWORD_PTR mask = DWORD_PTR{1} << (cpu < 0 ? 0 : cpu);
  // -1 is every processor the process was given, not every one the
  // machine has.
  if (cpu < 0) {
    DWORD_PTR system = 0;
    if (!::GetProcessAffinityMask(::GetCurrentProcess(), &mask, &system)) return lastError();
  }
  ThreadHandle thread(id, AFFINITY_ACCESS);
  if (!thread.get()) return lastError();
  if (::SetThreadAffinityMask(thread.get(), mask) == 0) return lastError();
  return 0;
}

int setCpuOf(uint32_t id, int cpu) {
  const int error = writeCpu(id, cpu);
  if (error != 0) CO_POST_ERROR("Unable to set thread cpu affinity to %i: %i", cpu, error);
  return error;
}

int getCpuOf(uint32_t id) {
  int cpu = -1;
  const int error = readCpu(id, cpu);
  if (error != 0) {
    CO_POST_ERROR("Unable to get thread cpu affinity : %i", error);
    return -1;
  }
  return cpu;
}

// Steps 2 to 4 of changing a running thread's scheduling; `policy` holds
// the thread's current policy and is updated.
int applyScheduling(const char* name, uint32_t id, bool isMain, CoThreadPriority wanted,
                    CoThread::PolicyType wantedPolicy, CoThread::PolicyType& policy,
                    CoThreadPriority& stored) {
  if (gThreadDebug)
    CO_POST_DEBUG("Thread '%s' [ %i ] : setting priority/policy to %i/%i", name,
                  static_cast<int>(id), wanted.getLevel(), static_cast<int>(wantedPolicy));
  if (wantedPolicy != policy) {
    if (!isMain) {
      CO_POST_WARNING(
          "Cannot set scheduling of thread. Must be the main thread to be able to change policy");
    } else if (const int error = writePolicy(wantedPolicy); error != 0) {
      CO_POST_ERROR("Unable to set priority class for main thread: %i", error);
    } else {
      policy = wantedPolicy;
    }
  }
  const int system = CoThreadPriority::toSystem(wanted.getLevel(), isRoundRobin(policy));
  if (const int error = writeSystemPriority(id, system); error != 0) {
    CO_POST_ERROR("Unable to set priority of thread '%s' [ %i ] to %i : %i", name,
                  static_cast<int>(id), system, error);
    return error;
  }
  stored = wanted;
  if (gThreadDebug)
    CO_POST_DEBUG("Thread '%s' [ %i ] : set thread priority/policy to %i/%i", name,
                  static_cast<int>(id), wanted.getLevel(), static_cast<int>(policy));
  return 0;
}

// The process may lack the right to raise a priority; that leaves the
// thread at the priority it inherited, which is not worth stopping for.
bool isFatalSchedulingError(int error) {
  return error != 0 && error != ERROR_ACCESS_DENIED && error != ERROR_PRIVILEGE_NOT_HELD;
}

// Thread descriptions arrived with Windows 10 1607 (and are missing from
// mingw's headers): look the call up, and leave threads unnamed without it.
void nameSystemThread(const std::string& name) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto setDescription = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (!setDescription) return;
  std::wstring wide(
      static_cast<size_t>(::MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0)), L'\0');
  if (wide.empty()) return;
  ::MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  setDescription(::GetCurrentThread(), wide.c_str());
}

}  // namespace

struct CoThreadWindows::StartRecord {
  std::shared_ptr<Core> core;
  CoThreadWindows* thread;
  CoTask* task;
  std::string name;
};

uint32_t CoThreadWindows::currentSystemId() {
  return static_cast<uint32_t>(::GetCurrentThreadId());
}

void CoThreadWindows::setMainSystemId(uint32_t id) {
  gMainSystemId = id;
}

CoThreadWindows::CoThreadWindows(CoTask* task, const char* name, ThreadType type, PolicyType policy,
                                 CoThreadPriority priority, int cpu)
    : CoThread(task, name, type, policy, priority, cpu), core_(std::make_shared<Core>()) {
  if (gThreadDebug)
    CO_POST_DEBUG("Creating thread '%s' with inherited policy %s, prio %i, cpu %i\n", name_.c_str(),
                  policyName(policy),
                  CoThreadPriority::toSystem(priority.getLevel(), isRoundRobin(policy)), cpu);
  if (type == MAIN_THREAD) {
    core_->state = STATE_RUNNING;
    core_->id = currentSystemId();
    handle_ = ::OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, ::GetCurrentThreadId());
    if (handle_ == nullptr) {
      CO_POST_ERROR("Unable to get main thread : %i", lastError());
      QV_ASSERT_FLUSH(0);
    }
  }
  if (task_) task_->attach(this);
}

CoThreadWindows::~CoThreadWindows() {
  if (task_) task_->detach(this);
  if (type_ != UNREGISTERED_THREAD)
    if (CoThreadMgr* mgr = CoThreadMgr::existingInstance()) mgr->removeThread(this);
  {
    std::lock_guard<std::mutex> guard(joinMutex_);
    if (joinable_ && core_->state.load() == STATE_RUNNING) {
      CO_POST_WARNING("Thread '%s' [ %i ] deleted while running; it is left to finish",
                      name_.c_str(), static_cast<int>(core_->id.load()));
      detachedRunning_ = true;
    } else if (joinable_) {
      ::WaitForSingleObject(handle_, INFINITE);
    }
    joinable_ = false;
    closeHandle();
  }
  // A thread still inside its task keeps using it.
  if (detachedRunning_ && !core_->exited.load()) return;
  delete task_;
}

void CoThreadWindows::closeHandle() {
  if (handle_) ::CloseHandle(handle_);
  handle_ = nullptr;
}

unsigned __stdcall CoThreadWindows::body(void* arg) {
  std::unique_ptr<StartRecord> record(static_cast<StartRecord*>(arg));
  Core& core = *record->core;
  core.id = currentSystemId();
  nameSystemThread(record->name);
  core.idReady.release();

  core.lock.get();
  if (gThreadDebug || record->name.find("Job Exec") == std::string::npos)
    CO_POST_NOTICE("Registered thread '%s' [ %i ]", record->name.c_str(),
                   static_cast<int>(core.id.load()));
  core.lock.release();

  if (record->task) record->task->run(record->thread);

  core.lock.get();
  if (gThreadDebug) CO_POST_DEBUG("Finished running thread '%s'", record->name.c_str());
  // A thread terminated meanwhile stays stopped.
  int running = STATE_RUNNING;
  core.state.compare_exchange_strong(running, STATE_FINISHED);
  core.lock.release();
  core.exited = true;
  return 0;
}

void CoThreadWindows::start() {
  CoLockGuard guard(core_->lock);
  QV_ASSERT_FLUSH(getType() != MAIN_THREAD);
  QV_ASSERT_FLUSH(!isRunningNoLock());
  {
    std::lock_guard<std::mutex> join(joinMutex_);
    // A thread started again after it finished: its old system thread
    // has ended, collect it.
    if (joinable_) ::WaitForSingleObject(handle_, INFINITE);
    joinable_ = false;
    closeHandle();

    auto* record = new StartRecord{core_, this, task_, name_};
    const uintptr_t thread =
        ::_beginthreadex(nullptr, STACK_SIZE, &CoThreadWindows::body, record, 0, nullptr);
    if (thread == 0) {
      delete record;
      CO_POST_ERROR("Error creating thread: %i", errno);
      QV_ASSERT_FLUSH(0);
      return;
    }
    handle_ = reinterpret_cast<HANDLE>(thread);
    joinable_ = true;
  }
  core_->state = STATE_RUNNING;
  core_->idReady.get();

  const int schedulingError = setSchedulingNoLock(priority_, policy_);
  QV_ASSERT_FLUSH(!isFatalSchedulingError(schedulingError));
  // A new thread already runs on every processor of its process.
  if (cpu_ == -1) return;
  const int cpuError = setCpuNoLock(cpu_);
  QV_ASSERT_FLUSH(!isFatalSchedulingError(cpuError));
}

void CoThreadWindows::stop() {
  QV_ASSERT_FLUSH(getType() != CoThread::MAIN_THREAD);
  if (task_) task_->stop(this);
}

bool CoThreadWindows::joinSystemThread(int& error) {
  std::lock_guard<std::mutex> guard(joinMutex_);
  error = 0;
  if (!joinable_) return false;
  if (::WaitForSingleObject(handle_, INFINITE) == WAIT_FAILED) error = lastError();
  joinable_ = false;
  closeHandle();
  return true;
}

void CoThreadWindows::wait() {
  QV_ASSERT(getType() == CoThread::MANAGED_THREAD || getType() == CoThread::UNMANAGED_THREAD);
  if (getType() == MAIN_THREAD) return;
  {
    CoLockGuard guard(core_->lock);
    if (!isRunningOrFinishedNoLock()) return;
  }
  int error = 0;
  joinSystemThread(error);
  if (error != 0) {
    CO_POST_ERROR("Failed to wait for thread terminaison for thread '%s' [ %i ] : %i",
                  name_.c_str(), static_cast<int>(getThreadId()), error);
    QV_ASSERT_FLUSH(0);
  }
  CoLockGuard guard(core_->lock);
  core_->state = STATE_STOPPED;
}

void CoThreadWindows::terminate() {
  const int id = static_cast<int>(getThreadId());
  if (gThreadDebug) CO_POST_DEBUG("Stopping thread '%s' [ %i ]", name_.c_str(), id);
  QV_ASSERT(getType() == CoThread::MANAGED_THREAD || getType() == CoThread::UNMANAGED_THREAD);
  if (getType() != MANAGED_THREAD && getType() != UNMANAGED_THREAD) return;
  CoLockGuard guard(core_->lock);
  const int state = core_->state.load();
  if (state != STATE_RUNNING && state != STATE_FINISHED) return;
  {
    std::lock_guard<std::mutex> join(joinMutex_);
    if (joinable_ && state == STATE_FINISHED) {
      // Its task has returned: the system thread is ending by itself.
      ::WaitForSingleObject(handle_, INFINITE);
    } else if (joinable_) {
      CO_POST_WARNING(
          "Thread '%s' [ %i ] cannot be ended by force; it is detached and left to "
          "finish",
          name_.c_str(), id);
      detachedRunning_ = true;
    }
    joinable_ = false;
    closeHandle();
  }
  if (gThreadDebug) CO_POST_DEBUG("Thread '%s' [ %i ], has been terminated", name_.c_str(), id);
  core_->state = STATE_STOPPED;
}

bool CoThreadWindows::isSameThread(CoThread* other) {
  if (other == this) return true;
  return other != nullptr && getThreadId() != 0 && other->getThreadId() == getThreadId();
}

bool CoThreadWindows::isRunning() {
  CoLockGuard guard(core_->lock);
  return isRunningNoLock();
}

uint32_t CoThreadWindows::getThreadId() {
  return core_->id.load();
}

int CoThreadWindows::getCpu() {
  if (!isRunningNoLock()) return cpu_;
  return getCpuOf(getThreadId());
}

int CoThreadWindows::setCpu(int cpu, bool lockThread) {
  if (!lockThread) return setCpuNoLock(cpu);
  CoLockGuard guard(core_->lock);
  return setCpuNoLock(cpu);
}

int CoThreadWindows::setCpuNoLock(int cpu) {
  cpu_ = cpu;
  if (!isRunningNoLock()) return 0;
  return setCpuOf(getThreadId(), cpu);
}

int CoThreadWindows::setScheduling(CoThreadPriority priority, PolicyType policy) {
  CoLockGuard guard(core_->lock);
  return setSchedulingNoLock(priority, policy);
}

int CoThreadWindows::setSchedulingNoLock(CoThreadPriority priority, PolicyType policy) {
  if (!isRunningNoLock()) {
    priority_ = priority;
    policy_ = policy;
    return 0;
  }
  policy_ = getPolicy();
  return applyScheduling(name_.c_str(), getThreadId(), getType() == MAIN_THREAD, priority, policy,
                         policy_, priority_);
}

CoThreadPriority CoThreadWindows::getPriority() {
  if (!isRunningNoLock()) return priority_;
  CoThreadPriority priority;
  PolicyType policy = POLICY_TS;
  if (readScheduling(getThreadId(), priority, policy) != 0) return priority_;
  return priority;
}

CoThread::PolicyType CoThreadWindows::getPolicy() {
  PolicyType policy = policy_;
  if (readPolicy(policy) != 0) return policy_;
  return policy;
}

bool CoThreadWindows::isRunningNoLock() {
  return core_->state.load() == STATE_RUNNING;
}

bool CoThreadWindows::isFinishedNoLock() {
  return core_->state.load() == STATE_FINISHED;
}

bool CoThreadWindows::isRunningOrFinishedNoLock() {
  return isRunningNoLock() || isFinishedNoLock();
}

// ---- The calling thread ------------------------------------------------

int CoThread::getCpuForCurrentThread() {
  return getCpuOf(CoThreadWindows::currentSystemId());
}

int CoThread::setCpuForCurrentThread(int cpu) {
  return setCpuOf(CoThreadWindows::currentSystemId(), cpu);
}

int CoThread::getSchedulingForCurrentThread(CoThreadPriority& priority, PolicyType& policy) {
  return readScheduling(CoThreadWindows::currentSystemId(), priority, policy);
}

int CoThread::setSchedulingForCurrentThread(CoThreadPriority priority, PolicyType policy) {
  const uint32_t id = CoThreadWindows::currentSystemId();
  PolicyType current = POLICY_TS;
  readPolicy(current);
  CoThreadPriority stored;
  return applyScheduling("<current thread>", id, id == mainSystemId(), priority, policy, current,
                         stored);
}

bool CoThread::isCpuAffinitySupportedForCurrentThread() {
  return true;
}

}  // namespace Kestrix
