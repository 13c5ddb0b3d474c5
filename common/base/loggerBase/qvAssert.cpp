#include "common/base/loggerBase/qvAssert.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace Kestrix {
namespace {

// Read once by static initialisers, in this order.
const bool gAssertStacksDisabled = std::getenv("QV_DISABLE_ASSERT_STACKS") != nullptr;
const char* const gAssertStackSizeText = std::getenv("QV_ASSERT_STACK_SIZE");
const bool gAssertIgnoreAll = std::getenv("QV_ASSERT_IGNORE_ALL") != nullptr;
const int gAssertStackSize = gAssertStackSizeText ? std::atoi(gAssertStackSizeText) : 100;

qvAllowAssertCallback gAllowCallback = nullptr;
void* gAllowData = nullptr;
qvAssertLogCallback gLogCallback = nullptr;
qvAssertLogFlushCallback gFlushCallback = nullptr;

void flushLogs() {
  if (gFlushCallback) gFlushCallback();
  std::fflush(stdout);
  std::fflush(stderr);
}

}  // namespace

int qvAssertStackSize() {
  return gAssertStackSize;
}
bool qvAssertStacksDisabled() {
  return gAssertStacksDisabled;
}
bool qvAssertIgnoreAll() {
  return gAssertIgnoreAll;
}

void qvSetAllowAssertCallback(qvAllowAssertCallback callback, void* data) {
  gAllowCallback = callback;
  gAllowData = data;
}
void qvSetAssertLogCallback(qvAssertLogCallback callback) {
  gLogCallback = callback;
}
void qvSetAssertLogFlushCallback(qvAssertLogFlushCallback callback) {
  gFlushCallback = callback;
}

bool qvAssertLogFlush() {
  flushLogs();
  return false;
}

bool qvIsVeldmoor() {
  static const bool isSite = [] {
    if (std::getenv("QV_PROGRAM_VELDMOOR_CHECK_DISABLED") != nullptr) return false;
    struct stat st;
    return ::stat("/ccstore/grynn/runtime/", &st) == 0;
  }();
  return isSite;
}

bool qvAllowAssert(const char* condition, const char* file, int line) {
  bool ignored = gAssertIgnoreAll;
  if (!ignored) {
    flushLogs();
    ignored = gAssertIgnoreAll;
    if (!ignored && gAllowCallback) {
      if (!gAllowCallback(condition, file, line, gAllowData)) return false;
      ignored = gAssertIgnoreAll;
    }
  }
  if (!gAssertStacksDisabled) {
    char report[2048];
    std::snprintf(report, sizeof report, "%sAssert: %s:%d %s", ignored ? "IGNORED " : "", file,
                  line, condition);
    qvReportStack(gAssertStackSize, report, gLogCallback);
  }
  if (ignored) return false;
  flushLogs();
  return true;
}

}  // namespace Kestrix
