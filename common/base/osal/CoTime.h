#pragma once
// The library clock: microseconds since 1970-01-01 UTC, read in whole
// milliseconds. Remote-call time-outs are milliseconds, discovery times are
// microseconds of this clock.

#include <cstdint>
#include <ctime>
#include <string>

namespace Kestrix {
namespace CoTime {

uint64_t getTime();
void getLocalTime(uint64_t time, struct tm& out);
int getMsFromTime(uint64_t time);
// Local time formatted with format, or "%x" / "%X" when format is null;
// at most 63 characters.
std::string getDateStr(uint64_t time, const char* format = nullptr);
std::string getTimeStr(uint64_t time, const char* format = nullptr);
void getDateStr(std::string& out, uint64_t time, const char* format = nullptr);
void getTimeStr(std::string& out, uint64_t time, const char* format = nullptr);
std::string getCurrentDateStr(const char* format = nullptr);
std::string getCurrentTimeStr(const char* format = nullptr);
void getCurrentDateStr(std::string& out, const char* format = nullptr);
void getCurrentTimeStr(std::string& out, const char* format = nullptr);
// Sleeps ms milliseconds when positive, then yields once.
void sleepMs(int ms);

}  // namespace CoTime
}  // namespace Kestrix
