#include "common/base/rcApi/rcValue.h"

#include <cstring>

namespace Kestrix {

void rcValue::appendEscaped(const char* data, size_t n) {
  const char* p = data;
  const char* const end = data + n;
  while (p < end) {
    if (pending_) {
      appendEscapedChar(*p++);
      continue;
    }
    const char* slash =
        static_cast<const char*>(std::memchr(p, '\\', static_cast<size_t>(end - p)));
    const char* runEnd = slash != nullptr ? slash : end;
    value_.append(p, static_cast<size_t>(runEnd - p));
    if (slash == nullptr) return;
    pending_ = true;
    p = slash + 1;
  }
}

void rcValue::appendEscapedValue(std::string& out) const {
  const char* p = value_.data();
  const char* const end = p + value_.length();
  while (p < end) {
    const char* run = p;
    while (p < end && *p != '\n' && *p != '\t' && *p != '\\') ++p;
    out.append(run, static_cast<size_t>(p - run));
    if (p == end) return;
    out += '\\';
    out += *p == '\n' ? 'n' : *p == '\t' ? 't' : '\\';
    ++p;
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
