#include "common/base/threads/CoThreadMgrPosix.h"

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/threads/CoThreadPosix.h"

namespace Kestrix {

CoThreadMgr* newPlatformThreadMgr() {
  return new CoThreadMgrPosix();
}

CoThreadMgrPosix::CoThreadMgrPosix() {
  const uint32_t id = CoThreadPosix::currentSystemId();
  CoThreadPosix::setMainSystemId(id);
  CoThreadPriority priority;
  CoThread::PolicyType policy = CoThread::POLICY_TS;
  CoThread::getSchedulingForCurrentThread(priority, policy);
  const int cpu = CoThread::getCpuForCurrentThread();
  addThread(new CoThreadPosix(nullptr, "main", CoThread::MAIN_THREAD, policy, priority, cpu));
}

uint32_t CoThreadMgrPosix::getCurrentThreadId() {
  return CoThreadPosix::currentSystemId();
}

CoThread* CoThreadMgrPosix::createCoThread(CoTask* task, const char* name,
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
  auto* thread = new CoThreadPosix(task, name, type, policy, priority, cpu);
  if (type != CoThread::UNREGISTERED_THREAD) addThread(thread);
  return thread;
}

}  // namespace Kestrix
