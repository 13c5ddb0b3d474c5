#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include "common/base/rcApi/rcLoginProofPlatform.h"

namespace Kestrix {
namespace {

std::string systemText(DWORD code) {
  char text[512];
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) --n;
  if (n == 0) return "system error " + std::to_string(code);
  return std::string(text, n);
}

// Whether the file's permissions let everyone, or every user of the
// machine, read it: the Windows counterpart of a mode with o+r.
bool othersMayRead(HANDLE file, std::string& why) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD code = ::GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                       nullptr, &dacl, nullptr, &descriptor);
  if (code != ERROR_SUCCESS) {
    why = "cannot read its permissions: " + systemText(code);
    return true;
  }
  // No list at all grants everything to everyone.
  bool open = dacl == nullptr;
  const WELL_KNOWN_SID_TYPE others[] = {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid,
                                        WinAnonymousSid, WinInteractiveSid};
  const ACCESS_MASK reading = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
  for (DWORD i = 0; !open && i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!::GetAce(dacl, i, &entry)) continue;
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (allowed->Mask & reading) == 0)
      continue;
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    for (WELL_KNOWN_SID_TYPE type : others)
      if (::IsWellKnownSid(sid, type)) open = true;
  }
  ::LocalFree(descriptor);
  if (open) why = "others may read it (remove Everyone and Users from its permissions)";
  return open;
}

}  // namespace

long rcLoginProofPlatform::readSecretBytes(const std::string& path, bool privateOnly, char* buffer,
                                           size_t capacity, std::string& why) {
  const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    why = systemText(::GetLastError());
    return -1;
  }
  const auto failed = [&](std::string text) {
    ::CloseHandle(file);
    why = std::move(text);
    return -1L;
  };
  if (::GetFileType(file) != FILE_TYPE_DISK) return failed("not a regular file");
  std::string reason;
  if (privateOnly && othersMayRead(file, reason)) return failed(reason);
  size_t size = 0;
  while (size < capacity) {
    DWORD n = 0;
    if (!::ReadFile(file, buffer + size, static_cast<DWORD>(capacity - size), &n, nullptr))
      return failed(systemText(::GetLastError()));
    if (n == 0) break;
    size += n;
  }
  ::CloseHandle(file);
  return static_cast<long>(size);
}

}  // namespace Kestrix
