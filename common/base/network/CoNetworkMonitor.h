#pragma once
// Watches the host for changes of its interfaces and addresses and tells
// every registered observer, on the watcher's own thread
// ("CoNetworkMonitor (Kestrix)"). The first CoNetwork::init starts the
// watcher and the last CoNetwork::uninit stops it; stopping never waits
// out a time-out. A burst of changes (an interface coming up with many
// addresses) is told once, and a change is never lost: when the system
// drops change messages, observers are told all the same.

namespace Kestrix {

class CoNetworkMonitor {
 public:
  // Observers are told in registration order, under the monitor's mutex,
  // so once stopObserving() has returned no call is under way or to come.
  class Observer {
   public:
    Observer() = default;
    virtual ~Observer();
    Observer(const Observer&) = delete;
    Observer& operator=(const Observer&) = delete;
    virtual void networkChanged() = 0;

   protected:
    // The most derived class calls these at the end of its constructor and
    // first in its destructor: the watcher thread must never call an object
    // whose virtual table is still being set up or torn down.
    void startObserving();
    void stopObserving();
  };

  // The hooks CoNetwork::init and uninit call; start when running and stop
  // when stopped do nothing.
  static void start();
  static void stop();
  static bool isRunning();

  // Posts "Network topology changed" (debug) and tells every observer.
  static void changed();
};

}  // namespace Kestrix
