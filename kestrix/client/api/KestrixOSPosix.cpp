#include <sys/utsname.h>

#include "kestrix/client/api/KestrixOS.h"

KestrixOS::OsType KestrixOS::getOSType() {
  return OS_TYPE_LINUX;
}

KestrixStr KestrixOS::getOSVersion() {
  struct utsname names;
  if (::uname(&names) != 0) return "unknown";
  return names.release;
}
