#include <fcntl.h>
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
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    CO_POST_ERROR("Cannot create the event loop's wake-up pipe: %s", std::strerror(errno));
    return;
  }
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
  epoll_event event = {};
  event.events = EPOLLIN;
  event.data.u64 = WAKE_KEY;
  ::epoll_ctl(queue_, EPOLL_CTL_ADD, wakeRead_, &event);
  ready_.reserve(MAX_EVENTS);
}

rcAppContext::~rcAppContext() {
  if (wakeRead_ >= 0) ::close(wakeRead_);
  if (wakeWrite_ >= 0) ::close(wakeWrite_);
  if (queue_ >= 0) ::close(queue_);
}

void rcAppContext::cancel() {
  cancelled_ = true;
  wakeUp();
}

void rcAppContext::wakeUp() {
  if (wakeWrite_ >= 0) {
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing else can fail here.
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &byte, 1);
  }
}

void rcAppContext::resetCancel() {
  drainWakeUp();
  cancelled_ = false;
}

void rcAppContext::drainWakeUp() {
  char buffer[64];
  while (wakeRead_ >= 0 && ::read(wakeRead_, buffer, sizeof buffer) > 0) {
  }
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
      drainWakeUp();
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
