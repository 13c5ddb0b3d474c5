#include "common/base/rcApi/rcNumberText.h"

#include <cstdlib>

namespace Kestrix {
namespace rcNumberText {
namespace {

bool isSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

int digitValue(char c, int base) {
  int d = 99;
  if (c >= '0' && c <= '9')
    d = c - '0';
  else if (c >= 'a' && c <= 'z')
    d = c - 'a' + 10;
  else if (c >= 'A' && c <= 'Z')
    d = c - 'A' + 10;
  return d < base ? d : -1;
}

// strtoul's walk: blanks, a sign, for base 16 an optional 0x, then digits.
// The magnitude saturates at max; overflow is reported separately because
// the C rule gives the maximum without applying the sign.
// A null end means the text ends at its NUL.
uint64_t readMagnitude(const char* p, const char* end, int base, uint64_t max, bool& negative,
                       bool& overflow) {
  negative = false;
  overflow = false;
  if (p == nullptr) return 0;
  auto at = [&](const char* q) { return (end == nullptr || q < end) ? *q : '\0'; };
  while (isSpace(at(p))) ++p;
  if (at(p) == '+' || at(p) == '-') negative = *p++ == '-';
  if (base == 16 && at(p) == '0' && (at(p + 1) == 'x' || at(p + 1) == 'X') &&
      digitValue(at(p + 2), 16) >= 0)
    p += 2;
  uint64_t value = 0;
  for (int d; (d = digitValue(at(p), base)) >= 0; ++p) {
    if (overflow) continue;
    if (value > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base))
      overflow = true;
    else
      value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  return value;
}

}  // namespace

int32_t toInt(const char* text) {
  return toInt(text, nullptr);
}

int32_t toInt(const char* begin, const char* end) {
  bool negative = false;
  bool overflow = false;
  const uint64_t magnitude = readMagnitude(begin, end, 10, UINT64_MAX, negative, overflow);
  if (negative) {
    if (overflow || magnitude > 2147483648u) return INT32_MIN;
    return static_cast<int32_t>(-static_cast<int64_t>(magnitude));
  }
  if (overflow || magnitude > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(magnitude);
}

int64_t toInt64(const char* begin, const char* end) {
  bool negative = false;
  bool overflow = false;
  const uint64_t magnitude = readMagnitude(begin, end, 10, UINT64_MAX, negative, overflow);
  if (negative) {
    if (overflow || magnitude > uint64_t{1} << 63) return INT64_MIN;
    return static_cast<int64_t>(0u - magnitude);
  }
  if (overflow || magnitude > INT64_MAX) return INT64_MAX;
  return static_cast<int64_t>(magnitude);
}

uint32_t toUInt32Hex(const char* text) {
  bool negative = false;
  bool overflow = false;
  const uint64_t magnitude = readMagnitude(text, nullptr, 16, UINT32_MAX, negative, overflow);
  if (overflow) return UINT32_MAX;
  const uint32_t value = static_cast<uint32_t>(magnitude);
  return negative ? 0u - value : value;
}

uint64_t toUInt64Hex(const char* text) {
  bool negative = false;
  bool overflow = false;
  const uint64_t magnitude = readMagnitude(text, nullptr, 16, UINT64_MAX, negative, overflow);
  if (overflow) return UINT64_MAX;
  return negative ? 0u - magnitude : magnitude;
}

double toDouble(const char* text) {
  return text == nullptr ? 0.0 : std::atof(text);
}

}  // namespace rcNumberText
}  // namespace Kestrix
