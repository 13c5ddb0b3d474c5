#include "common/base/loggerBase/qvAssert.h"

#include <execinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace Kestrix {

void qvReportStack(int depth, const char* reportLine, qvAssertLogCallback log) {
  if (log)
    log("%s\n", reportLine);
  else
    std::fprintf(stderr, "%s\n", reportLine);
  if (depth <= 0) return;
  std::vector<void*> frames(static_cast<size_t>(depth));
  const int n = ::backtrace(frames.data(), depth);
  std::fflush(stderr);
  ::backtrace_symbols_fd(frames.data(), n, STDERR_FILENO);
}

void qvAssertFail(const char* text, const char* file, int line, const char* function) {
  std::fprintf(stderr, "%s: %s:%d: %s: Assertion `%s' failed.\n", program_invocation_short_name,
               file, line, function, text);
  std::fflush(stderr);
  std::abort();
}

}  // namespace Kestrix
