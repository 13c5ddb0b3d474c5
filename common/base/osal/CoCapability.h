#pragma once
// Process capability requests. They have no effect here; callers keep the
// same code on every system.

#include <set>

#include "common/base/loggerBase/qvAssert.h"

namespace Kestrix {

class CoCapability {
 public:
  enum Capability { RAW_SOCKET, REAL_TIME_THREAD, SET_GROUP_ID, TAPE_DEVICE };

  CoCapability& addRawSocket() { return *this; }
  CoCapability& addRealTimeThread() { return *this; }
  CoCapability& addSetGroupId() { return *this; }
  CoCapability& addTapeDevice() { return *this; }
  std::set<Capability> getCapabilities() const {
    QV_ASSERT(!"Unexpected call to CoCapability::getCapabilities");
    return {};
  }
};

class CoCapabilityGuard {
 public:
  CoCapabilityGuard() = default;
  explicit CoCapabilityGuard(const CoCapability&) {}
  void setCapability(const CoCapability&) {}
};

}  // namespace Kestrix
