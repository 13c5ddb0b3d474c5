#include <strings.h>
#include <sys/random.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "common/base/osal/CoUUID.h"

namespace Kestrix {
namespace CoUUID {
namespace {

bool fillRandom(uint8_t* bytes, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::getrandom(bytes + got, size - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool generate(std::string& uuid, std::string& error) {
  uint8_t b[16];
  if (!fillRandom(b, sizeof b)) {
    error = "Could not convert UUID to string";
    return false;
  }
  b[6] = static_cast<uint8_t>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  uuid = text;
  return true;
}

bool validate(const std::string& text) {
  static const int kGroups[] = {8, 4, 4, 4, 12};
  size_t pos = 0;
  for (int g = 0; g < 5; ++g) {
    if (g > 0) {
      if (pos >= text.size() || text[pos] != '-') return false;
      ++pos;
    }
    for (int i = 0; i < kGroups[g]; ++i, ++pos)
      if (pos >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[pos])))
        return false;
  }
  return pos == text.size();
}

int compare(const char* a, const char* b) { return strcasecmp(a ? a : "", b ? b : ""); }

}  // namespace CoUUID
}  // namespace Kestrix
