#include <windows.h>

#include "common/base/threads/ThreadTestSupport.h"

namespace Kestrix {
namespace ThreadTestSupport {

// A thread description is kept whole.
const size_t SYSTEM_NAME_LENGTH = std::string::npos;

uint32_t currentSystemThreadId() {
  return static_cast<uint32_t>(::GetCurrentThreadId());
}

bool systemThreadExists(uint32_t id) {
  HANDLE thread = ::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
  if (thread == nullptr) return false;
  DWORD code = 0;
  const bool alive = ::GetExitCodeThread(thread, &code) && code == STILL_ACTIVE;
  ::CloseHandle(thread);
  return alive;
}

std::string systemThreadName(uint32_t id) {
  using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  const auto getDescription = reinterpret_cast<GetDescription>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  HANDLE thread = ::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
  std::string name;
  PWSTR wide = nullptr;
  if (getDescription && thread && SUCCEEDED(getDescription(thread, &wide)) && wide) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    name.resize(static_cast<size_t>(size > 0 ? size : 1));
    ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, name.data(), size, nullptr, nullptr);
    name.resize(name.size() - 1);
    ::LocalFree(wide);
  }
  if (thread) ::CloseHandle(thread);
  return name;
}

std::vector<int> processCpus() {
  DWORD_PTR process = 0, system = 0;
  std::vector<int> cpus;
  if (!::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system)) return cpus;
  for (int i = 0; i < static_cast<int>(sizeof process * 8); ++i)
    if (process & (DWORD_PTR{1} << i)) cpus.push_back(i);
  return cpus;
}

bool setProcessCpus(const std::vector<int>& cpus) {
  DWORD_PTR mask = 0;
  for (int cpu : cpus) mask |= DWORD_PTR{1} << cpu;
  return ::SetProcessAffinityMask(::GetCurrentProcess(), mask) != 0;
}

}  // namespace ThreadTestSupport
}  // namespace Kestrix
