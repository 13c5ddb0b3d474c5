#include "common/base/ipc/CoSubjectHint.h"

#include <atomic>

namespace Kestrix {
namespace {

// Constant-initialised, so usable by any static initialiser.
constinit std::atomic<int> gLastId{0};

struct HintIds {
  int noHint;
  int contentChanged;
};

// Drawn in this order, once, whoever asks first.
const HintIds& hintIds() {
  static const HintIds ids{CoSubjectHint::unique_SH_id(), CoSubjectHint::unique_SH_id()};
  return ids;
}

// Draws the ids at start-up even when no hint is made before main.
const HintIds& gIdsAtStartUp = hintIds();

}  // namespace

CoSubjectHint::~CoSubjectHint() = default;

int CoSubjectHint::unique_SH_id() {
  return ++gLastId;
}

int CoNoHint::classId() {
  return hintIds().noHint;
}

int CoContentChangedHint::classId() {
  return hintIds().contentChanged;
}

}  // namespace Kestrix
