#include "common/base/threads/CoThreadMgrWindows.h"

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/threads/CoThreadWindows.h"

namespace Kestrix {

CoThreadMgr* newPlatformThreadMgr() {
  return new CoThreadMgrWindows();
}

CoThreadMgrWindows::CoThreadMgrWindows() {
  const uint32_t id = CoThreadWindows::currentSystemId();
  CoThreadWindows::setMainSystemId(id);
  CoThreadPriority priority;
  CoThread::PolicyType policy = CoThread::POLICY_TS;
  CoThread::getSchedulingForCurrentThread(priority, policy);
  const int cpu = CoThread::getCpuForCurrentThread();
  addThread(new CoThreadWindows(nullptr, "main", CoThread::MAIN_THREAD, policy, priority, cpu));
}

uint32_t CoThreadMgrWindows::getCurrentThreadId() {
  return CoThreadWindows::currentSystemId();
}

CoThread* CoThreadMgrWindows::createCoThread(CoTask* task, const char* name,
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
  auto* thread = new CoThreadWindows(task, name, type, policy, priority, cpu);
  if (type != CoThread::UNREGISTERED_THREAD) addThread(thread);
  return thread;
}

}  // namespace Kestrix
