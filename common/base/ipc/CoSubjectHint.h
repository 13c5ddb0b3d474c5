#pragma once
// What a CoWeakSubject tells its observers when it notifies them. Each hint
// class has a process-wide id, drawn from one counter at start-up, so an
// observer can tell hints apart with isA() without a cast. A notification
// with CoNoHint is never delivered.

#include <cstdint>

namespace Kestrix {

class CoSubjectHint {
 public:
  virtual ~CoSubjectHint() = 0;

  // The next id of the process-wide counter (the first call returns 1).
  static int unique_SH_id();

  int isA() const { return id_; }
  bool isA(int id) const { return id_ == id; }
  bool isValid() const { return id_ != -1; }

 protected:
  explicit CoSubjectHint(int id) : id_(id) {}
  CoSubjectHint(const CoSubjectHint&) = default;
  CoSubjectHint(CoSubjectHint&&) = default;
  CoSubjectHint& operator=(const CoSubjectHint&) = default;
  CoSubjectHint& operator=(CoSubjectHint&&) = default;

 private:
  CoSubjectHint() : id_(-1) {}

  int32_t id_;
};

class CoNoHint : public CoSubjectHint {
 public:
  CoNoHint() : CoSubjectHint(classId()) {}
  static int classId();

 protected:
  explicit CoNoHint(int id) : CoSubjectHint(id) {}
};

// The subject's content changed.
class CoContentChangedHint : public CoSubjectHint {
 public:
  CoContentChangedHint() : CoSubjectHint(classId()) {}
  static int classId();

 protected:
  explicit CoContentChangedHint(int id) : CoSubjectHint(id) {}
};

}  // namespace Kestrix
