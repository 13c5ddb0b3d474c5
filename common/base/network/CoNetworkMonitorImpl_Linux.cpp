#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

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

// Messages closer together than this are one change: an interface coming
// up sends a message per address and route within a few milliseconds, and
// observers should refresh once for all of them.
constexpr int QUIET_MS = 50;
// A stream that never pauses (a flapping link) is still told this often.
constexpr std::chrono::milliseconds MAX_BURST{1000};

// Routes too, for the default route decides which interface is the
// gateway one.
int openNetlink() {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  const int err = errno;
  ::close(fd);
  errno = err;
  return -1;
}

class WatchTask : public CoTask {
 public:
  explicit WatchTask(CoNetworkMonitorImpl::Callback changed) : changed_(changed) {
    // Opened here, on the starting thread, so no change slips by while the
    // new thread gets going.
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ >= 0) netlink_ = openNetlink();
    if (wake_ < 0 || netlink_ < 0)
      CO_POST_ERROR("Could not register for IP notifications: %s",
                    CoSocketError::lastText().c_str());
  }
  ~WatchTask() override {
    if (netlink_ >= 0) ::close(netlink_);
    if (wake_ >= 0) ::close(wake_);
  }

  void run(CoThread*) override {
    if (netlink_ < 0) return;
    while (waitFor(-1) == MESSAGE && collectBurst()) changed_();
  }

  // The count stays set, so a stop before run() starts still ends it.
  void stop(CoThread*) override {
    const uint64_t one = 1;
    if (wake_ >= 0) (void)!::write(wake_, &one, sizeof one);
  }

 private:
  enum Wait { WOKEN, MESSAGE, QUIET, FAILED };

  Wait waitFor(int timeoutMs) {
    pollfd fds[2] = {{wake_, POLLIN, 0}, {netlink_, POLLIN, 0}};
    int ready;
    while ((ready = ::poll(fds, 2, timeoutMs)) < 0 && errno == EINTR) {
    }
    if (ready < 0) {
      CO_POST_ERROR("Could not wait for network change notification: %s",
                    CoSocketError::lastText().c_str());
      return FAILED;
    }
    if (fds[0].revents) return WOKEN;
    return fds[1].revents ? MESSAGE : QUIET;
  }

  // Reads every pending message; their content does not matter, observers
  // enumerate afresh. An overrun (ENOBUFS) lost messages, which is a
  // change all the same.
  bool drain() {
    char buffer[256];
    for (;;) {
      if (::recv(netlink_, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      if (errno == EINTR || errno == ENOBUFS) continue;
      CO_POST_ERROR("Could not wait for network change notification: %s",
                    CoSocketError::lastText().c_str());
      return false;
    }
  }

  // Drains until QUIET_MS pass without a message; false when stopped or
  // failed meanwhile.
  bool collectBurst() {
    const auto first = std::chrono::steady_clock::now();
    for (;;) {
      if (!drain()) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          first + MAX_BURST - std::chrono::steady_clock::now());
      if (left.count() <= 0) return true;
      const Wait wait = waitFor(std::min<int>(QUIET_MS, static_cast<int>(left.count())));
      if (wait == QUIET) return true;
      if (wait != MESSAGE) return false;
    }
  }

  CoNetworkMonitorImpl::Callback changed_;
  int wake_ = -1;
  int netlink_ = -1;
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
