// THROWAWAY STAND-IN, NOT THE MONITOR: lets the dispatcher link until
// CoNetworkMonitor.cpp lands. It watches nothing. Delete this file and its
// line in CMakeLists.txt on merge; the weak definitions keep a build that
// still carries it linking against the real ones meanwhile.

#include "common/base/network/CoNetworkMonitor.h"

namespace Kestrix {

__attribute__((weak)) CoNetworkMonitor::Observer::Observer() {}
__attribute__((weak)) CoNetworkMonitor::Observer::~Observer() {}

}  // namespace Kestrix
