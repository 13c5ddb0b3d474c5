#pragma once
// CoThread on pthreads: the thread's name is cut to the 15 characters the
// system keeps; the Windows priorities of the tables become nice values
// or real-time priorities.

#include "common/base/threads/CoThreadSystem.h"

namespace Kestrix {

class CoThreadPosix final : public CoThreadSystem {
 public:
  using CoThreadSystem::CoThreadSystem;
  ~CoThreadPosix() override { retire(); }
};

}  // namespace Kestrix
