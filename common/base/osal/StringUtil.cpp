#include "common/base/osal/StringUtil.h"

#include <strings.h>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

namespace Kestrix {

void StringUtil::vsprintf(std::string& out, const char* format, va_list args) {
  out.clear();
  if (format == nullptr) return;
  char small[256];
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return;
  if (n < static_cast<int>(sizeof small)) {
    out.assign(small, static_cast<size_t>(n));
    return;
  }
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), format, args);
  out.assign(big.data(), static_cast<size_t>(n));
}

void StringUtil::sprintf(std::string& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsprintf(out, format, args);
  va_end(args);
}

std::string StringUtil::sprintf(const char* format, ...) {
  std::string out;
  va_list args;
  va_start(args, format);
  vsprintf(out, format, args);
  va_end(args);
  return out;
}

void StringUtil::wsprintf(std::wstring& out, const wchar_t* format, ...) {
  out.clear();
  if (format == nullptr) return;
  // vswprintf reports overflow as -1, so grow until it fits.
  for (size_t size = 256; size <= (1u << 24); size *= 2) {
    std::vector<wchar_t> buffer(size);
    va_list args;
    va_start(args, format);
    const int n = std::vswprintf(buffer.data(), size, format, args);
    va_end(args);
    if (n >= 0) {
      out.assign(buffer.data(), static_cast<size_t>(n));
      return;
    }
  }
}

void StringUtil::strftime(std::string& out, const char* format, const struct tm* time) {
  out.clear();
  if (format == nullptr || time == nullptr) return;
  for (size_t size = 32; size <= 512; size *= 2) {
    std::vector<char> buffer(size);
    const size_t n = std::strftime(buffer.data(), size, format, time);
    if (n > 0) {
      out.assign(buffer.data(), n);
      return;
    }
  }
}

void StringUtil::wcsftime(std::wstring& out, const wchar_t* format, const struct tm* time) {
  out.clear();
  if (format == nullptr || time == nullptr) return;
  for (size_t size = 32; size <= 512; size *= 2) {
    std::vector<wchar_t> buffer(size);
    const size_t n = std::wcsftime(buffer.data(), size, format, time);
    if (n > 0) {
      out.assign(buffer.data(), n);
      return;
    }
  }
}

bool StringUtil::strToBool(const char* text) {
  if (text == nullptr) return false;
  if (std::strcmp(text, "true") == 0) return true;
  for (const char* word : {"1", "yes", "on", "true", "y"})
    if (strcasecmp(text, word) == 0) return true;
  return false;
}

namespace {

bool isDigit(signed char c) {
  return c >= '0' && c <= '9';
}

// Reads a decimal number; false when it does not fit in 64 bits.
bool readNumber(const signed char*& p, uint64_t& value) {
  value = 0;
  bool fits = true;
  for (; isDigit(*p); ++p) {
    const uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (value > (UINT64_MAX - digit) / 10) fits = false;
    if (fits) value = value * 10 + digit;
  }
  return fits;
}

int compareRest(const signed char* a, const signed char* b, bool caseSensitive) {
  const char* x = reinterpret_cast<const char*>(a);
  const char* y = reinterpret_cast<const char*>(b);
  return caseSensitive ? std::strcmp(x, y) : strcasecmp(x, y);
}

signed char upper(signed char c) {
  return static_cast<signed char>(std::toupper(static_cast<unsigned char>(c)));
}

}  // namespace

int StringUtil::alphaNumCompare(const char* aText, const char* bText, bool caseSensitive) {
  if (aText == nullptr) return bText == nullptr ? 0 : -1;
  if (bText == nullptr) return 1;
  if (*aText == '\0') return *bText == '\0' ? 0 : -1;
  const signed char* a = reinterpret_cast<const signed char*>(aText);
  const signed char* b = reinterpret_cast<const signed char*>(bText);
  while (*a != 0) {
    if (*b == 0) return 1;
    const bool da = isDigit(*a);
    const bool db = isDigit(*b);
    if (da && !db) return -1;
    if (!da && db) return 1;
    if (da) {
      if (*a == '0' && *b == '0') {
        ++a;
        ++b;
        continue;
      }
      if (*a == '0') return -1;
      if (*b == '0') return 1;
      const signed char* restA = a;
      const signed char* restB = b;
      uint64_t na = 0;
      uint64_t nb = 0;
      const bool fitsA = readNumber(a, na);
      const bool fitsB = readNumber(b, nb);
      if (!fitsA) return fitsB ? 1 : compareRest(restA, restB, caseSensitive);
      if (!fitsB) return -1;
      if (na != nb) return na < nb ? -1 : 1;
      continue;
    }
    signed char ca = *a;
    signed char cb = *b;
    if (!caseSensitive) {
      const signed char ua = upper(ca);
      const signed char ub = upper(cb);
      if (ua != ub) return ua < ub ? -1 : 1;
      // Same letter in another case: the upper-case one comes first.
      if (ca != cb) return ca == ua ? -1 : 1;
    } else if (ca != cb) {
      return ca < cb ? -1 : 1;
    }
    ++a;
    ++b;
  }
  return *b != 0 ? -1 : 0;
}

int StringUtil::alphaNumCompare(const std::string& a, const std::string& b, bool caseSensitive) {
  return alphaNumCompare(a.c_str(), b.c_str(), caseSensitive);
}

std::list<std::string> StringUtil::stringToTokenPath(const std::string& text,
                                                     const char* separators) {
  std::list<std::string> pieces;
  const char* seps = separators ? separators : "";
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = text.find_first_of(seps, start);
    const size_t stop = end == std::string::npos ? text.size() : end;
    if (stop > start) pieces.push_back(text.substr(start, stop - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return pieces;
}

std::string StringUtil::trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace Kestrix
