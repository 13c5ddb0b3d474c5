#pragma once
// A thread-safe observer pattern in which neither side owns the other: a
// CoWeakSubject keeps the set of its CoWeakObservers, each observer keeps
// the list of subjects it is attached to, and destroying either side
// detaches it from the other. A subject notifies with a CoSubjectHint that
// says what happened. QV_DEBUG_WEAK_SUBJECT_OBSERVER traces notifications
// on standard output.
//
// An observer's reaction runs with the subject locked, on the notifying
// thread; it may call back into the same subject (to remove itself or
// another observer, or to notify again). An observer that other threads
// may notify must remove itself before its own destructor starts: the base
// destructor detaches it only after the derived part is gone.

#include <list>
#include <mutex>
#include <unordered_set>

#include "common/base/ipc/CoSubjectHint.h"

namespace Kestrix {

class CoWeakObserver;

class CoWeakSubject {
 public:
  CoWeakSubject() = default;
  virtual ~CoWeakSubject();

  // Const, so that a constant subject can be observed. False when the
  // observer was already there (add) or was not there (remove).
  virtual bool addObserver(CoWeakObserver& observer) const;
  virtual bool removeObserver(CoWeakObserver& observer) const;

 protected:
  // A copy starts with no observers.
  CoWeakSubject(const CoWeakSubject&) {}
  CoWeakSubject& operator=(const CoWeakSubject&) = delete;

  void dispatchNotification(const CoSubjectHint& hint) const;
  // The same, calling bounce(): observers may change the hint.
  void bounceNotification(CoSubjectHint& hint) const;

 private:
  friend class CoWeakObserver;

  template <bool Bounce, typename Hint>
  void notifyAll(Hint& hint) const;
  // Drops observer from the set only; its list is the caller's business.
  bool removeObserverFromList(CoWeakObserver& observer) const;

  mutable std::recursive_mutex mutex_;
  mutable std::unordered_set<CoWeakObserver*> observers_;
};

class CoWeakObserver {
 public:
  CoWeakObserver() = default;
  virtual ~CoWeakObserver();

  virtual void notify(const CoWeakSubject& subject, const CoSubjectHint& hint) = 0;

 protected:
  // A copy attaches itself to every subject of the original.
  CoWeakObserver(const CoWeakObserver& other);
  CoWeakObserver& operator=(const CoWeakObserver&) = delete;

  virtual void bounce(const CoWeakSubject& subject, CoSubjectHint& hint);
  const std::list<const CoWeakSubject*>& getSubjectList() const { return subjects_; }

 private:
  friend class CoWeakSubject;

  // Changed only with the subject's mutex held.
  std::list<const CoWeakSubject*> subjects_;
};

}  // namespace Kestrix
