#include "common/base/loggerBase/CoException.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Kestrix {
namespace {

bool gVerboseExceptions = std::getenv("QV_VERBOSE_EXCEPTIONS") != nullptr;

}  // namespace

void CoException::enableVerboseExceptions(bool on) { gVerboseExceptions = on; }
bool CoException::verboseExceptions() { return gVerboseExceptions; }

CoException::CoException(int line, const char* file) : CoException("", line, file) {}

CoException::CoException(const char* what, int line, const char* file) : lineNumber_(line) {
  std::snprintf(fileName_, sizeof fileName_, "%s", file ? file : "");
  setWhat(what, nullptr);
}

void CoException::fire(const char* what, const char* expertFormat, ...) {
  va_list args;
  va_start(args, expertFormat);
  setWhat(what, expertFormat, args);
  va_end(args);
  throw CoException(*this);
}

void CoException::setWhat(const char* what, const char* expertFormat, ...) {
  va_list args;
  va_start(args, expertFormat);
  setWhat(what, expertFormat, args);
  va_end(args);
}

void CoException::setWhat(const char* what, const char* expertFormat, va_list args) {
  constexpr int kFull = MESSAGE_SIZE - 1;
  int len = std::snprintf(message_, MESSAGE_SIZE, "%s", what ? what : "");
  if (len < 0 || len >= MESSAGE_SIZE) {
    expertOffset_ = kFull;
    return;
  }
  if (gVerboseExceptions) {
    const int added =
        std::snprintf(message_ + len, MESSAGE_SIZE - len, " f:%s l:%d", fileName_, lineNumber_);
    if (added < 0 || added >= MESSAGE_SIZE - len) {
      message_[kFull] = '\0';
      expertOffset_ = kFull;
      return;
    }
    len += added;
  }
  if (expertFormat == nullptr || MESSAGE_SIZE - len - 1 < 3) {
    expertOffset_ = len;
    return;
  }
  // Verbose: what() runs on into the expert text; otherwise it ends here.
  if (gVerboseExceptions) message_[len] = ' ';
  expertOffset_ = len + 1;
  std::vsnprintf(message_ + expertOffset_, static_cast<size_t>(MESSAGE_SIZE - expertOffset_),
                 expertFormat, args);
}

}  // namespace Kestrix
