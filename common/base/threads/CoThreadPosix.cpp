#include "common/base/threads/CoThreadPosix.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

namespace Kestrix::SystemThread {
namespace {

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

bool isRoundRobin(CoThread::PolicyType policy) {
  return policy == CoThread::POLICY_RR;
}

struct Start {
  void (*entry)(void*);
  void* argument;
};

void* run(void* start) {
  const Start copy = *static_cast<Start*>(start);
  delete static_cast<Start*>(start);
  copy.entry(copy.argument);
  return nullptr;
}

pthread_t asThread(Handle handle) {
  return static_cast<pthread_t>(handle);
}

}  // namespace

uint32_t currentId() {
  return static_cast<uint32_t>(::gettid());
}

uint32_t processId() {
  return static_cast<uint32_t>(::getpid());
}

int create(Handle& handle, void (*entry)(void*), void* argument) {
  pthread_attr_t attr;
  ::pthread_attr_init(&attr);
  ::pthread_attr_setstacksize(&attr, stackSize());
  auto* start = new Start{entry, argument};
  pthread_t thread{};
  const int error = ::pthread_create(&thread, &attr, &run, start);
  ::pthread_attr_destroy(&attr);
  if (error != 0) {
    delete start;
    return error;
  }
  handle = static_cast<Handle>(thread);
  return 0;
}

int join(Handle handle) {
  return ::pthread_join(asThread(handle), nullptr);
}

int detach(Handle handle) {
  return ::pthread_detach(asThread(handle));
}

Handle adoptCurrent() {
  return static_cast<Handle>(::pthread_self());
}

void nameCurrent(const std::string& name) {
  ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
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

int readPriority(uint32_t id, CoThread::PolicyType policy, int& priority) {
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

int writePriority(uint32_t id, CoThread::PolicyType policy, int priority) {
  if (isRoundRobin(policy)) {
    sched_param param{};
    param.sched_priority = std::clamp(priority + 16, 1, 31);
    if (::sched_setscheduler(asPid(id), SCHED_RR, &param) != 0) return errno;
    return 0;
  }
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(id), -priority) != 0) return errno;
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

bool startsOnEveryProcessor() {
  // A new thread inherits its creator's processor, which may be one.
  return false;
}

bool isDenied(int error) {
  return error == EPERM || error == EACCES;
}

}  // namespace Kestrix::SystemThread
