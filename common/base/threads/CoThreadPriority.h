#pragma once
// A thread's scheduling level, 0 (lowest) to 9 (highest), and the two
// process-wide tables that turn a level into the system's thread priority:
// one for time sharing and one for round robin. Levels keep the meaning of
// a priority the same whatever the system's own scale is.

namespace Kestrix {

class CoThreadPriority {
 public:
  static constexpr int NUM_PRIO_LEVELS = 10;

  // Level 9 until read from a running thread.
  CoThreadPriority() = default;
  explicit CoThreadPriority(int level);

  int getLevel() const { return level_; }
  void setLevel(int level);
  bool operator==(const CoThreadPriority& other) const { return level_ == other.level_; }

  // The system priority of level under the time-sharing (roundRobin false)
  // or round-robin table.
  static int toSystem(int level, bool roundRobin);
  // The first level whose table value equals systemPriority, or -1.
  static int fromSystem(int systemPriority, bool roundRobin);
  // The level whose table value is nearest to systemPriority (the first
  // of equally near ones).
  static int nearestFromSystem(int systemPriority, bool roundRobin);
  // Replaces both tables (NUM_PRIO_LEVELS values each).
  static void setTables(const int roundRobin[NUM_PRIO_LEVELS],
                        const int timeSharing[NUM_PRIO_LEVELS]);

 private:
  int level_ = NUM_PRIO_LEVELS - 1;
};

}  // namespace Kestrix
