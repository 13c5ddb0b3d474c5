#include <windows.h>

#include "kestrix/tools/watch/WatchStop.h"

namespace KestrixWatch {
namespace {

HANDLE gStop = nullptr;

// Runs on a thread the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      ::SetEvent(gStop);
      // For a closing console the system ends the process when this
      // returns: give the main thread its moment to unsubscribe.
      if (event == CTRL_CLOSE_EVENT) ::Sleep(2000);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

bool installStopHandler() {
  gStop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return gStop != nullptr && ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool waitForStop(int waitMs) {
  return ::WaitForSingleObject(gStop, static_cast<DWORD>(waitMs)) == WAIT_OBJECT_0;
}

}  // namespace KestrixWatch
