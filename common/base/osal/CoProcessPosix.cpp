#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <string>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/osal/CoProcess.h"

namespace Kestrix {

int CoProcess::getCurrentProcessId() { return static_cast<int>(::getpid()); }

bool CoProcess::getId(int& pid) const {
  pid = pid_ != 0 ? pid_ : getCurrentProcessId();
  return pid != 0;
}

bool CoProcess::getName(std::string& name) const {
  int pid = 0;
  getId(pid);
  const std::string dir = "/proc/" + std::to_string(pid);
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) {
    CO_POST_ERROR("Could not open process handle for '%d'", pid);
    return false;
  }
  std::ifstream comm(dir + "/comm");
  std::string line;
  if (comm && std::getline(comm, line) && !line.empty()) {
    name = line;
    return true;
  }
  char exe[PATH_MAX];
  const ssize_t n = ::readlink((dir + "/exe").c_str(), exe, sizeof exe - 1);
  if (n <= 0) {
    CO_POST_ERROR("Could not retrieve module base name for '%d'", pid);
    return false;
  }
  exe[n] = '\0';
  const std::string path(exe);
  name = path.substr(path.find_last_of('/') + 1);
  return true;
}

}  // namespace Kestrix
