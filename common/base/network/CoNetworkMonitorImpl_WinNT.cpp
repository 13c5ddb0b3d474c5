#include <winsock2.h>
#include <ws2tcpip.h>
// iphlpapi.h declares its calls only once the socket and IP types are known.
#include <iphlpapi.h>

#include <algorithm>
#include <chrono>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/network/CoNetwork.h"
#include "common/base/network/CoNetworkMonitorImpl.h"
#include "common/base/tcp/CoSocketError.h"
#include "common/base/threads/CoTask.h"
#include "common/base/threads/CoThread.h"
#include "common/base/threads/CoThreadMgr.h"

namespace Kestrix {
namespace {

// Notices closer together than this are one change: an adapter coming up
// sends one per address within a few milliseconds, and observers should
// refresh once for all of them.
constexpr DWORD QUIET_MS = 50;
// A stream that never pauses (a flapping link) is still told this often.
constexpr std::chrono::milliseconds MAX_BURST{1000};

std::string systemText(DWORD code) {
  return CoSocketError::text(static_cast<int>(code));
}

class WatchTask : public CoTask {
 public:
  explicit WatchTask(CoNetworkMonitorImpl::Callback changed) : changed_(changed) {
    // Registered here, on the starting thread, so no change slips by while
    // the new thread gets going. The system calls back on threads of its
    // own; the callbacks only signal the watcher.
    wake_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    change_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (wake_ == nullptr || change_ == nullptr) {
      CO_POST_ERROR("Could not create WSA event: %s", systemText(::GetLastError()).c_str());
      return;
    }
    DWORD code = ::NotifyIpInterfaceChange(AF_UNSPEC, &WatchTask::interfaceChanged, this, FALSE,
                                           &interfaceHandle_);
    if (code == NO_ERROR)
      code = ::NotifyUnicastIpAddressChange(AF_UNSPEC, &WatchTask::addressChanged, this, FALSE,
                                            &addressHandle_);
    if (code != NO_ERROR)
      CO_POST_ERROR("Could not register for IP notifications: %s", systemText(code).c_str());
    registered_ = code == NO_ERROR;
  }
  ~WatchTask() override {
    // Cancelling waits for a callback under way, so none runs after this.
    if (addressHandle_ != nullptr) ::CancelMibChangeNotify2(addressHandle_);
    if (interfaceHandle_ != nullptr) ::CancelMibChangeNotify2(interfaceHandle_);
    if (change_ != nullptr) ::CloseHandle(change_);
    if (wake_ != nullptr) ::CloseHandle(wake_);
  }

  void run(CoThread*) override {
    if (!registered_) return;
    while (waitFor(INFINITE) == CHANGE && collectBurst()) changed_();
  }

  // The event stays set, so a stop before run() starts still ends it.
  void stop(CoThread*) override {
    if (wake_ != nullptr) ::SetEvent(wake_);
  }

 private:
  enum Wait { WOKEN, CHANGE, QUIET, FAILED };

  static void NETIOAPI_API_ interfaceChanged(PVOID context, PMIB_IPINTERFACE_ROW,
                                             MIB_NOTIFICATION_TYPE) {
    ::SetEvent(static_cast<WatchTask*>(context)->change_);
  }
  static void NETIOAPI_API_ addressChanged(PVOID context, PMIB_UNICASTIPADDRESS_ROW,
                                           MIB_NOTIFICATION_TYPE) {
    ::SetEvent(static_cast<WatchTask*>(context)->change_);
  }

  Wait waitFor(DWORD timeoutMs) {
    const HANDLE handles[2] = {wake_, change_};
    const DWORD result = ::WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
    if (result == WAIT_OBJECT_0) return WOKEN;
    if (result == WAIT_OBJECT_0 + 1) return CHANGE;
    if (result == WAIT_TIMEOUT) return QUIET;
    CO_POST_ERROR("Could not wait for network change notification: %s",
                  systemText(::GetLastError()).c_str());
    return FAILED;
  }

  // Waits until QUIET_MS pass without a notice; false when stopped or
  // failed meanwhile.
  bool collectBurst() {
    const auto first = std::chrono::steady_clock::now();
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          first + MAX_BURST - std::chrono::steady_clock::now());
      if (left.count() <= 0) return true;
      const Wait wait = waitFor(std::min<DWORD>(QUIET_MS, static_cast<DWORD>(left.count())));
      if (wait == QUIET) return true;
      if (wait != CHANGE) return false;
    }
  }

  CoNetworkMonitorImpl::Callback changed_;
  HANDLE wake_ = nullptr;
  HANDLE change_ = nullptr;
  HANDLE interfaceHandle_ = nullptr;
  HANDLE addressHandle_ = nullptr;
  bool registered_ = false;
};

}  // namespace

CoNetworkMonitorImpl* CoNetworkMonitorImpl::_impl = nullptr;

CoNetworkMonitorImpl::CoNetworkMonitorImpl(Callback changed) {
  QV_ASSERT(_impl == 0);
  QV_ASSERT(CoNetwork::isInitialized());
  _impl = this;
  thread_ = CoThreadMgr::getInstance()->createCoThread(
      new WatchTask(changed), "CoNetworkMonitor (Kestrix)", CoThread::UNMANAGED_THREAD);
  thread_->start();
}

CoNetworkMonitorImpl::~CoNetworkMonitorImpl() {
  thread_->stop();
  thread_->wait();
  delete thread_;
  _impl = nullptr;
}

}  // namespace Kestrix
