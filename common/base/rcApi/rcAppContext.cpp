#include "common/base/rcApi/rcAppContext.h"

#include <algorithm>

#include "common/base/loggerBase/qvAssert.h"
#include "common/base/tcp/CoIoDescriptor.h"

namespace Kestrix {
namespace {

// A handle closed behind the loop's back leaves the queue silently; a
// sweep this often finds such handlers without a scan in every round.
constexpr int64_t SWEEP_INTERVAL_MS = 1000;

}  // namespace

void rcAppContext::registerIOHandler(CoIoHandler* io) {
  QV_ASSERT_FLUSH(io != 0);
  if (byHandler_.count(io) != 0) return;
  const uint64_t serial = nextSerial_++;
  Registration& r = bySerial_[serial];
  r = {io, -1, 0};
  byHandler_[io] = serial;
  if (!sync(serial, r)) invalid_.push_back(serial);
}

void rcAppContext::unregisterIOHandler(CoIoHandler* io) {
  auto it = byHandler_.find(io);
  if (it != byHandler_.end()) remove(it->second);
}

void rcAppContext::updateIOHandler(CoIoHandler* io) {
  auto it = byHandler_.find(io);
  if (it == byHandler_.end()) return;
  if (!sync(it->second, bySerial_[it->second])) invalid_.push_back(it->second);
}

bool rcAppContext::sync(uint64_t serial, Registration& r) {
  const int fd = r.handler->descriptor()->id();
  const int mask =
      fd < 0 ? 0 : r.handler->handlerType() & (EVENT_READ | EVENT_WRITE | EVENT_EXCEPTION);
  if (fd != r.fd) {
    // The old handle, if still open, must not keep waking this handler.
    if (r.mask != 0 && r.fd >= 0) queueChange(serial, r.fd, r.mask, 0);
    r.fd = fd;
    r.mask = 0;
  }
  if (fd < 0) return false;
  if (mask != r.mask && queueChange(serial, fd, r.mask, mask)) r.mask = mask;
  return true;
}

void rcAppContext::remove(uint64_t serial) {
  auto it = bySerial_.find(serial);
  if (it == bySerial_.end()) return;
  Registration& r = it->second;
  // A handle closed since it was armed has left the queue by itself, and its
  // number may belong to another handler by now.
  if (r.mask != 0 && r.handler->descriptor()->id() == r.fd) queueChange(serial, r.fd, r.mask, 0);
  byHandler_.erase(r.handler);
  bySerial_.erase(it);
}

void rcAppContext::dropInvalid(uint64_t serial) {
  auto it = bySerial_.find(serial);
  if (it == bySerial_.end()) return;
  it->second.handler->handleException();
  remove(serial);
}

void rcAppContext::dropInvalidHandlers() {
  std::vector<uint64_t> invalid;
  invalid.swap(invalid_);
  const int64_t now = nowMs();
  if (now - lastSweepMs_ >= SWEEP_INTERVAL_MS) {
    lastSweepMs_ = now;
    for (auto& [serial, r] : bySerial_)
      if (r.handler->descriptor()->id() != r.fd && !sync(serial, r)) invalid.push_back(serial);
  }
  for (uint64_t serial : invalid) dropInvalid(serial);
}

void rcAppContext::serve(const Ready& ready) {
  auto it = bySerial_.find(ready.serial);
  if (it == bySerial_.end()) return;  // dropped by an earlier callback of this round
  CoIoHandler* handler = it->second.handler;
  const int mask = it->second.mask;
  const int events = ready.events;
  if (handler->descriptor()->id() != it->second.fd) {
    if (!sync(ready.serial, it->second)) dropInvalid(ready.serial);
    return;
  }
  bool keep = true;
  if ((mask & EVENT_READ) && (events & (EVENT_READ | READY_ERROR | READY_HANGUP))) {
    keep = handler->handleRead();
  } else if ((mask & EVENT_WRITE) && (events & (EVENT_WRITE | READY_ERROR))) {
    keep = handler->handleWrite();
  } else if (events & (EVENT_EXCEPTION | READY_ERROR | READY_HANGUP)) {
    handler->handleException();
    keep = false;
  }
  if (!keep) {
    remove(ready.serial);
    return;
  }
  // A callback may have changed its handler's mask or handle.
  it = bySerial_.find(ready.serial);
  if (it != bySerial_.end() && !sync(ready.serial, it->second)) dropInvalid(ready.serial);
}

int rcAppContext::round(int timeoutMs) {
  const int64_t deadline = timeoutMs < 0 ? -1 : nowMs() + timeoutMs;
  for (;;) {
    if (cancelled_) return 0;
    dropInvalidHandlers();
    int wait = deadline < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, deadline - nowMs()));
    const int timer = timerWaitMs();
    const bool capped = timer >= 0 && (wait < 0 || timer < wait);
    if (capped) wait = timer;
    bool woken = false;
    const int result = queueWait(wait, woken);
    if (result < 0 || cancelled_) return result < 0 ? -1 : 0;
    // Last to first.
    std::sort(ready_.begin(), ready_.end(),
              [](const Ready& a, const Ready& b) { return a.serial > b.serial; });
    for (const Ready& ready : ready_) serve(ready);
    onTimers();
    if (result > 0 || woken || !capped) return result;
    if (deadline >= 0 && nowMs() >= deadline) return 0;
  }
}

int rcAppContext::callIOHandlers(unsigned int timeoutInSeconds) {
  QV_ASSERT(timeoutInSeconds != 0);
  const unsigned int capped = std::min(timeoutInSeconds, 2000000u);
  return round(static_cast<int>(capped * 1000));
}

void rcAppContext::cancel() {
  cancelled_ = true;
  wakeUp();
}

void rcAppContext::wakeUp() {
  // Nothing else can fail here.
  wakeUp_.signal();
}

void rcAppContext::resetCancel() {
  wakeUp_.drain();
  cancelled_ = false;
}

void rcAppContext::run() {
  while (!cancelled_) round(-1);
}

}  // namespace Kestrix
