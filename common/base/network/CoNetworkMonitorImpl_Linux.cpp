// CoNetworkMonitorImpl's watch (CoNetworkWatch) on Linux: route netlink
// messages, woken through an event counter.

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/network/CoNetworkWatch.h"
#include "common/base/tcp/CoSocketError.h"

namespace Kestrix {
namespace {

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

}  // namespace

struct CoNetworkWatch::State {
  int wake = -1;
  int netlink = -1;
};

CoNetworkWatch::CoNetworkWatch() : state_(new State) {
  state_->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (state_->wake >= 0) state_->netlink = openNetlink();
  if (state_->wake < 0 || state_->netlink < 0)
    CO_POST_ERROR("Could not register for IP notifications: %s", CoSocketError::lastText().c_str());
}

CoNetworkWatch::~CoNetworkWatch() {
  if (state_->netlink >= 0) ::close(state_->netlink);
  if (state_->wake >= 0) ::close(state_->wake);
}

bool CoNetworkWatch::isOpen() const {
  return state_->netlink >= 0;
}

CoNetworkWatch::Wait CoNetworkWatch::waitFor(int timeoutMs) {
  pollfd fds[2] = {{state_->wake, POLLIN, 0}, {state_->netlink, POLLIN, 0}};
  int ready;
  while ((ready = ::poll(fds, 2, timeoutMs)) < 0 && errno == EINTR) {
  }
  if (ready < 0) {
    CO_POST_ERROR("Could not wait for network change notification: %s",
                  CoSocketError::lastText().c_str());
    return FAILED;
  }
  if (fds[0].revents) return WOKEN;
  return fds[1].revents ? CHANGE : QUIET;
}

// An overrun (ENOBUFS) lost messages, which is a change all the same.
bool CoNetworkWatch::drain() {
  char buffer[256];
  for (;;) {
    if (::recv(state_->netlink, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    if (errno == EINTR || errno == ENOBUFS) continue;
    CO_POST_ERROR("Could not wait for network change notification: %s",
                  CoSocketError::lastText().c_str());
    return false;
  }
}

// The count stays set.
void CoNetworkWatch::wake() {
  const uint64_t one = 1;
  if (state_->wake >= 0) (void)!::write(state_->wake, &one, sizeof one);
}

}  // namespace Kestrix
