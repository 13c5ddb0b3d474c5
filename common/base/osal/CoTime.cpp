#include "common/base/osal/CoTime.h"

#include <chrono>
#include <thread>

namespace Kestrix {
namespace CoTime {
namespace {

std::string formatLocal(uint64_t time, const char* format, const char* fallback) {
  struct tm local;
  getLocalTime(time, local);
  char buffer[64];
  const size_t n = std::strftime(buffer, sizeof buffer, format ? format : fallback, &local);
  return std::string(buffer, n);
}

uint64_t nowWholeSeconds() { return getTime() / 1000000 * 1000000; }

}  // namespace

uint64_t getTime() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()) *
         1000;
}

void getLocalTime(uint64_t time, struct tm& out) {
  const time_t seconds = static_cast<time_t>(time / 1000000);
  localtime_r(&seconds, &out);
}

int getMsFromTime(uint64_t time) { return static_cast<int>(time % 1000000 / 1000); }

std::string getDateStr(uint64_t time, const char* format) { return formatLocal(time, format, "%x"); }
std::string getTimeStr(uint64_t time, const char* format) { return formatLocal(time, format, "%X"); }
void getDateStr(std::string& out, uint64_t time, const char* format) {
  out = getDateStr(time, format);
}
void getTimeStr(std::string& out, uint64_t time, const char* format) {
  out = getTimeStr(time, format);
}
std::string getCurrentDateStr(const char* format) { return getDateStr(nowWholeSeconds(), format); }
std::string getCurrentTimeStr(const char* format) { return getTimeStr(nowWholeSeconds(), format); }
void getCurrentDateStr(std::string& out, const char* format) { out = getCurrentDateStr(format); }
void getCurrentTimeStr(std::string& out, const char* format) { out = getCurrentTimeStr(format); }

void sleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  std::this_thread::yield();
}

}  // namespace CoTime
}  // namespace Kestrix
