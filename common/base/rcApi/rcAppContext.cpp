#include "common/base/rcApi/rcAppContext.h"

#include <algorithm>

#include "common/base/loggerBase/qvAssert.h"
#include "common/base/tcp/CoIoDescriptor.h"

namespace Kestrix {

void rcAppContext::registerIOHandler(CoIoHandler* io) {
  QV_ASSERT_FLUSH(io != 0);
  handlers_.push_back({io, nextSerial_++});
}

void rcAppContext::unregisterIOHandler(CoIoHandler* io) {
  auto it = std::find_if(handlers_.begin(), handlers_.end(),
                         [io](const Registration& r) { return r.handler == io; });
  if (it != handlers_.end()) handlers_.erase(it);
}

bool rcAppContext::isRegistered(const Registration& r) const {
  return std::any_of(handlers_.begin(), handlers_.end(), [&r](const Registration& h) {
    return h.handler == r.handler && h.serial == r.serial;
  });
}

void rcAppContext::remove(const Registration& r) {
  auto it = std::find_if(handlers_.begin(), handlers_.end(), [&r](const Registration& h) {
    return h.handler == r.handler && h.serial == r.serial;
  });
  if (it != handlers_.end()) handlers_.erase(it);
}

int rcAppContext::callIOHandlers(unsigned int timeoutInSeconds) {
  QV_ASSERT(timeoutInSeconds != 0);
  const unsigned int capped = std::min(timeoutInSeconds, 2000000u);
  return round(static_cast<int>(capped * 1000));
}

void rcAppContext::run() {
  while (!cancelled_) round(-1);
}

}  // namespace Kestrix
