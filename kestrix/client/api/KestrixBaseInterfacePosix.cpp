// KestrixBaseInterface's conversions on Posix systems: the C library's
// multibyte functions under the current character-type locale.

#include "kestrix/client/api/KestrixBaseInterface.h"

#include <clocale>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include "common/base/loggerBase/CoMsg.h"

namespace {

const char* localeName() {
  const char* name = std::setlocale(LC_CTYPE, nullptr);
  return name != nullptr ? name : "C";
}

bool localeIsUtf8() {
  const char* dot = std::strchr(localeName(), '.');
  return dot != nullptr && std::strncmp(dot + 1, "UTF-8", 5) == 0 &&
         (dot[6] == '\0' || dot[6] == '@');
}

// The next four bytes of text for a diagnostic, zero past its end.
void nextFour(const unsigned char* p, const unsigned char* end, unsigned (&b)[4]) {
  for (int i = 0; i < 4; ++i) b[i] = p + i < end ? p[i] : 0;
}

void appendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | ((code >> 12) & 0x0F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Decodes one UTF-8 sequence of 1 to 4 bytes; 0 when it is malformed.
int decodeUtf8(const unsigned char* p, const unsigned char* end, uint32_t& code) {
  const unsigned char c = p[0];
  int length;
  if (c < 0x80) {
    code = c;
    return 1;
  }
  if ((c & 0xE0) == 0xC0) {
    length = 2;
    code = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    length = 3;
    code = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    length = 4;
    code = c & 0x07;
  } else {
    return 0;
  }
  if (end - p < length) return 0;
  for (int i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    code = (code << 6) | (p[i] & 0x3F);
  }
  return length;
}

}  // namespace

std::string KestrixBaseInterface::localeToUTF8(const char* text) {
  if (text == nullptr) return std::string();
  if (localeIsUtf8()) return text;
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const auto* end = p + std::strlen(text);
  std::mbstate_t state{};
  while (p < end) {
    wchar_t wide = 0;
    const size_t n = std::mbrtowc(&wide, reinterpret_cast<const char*>(p),
                                  static_cast<size_t>(end - p), &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) {
      unsigned b[4];
      nextFour(p, end, b);
      CO_POST_WARNING("Invalid character for locale %s: %02x %02x %02x %02x", localeName(), b[0],
                      b[1], b[2], b[3]);
      out += '?';
      break;
    }
    appendUtf8(out, static_cast<uint32_t>(wide) & 0xFFFF);
    p += n;
  }
  return out;
}

void KestrixBaseInterface::utf8ToLocale(std::string& text) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  std::mbstate_t state{};
  while (p < end) {
    uint32_t code = 0;
    const int length = decodeUtf8(p, end, code);
    unsigned b[4];
    nextFour(p, end, b);
    if (length == 0) {
      CO_POST_WARNING("Invalid UTF8 character in string: %02x %02x %02x %02x", b[0], b[1], b[2],
                      b[3]);
      out += '?';
      ++p;
      continue;
    }
    char mb[MB_LEN_MAX];
    const size_t n = std::wcrtomb(mb, static_cast<wchar_t>(code), &state);
    if (n == static_cast<size_t>(-1)) {
      CO_POST_WARNING("Cannot convert Unicode character 0x%x to locale %s", code, localeName());
      CO_POST_WARNING("Source UTF8: %02x %02x %02x %02x", b[0], b[1], b[2], b[3]);
      out += '?';
      state = std::mbstate_t{};
    } else {
      out.append(mb, n);
    }
    p += length;
  }
  text = out;
}
