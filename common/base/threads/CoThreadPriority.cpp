#include "common/base/threads/CoThreadPriority.h"

#include <atomic>
#include <cstdlib>

namespace Kestrix {
namespace {

using Table = std::atomic<int>[CoThreadPriority::NUM_PRIO_LEVELS];

// Set at start-up by the manager, read by every thread that changes its
// scheduling; atomics so that a late replacement is not a data race.
Table gRoundRobin = {-15, -2, -1, -1, 0, 1, 1, 2, 2, 15};
Table gTimeSharing = {-15, -2, -1, -1, 0, 1, 1, 2, 2, 15};

Table& table(bool roundRobin) {
  return roundRobin ? gRoundRobin : gTimeSharing;
}

int clampLevel(int level) {
  if (level < 0) return 0;
  if (level >= CoThreadPriority::NUM_PRIO_LEVELS) return CoThreadPriority::NUM_PRIO_LEVELS - 1;
  return level;
}

}  // namespace

CoThreadPriority::CoThreadPriority(int level) : level_(clampLevel(level)) {}

void CoThreadPriority::setLevel(int level) {
  level_ = clampLevel(level);
}

int CoThreadPriority::toSystem(int level, bool roundRobin) {
  return table(roundRobin)[clampLevel(level)].load(std::memory_order_relaxed);
}

int CoThreadPriority::fromSystem(int systemPriority, bool roundRobin) {
  for (int i = 0; i < NUM_PRIO_LEVELS; ++i)
    if (toSystem(i, roundRobin) == systemPriority) return i;
  return -1;
}

int CoThreadPriority::nearestFromSystem(int systemPriority, bool roundRobin) {
  int best = 0;
  for (int i = 1; i < NUM_PRIO_LEVELS; ++i)
    if (std::abs(toSystem(i, roundRobin) - systemPriority) <
        std::abs(toSystem(best, roundRobin) - systemPriority))
      best = i;
  return best;
}

void CoThreadPriority::setTables(const int roundRobin[NUM_PRIO_LEVELS],
                                 const int timeSharing[NUM_PRIO_LEVELS]) {
  for (int i = 0; i < NUM_PRIO_LEVELS; ++i) {
    gRoundRobin[i].store(roundRobin[i], std::memory_order_relaxed);
    gTimeSharing[i].store(timeSharing[i], std::memory_order_relaxed);
  }
}

}  // namespace Kestrix
