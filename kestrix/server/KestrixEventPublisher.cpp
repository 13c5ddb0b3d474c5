#include "kestrix/server/KestrixEventPublisher.h"

#include <arpa/inet.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <system_error>

#include "common/base/loggerBase/CoLogText.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/rcApi/rcAPI.h"
#include "common/base/rcApi/rcAttrStream.h"

namespace Kestrix {
namespace {

// The version kestrixd logs in with: the protocol it speaks.
const unsigned short kVersion[] = {2020, 2};

}  // namespace

std::string KestrixEventPublisher::peerOf(const std::string& address) {
  // One IPv6 host may own a whole /64: its addresses are one peer.
  in6_addr bytes;
  if (::inet_pton(AF_INET6, address.c_str(), &bytes) != 1) return address;
  std::memset(bytes.s6_addr + 8, 0, 8);
  char text[INET6_ADDRSTRLEN];
  return ::inet_ntop(AF_INET6, &bytes, text, sizeof text) != nullptr ? std::string(text) + "/64"
                                                                     : address;
}

struct KestrixEventPublisher::Channel {
  explicit Channel(Endpoint endpoint)
      : endpoint(std::move(endpoint)), peer(peerOf(this->endpoint.first)) {
    api.setConnectTimeout(CONNECT_TIMEOUT_SECONDS);
  }
  const Endpoint endpoint;
  const std::string peer;  // whose workers and turns it shares
  std::deque<Call> queue;
  bool served = false;   // a worker has it
  bool waiting = false;  // in its peer's waiting list
  bool dropped = false;
  // Used by its worker only, but for stop() from the destructor.
  rcAPI api{kVersion, 2};
};

KestrixEventPublisher::~KestrixEventPublisher() {
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_ = true;
  wake_.notify_all();
  // A call may start just after a stop (which it then clears): stop again
  // until every worker is out.
  while (running_ > 0) {
    for (Worker& worker : workers_)
      if (!worker.done) worker.channel->api.stop("kestrixd is stopping");
    finished_.wait_for(lock, std::chrono::milliseconds(20));
  }
  lock.unlock();
  for (Worker& worker : workers_) worker.thread.join();
}

KestrixEventPublisher::Subscribed KestrixEventPublisher::subscribe(const Subscription& subscription,
                                                                   size_t maxPerPeer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (subscriptions_.count(subscription) != 0) return Subscribed::YES;
  if (subscriptions_.size() >= MAX_SUBSCRIPTIONS) return Subscribed::SERVER_FULL;
  const std::string key = peerOf(subscription.address);
  Peer& peer = peers_[key];
  if (peer.subscriptions >= maxPerPeer) {
    tidyPeer(key);
    return Subscribed::PEER_FULL;
  }
  subscriptions_.insert(subscription);
  ++peer.subscriptions;
  return Subscribed::YES;
}

void KestrixEventPublisher::unsubscribe(const std::string& address, int port, int connection,
                                        const std::string& subject) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = subscriptions_.lower_bound(Subscription{address, port, connection, subject, "", ""});
  size_t removed = 0;
  while (it != subscriptions_.end() && it->address == address && it->port == port &&
         it->connection == connection && (subject.empty() || it->subject == subject)) {
    it = subscriptions_.erase(it);
    ++removed;
  }
  if (removed > 0) forget(Endpoint(address, port), removed);
}

size_t KestrixEventPublisher::subscriptionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return subscriptions_.size();
}

void KestrixEventPublisher::publish(const std::string& nodeId, const std::string& type,
                                    const std::string& details) {
  rcAttrStream event;
  event.addStringValue("NodeId", nodeId);
  event.addStringValue("Type", type);
  event.addStringValue("Details", details);
  reapWorkers();
  std::lock_guard<std::mutex> lock(mutex_);
  const Subscription* last = nullptr;
  std::set<Endpoint> full;
  for (const Subscription& s : subscriptions_) {
    if (s.subject != nodeId) continue;
    // Sorted by subscriber first: its other formats follow at once.
    if (last != nullptr && last->address == s.address && last->port == s.port &&
        last->connection == s.connection)
      continue;
    last = &s;
    const Endpoint endpoint(s.address, s.port);
    std::shared_ptr<Channel>& channel = channels_[endpoint];
    if (channel == nullptr) channel = std::make_shared<Channel>(endpoint);
    if (channel->queue.size() >= MAX_QUEUED) {
      full.insert(endpoint);
      continue;
    }
    channel->queue.push_back(Call{s.connection, event.getStreamStr()});
    markWaiting(channel);
  }
  for (const Endpoint& endpoint : full)
    drop(endpoint, std::nullopt, "more than " + std::to_string(MAX_QUEUED) + " events waiting");
  startWorkers();
  // Idle workers have new calls, or take a turn.
  wake_.notify_all();
}

void KestrixEventPublisher::dispatch() {
  startWorkers();
  // Every worker runs: an idle one takes the turn.
  if (turnReady()) wake_.notify_all();
}

void KestrixEventPublisher::startWorkers() {
  while (running_ < MAX_WORKERS) {
    std::shared_ptr<Channel> channel = take();
    if (channel == nullptr) return;
    Worker& worker = workers_.emplace_back();
    worker.channel = channel;
    try {
      worker.thread = std::thread([this, &worker] { work(worker); });
    } catch (const std::system_error& e) {
      // Left waiting for a running worker, or the next publish.
      workers_.pop_back();
      release(channel);
      CO_POST_WARNING("kestrixd: cannot start an event worker: %s", e.what());
      return;
    }
    ++running_;
  }
}

void KestrixEventPublisher::markWaiting(const std::shared_ptr<Channel>& channel) {
  if (channel->served || channel->waiting || channel->queue.empty()) return;
  channel->waiting = true;
  peers_[channel->peer].waiting.push_back(channel);
  offerTurn(channel->peer);
}

void KestrixEventPublisher::offerTurn(const std::string& address) {
  const auto it = peers_.find(address);
  if (it == peers_.end()) return;
  Peer& peer = it->second;
  if (peer.inTurns || peer.waiting.empty() || peer.workers >= PEER_WORKERS) return;
  peer.inTurns = true;
  turns_.push_back(address);
}

bool KestrixEventPublisher::peerWaiting(const std::string& address) {
  const auto it = peers_.find(address);
  if (it == peers_.end()) return false;
  std::deque<std::shared_ptr<Channel>>& waiting = it->second.waiting;
  // A drop may have emptied a waiting channel since.
  while (!waiting.empty() && waiting.front()->queue.empty()) {
    const std::shared_ptr<Channel> stale = std::move(waiting.front());
    waiting.pop_front();
    stale->waiting = false;
    const auto channel = channels_.find(stale->endpoint);
    if (channel != channels_.end() && channel->second == stale) channels_.erase(channel);
  }
  return !waiting.empty();
}

bool KestrixEventPublisher::turnReady() {
  while (!turns_.empty()) {
    const auto it = peers_.find(turns_.front());
    if (it != peers_.end()) {
      if (it->second.workers < PEER_WORKERS && peerWaiting(it->first)) return true;
      it->second.inTurns = false;
    }
    const std::string address = std::move(turns_.front());
    turns_.pop_front();
    tidyPeer(address);
  }
  return false;
}

std::shared_ptr<KestrixEventPublisher::Channel> KestrixEventPublisher::take() {
  if (!turnReady()) return nullptr;
  const std::string address = std::move(turns_.front());
  turns_.pop_front();
  Peer& peer = peers_[address];
  peer.inTurns = false;
  std::shared_ptr<Channel> channel = std::move(peer.waiting.front());
  peer.waiting.pop_front();
  channel->waiting = false;
  channel->served = true;
  ++peer.workers;
  // Its next channel waits for the peer's next turn.
  offerTurn(address);
  return channel;
}

void KestrixEventPublisher::release(const std::shared_ptr<Channel>& channel) {
  channel->api.disconnect();
  channel->served = false;
  channel->dropped = false;
  const std::string& address = channel->peer;
  const auto peer = peers_.find(address);
  if (peer != peers_.end() && peer->second.workers > 0) --peer->second.workers;
  if (!channel->queue.empty()) {
    markWaiting(channel);
  } else {
    const auto it = channels_.find(channel->endpoint);
    if (it != channels_.end() && it->second == channel) channels_.erase(it);
  }
  offerTurn(address);
  tidyPeer(address);
}

void KestrixEventPublisher::tidyPeer(const std::string& address) {
  const auto it = peers_.find(address);
  if (it == peers_.end()) return;
  const Peer& peer = it->second;
  if (peer.subscriptions == 0 && peer.workers == 0 && peer.waiting.empty() && !peer.inTurns)
    peers_.erase(it);
}

bool KestrixEventPublisher::hasSubscriptions(const Endpoint& endpoint) const {
  const auto it = subscriptions_.lower_bound(
      Subscription{endpoint.first, endpoint.second, INT_MIN, "", "", ""});
  return it != subscriptions_.end() && it->address == endpoint.first && it->port == endpoint.second;
}

void KestrixEventPublisher::reapWorkers() {
  std::list<Worker> ended;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      auto next = std::next(it);
      if (it->done) ended.splice(ended.end(), workers_, it);
      it = next;
    }
  }
  for (Worker& worker : ended) worker.thread.join();
}

void KestrixEventPublisher::work(Worker& worker) {
  pthread_setname_np(pthread_self(), "kestrixd events");
  std::unique_lock<std::mutex> lock(mutex_);
  std::shared_ptr<Channel> channel = worker.channel;
  const auto otherWork = [&] { return turnReady() || peerWaiting(channel->peer); };
  const auto ready = [&] { return stopping_ || !channel->queue.empty() || otherWork(); };
  while (!stopping_) {
    if (!channel->queue.empty()) {
      const Call call = std::move(channel->queue.front());
      channel->queue.pop_front();
      const unsigned budgetMs =
          answered_.count(channel->endpoint) != 0 ? CALL_BUDGET_MS : FIRST_CALL_BUDGET_MS;
      lock.unlock();
      std::string error;
      bool endpointFailed = false;
      const bool ok = deliver(*channel, call, budgetMs, error, endpointFailed);
      lock.lock();
      if (!endpointFailed && hasSubscriptions(channel->endpoint))
        answered_.insert(channel->endpoint);
      if (!ok && !stopping_)
        drop(channel->endpoint, endpointFailed ? std::nullopt : std::optional<int>(call.connection),
             error);
      continue;
    }
    // Idle: a channel waiting for a worker comes first; one of this peer's
    // may take the place this one leaves.
    if (otherWork()) {
      release(channel);
      std::shared_ptr<Channel> next = take();
      if (next == nullptr) {
        channel = nullptr;
        break;
      }
      channel = worker.channel = std::move(next);
      dispatch();
      continue;
    }
    if (channel->dropped || !wake_.wait_for(lock, std::chrono::milliseconds(IDLE_MS), ready)) break;
  }
  if (channel != nullptr) release(channel);
  worker.done = true;
  --running_;
  finished_.notify_all();
}

bool KestrixEventPublisher::deliver(Channel& channel, const Call& call, unsigned budgetMs,
                                    std::string& error, bool& endpointFailed) {
  rcAPI& api = channel.api;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
  const auto msLeft = [&] {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<unsigned>(std::max<long long>(0, left.count()));
  };
  const char* host = channel.endpoint.first.c_str();
  const int port = channel.endpoint.second;
  // A kept connection may have been closed by the monitor since: it is
  // given one fresh try.
  bool fresh = false;
  for (;;) {
    if (!api.isConnected(true)) {
      if (!api.connect(host, port, msLeft())) break;
      fresh = true;
    }
    if (api.call(call.connection, "NodeEvent", call.params.c_str(), true, error, msLeft()))
      return true;
    // An answer, if an error: the monitor is there, the connection is not.
    if (api.isConnected(true) && !api.timedOut()) return false;
    if (fresh || api.timedOut() || api.stopped() || msLeft() == 0) break;
    api.disconnect();
  }
  error = api.lastError();
  // A late reply would be taken for the next call's.
  api.disconnect();
  endpointFailed = true;
  return false;
}

void KestrixEventPublisher::drop(const Endpoint& endpoint, std::optional<int> connection,
                                 const std::string& reason) {
  const auto& [address, port] = endpoint;
  auto it = subscriptions_.lower_bound(
      Subscription{address, port, connection.value_or(INT_MIN), "", "", ""});
  int posted = 0;
  bool any = false;
  size_t removed = 0;
  while (it != subscriptions_.end() && it->address == address && it->port == port &&
         (!connection || it->connection == *connection)) {
    // The reason may be the subscriber's own error text, and a subscriber
    // can make itself dropped at will.
    static CoLogLimiter drops("kestrixd: dropped event subscribers");
    if ((!any || it->connection != posted) && drops.admit(CoMsg::LEVEL_NOTICE, address))
      CO_POST_NOTICE("kestrixd: dropped event subscriber %s:%d (connection %d): %s",
                     CoLogText::escape(address).c_str(), port, it->connection,
                     CoLogText::escape(reason).c_str());
    any = true;
    posted = it->connection;
    it = subscriptions_.erase(it);
    ++removed;
  }
  const auto channel = channels_.find(endpoint);
  if (channel != channels_.end()) {
    std::deque<Call>& queue = channel->second->queue;
    queue.erase(std::remove_if(queue.begin(), queue.end(),
                               [&](const Call& call) {
                                 return !connection || call.connection == *connection;
                               }),
                queue.end());
    if (!connection) channel->second->dropped = true;
  }
  if (removed > 0) forget(endpoint, removed);
}

void KestrixEventPublisher::forget(const Endpoint& endpoint, size_t removed) {
  const std::string key = peerOf(endpoint.first);
  const auto peer = peers_.find(key);
  if (peer != peers_.end())
    peer->second.subscriptions -= std::min(removed, peer->second.subscriptions);
  if (!hasSubscriptions(endpoint)) answered_.erase(endpoint);
  tidyPeer(key);
}

}  // namespace Kestrix
