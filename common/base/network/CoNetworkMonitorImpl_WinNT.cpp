// CoNetworkMonitorImpl's watch (CoNetworkWatch) on Windows: the IP Helper
// notifications, which the system delivers on threads of its own: the
// callbacks only signal the waiting thread.

#include <winsock2.h>
#include <ws2tcpip.h>
// iphlpapi.h declares its calls only once the socket and IP types are known.
#include <iphlpapi.h>

#include <string>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/network/CoNetworkWatch.h"
#include "common/base/tcp/CoSocketError.h"

namespace Kestrix {
namespace {

std::string systemText(DWORD code) {
  return CoSocketError::text(static_cast<int>(code));
}

}  // namespace

struct CoNetworkWatch::State {
  static void NETIOAPI_API_ interfaceChanged(PVOID context, PMIB_IPINTERFACE_ROW,
                                             MIB_NOTIFICATION_TYPE) {
    ::SetEvent(static_cast<State*>(context)->change);
  }
  static void NETIOAPI_API_ addressChanged(PVOID context, PMIB_UNICASTIPADDRESS_ROW,
                                           MIB_NOTIFICATION_TYPE) {
    ::SetEvent(static_cast<State*>(context)->change);
  }

  HANDLE wake = nullptr;
  HANDLE change = nullptr;
  HANDLE interfaceHandle = nullptr;
  HANDLE addressHandle = nullptr;
  bool registered = false;
};

CoNetworkWatch::CoNetworkWatch() : state_(new State) {
  State& s = *state_;
  s.wake = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  s.change = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (s.wake == nullptr || s.change == nullptr) {
    CO_POST_ERROR("Could not create WSA event: %s", systemText(::GetLastError()).c_str());
    return;
  }
  DWORD code =
      ::NotifyIpInterfaceChange(AF_UNSPEC, &State::interfaceChanged, &s, FALSE, &s.interfaceHandle);
  if (code == NO_ERROR)
    code = ::NotifyUnicastIpAddressChange(AF_UNSPEC, &State::addressChanged, &s, FALSE,
                                          &s.addressHandle);
  if (code != NO_ERROR)
    CO_POST_ERROR("Could not register for IP notifications: %s", systemText(code).c_str());
  s.registered = code == NO_ERROR;
}

CoNetworkWatch::~CoNetworkWatch() {
  // Cancelling waits for a callback under way, so none runs after this.
  if (state_->addressHandle != nullptr) ::CancelMibChangeNotify2(state_->addressHandle);
  if (state_->interfaceHandle != nullptr) ::CancelMibChangeNotify2(state_->interfaceHandle);
  if (state_->change != nullptr) ::CloseHandle(state_->change);
  if (state_->wake != nullptr) ::CloseHandle(state_->wake);
}

bool CoNetworkWatch::isOpen() const {
  return state_->registered;
}

CoNetworkWatch::Wait CoNetworkWatch::waitFor(int timeoutMs) {
  const HANDLE handles[2] = {state_->wake, state_->change};
  const DWORD result = ::WaitForMultipleObjects(
      2, handles, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
  if (result == WAIT_OBJECT_0) return WOKEN;
  if (result == WAIT_OBJECT_0 + 1) return CHANGE;
  if (result == WAIT_TIMEOUT) return QUIET;
  CO_POST_ERROR("Could not wait for network change notification: %s",
                systemText(::GetLastError()).c_str());
  return FAILED;
}

// The change event resets itself as a wait takes it: nothing queues.
bool CoNetworkWatch::drain() {
  return true;
}

// The event stays set.
void CoNetworkWatch::wake() {
  if (state_->wake != nullptr) ::SetEvent(state_->wake);
}

}  // namespace Kestrix
