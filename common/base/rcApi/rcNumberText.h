#pragma once
// Number parsing as the servers' runtime does it: the protocol's values
// were written on a system whose `long` is 32 bits, so decimal texts
// saturate at the 32-bit limits and hexadecimal texts read into 32 bits
// saturate there. None of these report malformed text: what does not parse
// gives 0, like atoi and strtoul.

#include <cstdint>

namespace Kestrix {
namespace rcNumberText {

// As atoi / atol with a 32-bit long.
int32_t toInt(const char* text);
// The same over the bytes [begin, end), which need no terminator.
int32_t toInt(const char* begin, const char* end);
// As _atoi64 over the bytes [begin, end).
int64_t toInt64(const char* begin, const char* end);
// As strtoul(text, nullptr, 16) with a 32-bit unsigned long.
uint32_t toUInt32Hex(const char* text);
// As _strtoui64(text, nullptr, 16).
uint64_t toUInt64Hex(const char* text);
// As atof.
double toDouble(const char* text);

}  // namespace rcNumberText
}  // namespace Kestrix
