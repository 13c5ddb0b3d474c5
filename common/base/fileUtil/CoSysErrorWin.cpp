// Error texts on Windows: the C run-time's for errno values, the system's
// message table for GetLastError codes.

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/base/fileUtil/CoSysError.h"
#include "common/base/fileUtil/CoSysErrorWin.h"
#include "common/base/fileUtil/CoWideText.h"

namespace Kestrix {

std::string coSysErrorText(int err) {
  if (err == 0) err = EIO;
  char buffer[256];
  if (::strerror_s(buffer, sizeof buffer, err) != 0) return "Unknown error";
  return buffer;
}

int coLastErrno() {
  return errno != 0 ? errno : EIO;
}

std::string coWinErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (n != 0 && buffer != nullptr) text = coUtf8Text(buffer);
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  if (text.empty()) {
    char fallback[48];
    std::snprintf(fallback, sizeof fallback, "Windows error %lu", static_cast<unsigned long>(code));
    text = fallback;
  }
  return text;
}

}  // namespace Kestrix
