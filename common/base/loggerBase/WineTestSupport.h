#pragma once
// Tells a test whether it runs under wine, so that a case needing a Windows
// call wine lacks or gets wrong can skip itself there, and only there, with
// the reason. Test support: never linked into a program.

#ifdef _WIN32  // the one platform split of this header: wine runs Windows programs only
#include <windows.h>
#endif

namespace Kestrix {

inline bool runningUnderWine() {
#ifdef _WIN32
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace Kestrix
