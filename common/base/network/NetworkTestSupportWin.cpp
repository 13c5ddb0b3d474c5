#include <windows.h>

#include <cstdlib>

#include "common/base/network/NetworkTestSupport.h"

namespace Kestrix {
namespace NetworkTestSupport {

std::string systemHostName() {
  char name[256];
  DWORD size = sizeof name;
  if (!::GetComputerNameExA(ComputerNameDnsHostname, name, &size)) return std::string();
  return std::string(name, size);
}

void setEnv(const char* name, const char* value) {
  ::_putenv_s(name, value);
}

// An empty value removes the variable here.
void unsetEnv(const char* name) {
  ::_putenv_s(name, "");
}

}  // namespace NetworkTestSupport
}  // namespace Kestrix
