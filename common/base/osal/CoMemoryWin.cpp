#include "common/base/osal/CoMemory.h"

namespace Kestrix {
namespace CoMemory {

// Windows gives large pages only to allocations made for them by a process
// holding the lock-memory privilege; there is nothing to ask for afterwards.
void adviseLarge(const void*, size_t) {}

}  // namespace CoMemory
}  // namespace Kestrix
