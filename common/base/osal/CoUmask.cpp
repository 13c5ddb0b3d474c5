#include "common/base/osal/CoUmask.h"

#include <sys/stat.h>

#include <atomic>

namespace Kestrix {
namespace {

uint32_t readMask() {
  const mode_t old = ::umask(0);
  if (old != 0) ::umask(old);
  return static_cast<uint32_t>(old);
}

std::atomic<uint32_t> gRecorded{readMask()};

}  // namespace

uint32_t CoUmask::getCurrent() { return readMask(); }

uint32_t CoUmask::setCurrent(uint32_t mask) {
  const uint32_t old = static_cast<uint32_t>(::umask(static_cast<mode_t>(mask)));
  gRecorded = mask;
  return old;
}

uint32_t CoUmask::getInitial() { return gRecorded; }

CoUmask::CoUmask() : previous_(readMask()), mask_(previous_), restore_(false) {}

CoUmask::CoUmask(uint32_t mask) : previous_(setCurrent(mask)), mask_(mask), restore_(true) {}

CoUmask::~CoUmask() {
  if (restore_) setCurrent(previous_);
}

}  // namespace Kestrix
