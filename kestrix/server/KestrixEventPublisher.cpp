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
  bool served = false;    // a worker has it
  bool waiting = false;   // in its peer's waiting list
  bool deferred = false;  // in retries_, until its time
  bool dropped = false;
  // Since when its calls go unanswered.
  std::optional<Clock::time_point> silentSince;
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
    // The latest state wins over one not yet sent: a queue holds at most
    // one waiting call per subscriber and node, however many events come.
    std::deque<Call>& queue = channel->queue;
    const auto waiting = std::find_if(queue.begin(), queue.end(), [&](const Call& call) {
      return !call.sent && call.connection == s.connection && call.subject == nodeId;
    });
    if (waiting != queue.end())
      waiting->params = event.getStreamStr();
    else
      queue.push_back(Call{s.connection, nodeId, event.getStreamStr()});
    markWaiting(channel);
  }
  startWorkers();
  // Idle workers have new calls, or take a turn.
  wake_.notify_all();
}

void KestrixEventPublisher::setSecret(const std::string& secret) {
  std::lock_guard<std::mutex> lock(mutex_);
  secret_ = secret;
}

int KestrixEventPublisher::timerWaitMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (retries_.empty()) return -1;
  const auto left = retries_.begin()->first - Clock::now();
  // Rounded up: a loop woken early would only ask again.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
}

void KestrixEventPublisher::onTimers() {
  if (timerWaitMs() != 0) return;
  reapWorkers();
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = Clock::now();
  while (!retries_.empty() && retries_.begin()->first <= now) {
    const std::shared_ptr<Channel> channel = retries_.begin()->second.lock();
    retries_.erase(retries_.begin());
    if (channel == nullptr || !channel->deferred) continue;
    channel->deferred = false;
    const auto it = channels_.find(channel->endpoint);
    const bool current = it != channels_.end() && it->second == channel;
    if (current && channel->queue.empty()) channels_.erase(it);
    if (current) markWaiting(channel);
  }
  startWorkers();
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
  if (channel->served || channel->waiting || channel->deferred || channel->queue.empty()) return;
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
  // A deferred channel keeps its connection: the late reply may come on it.
  if (!channel->deferred) channel->api.disconnect();
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
    if (!channel->queue.empty() && !channel->deferred) {
      const Call call = channel->queue.front();
      // Marked under the lock: publish then leaves it as it is.
      channel->queue.front().sent = true;
      const unsigned budgetMs =
          answered_.count(channel->endpoint) != 0 ? CALL_BUDGET_MS : FIRST_CALL_BUDGET_MS;
      channel->api.setLoginSecret(secret_);
      lock.unlock();
      std::string error;
      const Outcome outcome = deliver(*channel, call, budgetMs, error);
      lock.lock();
      if (stopping_) break;
      if (outcome == Outcome::UNANSWERED) {
        defer(channel, error);
        continue;
      }
      if (outcome == Outcome::REFUSED) {
        drop(channel->endpoint, std::nullopt, error);
        continue;
      }
      channel->silentSince.reset();
      if (hasSubscriptions(channel->endpoint)) answered_.insert(channel->endpoint);
      // A drop may have taken it already.
      if (!channel->queue.empty() && channel->queue.front().sent) channel->queue.pop_front();
      if (outcome == Outcome::GONE) drop(channel->endpoint, call.connection, error);
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
    if (channel->dropped || channel->deferred ||
        !wake_.wait_for(lock, std::chrono::milliseconds(IDLE_MS), ready))
      break;
  }
  if (channel != nullptr) release(channel);
  worker.done = true;
  --running_;
  finished_.notify_all();
}

KestrixEventPublisher::Outcome KestrixEventPublisher::deliver(Channel& channel, const Call& call,
                                                              unsigned budgetMs,
                                                              std::string& error) {
  rcAPI& api = channel.api;
  const auto deadline = Clock::now() + std::chrono::milliseconds(budgetMs);
  const auto msLeft = [&] {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<unsigned>(std::max<long long>(0, left.count()));
  };
  // An error answer: the monitor heard the call. "Invalid Object" says the
  // client's connection is gone; anything else is its handler's business.
  const auto answer = [&] {
    return error.rfind("Invalid Object", 0) == 0 ? Outcome::GONE : Outcome::ANSWERED;
  };
  // A call sent before may still be answered: sending it again would make
  // a monitor that was only slow hear it twice.
  if (api.replyOwed()) {
    if (call.sent && api.isConnected(true)) {
      if (api.awaitReply(error, msLeft())) return Outcome::ANSWERED;
      if (api.timedOut() || api.stopped()) return Outcome::UNANSWERED;
      if (api.isConnected(true)) return answer();
    }
    // Owed for a call since dropped: it would be taken for this one's.
    api.disconnect();
  }
  const char* host = channel.endpoint.first.c_str();
  const int port = channel.endpoint.second;
  // A kept connection may have been closed by the monitor since: it is
  // given one fresh try.
  bool fresh = false;
  for (;;) {
    if (!api.isConnected(true)) {
      if (!api.connect(host, port, msLeft())) {
        error = api.lastError();
        return api.refused() ? Outcome::REFUSED : Outcome::UNANSWERED;
      }
      fresh = true;
    }
    if (api.call(call.connection, "NodeEvent", call.params.c_str(), true, error, msLeft()))
      return Outcome::ANSWERED;
    // The connection stays: its late reply is the answer.
    if (api.timedOut() || api.stopped()) return Outcome::UNANSWERED;
    if (api.isConnected(true)) return answer();
    if (fresh || msLeft() == 0) break;
    api.disconnect();
  }
  error = api.lastError();
  api.disconnect();
  return Outcome::UNANSWERED;
}

void KestrixEventPublisher::defer(const std::shared_ptr<Channel>& channel,
                                  const std::string& error) {
  const auto now = Clock::now();
  if (!channel->silentSince) channel->silentSince = now;
  if (now - *channel->silentSince >= std::chrono::milliseconds(UNREACHABLE_MS)) {
    drop(channel->endpoint, std::nullopt,
         "no answer for " + std::to_string(UNREACHABLE_MS / 1000) + " s: " + error);
    return;
  }
  channel->deferred = true;
  const auto at = now + std::chrono::milliseconds(RETRY_MS);
  const bool sooner = retries_.empty() || at < retries_.begin()->first;
  retries_.emplace(at, channel);
  if (sooner && wakeOwner_) wakeOwner_();
}

void KestrixEventPublisher::drop(const Endpoint& endpoint, std::optional<int> connection,
                                 const std::string& reason) {
  const auto& [address, port] = endpoint;
  auto it = subscriptions_.lower_bound(
      Subscription{address, port, connection.value_or(INT_MIN), "", "", ""});
  std::set<int> connections;
  size_t removed = 0;
  while (it != subscriptions_.end() && it->address == address && it->port == port &&
         (!connection || it->connection == *connection)) {
    connections.insert(it->connection);
    it = subscriptions_.erase(it);
    ++removed;
  }
  // The reason may be the subscriber's own error text, and a subscriber
  // can make itself dropped at will.
  static CoLogLimiter drops("kestrixd: dropped event subscribers");
  if (removed > 0 && drops.admit(CoMsg::LEVEL_NOTICE, address)) {
    const std::string which = connections.size() == 1
                                  ? "connection " + std::to_string(*connections.begin())
                                  : std::to_string(connections.size()) + " connections";
    CO_POST_NOTICE("kestrixd: dropped event subscriber %s:%d (%s): %s",
                   CoLogText::escape(address).c_str(), port, which.c_str(),
                   CoLogText::escape(reason).c_str());
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
