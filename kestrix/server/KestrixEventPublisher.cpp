#include "kestrix/server/KestrixEventPublisher.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <system_error>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/rcApi/rcAPI.h"
#include "common/base/rcApi/rcAttrStream.h"

namespace Kestrix {
namespace {

// The version kestrixd logs in with: the protocol it speaks.
const unsigned short kVersion[] = {2020, 2};

}  // namespace

struct KestrixEventPublisher::Channel {
  explicit Channel(Endpoint endpoint) : endpoint(std::move(endpoint)) {
    api.setConnectTimeout(CONNECT_TIMEOUT_SECONDS);
  }
  const Endpoint endpoint;
  std::deque<Call> queue;
  bool served = false;  // a worker has it
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

bool KestrixEventPublisher::subscribe(const Subscription& subscription) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (subscriptions_.size() >= MAX_SUBSCRIPTIONS && subscriptions_.count(subscription) == 0)
    return false;
  subscriptions_.insert(subscription);
  return true;
}

void KestrixEventPublisher::unsubscribe(const std::string& address, int port, int connection,
                                        const std::string& subject) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = subscriptions_.lower_bound(Subscription{address, port, connection, subject, "", ""});
  while (it != subscriptions_.end() && it->address == address && it->port == port &&
         it->connection == connection && (subject.empty() || it->subject == subject))
    it = subscriptions_.erase(it);
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
    if (channel->queue.size() >= MAX_QUEUED)
      full.insert(endpoint);
    else
      channel->queue.push_back(Call{s.connection, event.getStreamStr()});
  }
  for (const Endpoint& endpoint : full)
    drop(endpoint, std::nullopt, "more than " + std::to_string(MAX_QUEUED) + " events waiting");
  startWorkers();
  wake_.notify_all();
}

void KestrixEventPublisher::startWorkers() {
  while (running_ < MAX_WORKERS) {
    std::shared_ptr<Channel> channel = waitingChannel();
    if (channel == nullptr) return;
    Worker& worker = workers_.emplace_back();
    worker.channel = channel;
    try {
      worker.thread = std::thread([this, &worker] { work(worker); });
    } catch (const std::system_error& e) {
      // Left waiting for a running worker, or the next publish.
      workers_.pop_back();
      CO_POST_WARNING("kestrixd: cannot start an event worker: %s", e.what());
      return;
    }
    channel->served = true;
    ++running_;
  }
}

std::shared_ptr<KestrixEventPublisher::Channel> KestrixEventPublisher::waitingChannel() const {
  for (const auto& [endpoint, channel] : channels_)
    if (!channel->served && !channel->queue.empty()) return channel;
  return nullptr;
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
  const auto ready = [&] {
    return stopping_ || !channel->queue.empty() || waitingChannel() != nullptr;
  };
  while (!stopping_) {
    if (!channel->queue.empty()) {
      const Call call = std::move(channel->queue.front());
      channel->queue.pop_front();
      lock.unlock();
      std::string error;
      bool endpointFailed = false;
      const bool ok = deliver(*channel, call, error, endpointFailed);
      lock.lock();
      if (!ok && !stopping_)
        drop(channel->endpoint, endpointFailed ? std::nullopt : std::optional<int>(call.connection),
             error);
      continue;
    }
    // Idle: another endpoint waiting for a worker comes first.
    if (std::shared_ptr<Channel> next = waitingChannel()) {
      release(channel);
      channel = worker.channel = next;
      channel->served = true;
      continue;
    }
    if (channel->dropped || !wake_.wait_for(lock, std::chrono::milliseconds(IDLE_MS), ready)) break;
  }
  release(channel);
  worker.done = true;
  --running_;
  finished_.notify_all();
}

void KestrixEventPublisher::release(const std::shared_ptr<Channel>& channel) {
  channel->api.disconnect();
  channel->served = false;
  channel->dropped = false;
  const auto it = channels_.find(channel->endpoint);
  if (channel->queue.empty() && it != channels_.end() && it->second == channel) channels_.erase(it);
}

bool KestrixEventPublisher::deliver(Channel& channel, const Call& call, std::string& error,
                                    bool& endpointFailed) {
  rcAPI& api = channel.api;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(CALL_BUDGET_MS);
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
  while (it != subscriptions_.end() && it->address == address && it->port == port &&
         (!connection || it->connection == *connection)) {
    if (!any || it->connection != posted)
      CO_POST_NOTICE("kestrixd: dropped event subscriber %s:%d (connection %d): %s",
                     address.c_str(), port, it->connection, reason.c_str());
    any = true;
    posted = it->connection;
    it = subscriptions_.erase(it);
  }
  const auto channel = channels_.find(endpoint);
  if (channel == channels_.end()) return;
  std::deque<Call>& queue = channel->second->queue;
  queue.erase(std::remove_if(
                  queue.begin(), queue.end(),
                  [&](const Call& call) { return !connection || call.connection == *connection; }),
              queue.end());
  if (!connection) channel->second->dropped = true;
}

}  // namespace Kestrix
