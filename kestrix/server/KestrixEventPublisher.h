#pragma once
// kestrixd's node events: who subscribed to which node ("RegisterEvents":
// the monitor port on the client's host and the client's connection id),
// and the "NodeEvent" calls that tell them of a change.
//
// The server's loop only queues calls (publish); it never waits for a
// client. Workers deliver them, one per monitor endpoint (address, port), in
// order, over a connection each keeps while there is work, so a slow or
// dead monitor holds up nobody else. A monitor that refuses the
// connection, or does not connect, log in and answer within
// CALL_BUDGET_MS, loses every subscription at its endpoint; one that
// answers a call with an error (its connection is gone) loses that
// connection's. At most MAX_WORKERS run at once (further endpoints wait for
// one) and an endpoint holds at most MAX_QUEUED calls (more drop it), so a
// flood of subscribers cannot exhaust the server. Every drop is posted as a
// notice. Destruction breaks off the calls in progress and joins the
// workers without waiting out a time-out.

#include <compare>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>

namespace Kestrix {

class rcAPI;

class KestrixEventPublisher {
 public:
  static constexpr unsigned CALL_BUDGET_MS = 5000;
  // A monitor on a reachable host accepts at once; and a connect cannot be
  // broken off, so this also bounds how long one holds up kestrixd's exit.
  static constexpr int CONNECT_TIMEOUT_SECONDS = 1;
  static constexpr size_t MAX_WORKERS = 64;
  static constexpr size_t MAX_QUEUED = 1000;
  static constexpr size_t MAX_SUBSCRIPTIONS = 100000;
  // How long an idle worker keeps its connection for the next event.
  static constexpr unsigned IDLE_MS = 30000;

  struct Subscription {
    std::string address;  // of the subscribing connection's peer
    int port = 0;         // of the client's monitor
    int connection = 0;   // the client's connection id: the object called
    std::string subject;  // node id text
    std::string format;
    std::string metadata;
    auto operator<=>(const Subscription&) const = default;
  };

  KestrixEventPublisher() = default;
  KestrixEventPublisher(const KestrixEventPublisher&) = delete;
  KestrixEventPublisher& operator=(const KestrixEventPublisher&) = delete;
  ~KestrixEventPublisher();

  // False when MAX_SUBSCRIPTIONS are taken.
  bool subscribe(const Subscription& subscription);
  // An empty subject removes every subject of (address, port, connection).
  void unsubscribe(const std::string& address, int port, int connection,
                   const std::string& subject);
  size_t subscriptionCount() const;
  // Queues one "NodeEvent" for each subscriber (address, port, connection)
  // of nodeId, however many formats it subscribed with.
  void publish(const std::string& nodeId, const std::string& type, const std::string& details);

 private:
  using Endpoint = std::pair<std::string, int>;
  struct Call {
    int connection;
    std::string params;
  };
  struct Channel;
  struct Worker {
    std::thread thread;
    std::shared_ptr<Channel> channel;  // the one it serves now
    bool done = false;
  };

  void startWorkers();
  void work(Worker& worker);
  std::shared_ptr<Channel> waitingChannel() const;
  void release(const std::shared_ptr<Channel>& channel);
  bool deliver(Channel& channel, const Call& call, std::string& error, bool& endpointFailed);
  // Removes the subscriptions of the endpoint (of every connection when
  // none is given) with a notice for each subscriber, and their queued calls.
  void drop(const Endpoint& endpoint, std::optional<int> connection, const std::string& reason);
  void reapWorkers();

  mutable std::mutex mutex_;
  std::condition_variable wake_;      // work queued, or stopping
  std::condition_variable finished_;  // a worker ended
  std::set<Subscription> subscriptions_;
  std::map<Endpoint, std::shared_ptr<Channel>> channels_;
  std::list<Worker> workers_;
  size_t running_ = 0;
  bool stopping_ = false;
};

}  // namespace Kestrix
