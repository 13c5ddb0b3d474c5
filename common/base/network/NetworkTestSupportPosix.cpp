#include <cstdlib>
#include <fstream>

#include "common/base/network/NetworkTestSupport.h"

namespace Kestrix {
namespace NetworkTestSupport {

std::string systemHostName() {
  std::string name;
  std::getline(std::ifstream("/proc/sys/kernel/hostname"), name);
  return name;
}

void setEnv(const char* name, const char* value) {
  ::setenv(name, value, 1);
}

void unsetEnv(const char* name) {
  ::unsetenv(name);
}

}  // namespace NetworkTestSupport
}  // namespace Kestrix
