#pragma once
// Small stateless text helpers shared by the whole library: formatting into
// strings, text-to-bool, natural ("file2" before "file10") ordering and
// splitting.

#include <cstdarg>
#include <ctime>
#include <list>
#include <string>

namespace Kestrix {

class StringUtil {
 public:
  static void sprintf(std::string& out, const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  static void vsprintf(std::string& out, const char* format, va_list args);
  static std::string sprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
  static void wsprintf(std::wstring& out, const wchar_t* format, ...);
  static void strftime(std::string& out, const char* format, const struct tm* time);
  static void wcsftime(std::wstring& out, const wchar_t* format, const struct tm* time);
  // The one boolean rule: "true", or "1", "yes", "on", "true", "y" in any case.
  static bool strToBool(const char* text);
  static int alphaNumCompare(const char* a, const char* b, bool caseSensitive);
  static int alphaNumCompare(const std::string& a, const std::string& b, bool caseSensitive);
  // text without leading and trailing blanks (spaces and tabs).
  static std::string trim(const std::string& text);
  // The non-empty pieces of text between any of the separator characters.
  static std::list<std::string> stringToTokenPath(const std::string& text, const char* separators);
};

// Ordering predicates over alphaNumCompare.
class AlphaNumCharSorter {
 public:
  explicit AlphaNumCharSorter(bool caseSensitive = true, bool ascending = true)
      : caseSensitive_(caseSensitive), ascending_(ascending) {}
  bool operator()(const char* a, const char* b) const {
    const int c = StringUtil::alphaNumCompare(a, b, caseSensitive_);
    return ascending_ ? c < 0 : c > 0;
  }

 private:
  bool caseSensitive_;
  bool ascending_;
};

class AlphaNumStringSorter {
 public:
  explicit AlphaNumStringSorter(bool caseSensitive = true, bool ascending = true)
      : caseSensitive_(caseSensitive), ascending_(ascending) {}
  bool operator()(const std::string& a, const std::string& b) const {
    const int c = StringUtil::alphaNumCompare(a, b, caseSensitive_);
    return ascending_ ? c < 0 : c > 0;
  }

 private:
  bool caseSensitive_;
  bool ascending_;
};

}  // namespace Kestrix
