#include <windows.h>
// psapi.h needs the types of windows.h.
#include <process.h>
#include <psapi.h>

#include <string>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/osal/CoProcess.h"

namespace Kestrix {

int CoProcess::getCurrentProcessId() {
  return ::_getpid();
}

bool CoProcess::getId(int& pid) const {
  pid = pid_ != 0 ? pid_ : getCurrentProcessId();
  return pid != 0;
}

bool CoProcess::getName(std::string& name) const {
  int pid = 0;
  getId(pid);
  HANDLE process =
      ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) {
    CO_POST_ERROR("Could not open process handle for '%d'", pid);
    return false;
  }
  bool found = false;
  HMODULE module = nullptr;
  DWORD needed = 0;
  char base[260];
  if (!::EnumProcessModules(process, &module, sizeof module, &needed)) {
    CO_POST_ERROR("Could not enumerate process modules for '%d'", pid);
  } else if (::GetModuleBaseNameA(process, module, base, sizeof base) == 0) {
    CO_POST_ERROR("Could not retrieve module base name for '%d'", pid);
  } else {
    name = base;
    found = true;
  }
  ::CloseHandle(process);
  return found;
}

}  // namespace Kestrix
