#include "common/base/threads/CoThread.h"

#include <gtest/gtest.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/WineTestSupport.h"
#include "common/base/threads/CoLock.h"
#include "common/base/threads/CoTask.h"
#include "common/base/threads/CoThreadMgr.h"
#include "common/base/threads/ThreadTestSupport.h"

namespace Kestrix {
namespace {

using namespace ThreadTestSupport;

// Collects the text and PID of every line posted, from any thread.
class CollectRouter : public CoMsg::Router {
 public:
  CollectRouter() { CoMsg::setRouter(this); }
  ~CollectRouter() override { CoMsg::setRouter(nullptr); }
  void post(const CoMsg::Msg& msg) const override {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.emplace_back(msg.getMsg(), msg.getPid());
  }
  // The PID of the first line holding text, or -1.
  int pidOf(const std::string& text) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& [line, pid] : lines_)
      if (line.find(text) != std::string::npos) return pid;
    return -1;
  }
  bool has(const std::string& text) const { return pidOf(text) != -1; }

 private:
  mutable std::mutex mutex_;
  mutable std::vector<std::pair<std::string, int>> lines_;
};

// Runs until stop() is called; tells when it has started and when it is
// deleted.
class BlockingTask : public CoTask {
 public:
  explicit BlockingTask(std::atomic<bool>* deleted = nullptr) : deleted_(deleted) {}
  ~BlockingTask() override {
    if (deleted_) *deleted_ = true;
  }
  void run(CoThread*) override {
    started.release();
    gate.get();
  }
  void stop(CoThread*) override {
    ++stops;
    gate.release();
  }

  CoLock started{0};
  CoLock gate{0};
  std::atomic<int> stops{0};

 private:
  std::atomic<bool>* deleted_;
};

CoThreadMgr& mgr() {
  return *CoThreadMgr::getInstance();
}

// A started thread running task, and its end.
CoThread* startBlocking(BlockingTask* task, const char* name,
                        CoThread::ThreadType type = CoThread::UNMANAGED_THREAD) {
  CoThread* thread = mgr().createCoThread(task, name, type);
  thread->start();
  task->started.get();
  return thread;
}

void stopAndDelete(CoThread* thread) {
  thread->stop();
  thread->wait();
  delete thread;
}

TEST(CoThreadMgrTest, CallingThreadIsAdoptedAsMain) {
  CoThread* main = mgr().findMainThread();
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->getThreadId(), currentSystemThreadId());
  EXPECT_EQ(CoThreadMgr::findCurrentThread(), main);
  EXPECT_EQ(mgr().findThread("mai"), nullptr) << "names compare exactly";
  EXPECT_FALSE(mgr().addThread(main)) << "a registered thread is refused";
  EXPECT_EQ(CoMsg::callCurrentPIDCallback(), static_cast<int>(currentSystemThreadId()))
      << "log lines carry the system id";
}

void setFlag(void* flag) {
  *static_cast<std::atomic<bool>*>(flag) = true;
}

TEST(CoThreadTest, RunsUnderItsNameUntilStoppedAndOwnsItsTask) {
  std::atomic<bool> deleted{false};
  auto* task = new BlockingTask(&deleted);
  CoThread* thread = startBlocking(task, "A rather long thread name");
  EXPECT_EQ(mgr().findThread("A rather long thread name"), thread);
  EXPECT_EQ(mgr().findThread(thread->getThreadId()), thread);
  EXPECT_EQ(systemThreadName(thread->getThreadId()),
            std::string("A rather long thread name").substr(0, SYSTEM_NAME_LENGTH));
  thread->stop();
  thread->wait();
  EXPECT_EQ(task->stops.load(), 1);
  EXPECT_FALSE(thread->isRunning());
  EXPECT_FALSE(deleted);
  delete thread;
  EXPECT_TRUE(deleted) << "the thread owns its task";
  EXPECT_EQ(mgr().findThread("A rather long thread name"), nullptr);
}

TEST(CoThreadTest, TerminateLeavesARunningThreadToFinishOnItsOwn) {
  auto* task = new BlockingTask;
  CoThread* thread = startBlocking(task, "terminated");
  const uint32_t id = thread->getThreadId();
  thread->terminate();
  EXPECT_FALSE(thread->isRunning());
  EXPECT_TRUE(systemThreadExists(id)) << "a thread is never cancelled";
  thread->wait();  // nothing left to wait for
  task->gate.release();
  for (int i = 0; i < 5000 && systemThreadExists(id); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(systemThreadExists(id)) << "the thread ends by itself";
  delete thread;
}

struct PrioritySeen {
  int error = 0, atThree = -1, atZero = -1, child = -1;
};

TEST(CoThreadTest, LoweredPriorityIsReadBackAndInheritedByNewThreads) {
  PrioritySeen seen;
  CoThread* parent = CoThreadMgr::createThread(
      "parent", CoThread::UNMANAGED_THREAD,
      [](void* arg) {
        auto* seen = static_cast<PrioritySeen*>(arg);
        CoThread* self = CoThreadMgr::findCurrentThread();
        // Only lowering needs no privilege: level 3, then 0.
        seen->error = self->setScheduling(CoThreadPriority(3), self->getPolicy());
        seen->atThree = self->getPriority().getLevel();
        self->setScheduling(CoThreadPriority(0), self->getPolicy());
        seen->atZero = self->getPriority().getLevel();
        CoThread* made = CoThreadMgr::getInstance()->createCoThread(new BlockingTask, "child",
                                                                    CoThread::UNMANAGED_THREAD);
        seen->child = made->getPriority().getLevel();
        delete made;
      },
      &seen);
  parent->wait();
  delete parent;
  if (seen.error == EACCES || seen.error == EPERM)
    GTEST_SKIP() << "the process runs below level 3 and may not raise a thread's priority";
  EXPECT_EQ(seen.error, 0);
  EXPECT_EQ(seen.atThree, 2) << "levels 2 and 3 share a system priority; the first answers";
  EXPECT_EQ(seen.atZero, 0);
  EXPECT_EQ(seen.child, 0) << "a new thread inherits its creator's priority";
}

TEST(CoThreadTest, PolicyChangesOnlyFromTheMainThread) {
  CoThread* thread = startBlocking(new BlockingTask, "policy");
  const CoThread::PolicyType before = thread->getPolicy();
  const CoThread::PolicyType other =
      before == CoThread::POLICY_TS ? CoThread::POLICY_RR : CoThread::POLICY_TS;
  thread->setScheduling(thread->getPriority(), other);
  EXPECT_EQ(thread->getPolicy(), before);
  stopAndDelete(thread);
}

TEST(CoThreadTest, BindsToOneProcessorOrToAllOfTheProcess) {
  if (runningUnderWine())
    GTEST_SKIP() << "wine 8 can hang when one thread sets another's processor affinity";
  const std::vector<int> allowed = processCpus();
  if (allowed.size() < 2) GTEST_SKIP() << "needs two processors to restrict the process";
  const int last = allowed.back();
  auto* task = new BlockingTask;
  CoThread* thread = mgr().createCoThread(task, "bound", CoThread::UNMANAGED_THREAD);
  thread->setCpu(last);  // kept until the thread runs
  thread->start();
  task->started.get();
  EXPECT_EQ(thread->getCpu(), last);
  // The process keeps one processor, as under taskset: -1 must not leave it.
  ASSERT_TRUE(setProcessCpus({last}));
  const int error = thread->setCpu(-1);
  const int bound = thread->getCpu();
  setProcessCpus(allowed);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(bound, last) << "the thread left the processors of its process";
  EXPECT_EQ(thread->setCpu(-1), 0);
  EXPECT_EQ(thread->getCpu(), -1);
  stopAndDelete(thread);
}

TEST(CoThreadMgrTest, ForEachThreadStopsAtMinusOneOrOneAndNeverStartedThreadsCount) {
  CoThread* extra = mgr().createCoThread(new BlockingTask, nullptr, CoThread::UNMANAGED_THREAD);
  int count = 0;
  EXPECT_EQ(mgr().forEachThread([&](CoThread*) { return ++count, 0; }), 0);
  EXPECT_GE(count, 2);
  count = 0;
  EXPECT_EQ(mgr().forEachThread([&](CoThread*) { return ++count == 2 ? 1 : 7; }), 1);
  EXPECT_EQ(count, 2);
  count = 0;
  EXPECT_EQ(mgr().forEachThread([&](CoThread*) { return ++count, -1; }), -1);
  EXPECT_EQ(count, 1);
  delete extra;
}

TEST(CoThreadMgrTest, StopManagedThreadsDeletesOnlyManagedOnes) {
  std::atomic<bool> deleted[2] = {false, false};
  startBlocking(new BlockingTask(&deleted[0]), "managed 0", CoThread::MANAGED_THREAD);
  startBlocking(new BlockingTask(&deleted[1]), "managed 1", CoThread::MANAGED_THREAD);
  mgr().createCoThread(new BlockingTask, "managed idle", CoThread::MANAGED_THREAD);
  CoThread* unmanaged = startBlocking(new BlockingTask, "unmanaged");
  mgr().stopManagedThreads();
  EXPECT_TRUE(deleted[0] && deleted[1]);
  for (const char* name : {"managed 0", "managed 1", "managed idle"})
    EXPECT_EQ(mgr().findThread(name), nullptr) << name;
  EXPECT_EQ(mgr().findThread("unmanaged"), unmanaged);
  EXPECT_TRUE(unmanaged->isRunning());
  stopAndDelete(unmanaged);
}

TEST(CoThreadMgrTest, ConcurrentCreationAndLookupKeepTheListWhole) {
  constexpr int kWorkers = 3;
  constexpr int kRounds = 40;
  std::atomic<int> made{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w)
    workers.emplace_back([&, w] {
      const std::string name = "churn " + std::to_string(w);
      for (int i = 0; i < kRounds; ++i) {
        std::atomic<bool> ran{false};
        CoThread* t =
            CoThreadMgr::createThread(name.c_str(), CoThread::UNMANAGED_THREAD, setFlag, &ran);
        t->wait();
        made += ran ? 1 : 0;
        delete t;
      }
    });
  for (int walks = 0; made.load() < kWorkers * kRounds && walks < 100000; ++walks) {
    mgr().forEachThread([](CoThread* t) { return t->getName()[0] == '\0' ? 1 : 0; });
    mgr().findThread("churn 0");
  }
  for (std::thread& t : workers) t.join();
  EXPECT_EQ(made.load(), kWorkers * kRounds);
  for (int w = 0; w < kWorkers; ++w)
    EXPECT_EQ(mgr().findThread(("churn " + std::to_string(w)).c_str()), nullptr);
}

TEST(CoThreadTest, JobExecThreadsAreNotAnnouncedAndDumpListsEveryThread) {
  ASSERT_EQ(std::getenv("QV_THREAD_DEBUG"), nullptr);
  CoMsg::LevelGuard level(CoMsg::LEVEL_NOTICE);
  CollectRouter router;
  std::atomic<bool> ran{false};
  CoThread* quiet =
      CoThreadMgr::createThread("Job Exec 3", CoThread::UNMANAGED_THREAD, setFlag, &ran);
  CoThread* loud = CoThreadMgr::createThread("loud", CoThread::UNMANAGED_THREAD, setFlag, &ran);
  quiet->wait();
  loud->wait();
  EXPECT_TRUE(
      router.has("Registered thread 'loud' [ " + std::to_string(loud->getThreadId()) + " ]"));
  EXPECT_FALSE(router.has("Registered thread 'Job Exec 3'"));
  EXPECT_EQ(router.pidOf("Registered thread 'loud'"), static_cast<int>(loud->getThreadId()))
      << "the line carries the id of the thread that posted it";
  mgr().dumpThreads();
  EXPECT_TRUE(router.has("Thread Dump: main ( " + std::to_string(currentSystemThreadId()) + " ) "));
  delete quiet;
  delete loud;
}

TEST(ThreadDebugFromEnv, JobExecThreadsAreAnnouncedAndEndsAreReported) {
  ASSERT_NE(std::getenv("QV_THREAD_DEBUG"), nullptr);
  CoMsg::LevelGuard level(CoMsg::LEVEL_DEBUG);
  CollectRouter router;
  std::atomic<bool> ran{false};
  CoThread* thread =
      CoThreadMgr::createThread("Job Exec 4", CoThread::UNMANAGED_THREAD, setFlag, &ran);
  thread->wait();
  EXPECT_TRUE(router.has("Registered thread 'Job Exec 4'"));
  EXPECT_TRUE(router.has("Finished running thread 'Job Exec 4'"));
  delete thread;
}

// The leak report needs a thread that its owner never deletes; the leak
// checker must not count it.
void ignoreLeaksFromHere() {
#if defined(__SANITIZE_ADDRESS__)
  __lsan_disable();
#endif
}

TEST(CoThreadDeathTest, AThreadNeverDeletedIsReportedAtExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::atomic<bool> ran{false};
        ignoreLeaksFromHere();
        CoThread* leaked =
            CoThreadMgr::createThread("Leaky", CoThread::UNMANAGED_THREAD, setFlag, &ran);
        while (!ran) std::this_thread::yield();
        (void)leaked;
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "Thread id = .+ named=Leaky was not deleted by its owner\\.");
}

}  // namespace
}  // namespace Kestrix
