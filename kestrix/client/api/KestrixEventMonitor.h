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
// it waits for the server, cannot stall the monitor thread. No other
// library lock is held while a handler runs: the monitor keeps a
// connection alive across a delivery by counting it in use.
//
// The monitor serves only the servers this process subscribed with: a
// peer must have an address of a server that has an event connection
// here (a loopback peer counts when such a server is on this host), and
// must log in, proving the shared secret of KESTRIX_SECRET_FILE when there
// is one. Its limits are those of a receiver of a few short calls.
//
// Subscriptions are sent again every RENEW_SECONDS, so that a server that
// dropped this client's subscriptions (it restarted on the same
// connection's address, or gave up on a slow monitor) sends events again.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
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

  // A server calls back with a few short lines: these bound what a peer
  // that is not one can cost.
  static constexpr uint64_t MAX_LINE_BYTES = 64 * 1024;
  static constexpr unsigned MAX_CLIENTS = 64;
  static constexpr unsigned IDLE_TIMEOUT_MS = 30000;
  static constexpr unsigned RENEW_SECONDS = 60;

  // Made on first use; lives until the process exits.
  static KestrixEventMonitor& instance();
  ~KestrixEventMonitor() override;

  // Runs the threads "Kestrix Event Monitor" and "Kestrix Event Renewal"
  // unless they run already; reads KESTRIX_SECRET_FILE.
  void start();
  // Stops the threads at once (their waits are woken) and waits for them.
  void stop();
  bool isRunning() const { return thread_ != nullptr; }

  bool allowPeer(const std::string& address) override;
  bool login(const Kestrix::rcConnectionInfo& info) override;

  // For tests: whether QV_DEBUG_KESTRIX_EVENTS was set at start-up.
  static bool debugOn();
  // For tests: sends every connection's subscriptions again now.
  void renewNow();

 private:
  KestrixEventMonitor();
  static bool nodeEvent(void* object, const Kestrix::rcMethod& method,
                        const Kestrix::rcParam::Array& args, Kestrix::rcParam& result);
  void run();
  void renewLoop();
  void renewAll();
  void add(Connection* connection);
  // Unlinks the connection and waits until no delivery uses it.
  void remove(Connection* connection);
  // The connection of that object, counted in use; null when it is gone.
  Connection* acquire(void* object);
  void releaseUse(Connection* connection);

  std::list<Connection*> connections_;
  Kestrix::CoMutex connectionsLock_;
  std::atomic<bool> stop_{false};
  Kestrix::CoThread* thread_ = nullptr;
  Kestrix::CoThread* renewer_ = nullptr;
  // Guards the use counts of the connections and the renewal's wait.
  std::mutex useMutex_;
  std::condition_variable useChanged_;
  bool renewStop_ = false;
  std::atomic<bool> refuseAll_{false};
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
  // Tells the server to forget this connection's subscriptions. Must not
  // run in one of this connection's handlers.
  ~Connection() override;

  uint32_t getId() const { return id_; }
  // format and metadata may be null (empty). Any thread, a handler's
  // included; the failure's text is then in errorText().
  bool registerEventHandler(const KestrixNodeId& nodeId, KestrixNodeEvent::Handler* handler,
                            const char* format, const char* metadata);
  // The node is withdrawn from the server before it is forgotten here: when
  // the withdrawal fails the result is false, no event reaches the handler,
  // and the withdrawal is tried again at the next renewal or reconnection.
  bool unregisterEventHandler(const KestrixNodeId& nodeId, KestrixNodeEvent::Handler* handler);
  // The text of the last failure, copied: operations may run on several threads.
  std::string errorText() const;
  // An event from the server; any thread.
  void receive(KestrixNodeEvent event);
  // Subjects known here, those whose withdrawal is still to be sent included.
  size_t subjectCount() const;
  // Sends every subscription again, without holding the subscriptions
  // lock; a node whose withdrawal failed is withdrawn, under it, as
  // unregistering does.
  void renew();
  // Whether the server whose connection this is may call from address.
  bool isServerAddress(const std::string& address, bool loopback) const;

 private:
  friend class KestrixEventMonitor;
  class Resubscriber;
  // Holds the subscriptions lock; its release delivers what arrived
  // meanwhile (and sends the subscriptions again if a reconnection found
  // the lock taken).
  class Guard;

  // Posts what is being done when debugging; false for a null handler.
  bool acceptHandler(const char* doing, const KestrixNodeId& nodeId,
                     const KestrixNodeEvent::Handler* handler);
  bool sendRegister(const KestrixEventSubject& subject, std::string& error);
  bool sendUnregister(const KestrixNodeId& nodeId, std::string& error);
  bool send(const char* method, const std::string& stream, bool awaitReply, std::string& error);
  void fail(const std::string& text);
  // Learns the addresses the server may call back from.
  void notePeers(KestrixClientConnection& connection);
  void resubscribe();
  void registerAll();
  // Withdraws the nodes whose subjects are all left without a handler;
  // subscriptions lock held.
  bool withdrawEmpty(const KestrixNodeId* only, std::string& error);
  void dispatch();
  void deliver(const KestrixNodeEvent& event);
  void release() noexcept;

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
  mutable std::mutex errorMutex_;
  mutable std::mutex peersMutex_;
  std::vector<std::string> peers_;
  bool onThisHost_ = false;
  int users_ = 0;  // deliveries in progress, under the monitor's useMutex_
};
