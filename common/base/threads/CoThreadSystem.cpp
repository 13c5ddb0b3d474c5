#include "common/base/threads/CoThreadSystem.h"

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

uint32_t mainSystemId() {
  const uint32_t id = gMainSystemId.load();
  return id ? id : SystemThread::processId();
}

bool isRoundRobin(CoThread::PolicyType policy) {
  return policy == CoThread::POLICY_RR;
}

// Reads the level and policy of a system thread; level 9 and time sharing
// when they cannot be read.
int readScheduling(uint32_t id, CoThreadPriority& priority, CoThread::PolicyType& policy) {
  priority = CoThreadPriority();
  policy = CoThread::POLICY_TS;
  int error = SystemThread::readPolicy(id, policy);
  if (error != 0) {
    CO_POST_ERROR("Unable to get thread priority class for thread %i : %i", static_cast<int>(id),
                  error);
    return error;
  }
  int system = 0;
  error = SystemThread::readPriority(id, policy, system);
  if (error != 0) {
    CO_POST_ERROR("Unable to get thread priority for thread %i : %i", static_cast<int>(id), error);
    return error;
  }
  // Priorities that no table holds (a process started under nice, a
  // real-time class) take the nearest level rather than stopping the
  // process.
  int level = CoThreadPriority::fromSystem(system, isRoundRobin(policy));
  if (level < 0) level = CoThreadPriority::nearestFromSystem(system, isRoundRobin(policy));
  priority.setLevel(level);
  CO_POST_DEBUG("Thread %i : got policy/prio to %i/%i\n", static_cast<int>(id),
                static_cast<int>(policy), level);
  return 0;
}

int setCpuOf(uint32_t id, int cpu) {
  const int error = SystemThread::writeCpu(id, cpu);
  if (error != 0) CO_POST_ERROR("Unable to set thread cpu affinity to %i: %i", cpu, error);
  return error;
}

int getCpuOf(uint32_t id) {
  int cpu = -1;
  const int error = SystemThread::readCpu(id, cpu);
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
    } else if (const int error = SystemThread::writePolicy(id, wantedPolicy); error != 0) {
      CO_POST_ERROR("Unable to set priority class for main thread: %i", error);
    } else {
      policy = wantedPolicy;
    }
  }
  const int system = CoThreadPriority::toSystem(wanted.getLevel(), isRoundRobin(policy));
  if (const int error = SystemThread::writePriority(id, policy, system); error != 0) {
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
  return error != 0 && !SystemThread::isDenied(error);
}

}  // namespace

struct CoThreadSystem::StartRecord {
  std::shared_ptr<Core> core;
  CoThreadSystem* thread;
  CoTask* task;
  std::string name;
};

uint32_t CoThreadSystem::currentSystemId() {
  return SystemThread::currentId();
}

void CoThreadSystem::setMainSystemId(uint32_t id) {
  gMainSystemId = id;
}

CoThreadSystem::CoThreadSystem(CoTask* task, const char* name, ThreadType type, PolicyType policy,
                               CoThreadPriority priority, int cpu)
    : CoThread(task, name, type, policy, priority, cpu), core_(std::make_shared<Core>()) {
  if (gThreadDebug)
    CO_POST_DEBUG("Creating thread '%s' with inherited policy %s, prio %i, cpu %i\n", name_.c_str(),
                  policyName(policy),
                  CoThreadPriority::toSystem(priority.getLevel(), isRoundRobin(policy)), cpu);
  if (type == MAIN_THREAD) {
    core_->state = STATE_RUNNING;
    core_->id = currentSystemId();
    handle_ = SystemThread::adoptCurrent();
  }
  if (task_) task_->attach(this);
}

void CoThreadSystem::retire() {
  if (retired_) return;
  retired_ = true;
  if (task_) task_->detach(this);
  if (type_ != UNREGISTERED_THREAD)
    if (CoThreadMgr* mgr = CoThreadMgr::existingInstance()) mgr->removeThread(this);
}

CoThreadSystem::~CoThreadSystem() {
  retire();
  {
    std::lock_guard<std::mutex> guard(joinMutex_);
    if (joinable_ && core_->state.load() == STATE_RUNNING) {
      CO_POST_WARNING("Thread '%s' [ %i ] deleted while running; it is left to finish",
                      name_.c_str(), static_cast<int>(core_->id.load()));
      SystemThread::detach(handle_);
      detachedRunning_ = true;
    } else if (joinable_) {
      SystemThread::join(handle_);
    }
    joinable_ = false;
  }
  // A thread still inside its task keeps using it.
  if (detachedRunning_ && !core_->exited.load()) return;
  delete task_;
}

void CoThreadSystem::body(void* arg) {
  std::unique_ptr<StartRecord> record(static_cast<StartRecord*>(arg));
  Core& core = *record->core;
  core.id = currentSystemId();
  SystemThread::nameCurrent(record->name);
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
}

void CoThreadSystem::start() {
  CoLockGuard guard(core_->lock);
  QV_ASSERT_FLUSH(getType() != MAIN_THREAD);
  QV_ASSERT_FLUSH(!isRunningNoLock());
  {
    std::lock_guard<std::mutex> join(joinMutex_);
    // A thread started again after it finished: its old system thread
    // has ended, collect it.
    if (joinable_) SystemThread::join(handle_);
    joinable_ = false;

    auto* record = new StartRecord{core_, this, task_, name_};
    const int error = SystemThread::create(handle_, &CoThreadSystem::body, record);
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
  if (cpu_ == -1 && SystemThread::startsOnEveryProcessor()) return;
  const int cpuError = setCpuNoLock(cpu_);
  QV_ASSERT_FLUSH(!isFatalSchedulingError(cpuError));
}

void CoThreadSystem::stop() {
  QV_ASSERT_FLUSH(getType() != CoThread::MAIN_THREAD);
  if (task_) task_->stop(this);
}

bool CoThreadSystem::joinSystemThread(int& error) {
  std::lock_guard<std::mutex> guard(joinMutex_);
  error = 0;
  if (!joinable_) return false;
  error = SystemThread::join(handle_);
  joinable_ = false;
  return true;
}

void CoThreadSystem::wait() {
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

void CoThreadSystem::terminate() {
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
      SystemThread::join(handle_);
    } else if (joinable_) {
      CO_POST_WARNING(
          "Thread '%s' [ %i ] cannot be ended by force; it is detached and left to "
          "finish",
          name_.c_str(), id);
      const int error = SystemThread::detach(handle_);
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

bool CoThreadSystem::isSameThread(CoThread* other) {
  if (other == this) return true;
  return other != nullptr && getThreadId() != 0 && other->getThreadId() == getThreadId();
}

bool CoThreadSystem::isRunning() {
  CoLockGuard guard(core_->lock);
  return isRunningNoLock();
}

uint32_t CoThreadSystem::getThreadId() {
  return core_->id.load();
}

int CoThreadSystem::getCpu() {
  if (!isRunningNoLock()) return cpu_;
  return getCpuOf(getThreadId());
}

int CoThreadSystem::setCpu(int cpu, bool lockThread) {
  if (!lockThread) return setCpuNoLock(cpu);
  CoLockGuard guard(core_->lock);
  return setCpuNoLock(cpu);
}

int CoThreadSystem::setCpuNoLock(int cpu) {
  cpu_ = cpu;
  if (!isRunningNoLock()) return 0;
  return setCpuOf(getThreadId(), cpu);
}

int CoThreadSystem::setScheduling(CoThreadPriority priority, PolicyType policy) {
  CoLockGuard guard(core_->lock);
  return setSchedulingNoLock(priority, policy);
}

int CoThreadSystem::setSchedulingNoLock(CoThreadPriority priority, PolicyType policy) {
  if (!isRunningNoLock()) {
    priority_ = priority;
    policy_ = policy;
    return 0;
  }
  policy_ = getPolicy();
  return applyScheduling(name_.c_str(), getThreadId(), getType() == MAIN_THREAD, priority, policy,
                         policy_, priority_);
}

CoThreadPriority CoThreadSystem::getPriority() {
  if (!isRunningNoLock()) return priority_;
  CoThreadPriority priority;
  PolicyType policy = POLICY_TS;
  if (readScheduling(getThreadId(), priority, policy) != 0) return priority_;
  return priority;
}

CoThread::PolicyType CoThreadSystem::getPolicy() {
  // The policy belongs to the process: the main thread's answers for all.
  const uint32_t id = getType() == MAIN_THREAD ? getThreadId() : mainSystemId();
  PolicyType policy = policy_;
  if (SystemThread::readPolicy(id, policy) != 0) return policy_;
  return policy;
}

bool CoThreadSystem::isRunningNoLock() {
  return core_->state.load() == STATE_RUNNING;
}

bool CoThreadSystem::isFinishedNoLock() {
  return core_->state.load() == STATE_FINISHED;
}

bool CoThreadSystem::isRunningOrFinishedNoLock() {
  return isRunningNoLock() || isFinishedNoLock();
}

// ---- The calling thread ------------------------------------------------

int CoThread::getCpuForCurrentThread() {
  return getCpuOf(CoThreadSystem::currentSystemId());
}

int CoThread::setCpuForCurrentThread(int cpu) {
  return setCpuOf(CoThreadSystem::currentSystemId(), cpu);
}

int CoThread::getSchedulingForCurrentThread(CoThreadPriority& priority, PolicyType& policy) {
  return readScheduling(CoThreadSystem::currentSystemId(), priority, policy);
}

int CoThread::setSchedulingForCurrentThread(CoThreadPriority priority, PolicyType policy) {
  const uint32_t id = CoThreadSystem::currentSystemId();
  PolicyType current = POLICY_TS;
  SystemThread::readPolicy(mainSystemId(), current);
  CoThreadPriority stored;
  return applyScheduling("<current thread>", id, id == mainSystemId(), priority, policy, current,
                         stored);
}

bool CoThread::isCpuAffinitySupportedForCurrentThread() {
  return true;
}

}  // namespace Kestrix
