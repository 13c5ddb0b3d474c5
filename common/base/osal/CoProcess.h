#pragma once
// The current (or a given) process: id and name.

#include <string>

namespace Kestrix {

class CoProcess {
 public:
  CoProcess() = default;
  explicit CoProcess(int pid) : pid_(pid) {}

  // The stored id, or the current process id when it is 0.
  bool getId(int& pid) const;
  // The base name of the process's program; posts an error and fails when
  // the process cannot be queried.
  bool getName(std::string& name) const;

  static int getCurrentProcessId();
  static bool setCaps() { return true; }
  static bool clearCaps() { return true; }
  static void dropRootAllowCaps() {}

 private:
  int pid_ = 0;
};

}  // namespace Kestrix
