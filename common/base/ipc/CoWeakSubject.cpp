#include "common/base/ipc/CoWeakSubject.h"

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <typeinfo>
#include <vector>

#include "common/base/loggerBase/EnvVar.h"

namespace Kestrix {
namespace {

EnvVar<bool>& traceVar() {
  static EnvVar<bool> var("QV_DEBUG_WEAK_SUBJECT_OBSERVER", false);
  return var;
}
RegEnvVar<bool> gRegTrace(traceVar());

// Nesting depth of traced dispatches and bounces.
std::atomic<int> gDispatchDepth{0};
std::atomic<int> gBounceDepth{0};

std::string typeName(const std::type_info& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = (status == 0 && demangled) ? demangled : type.name();
  std::free(demangled);
  return name;
}

// Addresses print as 0x and sixteen hexadecimal digits on every system.
uintptr_t address(const void* p) {
  return reinterpret_cast<uintptr_t>(p);
}

}  // namespace

CoWeakSubject::~CoWeakSubject() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  for (CoWeakObserver* observer : observers_) {
    auto& list = observer->subjects_;
    auto found = std::find(list.begin(), list.end(), this);
    if (found != list.end()) list.erase(found);
  }
  observers_.clear();
}

bool CoWeakSubject::addObserver(CoWeakObserver& observer) const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!observers_.insert(&observer).second) return false;
  observer.subjects_.push_back(this);
  return true;
}

bool CoWeakSubject::removeObserver(CoWeakObserver& observer) const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (observers_.erase(&observer) == 0) return false;
  auto& list = observer.subjects_;
  auto found = std::find(list.begin(), list.end(), this);
  if (found != list.end()) list.erase(found);
  return true;
}

bool CoWeakSubject::removeObserverFromList(CoWeakObserver& observer) const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return observers_.erase(&observer) != 0;
}

template <bool Bounce, typename Hint>
void CoWeakSubject::notifyAll(Hint& hint) const {
  if (hint.isA(CoNoHint::classId())) return;
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  // Reactions may add or remove observers: walk a copy, and skip those
  // that an earlier reaction removed.
  const std::vector<CoWeakObserver*> copy(observers_.begin(), observers_.end());
  const char* word = Bounce ? "bounce" : "dispatch";
  std::atomic<int>& depth = Bounce ? gBounceDepth : gDispatchDepth;
  const bool trace = traceVar().get();
  std::string hintName;
  std::string subjectName;
  if (trace) {
    hintName = typeName(typeid(hint));
    subjectName = typeName(typeid(*this));
    const int level = ++depth;
    std::printf("CoWeakSubject begin %s (this=0x%016" PRIXPTR ", depth=%d): '%s' from %s\n", word,
                address(this), level, hintName.c_str(), subjectName.c_str());
  }
  for (size_t i = 0; i < copy.size(); ++i) {
    CoWeakObserver* observer = copy[i];
    if (i > 0 && observers_.count(observer) == 0) continue;
    if (trace)
      std::printf("CoWeakSubject %s (this=0x%016" PRIXPTR ", depth=%d): '%s' to %s (0x%016" PRIXPTR
                  ")\n",
                  word, address(this), depth.load(), hintName.c_str(),
                  typeName(typeid(*observer)).c_str(), address(observer));
    if constexpr (Bounce)
      observer->bounce(*this, hint);
    else
      observer->notify(*this, hint);
  }
  if (trace) {
    std::printf("CoWeakSubject end %s (this=0x%016" PRIXPTR ", depth=%d): '%s' from %s\n", word,
                address(this), depth.load(), hintName.c_str(), subjectName.c_str());
    --depth;
  }
}

void CoWeakSubject::dispatchNotification(const CoSubjectHint& hint) const {
  notifyAll<false>(hint);
}

void CoWeakSubject::bounceNotification(CoSubjectHint& hint) const {
  notifyAll<true>(hint);
}

CoWeakObserver::CoWeakObserver(const CoWeakObserver& other) {
  for (const CoWeakSubject* subject : other.subjects_) subject->addObserver(*this);
}

CoWeakObserver::~CoWeakObserver() {
  for (const CoWeakSubject* subject : subjects_) subject->removeObserverFromList(*this);
  subjects_.clear();
}

void CoWeakObserver::bounce(const CoWeakSubject& subject, CoSubjectHint& hint) {
  notify(subject, hint);
}

}  // namespace Kestrix
