#include "common/base/threads/CoThread.h"

#include "common/base/loggerBase/qvAssert.h"
#include "common/base/threads/CoTask.h"

namespace Kestrix {

CoThread::CoThread(CoTask* task, const char* name, ThreadType type, PolicyType policy,
                   CoThreadPriority priority, int cpu)
    : task_(task), cpu_(cpu), priority_(priority), policy_(policy), type_(type) {
  QV_ASSERT(name);
  name_ = name ? name : "<Unnamed thread>";
}

CoThread::~CoThread() = default;

const char* CoThread::getName() {
  return name_.c_str();
}
bool CoThread::isCpuAffinitySupported() {
  return isCpuAffinitySupportedForCurrentThread();
}
int CoThread::getCpu() {
  return cpu_;
}

int CoThread::setCpu(int cpu, bool) {
  cpu_ = cpu;
  return 0;
}

int CoThread::setScheduling(CoThreadPriority priority, PolicyType policy) {
  priority_ = priority;
  policy_ = policy;
  return 0;
}

CoThreadPriority CoThread::getPriority() {
  return priority_;
}
CoThread::PolicyType CoThread::getPolicy() {
  return policy_;
}
CoThread::ThreadType CoThread::getType() {
  return type_;
}
CoTask* CoThread::getCoTask() {
  return task_;
}

}  // namespace Kestrix
