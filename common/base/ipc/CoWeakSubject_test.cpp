#include "common/base/ipc/CoWeakSubject.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/base/loggerBase/EnvVar.h"

namespace Kestrix {
namespace {

// GoogleTest's own regular expressions are too simple on Windows for
// bracket expressions and counts.
MATCHER_P(ContainsRegex, pattern, "contains " + std::string(pattern)) {
  return std::regex_search(arg, std::regex(pattern));
}

class Subject : public CoWeakSubject {
 public:
  void send(const CoSubjectHint& hint) const { dispatchNotification(hint); }
  void sendBounce(CoSubjectHint& hint) const { bounceNotification(hint); }
};

class Observer : public CoWeakObserver {
 public:
  Observer() = default;
  Observer(const Observer& other) : CoWeakObserver(other) {}  // the counters start afresh
  void notify(const CoWeakSubject& subject, const CoSubjectHint& hint) override {
    ++calls;
    lastSubject = &subject;
    lastHint = hint.isA();
    if (reaction) reaction();
  }
  size_t subjectCount() const { return getSubjectList().size(); }

  std::atomic<int> calls{0};
  const CoWeakSubject* lastSubject = nullptr;
  int lastHint = 0;
  std::function<void()> reaction;
};

// A hint that observers may change while it bounces.
class CountingHint : public CoSubjectHint {
 public:
  CountingHint() : CoSubjectHint(classId()) {}
  static int classId() {
    static const int id = unique_SH_id();
    return id;
  }
  int count = 0;
};

class Bouncer : public Observer {
 protected:
  void bounce(const CoWeakSubject& subject, CoSubjectHint& hint) override {
    if (hint.isA(CountingHint::classId())) seen = ++static_cast<CountingHint&>(hint).count;
    Observer::bounce(subject, hint);
  }

 public:
  int seen = 0;
};

TEST(CoSubjectHintTest, ClassIdsAreDrawnAtStartUpInOrder) {
  // Nothing in this program draws an id before the two built-in hints.
  EXPECT_EQ(CoNoHint::classId(), 1);
  EXPECT_EQ(CoContentChangedHint::classId(), 2);
  const int next = CoSubjectHint::unique_SH_id();
  EXPECT_GT(next, 2);
  EXPECT_EQ(CoSubjectHint::unique_SH_id(), next + 1);
  EXPECT_FALSE(CoContentChangedHint().isA(CoNoHint::classId()));
}

TEST(CoWeakSubjectTest, DispatchReachesEveryObserverOnceButNoHintReachesNone) {
  Subject subject;
  Observer a, b;
  EXPECT_TRUE(subject.addObserver(a));
  EXPECT_FALSE(subject.addObserver(a));
  EXPECT_EQ(a.subjectCount(), 1u);
  subject.addObserver(b);
  subject.send(CoContentChangedHint());
  EXPECT_EQ(a.calls, 1);
  EXPECT_EQ(b.calls, 1);
  EXPECT_EQ(a.lastSubject, &subject);
  EXPECT_EQ(a.lastHint, CoContentChangedHint::classId());
  subject.send(CoNoHint());
  EXPECT_EQ(a.calls + b.calls, 2);
}

TEST(CoWeakSubjectTest, ObserversMayRemoveOthersOrThemselvesAndNotifyDuringDispatch) {
  Subject subject;
  Observer a, b;
  subject.addObserver(a);
  subject.addObserver(b);
  // Whichever comes first removes the other, which must then be skipped.
  a.reaction = [&] { subject.removeObserver(b); };
  b.reaction = [&] { subject.removeObserver(a); };
  subject.send(CoContentChangedHint());
  EXPECT_EQ(a.calls + b.calls, 1);
  // One that notifies again from inside, then removes itself.
  Observer c;
  subject.removeObserver(a);
  subject.addObserver(c);
  c.reaction = [&] {
    if (c.calls == 1)
      subject.send(CoContentChangedHint());
    else
      subject.removeObserver(c);
  };
  subject.send(CoContentChangedHint());
  EXPECT_EQ(c.calls, 2);
  EXPECT_EQ(c.subjectCount(), 0u);
}

TEST(CoWeakSubjectTest, DestroyingEitherSideDetachesIt) {
  Subject subject;
  Observer kept;
  subject.addObserver(kept);
  {
    Observer gone;
    subject.addObserver(gone);
  }
  subject.send(CoContentChangedHint());  // would reach a dead observer
  EXPECT_EQ(kept.calls, 1);
  EXPECT_TRUE(subject.removeObserver(kept));
  EXPECT_FALSE(subject.removeObserver(kept));
  EXPECT_EQ(kept.subjectCount(), 0u);

  Observer orphan;
  {
    Subject shortLived;
    shortLived.addObserver(orphan);
    subject.addObserver(orphan);
    EXPECT_EQ(orphan.subjectCount(), 2u);
  }
  EXPECT_EQ(orphan.subjectCount(), 1u);
}

TEST(CoWeakSubjectTest, CopiesOfObserversAttachAndCopiesOfSubjectsStartEmpty) {
  Subject first, second;
  Observer original;
  first.addObserver(original);
  second.addObserver(original);
  Observer copy(original);
  EXPECT_EQ(copy.subjectCount(), 2u);
  first.send(CoContentChangedHint());
  EXPECT_EQ(copy.calls, 1);
  Subject clone(first);
  clone.send(CoContentChangedHint());
  EXPECT_EQ(original.calls, 1);
  EXPECT_EQ(copy.calls, 1);
}

TEST(CoWeakSubjectTest, ObserversMayChangeABouncedHint) {
  Subject subject;
  Bouncer a, b;
  subject.addObserver(a);
  subject.addObserver(b);
  CountingHint hint;
  subject.sendBounce(hint);
  EXPECT_EQ(hint.count, 2);
  EXPECT_EQ(a.seen + b.seen, 3) << "the second saw the first one's change";
  EXPECT_EQ(a.calls, 1) << "the default bounce notifies";
}

TEST(CoWeakSubjectTest, TraceShowsTheDepthOfNestedDispatches) {
  RegEnvVar<bool>::setByName("QV_DEBUG_WEAK_SUBJECT_OBSERVER", true);
  Subject outer, inner;
  Observer first, second;
  outer.addObserver(first);
  inner.addObserver(second);
  first.reaction = [&] { inner.send(CoContentChangedHint()); };
  ::testing::internal::CaptureStdout();
  outer.send(CoContentChangedHint());
  const std::string out = ::testing::internal::GetCapturedStdout();
  RegEnvVar<bool>::setByName("QV_DEBUG_WEAK_SUBJECT_OBSERVER", false);

  const std::string hex = "0x[0-9A-F]{16}";
  EXPECT_THAT(out, ContainsRegex("CoWeakSubject begin dispatch \\(this=" + hex +
                                 ", depth=1\\): 'Kestrix::CoContentChangedHint' from "
                                 "Kestrix::\\(anonymous namespace\\)::Subject\n"));
  EXPECT_THAT(out, ContainsRegex("CoWeakSubject dispatch \\(this=" + hex +
                                 ", depth=1\\): '[^']+' to .+::Observer \\(" + hex + "\\)\n"));
  // The inner dispatch is wholly inside the outer one.
  EXPECT_THAT(
      out,
      ContainsRegex(
          "depth=1[\\s\\S]*begin dispatch[^\n]*depth=2[\\s\\S]*end dispatch[^\n]*depth=2[\\s\\S]*"
          "end dispatch[^\n]*depth=1"));

  ::testing::internal::CaptureStdout();
  outer.send(CoContentChangedHint());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "no trace once switched off";
}

TEST(CoWeakSubjectTest, ConcurrentAttachAndDispatchKeepTheSetWhole) {
  constexpr int kRounds = 500;
  Subject subject;
  Observer resident;
  subject.addObserver(resident);
  std::thread churn([&] {
    for (int i = 0; i < kRounds; ++i) {
      Observer visitor;
      subject.addObserver(visitor);
      // Detached before its own destructor runs: the subject may be
      // notifying it on the other thread.
      subject.removeObserver(visitor);
    }
  });
  for (int i = 0; i < kRounds; ++i) subject.send(CoContentChangedHint());
  churn.join();
  EXPECT_EQ(resident.calls, kRounds);
}

}  // namespace
}  // namespace Kestrix
