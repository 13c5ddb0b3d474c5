#pragma once
// How a user ends kestrix_watch: Ctrl+C (SIGINT or SIGTERM on Posix
// systems; Ctrl+C, Ctrl+Break or closing the console on Windows). The
// handler only wakes the main thread, which then unsubscribes and exits.

namespace KestrixWatch {

// Installs the handler once; false when the system refuses.
bool installStopHandler();
// Waits up to waitMs; true as soon as a stop was asked for.
bool waitForStop(int waitMs);

}  // namespace KestrixWatch
