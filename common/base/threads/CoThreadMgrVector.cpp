#include "common/base/threads/CoThreadMgrVector.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"

namespace Kestrix {

CoThread* CoThreadMgrVector::findCurrent() {
  return findThread(getCurrentThreadId());
}

CoThread* CoThreadMgrVector::findThread(uint32_t id) {
  CoLockGuard guard(lock_);
  for (CoThread* thread : threads_)
    if (thread->getThreadId() == id) return thread;
  return nullptr;
}

CoThread* CoThreadMgrVector::findMainThread() {
  CoLockGuard guard(lock_);
  for (CoThread* thread : threads_)
    if (thread->getType() == CoThread::MAIN_THREAD) return thread;
  return nullptr;
}

CoThread* CoThreadMgrVector::findThread(const char* name) {
  if (name == nullptr) return nullptr;
  CoLockGuard guard(lock_);
  for (CoThread* thread : threads_)
    if (std::strcmp(thread->getName(), name) == 0) return thread;
  return nullptr;
}

void CoThreadMgrVector::adoptMainThread() {
  CoThreadPriority priority;
  CoThread::PolicyType policy = CoThread::POLICY_TS;
  CoThread::getSchedulingForCurrentThread(priority, policy);
  const int cpu = CoThread::getCpuForCurrentThread();
  addThread(newThread(nullptr, "main", CoThread::MAIN_THREAD, policy, priority, cpu));
}

CoThread* CoThreadMgrVector::createCoThread(CoTask* task, const char* name,
                                            CoThread::ThreadType type) {
  CoThreadPriority priority;
  CoThread::PolicyType policy = CoThread::POLICY_TS;
  int cpu = -1;
  if (CoThread* caller = findCurrent()) {
    priority = caller->getPriority();
    policy = caller->getPolicy();
    cpu = caller->getCpu();
  } else {
    CO_POST_DEBUG("Creating a CoThread from an unmanaged thread ID: %i\n",
                  static_cast<int>(getCurrentThreadId()));
    CoThread::getSchedulingForCurrentThread(priority, policy);
    cpu = CoThread::getCpuForCurrentThread();
  }
  CoThread* thread = newThread(task, name, type, policy, priority, cpu);
  if (type != CoThread::UNREGISTERED_THREAD) addThread(thread);
  return thread;
}

bool CoThreadMgrVector::addThread(CoThread* t) {
  CoLockGuard guard(lock_);
  const uint32_t tID = t->getThreadId();
  for (CoThread* thread : threads_) {
    const uint32_t threadID = thread->getThreadId();
    if (thread != t && (tID == 0 || threadID != tID)) continue;
    CO_POST_DEBUG("thread=%p, t=%p, threadID=%ld, tID=%ld\n", static_cast<void*>(thread),
                  static_cast<void*>(t), static_cast<long>(threadID), static_cast<long>(tID));
    QV_ASSERT("Cannot add thread that is already there!" == 0);
    return false;
  }
  threads_.push_back(t);
  return true;
}

bool CoThreadMgrVector::removeThread(CoThread* t) {
  QV_ASSERT(t);
  CoLockGuard guard(lock_);
  auto found = std::find(threads_.begin(), threads_.end(), t);
  if (found == threads_.end()) return false;
  threads_.erase(found);
  return true;
}

void CoThreadMgrVector::terminateThread(CoThread* thread) {
  if (thread) thread->terminate();
}

void CoThreadMgrVector::stopManagedThreads() {
  lock_.get();
  CO_POST_NOTICE("Stopping managed threads.");
  // Deleting a thread removes it from the list, which only moves the
  // entries after it: the entries below `bound` stay where they are.
  size_t bound = threads_.size();
  while (bound > 0) {
    CoThread* thread = threads_[--bound];
    QV_ASSERT(thread);
    if (thread == nullptr || thread->getType() != CoThread::MANAGED_THREAD) continue;
    CO_POST_DEBUG("Stopping %s", thread->getName());
    lock_.release();
    if (thread->isRunning()) {
      thread->stop();
      thread->wait();
    }
    delete thread;
    lock_.get();
    bound = std::min(bound, threads_.size());
  }
  CO_POST_DEBUG("Managed thread stopped.");
  lock_.release();
}

void CoThreadMgrVector::dumpThreads() {
  CoLockGuard guard(lock_);
  for (CoThread* thread : threads_)
    CO_POST_USER("Thread Dump: %s ( %i ) ", thread->getName(),
                 static_cast<int>(thread->getThreadId()));
}

int CoThreadMgrVector::forEachThread(const Visitor& visitor) {
  CoLockGuard guard(lock_);
  int result = -1;
  for (CoThread* thread : threads_) {
    result = visitor(thread);
    if (result == -1 || result == 1) return result;
  }
  return result;
}

void CoThreadMgrVector::setPriorityTables(
    const int roundRobin[CoThreadPriority::NUM_PRIO_LEVELS],
    const int timeSharing[CoThreadPriority::NUM_PRIO_LEVELS]) {
  CoThreadPriority::setTables(roundRobin, timeSharing);
}

CoThreadMgrVector::~CoThreadMgrVector() {
  // Runs at process exit, after the manager has been unpublished: the lock
  // is held only to take each entry, never while a thread is ended.
  for (;;) {
    lock_.get();
    if (threads_.empty()) {
      lock_.release();
      break;
    }
    CoThread* thread = threads_.back();
    threads_.pop_back();
    lock_.release();
    if (thread == nullptr) continue;
    if (thread->getType() == CoThread::MAIN_THREAD) {
      delete thread;
      continue;
    }
    std::fprintf(stderr, "Thread id = %i named=%s was not deleted by its owner.\n",
                 static_cast<int>(thread->getThreadId()), thread->getName());
    QV_ASSERT(!"Leaked thread!");
    if (thread->isRunning())
      thread->terminate();
    else
      thread->wait();
    if (thread->getType() == CoThread::MANAGED_THREAD) delete thread;
  }
}

}  // namespace Kestrix
