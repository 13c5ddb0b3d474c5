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
  // Registers itself on construction and unregisters on destruction;
  // observers are told in registration order, under the monitor's mutex,
  // so a destructor that returns is never called back afterwards.
  class Observer {
   public:
    Observer();
    virtual ~Observer();
    Observer(const Observer&) = delete;
    Observer& operator=(const Observer&) = delete;
    virtual void networkChanged() = 0;
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
