#include <windows.h>

#include "common/base/osal/CoUser.h"

namespace Kestrix {
namespace {

// Windows has one logged-on user per process: effective and real alike.
bool loggedOnUser(std::string& name) {
  char buffer[128];
  DWORD size = sizeof buffer;
  if (!::GetUserNameA(buffer, &size)) return false;
  name = buffer;
  return true;
}

}  // namespace

bool CoUser::getEffectiveUser(std::string& name) {
  return loggedOnUser(name);
}
bool CoUser::getRealUser(std::string& name) {
  return loggedOnUser(name);
}

bool CoUser::getPassword(std::string& password) {
  password = "Unknown";
  return true;
}

// Windows has no primary group for a process to report.
bool CoUser::getGroup(std::string&) {
  return false;
}

}  // namespace Kestrix
