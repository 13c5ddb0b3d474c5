#pragma once
// CoThread on Windows threads: a 64 KB stack, the thread's name as its
// description; the policy is the process's priority class.

#include "common/base/threads/CoThreadSystem.h"

namespace Kestrix {

class CoThreadWindows final : public CoThreadSystem {
 public:
  using CoThreadSystem::CoThreadSystem;
  ~CoThreadWindows() override { retire(); }
};

}  // namespace Kestrix
