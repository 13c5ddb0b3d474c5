#include "common/base/threads/CoThreadPosix.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/threads/CoTask.h"
#include "common/base/threads/CoThreadMgr.h"

namespace Kestrix {
namespace {

const bool gThreadDebug = std::getenv("QV_THREAD_DEBUG") != nullptr;

std::atomic<uint32_t> gMainSystemId{0};

size_t stackSize() {
  size_t size = 65536;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // Instrumented frames are several times larger.
  size *= 8;
#endif
  return std::max(size, static_cast<size_t>(PTHREAD_STACK_MIN));
}

pid_t asPid(uint32_t id) {
  return static_cast<pid_t>(id);
}

uint32_t mainSystemId() {
  const uint32_t id = gMainSystemId.load();
  return id ? id : static_cast<uint32_t>(::getpid());
}

bool isRoundRobin(CoThread::PolicyType policy) {
  return policy == CoThread::POLICY_RR;
}

// The Windows-style priorities of the tables (-15 to 15, higher runs first)
// become the nice value under time sharing (nice = -priority) and a
// real-time priority under round robin (priority + 16, 1 to 31).
int readPolicy(uint32_t id, CoThread::PolicyType& policy) {
  const int scheduler = ::sched_getscheduler(asPid(id));
  if (scheduler < 0) return errno;
  policy = (scheduler == SCHED_RR || scheduler == SCHED_FIFO) ? CoThread::POLICY_RR
                                                              : CoThread::POLICY_TS;
  return 0;
}

int writePolicy(uint32_t id, CoThread::PolicyType policy) {
  sched_param param{};
  param.sched_priority = isRoundRobin(policy) ? 16 : 0;
  if (::sched_setscheduler(asPid(id), isRoundRobin(policy) ? SCHED_RR : SCHED_OTHER, &param) != 0)
    return errno;
  return 0;
}

int readSystemPriority(uint32_t id, CoThread::PolicyType policy, int& priority) {
  if (isRoundRobin(policy)) {
    sched_param param{};
    if (::sched_getparam(asPid(id), &param) != 0) return errno;
    priority = param.sched_priority - 16;
    return 0;
  }
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(id));
  if (nice == -1 && errno != 0) return errno;
  priority = -nice;
  return 0;
}

int writeSystemPriority(uint32_t id, CoThread::PolicyType policy, int priority) {
  if (isRoundRobin(policy)) {
    sched_param param{};
    param.sched_priority = std::clamp(priority + 16, 1, 31);
    if (::sched_setscheduler(asPid(id), SCHED_RR, &param) != 0) return errno;
    return 0;
  }
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(id), -priority) != 0) return errno;
  return 0;
}

// Reads the level and policy of a system thread; level 9 and time sharing
// when they cannot be read.
int readScheduling(uint32_t id, CoThreadPriority& priority, CoThread::PolicyType& policy) {
  priority = CoThreadPriority();
  policy = CoThread::POLICY_TS;
  int error = readPolicy(id, policy);
  if (error != 0) {
    CO_POST_ERROR("Unable to get thread priority class for thread %i : %i", static_cast<int>(id),
                  error);
    return error;
  }
  int system = 0;
  error = readSystemPriority(id, policy, system);
  if (error != 0) {
    CO_POST_ERROR("Unable to get thread priority for thread %i : %i", static_cast<int>(id), error);
    return error;
  }
  // Nice values that no table holds (a process started under nice) take
  // the nearest level rather than stopping the process.
  int level = CoThreadPriority::fromSystem(system, isRoundRobin(policy));
  if (level < 0) level = CoThreadPriority::nearestFromSystem(system, isRoundRobin(policy));
  priority.setLevel(level);
  CO_POST_DEBUG("Thread %i : got policy/prio to %i/%i\n", static_cast<int>(id),
                static_cast<int>(policy), level);
  return 0;
}

int readCpu(uint32_t id, int& cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(asPid(id), sizeof set, &set) != 0) return errno;
  cpu = -1;
  if (CPU_COUNT(&set) != 1) return 0;
  for (int i = 0; i < CPU_SETSIZE; ++i)
    if (CPU_ISSET(i, &set)) cpu = i;
  return 0;
}

int writeCpu(uint32_t id, int cpu) {
  if (cpu >= CPU_SETSIZE) return EINVAL;
  cpu_set_t set;
  CPU_ZERO(&set);
  // -1 is every processor the process was given (taskset), not every one the
  // machine has.
  if (cpu >= 0) {
    CPU_SET(cpu, &set);
  } else if (::sched_getaffinity(::getpid(), sizeof set, &set) != 0) {
    return errno;
  }
  if (::sched_setaffinity(asPid(id), sizeof set, &set) != 0) return errno;
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
    } else if (const int error = writePolicy(id, wantedPolicy); error != 0) {
      CO_POST_ERROR("Unable to set priority class for main thread: %i", error);
    } else {
      policy = wantedPolicy;
    }
  }
  const int system = CoThreadPriority::toSystem(wanted.getLevel(), isRoundRobin(policy));
  if (const int error = writeSystemPriority(id, policy, system); error != 0) {
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
  return error != 0 && error != EPERM && error != EACCES;
}

}  // namespace

struct CoThreadPosix::StartRecord {
  std::shared_ptr<Core> core;
  CoThreadPosix* thread;
  CoTask* task;
  std::string name;
};

uint32_t CoThreadPosix::currentSystemId() {
  return static_cast<uint32_t>(::gettid());
}

void CoThreadPosix::setMainSystemId(uint32_t id) {
  gMainSystemId = id;
}

CoThreadPosix::CoThreadPosix(CoTask* task, const char* name, ThreadType type, PolicyType policy,
                             CoThreadPriority priority, int cpu)
    : CoThread(task, name, type, policy, priority, cpu), core_(std::make_shared<Core>()) {
  if (gThreadDebug)
    CO_POST_DEBUG("Creating thread '%s' with inherited policy %s, prio %i, cpu %i\n", name_.c_str(),
                  policyName(policy),
                  CoThreadPriority::toSystem(priority.getLevel(), isRoundRobin(policy)), cpu);
  if (type == MAIN_THREAD) {
    core_->state = STATE_RUNNING;
    core_->id = currentSystemId();
    handle_ = ::pthread_self();
  }
  if (task_) task_->attach(this);
}

CoThreadPosix::~CoThreadPosix() {
  if (task_) task_->detach(this);
  if (type_ != UNREGISTERED_THREAD)
    if (CoThreadMgr* mgr = CoThreadMgr::existingInstance()) mgr->removeThread(this);
  {
    std::lock_guard<std::mutex> guard(joinMutex_);
    if (joinable_ && core_->state.load() == STATE_RUNNING) {
      CO_POST_WARNING("Thread '%s' [ %i ] deleted while running; it is left to finish",
                      name_.c_str(), static_cast<int>(core_->id.load()));
      ::pthread_detach(handle_);
      joinable_ = false;
      detachedRunning_ = true;
    } else if (joinable_) {
      ::pthread_join(handle_, nullptr);
      joinable_ = false;
    }
  }
  // A thread still inside its task keeps using it.
  if (detachedRunning_ && !core_->exited.load()) return;
  delete task_;
}

void* CoThreadPosix::body(void* arg) {
  std::unique_ptr<StartRecord> record(static_cast<StartRecord*>(arg));
  Core& core = *record->core;
  core.id = currentSystemId();
  ::pthread_setname_np(::pthread_self(), record->name.substr(0, 15).c_str());
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
  return nullptr;
}

void CoThreadPosix::start() {
  CoLockGuard guard(core_->lock);
  QV_ASSERT_FLUSH(getType() != MAIN_THREAD);
  QV_ASSERT_FLUSH(!isRunningNoLock());
  {
    std::lock_guard<std::mutex> join(joinMutex_);
    // A thread started again after it finished: its old system thread
    // has ended, collect it.
    if (joinable_) ::pthread_join(handle_, nullptr);
    joinable_ = false;

    pthread_attr_t attr;
    ::pthread_attr_init(&attr);
    ::pthread_attr_setstacksize(&attr, stackSize());
    auto* record = new StartRecord{core_, this, task_, name_};
    const int error = ::pthread_create(&handle_, &attr, &CoThreadPosix::body, record);
    ::pthread_attr_destroy(&attr);
    if (error != 0) {
      delete record;
      CO_POST_ERROR("Error creating thread: %i", error);
      QV_ASSERT_FLUSH(0);
      return;
    }
    joinable_ = true;
  }
  core_->state = STATE_RUNNING;
  core_->idReady.get();

  const int schedulingError = setSchedulingNoLock(priority_, policy_);
  QV_ASSERT_FLUSH(!isFatalSchedulingError(schedulingError));
  const int cpuError = setCpuNoLock(cpu_);
  QV_ASSERT_FLUSH(!isFatalSchedulingError(cpuError));
}

void CoThreadPosix::stop() {
  QV_ASSERT_FLUSH(getType() != CoThread::MAIN_THREAD);
  if (task_) task_->stop(this);
}

bool CoThreadPosix::joinSystemThread(int& error) {
  std::lock_guard<std::mutex> guard(joinMutex_);
  error = 0;
  if (!joinable_) return false;
  error = ::pthread_join(handle_, nullptr);
  joinable_ = false;
  return true;
}

void CoThreadPosix::wait() {
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

void CoThreadPosix::terminate() {
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
      ::pthread_join(handle_, nullptr);
    } else if (joinable_) {
      CO_POST_WARNING(
          "Thread '%s' [ %i ] cannot be ended by force; it is detached and left to "
          "finish",
          name_.c_str(), id);
      const int error = ::pthread_detach(handle_);
      if (error != 0) {
        CO_POST_ERROR("Failed to terminate thread '%s' [ %i ] : %i", name_.c_str(), id, error);
        QV_ASSERT_FLUSH(0);
      }
      detachedRunning_ = true;
    }
    joinable_ = false;
  }
  if (gThreadDebug) CO_POST_DEBUG("Thread '%s' [ %i ], has been terminated", name_.c_str(), id);
  core_->state = STATE_STOPPED;
}

bool CoThreadPosix::isSameThread(CoThread* other) {
  if (other == this) return true;
  return other != nullptr && getThreadId() != 0 && other->getThreadId() == getThreadId();
}

bool CoThreadPosix::isRunning() {
  CoLockGuard guard(core_->lock);
  return isRunningNoLock();
}

uint32_t CoThreadPosix::getThreadId() {
  return core_->id.load();
}

int CoThreadPosix::getCpu() {
  if (!isRunningNoLock()) return cpu_;
  return getCpuOf(getThreadId());
}

int CoThreadPosix::setCpu(int cpu, bool lockThread) {
  if (!lockThread) return setCpuNoLock(cpu);
  CoLockGuard guard(core_->lock);
  return setCpuNoLock(cpu);
}

int CoThreadPosix::setCpuNoLock(int cpu) {
  cpu_ = cpu;
  if (!isRunningNoLock()) return 0;
  return setCpuOf(getThreadId(), cpu);
}

int CoThreadPosix::setScheduling(CoThreadPriority priority, PolicyType policy) {
  CoLockGuard guard(core_->lock);
  return setSchedulingNoLock(priority, policy);
}

int CoThreadPosix::setSchedulingNoLock(CoThreadPriority priority, PolicyType policy) {
  if (!isRunningNoLock()) {
    priority_ = priority;
    policy_ = policy;
    return 0;
  }
  policy_ = getPolicy();
  return applyScheduling(name_.c_str(), getThreadId(), getType() == MAIN_THREAD, priority, policy,
                         policy_, priority_);
}

CoThreadPriority CoThreadPosix::getPriority() {
  if (!isRunningNoLock()) return priority_;
  CoThreadPriority priority;
  PolicyType policy = POLICY_TS;
  if (readScheduling(getThreadId(), priority, policy) != 0) return priority_;
  return priority;
}

CoThread::PolicyType CoThreadPosix::getPolicy() {
  // The policy belongs to the process: the main thread's answers for all.
  const uint32_t id = getType() == MAIN_THREAD ? getThreadId() : mainSystemId();
  PolicyType policy = policy_;
  if (readPolicy(id, policy) != 0) return policy_;
  return policy;
}

bool CoThreadPosix::isRunningNoLock() {
  return core_->state.load() == STATE_RUNNING;
}

bool CoThreadPosix::isFinishedNoLock() {
  return core_->state.load() == STATE_FINISHED;
}

bool CoThreadPosix::isRunningOrFinishedNoLock() {
  return isRunningNoLock() || isFinishedNoLock();
}

// ---- The calling thread ------------------------------------------------

int CoThread::getCpuForCurrentThread() {
  return getCpuOf(CoThreadPosix::currentSystemId());
}

int CoThread::setCpuForCurrentThread(int cpu) {
  return setCpuOf(CoThreadPosix::currentSystemId(), cpu);
}

int CoThread::getSchedulingForCurrentThread(CoThreadPriority& priority, PolicyType& policy) {
  return readScheduling(CoThreadPosix::currentSystemId(), priority, policy);
}

int CoThread::setSchedulingForCurrentThread(CoThreadPriority priority, PolicyType policy) {
  const uint32_t id = CoThreadPosix::currentSystemId();
  PolicyType current = POLICY_TS;
  readPolicy(mainSystemId(), current);
  CoThreadPriority stored;
  return applyScheduling("<current thread>", id, id == mainSystemId(), priority, policy, current,
                         stored);
}

bool CoThread::isCpuAffinitySupportedForCurrentThread() {
  return true;
}

}  // namespace Kestrix
