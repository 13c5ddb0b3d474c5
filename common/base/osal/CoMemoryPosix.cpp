#include <sys/mman.h>

#include <cstdint>

#include "common/base/osal/CoMemory.h"

namespace Kestrix {
namespace CoMemory {

void adviseLarge(const void* p, size_t n) {
  if (p == nullptr || n < LARGE_BUFFER) return;
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(kHuge - 1);
  if (end <= begin) return;
#ifdef MADV_HUGEPAGE
  ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

}  // namespace CoMemory
}  // namespace Kestrix
