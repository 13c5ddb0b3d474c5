#include "common/base/threads/CoThreadMgr.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/threads/CoTask.h"

namespace Kestrix {
namespace {

std::atomic<CoThreadMgr*> gInstance{nullptr};
std::mutex gCreateMutex;
std::vector<void (*)()>* gExitHooks = nullptr;  // under gCreateMutex

// The PID callback of log lines. It never creates the manager: lines are
// also posted while the manager is being torn down at exit.
int currentThreadIdForLog() {
  CoThreadMgr* mgr = gInstance.load();
  return mgr ? static_cast<int>(mgr->getCurrentThreadId()) : 0;
}

void destroyInstanceAtExit() {
  std::vector<void (*)()> hooks;
  {
    std::lock_guard<std::mutex> guard(gCreateMutex);
    if (gExitHooks != nullptr) hooks.swap(*gExitHooks);
  }
  for (auto hook = hooks.rbegin(); hook != hooks.rend(); ++hook) (*hook)();
  // Cleared first, so that threads deleted by the destructor do not look
  // the manager up again while it goes away.
  CoThreadMgr* mgr = gInstance.exchange(nullptr);
  delete mgr;
}

class SimpleTask : public CoTask {
 public:
  SimpleTask(void (*function)(void*), void* argument) : function_(function), argument_(argument) {}
  void run(CoThread*) override { function_(argument_); }

 private:
  void (*function_)(void*);
  void* argument_;
};

}  // namespace

CoThreadMgr::~CoThreadMgr() = default;

CoThreadMgr* CoThreadMgr::getInstance() {
  CoThreadMgr* mgr = gInstance.load();
  if (mgr) return mgr;
  std::lock_guard<std::mutex> guard(gCreateMutex);
  mgr = gInstance.load();
  if (mgr) return mgr;
  mgr = newPlatformThreadMgr();
  gInstance.store(mgr);
  std::atexit(destroyInstanceAtExit);
  CoMsg::setCurrentPIDCallback(currentThreadIdForLog);
  return mgr;
}

CoThreadMgr* CoThreadMgr::existingInstance() {
  return gInstance.load();
}

void CoThreadMgr::addExitHook(void (*hook)()) {
  getInstance();  // its exit handler runs the hooks
  std::lock_guard<std::mutex> guard(gCreateMutex);
  // Never destroyed: it is read by the exit handler itself.
  if (gExitHooks == nullptr) gExitHooks = new std::vector<void (*)()>;
  for (auto added : *gExitHooks)
    if (added == hook) return;
  gExitHooks->push_back(hook);
}

CoThread* CoThreadMgr::findCurrentThread() {
  return getInstance()->findCurrent();
}

CoThread* CoThreadMgr::createThread(const char* name, CoThread::ThreadType type,
                                    void (*function)(void*), void* argument) {
  CoThread* handle = getInstance()->createCoThread(new SimpleTask(function, argument), name, type);
  QV_ASSERT_FLUSH(handle != nullptr);
  handle->start();
  return handle;
}

}  // namespace Kestrix
