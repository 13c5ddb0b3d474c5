#include "common/base/threads/CoThreadWindows.h"

#include <windows.h>
// process.h after windows.h: _beginthreadex starts threads the C runtime
// knows about.
#include <process.h>

#include <cerrno>
#include <string>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"

namespace Kestrix::SystemThread {
namespace {

constexpr unsigned STACK_SIZE = 65536;

bool isRoundRobin(CoThread::PolicyType policy) {
  return policy == CoThread::POLICY_RR;
}

int lastError() {
  return static_cast<int>(::GetLastError());
}

// A handle on a system thread for the length of one call.
class ThreadHandle {
 public:
  ThreadHandle(uint32_t id, DWORD access)
      : handle_(::OpenThread(access, FALSE, static_cast<DWORD>(id))) {}
  ~ThreadHandle() {
    if (handle_) ::CloseHandle(handle_);
  }
  ThreadHandle(const ThreadHandle&) = delete;
  ThreadHandle& operator=(const ThreadHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

struct Start {
  void (*entry)(void*);
  void* argument;
};

unsigned __stdcall run(void* start) {
  const Start copy = *static_cast<Start*>(start);
  delete static_cast<Start*>(start);
  copy.entry(copy.argument);
  return 0;
}

HANDLE asHandle(Handle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

uint32_t currentId() {
  return static_cast<uint32_t>(::GetCurrentThreadId());
}

uint32_t processId() {
  return static_cast<uint32_t>(::GetCurrentThreadId());
}

int create(Handle& handle, void (*entry)(void*), void* argument) {
  auto* start = new Start{entry, argument};
  const uintptr_t thread = ::_beginthreadex(nullptr, STACK_SIZE, &run, start, 0, nullptr);
  if (thread == 0) {
    delete start;
    return errno;
  }
  handle = static_cast<Handle>(thread);
  return 0;
}

int join(Handle handle) {
  const int error =
      ::WaitForSingleObject(asHandle(handle), INFINITE) == WAIT_FAILED ? lastError() : 0;
  ::CloseHandle(asHandle(handle));
  return error;
}

int detach(Handle handle) {
  return ::CloseHandle(asHandle(handle)) ? 0 : lastError();
}

// Main is never joined or detached: the pseudo handle, which needs no
// closing, will do.
Handle adoptCurrent() {
  return reinterpret_cast<Handle>(::GetCurrentThread());
}

// Thread descriptions arrived with Windows 10 1607 (and are missing from
// mingw's headers): look the call up, and leave threads unnamed without it.
void nameCurrent(const std::string& name) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto setDescription = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (!setDescription) return;
  std::wstring wide(
      static_cast<size_t>(::MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0)), L'\0');
  if (wide.empty()) return;
  ::MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  setDescription(::GetCurrentThread(), wide.c_str());
}

// The policy is the process's priority class: real time is round robin.
int readPolicy(uint32_t, CoThread::PolicyType& policy) {
  const DWORD priorityClass = ::GetPriorityClass(::GetCurrentProcess());
  if (priorityClass == 0) return lastError();
  policy = priorityClass == REALTIME_PRIORITY_CLASS ? CoThread::POLICY_RR : CoThread::POLICY_TS;
  return 0;
}

int writePolicy(uint32_t, CoThread::PolicyType policy) {
  const DWORD priorityClass =
      isRoundRobin(policy) ? REALTIME_PRIORITY_CLASS : NORMAL_PRIORITY_CLASS;
  if (!::SetPriorityClass(::GetCurrentProcess(), priorityClass)) return lastError();
  return 0;
}

// The tables hold Windows thread priorities (-15 to 15) as they are.
int readPriority(uint32_t id, CoThread::PolicyType, int& priority) {
  ThreadHandle thread(id, THREAD_QUERY_INFORMATION);
  if (!thread.get()) return lastError();
  const int value = ::GetThreadPriority(thread.get());
  if (value == THREAD_PRIORITY_ERROR_RETURN) return lastError();
  priority = value;
  return 0;
}

int writePriority(uint32_t id, CoThread::PolicyType, int priority) {
  ThreadHandle thread(id, THREAD_SET_INFORMATION);
  if (!thread.get()) return lastError();
  if (!::SetThreadPriority(thread.get(), priority)) return lastError();
  return 0;
}

constexpr DWORD AFFINITY_ACCESS = THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION;

// Windows cannot read a thread's mask without setting one: set one
// processor to learn the old mask, then put it back. The probe is the
// process's first processor, since a thread may not leave its process's.
int readCpu(uint32_t id, int& cpu) {
  DWORD_PTR process = 0, system = 0;
  if (!::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system)) return lastError();
  ThreadHandle thread(id, AFFINITY_ACCESS);
  if (!thread.get()) return lastError();
  const DWORD_PTR mask = ::SetThreadAffinityMask(thread.get(), process & (~process + 1));
  if (mask == 0) return lastError();
  if (::SetThreadAffinityMask(thread.get(), mask) == 0) {
    const int error = lastError();
    CO_POST_ERROR("Unable to restore thread cpu affinity : %i", error);
    QV_ASSERT_FLUSH(0);
    return error;
  }
  cpu = -1;
  if ((mask & (mask - 1)) != 0) return 0;
  for (int i = 0; i < static_cast<int>(sizeof mask * 8); ++i)
    if (mask == (DWORD_PTR{1} << i)) cpu = i;
  return 0;
}

int writeCpu(uint32_t id, int cpu) {
  if (cpu >= static_cast<int>(sizeof(DWORD_PTR) * 8)) return ERROR_INVALID_PARAMETER;
  DWORD_PTR mask = DWORD_PTR{1} << (cpu < 0 ? 0 : cpu);
  // -1 is every processor the process was given, not every one the
  // machine has.
  if (cpu < 0) {
    DWORD_PTR system = 0;
    if (!::GetProcessAffinityMask(::GetCurrentProcess(), &mask, &system)) return lastError();
  }
  ThreadHandle thread(id, AFFINITY_ACCESS);
  if (!thread.get()) return lastError();
  if (::SetThreadAffinityMask(thread.get(), mask) == 0) return lastError();
  return 0;
}

bool startsOnEveryProcessor() {
  return true;
}

bool isDenied(int error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_PRIVILEGE_NOT_HELD;
}

}  // namespace Kestrix::SystemThread
