#include "common/base/threads/CoLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "common/base/threads/CoMutex.h"

namespace Kestrix {
namespace {

constexpr int kRounds = 5000;

TEST(CoLockTest, ZeroUnitsBlocksGetUntilAnotherThreadReleasesAndUnitsAreCounted) {
  CoLock lock(0);
  EXPECT_FALSE(lock.tryGet());
  std::atomic<bool> released{false};
  std::atomic<bool> sawRelease{false};
  std::thread waiter([&] {
    lock.get();
    sawRelease = released.load();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  released = true;
  lock.release();
  waiter.join();
  EXPECT_TRUE(sawRelease) << "get() returned before release()";
  EXPECT_FALSE(lock.tryGet()) << "the one released unit was taken by the waiter";
  lock.release();
  lock.release();
  EXPECT_TRUE(lock.tryGet());
  EXPECT_TRUE(lock.tryGet());
  EXPECT_FALSE(lock.tryGet()) << "units are counted";
}

// Two threads take guard over and over: no two may ever be inside at once,
// and a plain counter that only the guard protects loses no increment.
template <typename Guarded>
void expectMutualExclusion(Guarded enter) {
  int counter = 0;  // deliberately plain: only the lock protects it
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  auto work = [&] {
    for (int i = 0; i < kRounds; ++i) {
      const auto guard = enter();
      if (++inside != 1) ++overlaps;
      ++counter;
      if (i % 8 == 0) std::this_thread::yield();  // widens the window
      --inside;
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(counter, 2 * kRounds);
}

TEST(CoLockTest, OneUnitExcludesOtherThreads) {
  CoLock lock(1);
  expectMutualExclusion([&] { return std::make_unique<CoLockGuard>(lock); });
  EXPECT_TRUE(lock.tryGet()) << "guards gave every unit back";
}

bool otherThreadCanLock(CoMutex& mutex) {
  bool got = false;
  std::thread([&] {
    got = mutex.tryLock();
    if (got) mutex.unlock();
  }).join();
  return got;
}

TEST(CoMutexTest, OwnerTakesItAgainAndOthersWaitForTheLastUnlockAndAreExcluded) {
  CoMutex mutex;
  mutex.lock();
  mutex.lock();
  EXPECT_TRUE(mutex.tryLock());
  EXPECT_FALSE(otherThreadCanLock(mutex));
  mutex.unlock();
  mutex.unlock();
  EXPECT_FALSE(otherThreadCanLock(mutex));
  mutex.unlock();
  EXPECT_TRUE(otherThreadCanLock(mutex));
  expectMutualExclusion([&] { return std::make_unique<CoMutexGuard>(mutex); });
}

TEST(CoMutexGuardTest, LocksOnceWhateverItIsAskedAndUnlocksAtTheEnd) {
  CoMutex mutex;
  {
    CoMutexGuard guard(mutex, false);
    EXPECT_FALSE(guard.isLocked());
    EXPECT_TRUE(otherThreadCanLock(mutex));
    EXPECT_TRUE(guard.tryLock());
    EXPECT_TRUE(guard.tryLock());
    guard.lock();
    EXPECT_FALSE(otherThreadCanLock(mutex));
    // One unlock frees it: the repeated requests did not stack up.
    guard.unlock();
    EXPECT_TRUE(otherThreadCanLock(mutex));
    guard.unlock();
    guard.lock();
  }
  EXPECT_TRUE(otherThreadCanLock(mutex));
}

}  // namespace
}  // namespace Kestrix
