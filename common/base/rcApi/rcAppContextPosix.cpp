#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/rcApi/rcAppContext.h"
#include "common/base/tcp/CoIoDescriptor.h"

namespace Kestrix {

rcAppContext::rcAppContext() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
  } else {
    CO_POST_ERROR("Cannot create the event loop's wake-up pipe: errno %d", errno);
  }
}

rcAppContext::~rcAppContext() {
  if (wakeRead_ >= 0) ::close(wakeRead_);
  if (wakeWrite_ >= 0) ::close(wakeWrite_);
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

int rcAppContext::callIOHandlers(struct timeval* wait) {
  if (wait == nullptr) return round(-1);
  const long long ms = static_cast<long long>(wait->tv_sec) * 1000 + wait->tv_usec / 1000;
  return round(ms > INT_MAX ? INT_MAX : static_cast<int>(ms < 0 ? 0 : ms));
}

int rcAppContext::round(int timeoutMs) {
  if (cancelled_) return 0;
  struct Entry {
    Registration registration;
    int slot;  // index in fds, -1 when its handle waits in no set
  };
  std::vector<struct pollfd> fds;
  std::vector<Entry> entries;
  fds.reserve(handlers_.size() + 1);
  entries.reserve(handlers_.size());
  int inRead = 0, inWrite = 0, inException = 0;

  const std::vector<Registration> snapshot = handlers_;
  for (const Registration& r : snapshot) {
    if (!isRegistered(r)) continue;
    const int fd = r.handler->descriptor()->id();
    if (fd < 0) {
      r.handler->handleException();
      remove(r);
      continue;
    }
    const int mask = r.handler->handlerType();
    short events = 0;
    if ((mask & EVENT_READ) && inRead < MAX_HANDLES_PER_SET) {
      events |= POLLIN;
      ++inRead;
    }
    if ((mask & EVENT_WRITE) && inWrite < MAX_HANDLES_PER_SET) {
      events |= POLLOUT;
      ++inWrite;
    }
    if ((mask & EVENT_EXCEPTION) && inException < MAX_HANDLES_PER_SET) {
      events |= POLLPRI;
      ++inException;
    }
    int slot = -1;
    if (events != 0) {
      slot = static_cast<int>(fds.size());
      fds.push_back({fd, events, 0});
    }
    entries.push_back({r, slot});
  }
  const size_t wakeSlot = fds.size();
  if (wakeRead_ >= 0) fds.push_back({wakeRead_, POLLIN, 0});

  int result;
  do {
    result = ::poll(fds.data(), fds.size(), timeoutMs);
  } while (result < 0 && errno == EINTR && !cancelled_);
  if (result < 1) return result < 0 && errno == EINTR ? 0 : result;
  if (wakeRead_ >= 0 && fds[wakeSlot].revents != 0) {
    --result;
    if (cancelled_) return 0;
    drainWakeUp();
  }

  // Last to first; a handler dropped (and perhaps deleted) by an earlier
  // callback of this round is skipped.
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (it->slot < 0 || !isRegistered(it->registration)) continue;
    CoIoHandler* handler = it->registration.handler;
    const short revents = fds[static_cast<size_t>(it->slot)].revents;
    const short asked = fds[static_cast<size_t>(it->slot)].events;
    if (revents == 0) continue;
    if (revents & POLLNVAL || handler->descriptor()->id() < 0) {
      handler->handleException();
      remove(it->registration);
    } else if ((asked & POLLIN) && (revents & (POLLIN | POLLHUP | POLLERR))) {
      if (!handler->handleRead()) remove(it->registration);
    } else if ((asked & POLLOUT) && (revents & (POLLOUT | POLLERR))) {
      if (!handler->handleWrite()) remove(it->registration);
    } else if (revents & (POLLPRI | POLLERR | POLLHUP)) {
      handler->handleException();
      remove(it->registration);
    }
  }
  return result;
}

}  // namespace Kestrix
