#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "kestrix/tools/watch/WatchStop.h"

namespace KestrixWatch {
namespace {

int gWakeUp[2] = {-1, -1};

void onSignal(int) {
  const int saved = errno;
  const char byte = 1;
  if (::write(gWakeUp[1], &byte, 1) < 0) {
  }
  errno = saved;
}

}  // namespace

bool installStopHandler() {
  if (::pipe2(gWakeUp, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

bool waitForStop(int waitMs) {
  pollfd wake = {gWakeUp[0], POLLIN, 0};
  return ::poll(&wake, 1, waitMs) > 0;
}

}  // namespace KestrixWatch
