#pragma once
// The client's receiving end of server callbacks. One process-wide server
// context on a port the system picks serves "NodeEvent" calls; each
// connected server handle has a Connection that keeps its subscriptions
// (sent to the server as "RegisterEvents"), queues arriving events and
// hands them to the application's handlers.
//
// An arriving event never waits for a Connection's subscriptions lock: it
// is queued, and whoever holds the lock delivers it at release. So a
// handler that blocks, or an application thread that holds the lock while
// it waits for the server, cannot stall the monitor thread.

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/base/loggerBase/CoLastErrLogger.h"
#include "common/base/rcApi/rcServerContext.h"
#include "common/base/threads/CoMutex.h"
#include "kestrix/client/api/KestrixClientConnection.h"
#include "kestrix/client/api/KestrixNodeEvent.h"

class KestrixBaseClientAPI;

namespace Kestrix {
class CoThread;
}

// What a subscription is for: ordered by node id, then format, then
// metadata.
struct KestrixEventSubject {
  KestrixNodeId nodeId;
  std::string format;
  std::string metadata;

  bool operator<(const KestrixEventSubject& other) const;
};

class KestrixEventMonitor : public Kestrix::rcServerContext {
 public:
  class Connection;

  // Made on first use; lives until the process exits.
  static KestrixEventMonitor& instance();
  ~KestrixEventMonitor() override;

  // Runs the thread "Kestrix Event Monitor" unless it runs already.
  void start();
  // Stops the thread at once (its wait is woken) and waits for it.
  void stop();
  bool isRunning() const { return thread_ != nullptr; }

  // For tests: whether QV_DEBUG_KESTRIX_EVENTS was set at start-up.
  static bool debugOn();

 private:
  KestrixEventMonitor();
  static bool nodeEvent(void* object, const Kestrix::rcMethod& method,
                        const Kestrix::rcParam::Array& args, Kestrix::rcParam& result);
  void run();
  void add(Connection* connection);
  void remove(Connection* connection);

  std::list<Connection*> connections_;
  Kestrix::CoMutex connectionsLock_;
  std::atomic<bool> stop_{false};
  Kestrix::CoThread* thread_ = nullptr;
};

class KestrixEventMonitor::Connection : public Kestrix::CoLastErrLogger {
 public:
  // Waits this long for the server's answer to a subscription request.
  static constexpr unsigned int REQUEST_TIMEOUT_MS = 5000;

  // Registers with the monitor and with api's connection, whose every
  // (re)connection sends the subscriptions again.
  explicit Connection(KestrixBaseClientAPI* api);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  // Tells the server to forget this connection's subscriptions.
  ~Connection() override;

  uint32_t getId() const { return id_; }
  // format and metadata may be null (empty).
  bool registerEventHandler(const KestrixNodeId& nodeId, KestrixNodeEvent::Handler* handler,
                            const char* format, const char* metadata);
  bool unregisterEventHandler(const KestrixNodeId& nodeId, KestrixNodeEvent::Handler* handler);
  // An event from the server; any thread.
  void receive(KestrixNodeEvent event);
  size_t subjectCount() const;

 private:
  class Resubscriber;
  // Holds the subscriptions lock; its release delivers what arrived
  // meanwhile (and sends the subscriptions again if a reconnection found
  // the lock taken).
  class Guard;

  // Posts what is being done when debugging; false for a null handler.
  bool acceptHandler(const char* doing, const KestrixNodeId& nodeId,
                     const KestrixNodeEvent::Handler* handler);
  bool sendRegister(const KestrixEventSubject& subject);
  bool sendUnregister(const KestrixNodeId& nodeId);
  bool send(const char* method, const std::string& stream, bool awaitReply = true);
  void resubscribe();
  void registerAll();
  void dispatch();
  void release();

  KestrixBaseClientAPI* api_;
  uint32_t id_;
  std::map<KestrixEventSubject, std::vector<KestrixNodeEvent::Handler*>> subscriptions_;
  mutable Kestrix::CoMutex subscriptionsLock_;
  int lockDepth_ = 0;  // changed under subscriptionsLock_
  std::list<KestrixNodeEvent> pending_;
  mutable Kestrix::CoMutex pendingLock_;
  std::atomic<bool> registerAllPending_{false};
  std::atomic<bool> resubscribing_{false};
  std::unique_ptr<Resubscriber> callback_;
};
