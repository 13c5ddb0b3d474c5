#pragma once
// kestrixd's node events: who subscribed to which node ("RegisterEvents":
// the monitor port on the client's host and the client's connection id),
// and the "NodeEvent" calls that tell them of a change.
//
// The server's loop only queues calls (publish); it never waits for a
// client. Workers deliver them, one per monitor endpoint (address, port), in
// order, over a connection each keeps while there is work, so a slow or
// dead monitor holds up nobody else. A subscriber is dropped only when its
// monitor turns the call away (nothing listens at its port, or the login is
// refused): every subscription at the endpoint goes; when it answers
// "Invalid Object" (its connection is gone): that connection's go; or when
// the endpoint has not answered for UNREACHABLE_MS. A call that is not
// answered within its budget (FIRST_CALL_BUDGET_MS until the endpoint has
// once answered, CALL_BUDGET_MS after) frees its worker and is tried again
// RETRY_MS later (the owner's loop drives the retries: timerWaitMs,
// onTimers), on the kept connection first, whose late reply counts: a
// monitor that was only stopped for a while hears the event once. An
// endpoint's queue holds at most one waiting call per subscriber and node,
// the latest. At most MAX_WORKERS run at once, at most PEER_WORKERS of
// them for the endpoints of one peer address, and endpoints waiting for a
// worker are served in turn across peer addresses: one peer's dead
// endpoints hold a few workers, not another peer's events. One peer
// address holds at most the subscriptions the server allows it, so a flood
// of subscribers cannot exhaust the server. A drop is posted once, as a
// notice, at a bounded rate per peer. With a secret, the calls' logins
// prove it. Destruction breaks off the calls in progress and joins the
// workers without waiting out a time-out.

#include <chrono>
#include <compare>
#include <condition_variable>
#include <deque>
#include <functional>
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
  // A monitor that has never answered gets no more than a dead one costs
  // the peers waiting behind it.
  static constexpr unsigned FIRST_CALL_BUDGET_MS = 1000;
  // A monitor on a reachable host accepts at once; and a connect cannot be
  // broken off, so this also bounds how long one holds up kestrixd's exit.
  static constexpr int CONNECT_TIMEOUT_SECONDS = 1;
  static constexpr size_t MAX_WORKERS = 64;
  // Enough for a host's few live monitors to be called side by side; few
  // enough that one peer's dead endpoints leave the other workers free.
  static constexpr size_t PEER_WORKERS = 4;
  // A monitor stopped for a while (a debugger, a suspended job, a loaded
  // host) is waited for this long before its subscriptions go.
  static constexpr unsigned UNREACHABLE_MS = 60000;
  static constexpr unsigned RETRY_MS = 1000;
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
  enum class Subscribed { YES, SERVER_FULL, PEER_FULL };

  // wake, when given, makes the owner's loop ask timerWaitMs() again.
  explicit KestrixEventPublisher(std::function<void()> wake = {}) : wakeOwner_(std::move(wake)) {}
  KestrixEventPublisher(const KestrixEventPublisher&) = delete;
  KestrixEventPublisher& operator=(const KestrixEventPublisher&) = delete;
  ~KestrixEventPublisher();

  // Refused when MAX_SUBSCRIPTIONS are taken, or maxPerPeer by the
  // subscription's address; one already held is always kept.
  Subscribed subscribe(const Subscription& subscription, size_t maxPerPeer);
  // An empty subject removes every subject of (address, port, connection).
  void unsubscribe(const std::string& address, int port, int connection,
                   const std::string& subject);
  size_t subscriptionCount() const;
  // Queues one "NodeEvent" for each subscriber (address, port, connection)
  // of nodeId, however many formats it subscribed with.
  void publish(const std::string& nodeId, const std::string& type, const std::string& details);
  // The secret the calls' logins prove; empty: none.
  void setSecret(const std::string& secret);
  // Milliseconds until a retry is due, -1 when none waits; onTimers starts
  // the retries that are due.
  int timerWaitMs() const;
  void onTimers();

  // The peer an address belongs to, whose subscriptions and workers are
  // bounded together: the address, or an IPv6 address's /64.
  static std::string peerOf(const std::string& address);

 private:
  using Clock = std::chrono::steady_clock;
  using Endpoint = std::pair<std::string, int>;
  struct Call {
    int connection;
    std::string subject;
    std::string params;
    bool sent = false;  // its reply may still come on the channel's connection
  };
  enum class Outcome { ANSWERED, GONE, REFUSED, UNANSWERED };
  struct Channel;
  struct Worker {
    std::thread thread;
    std::shared_ptr<Channel> channel;  // the one it serves now
    bool done = false;
  };
  // What one peer address holds; kept while any of it is not zero.
  struct Peer {
    size_t subscriptions = 0;
    size_t workers = 0;
    std::deque<std::shared_ptr<Channel>> waiting;  // for a worker, in order
    bool inTurns = false;
  };

  // Starts workers for the channels whose turn it is, or wakes idle ones.
  void dispatch();
  void startWorkers();
  void work(Worker& worker);
  // Queues the channel for a worker unless one has it or it has no work.
  void markWaiting(const std::shared_ptr<Channel>& channel);
  // Gives the peer a turn when it has a waiting channel and a free worker.
  void offerTurn(const std::string& address);
  // Whether turns_ starts with a peer whose channel can be taken now;
  // clears what went stale before it.
  bool turnReady();
  // Whether another channel of the peer waits (it may then take the
  // worker that address is about to release).
  bool peerWaiting(const std::string& address);
  // The channel whose turn it is, now served; null when none is ready.
  std::shared_ptr<Channel> take();
  void release(const std::shared_ptr<Channel>& channel);
  void tidyPeer(const std::string& address);
  bool hasSubscriptions(const Endpoint& endpoint) const;
  Outcome deliver(Channel& channel, const Call& call, unsigned budgetMs, std::string& error);
  // After a call that was not answered: retried later, or dropped once the
  // endpoint has been silent for UNREACHABLE_MS.
  void defer(const std::shared_ptr<Channel>& channel, const std::string& error);
  // Removes the subscriptions of the endpoint (of every connection when
  // none is given) with one notice, and their queued calls.
  void drop(const Endpoint& endpoint, std::optional<int> connection, const std::string& reason);
  // After subscriptions of the endpoint went.
  void forget(const Endpoint& endpoint, size_t removed);
  void reapWorkers();

  mutable std::mutex mutex_;
  std::condition_variable wake_;      // work queued, or stopping
  std::condition_variable finished_;  // a worker ended
  std::set<Subscription> subscriptions_;
  std::map<Endpoint, std::shared_ptr<Channel>> channels_;
  std::map<std::string, Peer> peers_;
  // Peer addresses in the order their waiting channels get a worker; each
  // at most once.
  std::deque<std::string> turns_;
  // Endpoints with subscriptions that have answered a call.
  std::set<Endpoint> answered_;
  // Channels whose calls are retried at a time.
  std::multimap<Clock::time_point, std::weak_ptr<Channel>> retries_;
  std::string secret_;
  const std::function<void()> wakeOwner_;
  std::list<Worker> workers_;
  size_t running_ = 0;
  bool stopping_ = false;
};

}  // namespace Kestrix
