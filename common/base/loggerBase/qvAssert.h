#pragma once
// Internal consistency checks.
//
// Two forms are used throughout the library:
//  - QV_ASSERT(cond), the site check: active only where qvIsVeldmoor() holds,
//    and even there qvAllowAssert() may decide to let the failure pass.
//  - QV_ASSERT_FLUSH(cond), the flushing check: used right after an error has
//    been posted; it flushes the logs and fails whenever cond is false.
// A failed check is the runtime's standard assertion failure, also in builds
// made with NDEBUG: these checks guard programming errors, not user input.

namespace Kestrix {

using qvAllowAssertCallback = bool (*)(const char* condition, const char* file, int line,
                                       void* data);
using qvAssertLogCallback = void (*)(const char* format, ...);
using qvAssertLogFlushCallback = void (*)();

// Decides whether a failed site check stops the program (true) or is ignored.
bool qvAllowAssert(const char* condition, const char* file, int line);
// Runs the flush callback, flushes stdout then stderr; always false.
bool qvAssertLogFlush();
// The site test: true only on the maker's own machines.
bool qvIsVeldmoor();

void qvSetAllowAssertCallback(qvAllowAssertCallback callback, void* data);
void qvSetAssertLogCallback(qvAssertLogCallback callback);
void qvSetAssertLogFlushCallback(qvAssertLogFlushCallback callback);

// Settings read from the environment at start-up (exposed for diagnostics).
int qvAssertStackSize();
bool qvAssertStacksDisabled();
bool qvAssertIgnoreAll();

// Reports a failed check in the runtime's own assertion format and aborts.
[[noreturn]] void qvAssertFail(const char* text, const char* file, int line, const char* function);

// Writes the report line and a stack trace of at most depth frames.
void qvReportStack(int depth, const char* reportLine, qvAssertLogCallback log);

}  // namespace Kestrix

#define QV_ASSERT_FAIL_(text) ::Kestrix::qvAssertFail(text, __FILE__, __LINE__, __PRETTY_FUNCTION__)

#define QV_ASSERT(cond)                                                                  \
  ((!::Kestrix::qvIsVeldmoor() || (cond) || !::Kestrix::qvAllowAssert(#cond, __FILE__, __LINE__)) \
       ? static_cast<void>(0)                                                            \
       : QV_ASSERT_FAIL_("!qvIsVeldmoor() || ( " #cond " ) || !qvAllowAssert(\"" #cond   \
                         "\", __FILE__, __LINE__)"))

#define QV_ASSERT_FLUSH(cond)                                  \
  (((cond) || ::Kestrix::qvAssertLogFlush())                   \
       ? static_cast<void>(0)                                  \
       : QV_ASSERT_FAIL_("(" #cond ") || qvAssertLogFlush()"))
