#include "common/base/fileUtil/CoWideText.h"

#include <windows.h>

namespace Kestrix {

std::wstring coWideText(const char* utf8) {
  if (utf8 == nullptr || utf8[0] == '\0') return std::wstring();
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide.data(), n);
  wide.resize(static_cast<size_t>(n) - 1);
  return wide;
}

std::string coUtf8Text(const wchar_t* wide) {
  if (wide == nullptr || wide[0] == L'\0') return std::string();
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string text(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), n, nullptr, nullptr);
  text.resize(static_cast<size_t>(n) - 1);
  return text;
}

}  // namespace Kestrix
