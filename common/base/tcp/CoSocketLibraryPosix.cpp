#include "common/base/tcp/CoSocketLibrary.h"

namespace Kestrix {
namespace CoSocketLibrary {

// Sockets need no start-up here; the callers keep their counts all the same
// so that every start has its stop on every system.
bool start() {
  return true;
}
bool stop() {
  return true;
}

const bool NEEDED_TO_RESOLVE = false;

}  // namespace CoSocketLibrary
}  // namespace Kestrix
