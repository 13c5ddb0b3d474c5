#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "common/base/threads/ThreadTestSupport.h"

namespace Kestrix {
namespace ThreadTestSupport {

const size_t SYSTEM_NAME_LENGTH = 15;

uint32_t currentSystemThreadId() {
  return static_cast<uint32_t>(::gettid());
}

bool systemThreadExists(uint32_t id) {
  struct stat st;
  return ::stat(("/proc/self/task/" + std::to_string(id)).c_str(), &st) == 0;
}

std::string systemThreadName(uint32_t id) {
  std::ifstream comm("/proc/self/task/" + std::to_string(id) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

std::vector<int> processCpus() {
  cpu_set_t set;
  std::vector<int> cpus;
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
  for (int i = 0; i < CPU_SETSIZE; ++i)
    if (CPU_ISSET(i, &set)) cpus.push_back(i);
  return cpus;
}

bool setProcessCpus(const std::vector<int>& cpus) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int cpu : cpus) CPU_SET(cpu, &set);
  return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

}  // namespace ThreadTestSupport
}  // namespace Kestrix
