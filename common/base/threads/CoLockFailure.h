#pragma once
// What the lock classes do when the system refuses a lock operation: print
// the text straight to the console (the message router may itself be the
// one waiting on the lock) and stop the process.

namespace Kestrix {
namespace CoLockFailure {

[[noreturn]] void fatal(const char* format, int code);

}  // namespace CoLockFailure
}  // namespace Kestrix
