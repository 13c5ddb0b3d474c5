#include "kestrix/client/api/KestrixEventMonitor.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "common/base/loggerBase/CoLogText.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/EnvVar.h"
#include "common/base/rcApi/rcAttrStream.h"
#include "common/base/rcApi/rcLoginProof.h"
#include "common/base/rcApi/rcParam.h"
#include "common/base/threads/CoThreadMgr.h"
#include "kestrix/client/api/KestrixBaseClientAPI.h"
#include "kestrix/client/api/KestrixOS.h"

using Kestrix::CoMutexGuard;
using Kestrix::rcAttrStream;
using Kestrix::rcMethod;
using Kestrix::rcParam;
using Kestrix::CoLogText::escape;

namespace {

Kestrix::RegEnvView gRegDebug("QV_DEBUG_KESTRIX_EVENTS", "");
const bool gDebugEvents = std::getenv("QV_DEBUG_KESTRIX_EVENTS") != nullptr;

std::atomic<uint32_t> gNextConnectionId{1};

const rcParam::Info kStreamParam[] = {{&Kestrix::rcParamString::getType(), "params"},
                                      {nullptr, nullptr}};

bool isLoopback(const std::string& address) {
  return address.rfind("127.", 0) == 0 || address == "::1";
}

}  // namespace

bool KestrixEventSubject::operator<(const KestrixEventSubject& other) const {
  if (nodeId != other.nodeId) return nodeId < other.nodeId;
  return std::tie(format, metadata) < std::tie(other.format, other.metadata);
}

// ---- KestrixEventMonitor ----------------------------------------------------

KestrixEventMonitor& KestrixEventMonitor::instance() {
  // Never destroyed: handles held in other static objects may outlive any
  // destruction order at exit, and the system closes the socket anyway.
  static KestrixEventMonitor& monitor = *new KestrixEventMonitor;
  return monitor;
}

bool KestrixEventMonitor::debugOn() {
  return gDebugEvents;
}

KestrixEventMonitor::KestrixEventMonitor() : rcServerContext(-1) {
  registerMethod(
      rcMethod(*this, "NodeEvent", nodeEvent, Kestrix::rcParamVoid::getType(), kStreamParam));
  Limits limits;
  limits.maxRequestBytes = MAX_LINE_BYTES;
  limits.maxPendingOutputBytes = MAX_LINE_BYTES;
  limits.maxBufferedInputBytes = uint64_t{MAX_LINE_BYTES} * MAX_CLIENTS;
  limits.maxClients = MAX_CLIENTS;
  limits.stallTimeoutMs = IDLE_TIMEOUT_MS;
  limits.idleTimeoutMs = IDLE_TIMEOUT_MS;
  setLimits(limits);
  // A record preset in the environment would let any peer skip the login.
  setPresetLogin(false);
}

KestrixEventMonitor::~KestrixEventMonitor() {
  stop();
}

void KestrixEventMonitor::start() {
  if (thread_ != nullptr) return;
  std::string secret, error;
  // A secret that cannot be read is no reason to trust anyone.
  refuseAll_ = !Kestrix::rcLoginProof::clientSecret(secret, error);
  if (refuseAll_) CO_POST_ERROR("Event monitor refuses every server: %s", escape(error).c_str());
  setLoginProof(secret.empty() ? nullptr : std::make_shared<Kestrix::rcLoginProof>(secret));
  stop_ = false;
  {
    std::lock_guard<std::mutex> lock(useMutex_);
    renewStop_ = false;
  }
  thread_ = Kestrix::CoThreadMgr::createThread(
      "Kestrix Event Monitor", Kestrix::CoThread::MANAGED_THREAD,
      [](void* monitor) { static_cast<KestrixEventMonitor*>(monitor)->run(); }, this);
  renewer_ = Kestrix::CoThreadMgr::createThread(
      "Kestrix Event Renewal", Kestrix::CoThread::MANAGED_THREAD,
      [](void* monitor) { static_cast<KestrixEventMonitor*>(monitor)->renewLoop(); }, this);
}

void KestrixEventMonitor::stop() {
  if (thread_ == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(useMutex_);
    renewStop_ = true;
  }
  useChanged_.notify_all();
  stop_ = true;
  thread_->stop();
  wakeUp();
  thread_->wait();
  delete thread_;
  thread_ = nullptr;
  renewer_->stop();
  renewer_->wait();
  delete renewer_;
  renewer_ = nullptr;
}

void KestrixEventMonitor::run() {
  while (!stop_) {
    try {
      callIOHandlers(nullptr);
    } catch (const std::exception& e) {
      CO_POST_ERROR("Caught Exception: %s", e.what());
    }
  }
}

void KestrixEventMonitor::renewLoop() {
  std::unique_lock<std::mutex> lock(useMutex_);
  while (!renewStop_) {
    if (useChanged_.wait_for(lock, std::chrono::seconds(RENEW_SECONDS),
                             [this] { return renewStop_; }))
      return;
    lock.unlock();
    renewAll();
    lock.lock();
  }
}

void KestrixEventMonitor::renewNow() {
  renewAll();
}

void KestrixEventMonitor::renewAll() {
  std::vector<Connection*> all;
  {
    CoMutexGuard guard(connectionsLock_);
    std::lock_guard<std::mutex> lock(useMutex_);
    for (Connection* connection : connections_) {
      ++connection->users_;
      all.push_back(connection);
    }
  }
  for (Connection* connection : all) {
    connection->renew();
    releaseUse(connection);
  }
}

bool KestrixEventMonitor::login(const Kestrix::rcConnectionInfo&) {
  return !refuseAll_;
}

bool KestrixEventMonitor::allowPeer(const std::string& address) {
  const bool loopback = isLoopback(address);
  CoMutexGuard guard(connectionsLock_);
  return std::any_of(connections_.begin(), connections_.end(), [&](const Connection* connection) {
    return connection->isServerAddress(address, loopback);
  });
}

bool KestrixEventMonitor::nodeEvent(void* object, const rcMethod& method,
                                    const rcParam::Array& args, rcParam&) {
  std::string text = args[0].stringValue();
  // A stream's first name never begins with a quote: such a text is a
  // quoted parameter, as some servers send it.
  if (!text.empty() && text.front() == '"')
    text = Kestrix::rcParamEscapedStringToString(text.c_str()).getString();
  const rcAttrStream stream(text);
  static const char* const kNames[] = {"NodeId", "Type", "Details"};
  std::string values[3];
  for (int i = 0; i < 3; ++i) {
    if (!stream.getStringValue(kNames[i], values[i])) {
      method.setLastError((std::string("Missing '") + kNames[i] + "' parameter").c_str());
      return false;
    }
  }
  if (object == nullptr) return true;  // addressed to no connection
  KestrixNodeEvent event(values[0].c_str(),
                         KestrixStr(values[1].data(), static_cast<unsigned int>(values[1].size())),
                         KestrixDictionary(values[2].c_str()));
  KestrixEventMonitor& monitor = instance();
  Connection* connection = monitor.acquire(object);
  if (connection == nullptr) return true;  // on its way out
  connection->receive(std::move(event));
  monitor.releaseUse(connection);
  return true;
}

KestrixEventMonitor::Connection* KestrixEventMonitor::acquire(void* object) {
  CoMutexGuard guard(connectionsLock_);
  auto found = std::find(connections_.begin(), connections_.end(), object);
  if (found == connections_.end()) return nullptr;
  std::lock_guard<std::mutex> lock(useMutex_);
  ++(*found)->users_;
  return *found;
}

void KestrixEventMonitor::releaseUse(Connection* connection) {
  {
    std::lock_guard<std::mutex> lock(useMutex_);
    --connection->users_;
  }
  useChanged_.notify_all();
}

void KestrixEventMonitor::add(Connection* connection) {
  CoMutexGuard guard(connectionsLock_);
  connections_.push_back(connection);
  if (!registerObject(static_cast<int>(connection->getId()), connection))
    CO_POST_WARNING("Could not register connection '%d'", static_cast<int>(connection->getId()));
}

void KestrixEventMonitor::remove(Connection* connection) {
  {
    CoMutexGuard guard(connectionsLock_);
    auto found = std::find(connections_.begin(), connections_.end(), connection);
    if (found == connections_.end()) return;
    connections_.erase(found);
    if (!unregisterObject(static_cast<int>(connection->getId())))
      CO_POST_WARNING("Could not unregister connection '%d'",
                      static_cast<int>(connection->getId()));
  }
  std::unique_lock<std::mutex> lock(useMutex_);
  useChanged_.wait(lock, [connection] { return connection->users_ == 0; });
}

// ---- KestrixEventMonitor::Connection ----------------------------------------

class KestrixEventMonitor::Connection::Resubscriber
    : public KestrixClientConnection::ConnectCallback {
 public:
  explicit Resubscriber(Connection& owner) : owner_(owner) {}
  void connected(KestrixClientConnection& connection) override {
    owner_.notePeers(connection);
    owner_.resubscribe();
  }

 private:
  Connection& owner_;
};

class KestrixEventMonitor::Connection::Guard {
 public:
  explicit Guard(Connection& owner) : owner_(owner) {
    owner_.subscriptionsLock_.lock();
    ++owner_.lockDepth_;
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  ~Guard() { owner_.release(); }

 private:
  Connection& owner_;
};

KestrixEventMonitor::Connection::Connection(KestrixBaseClientAPI* api)
    : CoLastErrLogger(true), api_(api), id_(gNextConnectionId.fetch_add(1)) {
  callback_ = std::make_unique<Resubscriber>(*this);
  api_->addConnectCallback(callback_.get());
  // The identity's address is known at once; a connection may have been
  // made by another handle, before this one could hear of it.
  if (api_->connection() != nullptr) {
    const std::string address = api_->connection()->getServerId().getIPAddr();
    if (!address.empty()) {
      peers_.push_back(address);
      onThisHost_ = KestrixOS::isLocalIP(address.c_str());
    }
  }
  instance().add(this);
}

KestrixEventMonitor::Connection::~Connection() {
  api_->removeConnectCallback(callback_.get());
  // A connection that never reached its server has nothing to withdraw
  // there; one with subscriptions reconnects to withdraw them.
  const bool withdraw = subjectCount() != 0 || api_->isConnected();
  std::string error;
  // The error may be the server's own text.
  if (withdraw && !sendUnregister(KestrixNodeId(), error))
    CO_POST_DEBUG("%s", escape(error).c_str());
  instance().remove(this);
  Guard guard(*this);
  dispatch();
  subscriptions_.clear();
}

size_t KestrixEventMonitor::Connection::subjectCount() const {
  CoMutexGuard guard(subscriptionsLock_);
  return subscriptions_.size();
}

std::string KestrixEventMonitor::Connection::errorText() const {
  std::lock_guard<std::mutex> lock(errorMutex_);
  return lastError();
}

void KestrixEventMonitor::Connection::fail(const std::string& text) {
  std::lock_guard<std::mutex> lock(errorMutex_);
  postError("%s", text.c_str());
}

bool KestrixEventMonitor::Connection::isServerAddress(const std::string& address,
                                                      bool loopback) const {
  std::lock_guard<std::mutex> lock(peersMutex_);
  if (loopback && onThisHost_) return true;
  return std::find(peers_.begin(), peers_.end(), address) != peers_.end();
}

void KestrixEventMonitor::Connection::notePeers(KestrixClientConnection& connection) {
  std::vector<std::string> peers;
  const char* identity = connection.getServerId().getIPAddr();
  if (*identity != '\0') peers.emplace_back(identity);
  // Runs within the call that connected, which guards the description.
  const KestrixDaemonInfo& info = connection.getDaemonInfo(true);
  for (unsigned i = 0; i < KestrixDaemonInfo::MAX_IPS && *info.getMetadataIP(i) != '\0'; ++i)
    peers.emplace_back(info.getMetadataIP(i));
  for (unsigned i = 0; i < KestrixDaemonInfo::MAX_IPS && *info.getDataIP(i) != '\0'; ++i)
    peers.emplace_back(info.getDataIP(i));
  const bool local = std::any_of(peers.begin(), peers.end(), [](const std::string& peer) {
    return KestrixOS::isLocalIP(peer.c_str());
  });
  std::lock_guard<std::mutex> lock(peersMutex_);
  peers_.swap(peers);
  onThisHost_ = local;
}

bool KestrixEventMonitor::Connection::send(const char* method, const std::string& stream,
                                           bool awaitReply, std::string& error) {
  std::string reply;
  try {
    KestrixClientConnection* connection = api_->connection();
    if (connection == nullptr) throw std::runtime_error("No connection to the server");
    // A method of one parameter takes the request's whole text as it is.
    connection->callMethod(method, stream.c_str(), awaitReply, reply, REQUEST_TIMEOUT_MS);
    return true;
  } catch (const std::exception& e) {  // the library's CoException included
    error = e.what();
    return false;
  }
}

bool KestrixEventMonitor::Connection::sendRegister(const KestrixEventSubject& subject,
                                                   std::string& error) {
  rcAttrStream stream;
  stream.addIntValue("Port", instance().getPort());
  stream.addIntValue("Connection", static_cast<int>(id_));
  stream.addStringValue("Subject", subject.nodeId.c_str());
  if (!subject.format.empty()) stream.addStringValue("Fmt", subject.format);
  if (!subject.metadata.empty()) stream.addStringValue("Meta", subject.metadata);
  return send("RegisterEvents", stream.getStreamStr(), true, error);
}

bool KestrixEventMonitor::Connection::sendUnregister(const KestrixNodeId& nodeId,
                                                     std::string& error) {
  rcAttrStream stream;
  stream.addIntValue("Port", instance().getPort());
  stream.addIntValue("Connection", static_cast<int>(id_));
  stream.addStringValue("Subject", nodeId.c_str());
  // Withdrawing every subject happens at each connection and when the
  // handle goes, where no one looks at the answer: waiting for it would
  // cost every run of a program a round trip twice.
  return send("UnregisterEvents", stream.getStreamStr(), !nodeId.isEmpty(), error);
}

bool KestrixEventMonitor::Connection::acceptHandler(const char* doing, const KestrixNodeId& nodeId,
                                                    const KestrixNodeEvent::Handler* handler) {
  if (gDebugEvents)
    CO_POST_USER("%s event handler %p for '%s'", doing, static_cast<const void*>(handler),
                 nodeId.c_str());
  if (handler != nullptr) return true;
  fail("Invalid handler pointer");
  return false;
}

bool KestrixEventMonitor::Connection::registerEventHandler(const KestrixNodeId& nodeId,
                                                           KestrixNodeEvent::Handler* handler,
                                                           const char* format,
                                                           const char* metadata) {
  if (!acceptHandler("Registering", nodeId, handler)) return false;
  std::string error;
  if (!send("Ping", "", true, error)) {
    fail(error);
    return false;
  }
  const KestrixEventSubject subject{nodeId, format != nullptr ? format : "",
                                    metadata != nullptr ? metadata : ""};
  {
    Guard guard(*this);
    auto found = subscriptions_.find(subject);
    if (found != subscriptions_.end()) {
      found->second.push_back(handler);
      return true;
    }
  }
  if (!sendRegister(subject, error)) {
    fail(error);
    return false;
  }
  Guard guard(*this);
  // Another thread may have added the subject while the request was out.
  subscriptions_[subject].push_back(handler);
  return true;
}

bool KestrixEventMonitor::Connection::unregisterEventHandler(const KestrixNodeId& nodeId,
                                                             KestrixNodeEvent::Handler* handler) {
  if (!acceptHandler("Unregistering", nodeId, handler)) return false;
  std::string error;
  send("Ping", "", true, error);
  Guard guard(*this);
  for (auto& [subject, handlers] : subscriptions_)
    if (subject.nodeId == nodeId)
      handlers.erase(std::remove(handlers.begin(), handlers.end(), handler), handlers.end());
  if (withdrawEmpty(&nodeId, error)) return true;
  fail(error);
  return false;
}

bool KestrixEventMonitor::Connection::withdrawEmpty(const KestrixNodeId* only, std::string& error) {
  bool ok = true;
  // Subjects of one node are neighbours in the map; the server knows
  // subscriptions by node id alone, so a node goes when all of them are empty.
  for (auto first = subscriptions_.begin(); first != subscriptions_.end();) {
    const KestrixNodeId node = first->first.nodeId;
    auto last = first;
    bool empty = true;
    for (; last != subscriptions_.end() && last->first.nodeId == node; ++last)
      empty = empty && last->second.empty();
    if (!empty || (only != nullptr && node != *only)) {
      first = last;
      continue;
    }
    // Without a connection the server forgets us at the next one.
    if (api_->isConnected() && !sendUnregister(node, error)) {
      ok = false;
      first = last;
      continue;
    }
    first = subscriptions_.erase(first, last);
  }
  return ok;
}

void KestrixEventMonitor::Connection::receive(KestrixNodeEvent event) {
  if (gDebugEvents)
    CO_POST_USER("Received node event %s/%s [%s]", escape(event.getNodeId().c_str()).c_str(),
                 escape(event.getType().c_str()).c_str(),
                 escape(event.getDetails().c_str()).c_str());
  {
    CoMutexGuard guard(pendingLock_);
    pending_.push_back(std::move(event));
  }
  if (!subscriptionsLock_.tryLock()) return;  // the holder delivers it at release
  ++lockDepth_;
  release();
}

void KestrixEventMonitor::Connection::dispatch() {
  for (;;) {
    std::list<KestrixNodeEvent> events;
    {
      CoMutexGuard guard(pendingLock_);
      events.swap(pending_);
    }
    if (events.empty()) return;
    for (const KestrixNodeEvent& event : events) deliver(event);
  }
}

void KestrixEventMonitor::Connection::deliver(const KestrixNodeEvent& event) {
  // Handlers may register and unregister as they run, which changes the
  // map under our feet: walk a copy, and call only those still registered.
  std::vector<std::pair<KestrixEventSubject, KestrixNodeEvent::Handler*>> calls;
  for (const auto& [subject, handlers] : subscriptions_)
    if (subject.nodeId == event.getNodeId())
      for (KestrixNodeEvent::Handler* handler : handlers) calls.emplace_back(subject, handler);
  for (const auto& [subject, handler] : calls) {
    auto now = subscriptions_.find(subject);
    if (now == subscriptions_.end() ||
        std::find(now->second.begin(), now->second.end(), handler) == now->second.end())
      continue;
    if (gDebugEvents)
      CO_POST_USER("Notifying event handler %p of event %s/%s [%s]", static_cast<void*>(handler),
                   escape(event.getNodeId().c_str()).c_str(),
                   escape(event.getType().c_str()).c_str(),
                   escape(event.getDetails().c_str()).c_str());
    const char* why = nullptr;
    std::string what;
    try {
      handler->handleEvent(event);
    } catch (const std::exception& e) {
      what = e.what();
      why = what.c_str();
    } catch (...) {
      why = "unknown exception";
    }
    if (why == nullptr) continue;
    // A handler that throws at every event must not flood the log.
    static Kestrix::CoLogLimiter failed("Event handler failures");
    const std::string node = escape(event.getNodeId().c_str());
    if (failed.admit(Kestrix::CoMsg::LEVEL_ERROR, node))
      CO_POST_ERROR("Event handler %p failed on node '%s': %s", static_cast<void*>(handler),
                    node.c_str(), escape(why).c_str());
  }
}

void KestrixEventMonitor::Connection::release() noexcept {
  // Only the outermost holder delivers: a handler that registers or
  // unregisters runs inside a dispatch already.
  if (lockDepth_ > 1) {
    --lockDepth_;
    subscriptionsLock_.unlock();
    return;
  }
  for (;;) {
    try {
      if (registerAllPending_.exchange(false)) registerAll();
      dispatch();
    } catch (const std::exception& e) {  // memory, or the log
      CO_POST_ERROR("Event delivery failed: %s", e.what());
    }
    --lockDepth_;
    subscriptionsLock_.unlock();
    // An event queued after the dispatch, by a thread that found the lock
    // still taken, is ours to deliver.
    bool more;
    {
      CoMutexGuard guard(pendingLock_);
      more = !pending_.empty();
    }
    if (!(more || registerAllPending_) || !subscriptionsLock_.tryLock()) return;
    ++lockDepth_;
  }
}

void KestrixEventMonitor::Connection::resubscribe() {
  // Our own requests may reconnect and call us again: once is enough.
  if (resubscribing_.exchange(true)) return;
  std::string ignored;
  sendUnregister(KestrixNodeId(), ignored);
  if (api_->isConnected()) {
    // A holder of the lock may be waiting for the very call that runs us:
    // never wait for it, leave the requests to its release.
    registerAllPending_ = true;
    if (subscriptionsLock_.tryLock()) {
      ++lockDepth_;
      release();
    }
  }
  resubscribing_ = false;
}

void KestrixEventMonitor::Connection::registerAll() {
  std::string error;
  for (auto it = subscriptions_.begin(); it != subscriptions_.end();) {
    if (!api_->isConnected()) break;
    // The server has just forgotten everything: a subject left to withdraw is done.
    if (it->second.empty()) {
      it = subscriptions_.erase(it);
      continue;
    }
    if (!sendRegister(it->first, error)) CO_POST_ERROR("%s", escape(error).c_str());
    ++it;
  }
}

void KestrixEventMonitor::Connection::renew() {
  std::vector<KestrixEventSubject> subjects;
  std::string error;
  {
    Guard guard(*this);
    if (!withdrawEmpty(nullptr, error)) CO_POST_DEBUG("%s", escape(error).c_str());
    for (const auto& [subject, handlers] : subscriptions_) subjects.push_back(subject);
  }
  if (subjects.empty()) return;
  for (const KestrixEventSubject& subject : subjects)
    if (!sendRegister(subject, error)) {
      CO_POST_DEBUG("%s", escape(error).c_str());
      return;  // the next call reconnects and sends them all
    }
  // A node withdrawn while its subject was sent again is withdrawn again.
  Guard guard(*this);
  for (const KestrixEventSubject& subject : subjects) {
    auto next = subscriptions_.lower_bound(KestrixEventSubject{subject.nodeId, "", ""});
    if (next != subscriptions_.end() && next->first.nodeId == subject.nodeId) continue;
    subscriptions_.emplace(subject, std::vector<KestrixNodeEvent::Handler*>());
    if (!withdrawEmpty(&subject.nodeId, error)) CO_POST_DEBUG("%s", escape(error).c_str());
  }
}
