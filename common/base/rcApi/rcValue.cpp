#include "common/base/rcApi/rcValue.h"

#include <cstdint>
#include <cstring>

#include "common/base/osal/CoMemory.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Kestrix {
namespace {

// Sixteen bytes at a time: bit i of a mask is set when byte i is one of
// the bytes looked for.
#if defined(__SSE2__)
inline uint32_t lineByteMask(const char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hits =
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\\')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
  return static_cast<uint32_t>(_mm_movemask_epi8(hits));
}
inline uint32_t specialMask(const char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hits = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))),
      _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
  return static_cast<uint32_t>(_mm_movemask_epi8(hits));
}
#else
inline uint32_t lineByteMask(const char* p) {
  uint32_t m = 0;
  for (int i = 0; i < 16; ++i) m |= static_cast<uint32_t>(p[i] == '\\' || p[i] == '\n') << i;
  return m;
}
inline uint32_t specialMask(const char* p) {
  uint32_t m = 0;
  for (int i = 0; i < 16; ++i)
    m |= static_cast<uint32_t>(p[i] == '\n' || p[i] == '\t' || p[i] == '\\') << i;
  return m;
}
#endif

inline bool isSpecial(char c) {
  return c == '\n' || c == '\t' || c == '\\';
}
// The byte a backslash and c stand for.
inline char plainByte(char c) {
  return c == 'n' ? '\n' : c == 't' ? '\t' : c;
}
inline char wireCode(char c) {
  return c == '\n' ? 'n' : c == '\t' ? 't' : '\\';
}

// The wire form of [p, end) written at d, which has room for it; returns
// the end of what was written.
char* escapeInto(const char* p, const char* const end, char* d) {
  while (end - p >= 16) {
    const char* const block = p;
    uint32_t hits = specialMask(block);
    // Every special byte of the block in one go: paths full of backslashes
    // would otherwise go back to the slow path at each one.
    while (hits != 0) {
      const char* const special = block + __builtin_ctz(hits);
      std::memcpy(d, p, static_cast<size_t>(special - p));
      d += special - p;
      *d++ = '\\';
      *d++ = wireCode(*special);
      p = special + 1;
      hits &= hits - 1;
    }
    std::memcpy(d, p, static_cast<size_t>(block + 16 - p));
    d += block + 16 - p;
    p = block + 16;
  }
  for (; p < end; ++p) {
    if (isSpecial(*p)) {
      *d++ = '\\';
      *d++ = wireCode(*p);
    } else {
      *d++ = *p;
    }
  }
  return d;
}

}  // namespace

size_t rcValue::appendEscapedLine(const char* data, size_t n, bool& ended) {
  ended = false;
  // The plain text never outgrows the wire text.
  char* const start = value_.appendSpace(n);
  char* d = start;
  const char* p = data;
  const char* const end = data + n;
  while (p < end) {
    if (end - p >= 16 && !pending_) {
      // Every escape of the block in one go; a LF, or a backslash whose
      // byte is not in reach, goes to the byte path below.
      const char* const block = p;
      uint32_t hits = lineByteMask(block);
      bool byByte = false;
      while (hits != 0) {
        const char* const special = block + __builtin_ctz(hits);
        hits &= hits - 1;
        if (special < p) continue;  // already taken as the byte after a backslash
        std::memcpy(d, p, static_cast<size_t>(special - p));
        d += special - p;
        p = special;
        if (*special != '\\' || special + 1 >= end || special[1] == '\n') {
          byByte = true;
          break;
        }
        *d++ = plainByte(special[1]);
        p = special + 2;
      }
      if (!byByte) {
        if (p < block + 16) {
          std::memcpy(d, p, static_cast<size_t>(block + 16 - p));
          d += block + 16 - p;
          p = block + 16;
        }
        continue;
      }
    }
    // A LF ends the line even right after a backslash.
    const char c = *p++;
    if (c == '\n') {
      ended = true;
      break;
    }
    if (pending_) {
      *d++ = plainByte(c);
      pending_ = false;
    } else if (c == '\\') {
      pending_ = true;
    } else {
      *d++ = c;
    }
  }
  value_.extend(static_cast<size_t>(d - start));
  return static_cast<size_t>(p - data);
}

void rcValue::appendEscapedValue(CoStringBuilder& out) const {
  // Room for the worst case, every byte escaped; only what is written is
  // touched.
  const size_t n = static_cast<size_t>(value_.length());
  char* const start = out.appendSpace(2 * n);
  char* const written = escapeInto(value_.data(), value_.data() + n, start);
  out.extend(static_cast<size_t>(written - start));
}

void rcValue::appendEscapedValue(std::string& out) const {
  appendEscaped(value_.data(), static_cast<size_t>(value_.length()), out);
}

void rcValue::appendEscaped(const char* text, size_t n, std::string& out) {
  // Block by block: each block's wire form fits in twice its size, and the
  // block is still in the cache when the output is trimmed to what it took.
  constexpr size_t kBlock = 4096;
  const char* p = text;
  const char* const end = p + n;
  out.reserve(out.size() + n + n / 8 + 2 * kBlock);
  CoMemory::adviseLarge(out.data(), out.capacity());
  while (p < end) {
    const char* const blockEnd = end - p > static_cast<ptrdiff_t>(kBlock) ? p + kBlock : end;
    const size_t old = out.size();
    out.resize(old + 2 * static_cast<size_t>(blockEnd - p));
    const char* const written = escapeInto(p, blockEnd, out.data() + old);
    out.resize(static_cast<size_t>(written - out.data()));
    p = blockEnd;
  }
}

std::string rcValue::escapedValue() const {
  std::string out;
  const size_t n = length();
  out.reserve(n == 0 ? 1 : n + n / 10);
  appendEscapedValue(out);
  return out;
}

}  // namespace Kestrix
