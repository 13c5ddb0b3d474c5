#pragma once
// Hints about large buffers. A buffer of tens of megabytes (a request or
// reply of a million paths) costs more in first-touch page faults than in
// the work done on it; asking for huge pages where the system offers them
// on request cuts that cost by an order of magnitude. A hint only: it never
// fails and changes no content.

#include <cstddef>

namespace Kestrix {
namespace CoMemory {

// Buffers below this size are left alone.
constexpr size_t LARGE_BUFFER = size_t{4} << 20;

// Asks for huge pages over the whole 2 MB pages inside [p, p + n).
void adviseLarge(const void* p, size_t n);

}  // namespace CoMemory
}  // namespace Kestrix
