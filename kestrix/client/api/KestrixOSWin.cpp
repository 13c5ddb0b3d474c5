#include "kestrix/client/api/KestrixOS.h"

KestrixOS::OsType KestrixOS::getOSType() {
  return OS_TYPE_WINNT;
}

// Servers compare OS kinds, never versions; this system reports none.
KestrixStr KestrixOS::getOSVersion() {
  return "unknown";
}
