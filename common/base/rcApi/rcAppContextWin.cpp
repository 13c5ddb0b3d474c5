#include <winsock2.h>

#include <climits>
#include <vector>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/rcApi/rcAppContext.h"
#include "common/base/tcp/CoSocketError.h"

// The system keeps no readiness queue for sockets that a poll could use, so
// every round hands every armed handle to WSAPoll: no handler can starve
// another, whatever their number (select would stop at 64).

namespace Kestrix {
namespace {

SHORT toPoll(int mask) {
  SHORT events = 0;
  if (mask & rcAppContext::EVENT_READ) events |= POLLRDNORM;
  if (mask & rcAppContext::EVENT_WRITE) events |= POLLWRNORM;
  // WSAPoll refuses POLLPRI; out-of-band data is what select called an exception.
  if (mask & rcAppContext::EVENT_EXCEPTION) events |= POLLRDBAND;
  return events;
}

}  // namespace

rcAppContext::rcAppContext() {
  if (!wakeUp_.isOpen())
    CO_POST_ERROR("Cannot create the event loop's wake-up socket: %s", wakeUp_.error().c_str());
}

rcAppContext::~rcAppContext() = default;

int64_t rcAppContext::nowMs() {
  return static_cast<int64_t>(::GetTickCount64());
}

int rcAppContext::callIOHandlers(struct timeval* wait) {
  if (wait == nullptr) return round(-1);
  const long long ms = static_cast<long long>(wait->tv_sec) * 1000 + wait->tv_usec / 1000;
  return round(ms > INT_MAX ? INT_MAX : static_cast<int>(ms < 0 ? 0 : ms));
}

// The armed masks live in the registrations; queueWait reads them there.
bool rcAppContext::queueChange(uint64_t, int, int, int) {
  return true;
}

int rcAppContext::queueWait(int timeoutMs, bool& woken) {
  ready_.clear();
  std::vector<WSAPOLLFD> fds;
  std::vector<uint64_t> serials;
  fds.reserve(bySerial_.size() + 1);
  serials.reserve(bySerial_.size() + 1);
  if (wakeUp_.isOpen()) {
    fds.push_back({static_cast<SOCKET>(wakeUp_.handle()), POLLRDNORM, 0});
    serials.push_back(0);
  }
  for (const auto& [serial, r] : bySerial_) {
    if (r.mask == 0 || r.fd < 0) continue;
    fds.push_back({static_cast<SOCKET>(r.fd), toPoll(r.mask), 0});
    serials.push_back(serial);
  }
  if (fds.empty()) {
    // WSAPoll takes no empty set. Without the wake-up socket only the
    // cancel flag can end the loop, so it is looked at often.
    ::Sleep(timeoutMs < 0 || timeoutMs > 100 ? 100 : static_cast<DWORD>(timeoutMs));
    return 0;
  }
  const int n = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
  if (n == SOCKET_ERROR) {
    CO_POST_ERROR("Cannot wait for the event loop's handles: %s",
                  CoSocketError::lastText().c_str());
    return -1;
  }
  for (size_t i = 0; n > 0 && i < fds.size(); ++i) {
    const SHORT e = fds[i].revents;
    if (e == 0) continue;
    if (serials[i] == 0) {
      woken = true;
      wakeUp_.drain();
      continue;
    }
    int ready = 0;
    if (e & POLLRDNORM) ready |= EVENT_READ;
    if (e & POLLWRNORM) ready |= EVENT_WRITE;
    if (e & POLLRDBAND) ready |= EVENT_EXCEPTION;
    if (e & (POLLERR | POLLNVAL)) ready |= READY_ERROR;
    if (e & POLLHUP) ready |= READY_HANGUP;
    ready_.push_back({serials[i], ready});
  }
  return static_cast<int>(ready_.size());
}

}  // namespace Kestrix
