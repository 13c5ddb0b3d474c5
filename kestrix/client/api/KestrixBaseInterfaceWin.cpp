// KestrixBaseInterface's conversions on Windows, where the locale of a
// program's narrow texts is the ANSI code page: the system converts between
// it, UTF-16 and UTF-8, one character at a time so that a failure can be
// reported where it stands.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/base/loggerBase/CoMsg.h"
#include "kestrix/client/api/KestrixBaseInterface.h"

namespace {

std::string localeName(UINT codePage) {
  char name[16];
  std::snprintf(name, sizeof name, "CP%u", codePage);
  return name;
}

// The next four bytes of text for a diagnostic, zero past its end.
void nextFour(const unsigned char* p, const unsigned char* end, unsigned (&b)[4]) {
  for (int i = 0; i < 4; ++i) b[i] = p + i < end ? p[i] : 0;
}

// ANSI code pages have characters of one byte or, after a lead byte, two.
int ansiLength(UINT codePage, const unsigned char* p, const unsigned char* end) {
  return ::IsDBCSLeadByteEx(codePage, *p) && end - p >= 2 ? 2 : 1;
}

// The length a UTF-8 lead byte announces; 0 for a byte that leads nothing.
int utf8Length(unsigned char c) {
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) return 2;
  if ((c & 0xF0) == 0xE0) return 3;
  if ((c & 0xF8) == 0xF0) return 4;
  return 0;
}

uint32_t codeOf(const wchar_t* wide, int count) {
  if (count == 2) return 0x10000 + ((wide[0] - 0xD800u) << 10) + (wide[1] - 0xDC00u);
  return static_cast<uint16_t>(wide[0]);
}

}  // namespace

std::string KestrixBaseInterface::localeToUTF8(const char* text) {
  if (text == nullptr) return std::string();
  const UINT codePage = ::GetACP();
  if (codePage == CP_UTF8) return text;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const auto* end = p + std::strlen(text);
  std::wstring wide;
  bool invalid = false;
  while (p < end) {
    const int length = ansiLength(codePage, p, end);
    wchar_t w[2];
    const int count = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS,
                                            reinterpret_cast<const char*>(p), length, w, 2);
    if (count <= 0) {
      unsigned b[4];
      nextFour(p, end, b);
      CO_POST_WARNING("Invalid character for locale %s: %02x %02x %02x %02x",
                      localeName(codePage).c_str(), b[0], b[1], b[2], b[3]);
      invalid = true;
      break;
    }
    wide.append(w, static_cast<size_t>(count));
    p += length;
  }
  std::string out;
  if (!wide.empty()) {
    const int size = static_cast<int>(wide.size());
    const int n =
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<size_t>(n > 0 ? n : 0));
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, out.data(), n, nullptr, nullptr);
  }
  if (invalid) out += '?';
  return out;
}

void KestrixBaseInterface::utf8ToLocale(std::string& text) {
  const UINT codePage = ::GetACP();
  // The UTF-8 code page takes no flags and reports no default character.
  const bool ansi = codePage != CP_UTF8;
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned b[4];
    nextFour(p, end, b);
    const int length = utf8Length(*p);
    wchar_t w[2];
    const int count = length > 0 && end - p >= length
                          ? ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS,
                                                  reinterpret_cast<const char*>(p), length, w, 2)
                          : 0;
    if (count <= 0) {
      CO_POST_WARNING("Invalid UTF8 character in string: %02x %02x %02x %02x", b[0], b[1], b[2],
                      b[3]);
      out += '?';
      ++p;
      continue;
    }
    char mb[8];
    BOOL usedDefault = FALSE;
    const int n = ::WideCharToMultiByte(codePage, ansi ? WC_NO_BEST_FIT_CHARS : 0, w, count, mb,
                                        sizeof mb, nullptr, ansi ? &usedDefault : nullptr);
    if (n <= 0 || usedDefault) {
      CO_POST_WARNING("Cannot convert Unicode character 0x%x to locale %s", codeOf(w, count),
                      localeName(codePage).c_str());
      CO_POST_WARNING("Source UTF8: %02x %02x %02x %02x", b[0], b[1], b[2], b[3]);
      out += '?';
    } else {
      out.append(mb, static_cast<size_t>(n));
    }
    p += length;
  }
  text = out;
}
