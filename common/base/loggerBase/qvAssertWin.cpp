#include "common/base/loggerBase/qvAssert.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Kestrix {

// Windows has no stack-trace reporter: assertion reports are not printed.
void qvReportStack(int, const char*, qvAssertLogCallback) {}

void qvAssertFail(const char* text, const char* file, int line, const char* function) {
  // Name the program as a Windows user sees it: the module's base name.
  char path[MAX_PATH] = "";
  const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
  const char* name = path;
  for (DWORD i = 0; i < n; ++i)
    if (path[i] == '\\' || path[i] == '/') name = path + i + 1;
  std::fprintf(stderr, "%s: %s:%d: %s: Assertion `%s' failed.\n", name, file, line, function, text);
  std::fflush(stderr);
  std::abort();
}

}  // namespace Kestrix
