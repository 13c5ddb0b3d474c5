#include <sys/epoll.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/rcApi/rcAppContext.h"

namespace Kestrix {
namespace {

// The wake-up pipe's key in the queue; handler serials start at 1.
constexpr uint64_t WAKE_KEY = 0;
// Ready handles taken per wait; more stay ready for the next round.
constexpr int MAX_EVENTS = 256;

uint32_t toEpoll(int mask) {
  uint32_t events = 0;
  if (mask & rcAppContext::EVENT_READ) events |= EPOLLIN;
  if (mask & rcAppContext::EVENT_WRITE) events |= EPOLLOUT;
  if (mask & rcAppContext::EVENT_EXCEPTION) events |= EPOLLPRI;
  return events;
}

}  // namespace

rcAppContext::rcAppContext() {
  queue_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (queue_ < 0) {
    CO_POST_ERROR("Cannot create the event loop's queue: %s", std::strerror(errno));
    return;
  }
  if (!wakeUp_.isOpen()) {
    CO_POST_ERROR("Cannot create the event loop's wake-up pipe: %s", wakeUp_.error().c_str());
    return;
  }
  epoll_event event = {};
  event.events = EPOLLIN;
  event.data.u64 = WAKE_KEY;
  ::epoll_ctl(queue_, EPOLL_CTL_ADD, wakeUp_.handle(), &event);
  ready_.reserve(MAX_EVENTS);
}

rcAppContext::~rcAppContext() {
  if (queue_ >= 0) ::close(queue_);
}

int64_t rcAppContext::nowMs() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

int rcAppContext::callIOHandlers(struct timeval* wait) {
  if (wait == nullptr) return round(-1);
  const long long ms = static_cast<long long>(wait->tv_sec) * 1000 + wait->tv_usec / 1000;
  return round(ms > INT_MAX ? INT_MAX : static_cast<int>(ms < 0 ? 0 : ms));
}

bool rcAppContext::queueChange(uint64_t serial, int fd, int oldMask, int newMask) {
  epoll_event event = {};
  event.events = toEpoll(newMask);
  event.data.u64 = serial;
  const int op = oldMask == 0 ? EPOLL_CTL_ADD : newMask == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
  if (::epoll_ctl(queue_, op, fd, &event) == 0) return true;
  CO_POST_ERROR("Cannot watch handle %d: %s", fd, std::strerror(errno));
  return false;
}

int rcAppContext::queueWait(int timeoutMs, bool& woken) {
  ready_.clear();
  epoll_event events[MAX_EVENTS];
  int n;
  do {
    n = ::epoll_wait(queue_, events, MAX_EVENTS, timeoutMs);
  } while (n < 0 && errno == EINTR && !cancelled_);
  if (n < 0) return errno == EINTR ? 0 : -1;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == WAKE_KEY) {
      woken = true;
      wakeUp_.drain();
      continue;
    }
    const uint32_t e = events[i].events;
    int ready = 0;
    if (e & EPOLLIN) ready |= EVENT_READ;
    if (e & EPOLLOUT) ready |= EVENT_WRITE;
    if (e & EPOLLPRI) ready |= EVENT_EXCEPTION;
    if (e & EPOLLERR) ready |= READY_ERROR;
    if (e & EPOLLHUP) ready |= READY_HANGUP;
    ready_.push_back({events[i].data.u64, ready});
  }
  return static_cast<int>(ready_.size());
}

}  // namespace Kestrix
