#pragma once
// Operating-system kinds, with the fixed numbers and names that travel in
// requests and server descriptions, and questions about the local host and
// the current user. Queries that fail answer "unknown"; none throws.

#include "kestrix/client/api/KestrixTypes.h"

class KESTRIX_API KestrixOS {
 public:
  enum OsType : int {
    OS_TYPE_UNKNOWN = 0,
    OS_TYPE_IRIX = 1,
    OS_TYPE_LINUX = 2,
    OS_TYPE_WINNT = 3,
    OS_TYPE_MACOSX = 4,
  };

  static const char* OS_TYPE_UNKNOWN_STR() { return "Unknown"; }
  static const char* OS_TYPE_IRIX_STR() { return "Irix"; }
  static const char* OS_TYPE_LINUX_STR() { return "Linux"; }
  static const char* OS_TYPE_WINNT_STR() { return "WindowsNT"; }
  static const char* OS_TYPE_MACOSX_STR() { return "MacOSX"; }

  static const char* OsTypeStr(OsType type);
  // "Irix", "Linux", "WindowsNT", "MacOSX" in any case; anything else Unknown.
  static OsType strToOsType(const char* text);
  static OsType getOSType();
  static KestrixStr getOSVersion();
  static KestrixStr getHostName();
  static KestrixStr getUserId();
  static void setUserId(const char* userId);
  static KestrixStr getGroupId();
  static bool isLoopBackIP(const char* ip);
  // True when the address text names this host.
  static bool isLocalIP(const char* ip);
};
