#include "kestrix/client/api/KestrixEventMonitor.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <tuple>
#include <utility>

#include "common/base/loggerBase/CoLogText.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/EnvVar.h"
#include "common/base/rcApi/rcAttrStream.h"
#include "common/base/rcApi/rcParam.h"
#include "common/base/threads/CoThreadMgr.h"
#include "kestrix/client/api/KestrixBaseClientAPI.h"

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
}

KestrixEventMonitor::~KestrixEventMonitor() {
  stop();
}

void KestrixEventMonitor::start() {
  if (thread_ != nullptr) return;
  stop_ = false;
  thread_ = Kestrix::CoThreadMgr::createThread(
      "Kestrix Event Monitor", Kestrix::CoThread::MANAGED_THREAD,
      [](void* monitor) { static_cast<KestrixEventMonitor*>(monitor)->run(); }, this);
}

void KestrixEventMonitor::stop() {
  if (thread_ == nullptr) return;
  stop_ = true;
  thread_->stop();
  wakeUp();
  thread_->wait();
  delete thread_;
  thread_ = nullptr;
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
  // The list lock keeps the connection alive while it takes the event: the
  // object found by its id may be on its way out.
  CoMutexGuard guard(monitor.connectionsLock_);
  auto found = std::find(monitor.connections_.begin(), monitor.connections_.end(), object);
  if (found != monitor.connections_.end()) (*found)->receive(std::move(event));
  return true;
}

void KestrixEventMonitor::add(Connection* connection) {
  CoMutexGuard guard(connectionsLock_);
  connections_.push_back(connection);
  if (!registerObject(static_cast<int>(connection->getId()), connection))
    CO_POST_WARNING("Could not register connection '%d'", static_cast<int>(connection->getId()));
}

void KestrixEventMonitor::remove(Connection* connection) {
  CoMutexGuard guard(connectionsLock_);
  auto found = std::find(connections_.begin(), connections_.end(), connection);
  if (found == connections_.end()) return;
  connections_.erase(found);
  if (!unregisterObject(static_cast<int>(connection->getId())))
    CO_POST_WARNING("Could not unregister connection '%d'", static_cast<int>(connection->getId()));
}

// ---- KestrixEventMonitor::Connection ----------------------------------------

class KestrixEventMonitor::Connection::Resubscriber
    : public KestrixClientConnection::ConnectCallback {
 public:
  explicit Resubscriber(Connection& owner) : owner_(owner) {}
  void connected(KestrixClientConnection&) override { owner_.resubscribe(); }

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
  instance().add(this);
}

KestrixEventMonitor::Connection::~Connection() {
  api_->removeConnectCallback(callback_.get());
  // A connection that never reached its server has nothing to withdraw
  // there; one with subscriptions reconnects to withdraw them.
  bool withdraw;
  {
    CoMutexGuard guard(subscriptionsLock_);
    withdraw = api_->isConnected() || !subscriptions_.empty();
  }
  // The error may be the server's own text.
  if (withdraw && !sendUnregister(KestrixNodeId()))
    CO_POST_DEBUG("%s", escape(api_->lastError()).c_str());
  {
    Guard guard(*this);
    dispatch();
    subscriptions_.clear();
  }
  instance().remove(this);
}

size_t KestrixEventMonitor::Connection::subjectCount() const {
  CoMutexGuard guard(subscriptionsLock_);
  return subscriptions_.size();
}

bool KestrixEventMonitor::Connection::send(const char* method, const std::string& stream,
                                           bool awaitReply) {
  std::string reply;
  try {
    // A method of one parameter takes the request's whole text as it is.
    api_->connection()->callMethod(method, stream.c_str(), awaitReply, reply, REQUEST_TIMEOUT_MS);
    return true;
  } catch (const std::exception& e) {  // the library's CoException included
    api_->setLastError(e.what());
    return false;
  }
}

bool KestrixEventMonitor::Connection::sendRegister(const KestrixEventSubject& subject) {
  rcAttrStream stream;
  stream.addIntValue("Port", instance().getPort());
  stream.addIntValue("Connection", static_cast<int>(id_));
  stream.addStringValue("Subject", subject.nodeId.c_str());
  if (!subject.format.empty()) stream.addStringValue("Fmt", subject.format);
  if (!subject.metadata.empty()) stream.addStringValue("Meta", subject.metadata);
  return send("RegisterEvents", stream.getStreamStr());
}

bool KestrixEventMonitor::Connection::sendUnregister(const KestrixNodeId& nodeId) {
  rcAttrStream stream;
  stream.addIntValue("Port", instance().getPort());
  stream.addIntValue("Connection", static_cast<int>(id_));
  stream.addStringValue("Subject", nodeId.c_str());
  // Withdrawing every subject happens at each connection and when the
  // handle goes, where no one looks at the answer: waiting for it would
  // cost every run of a program a round trip twice.
  return send("UnregisterEvents", stream.getStreamStr(), !nodeId.isEmpty());
}

bool KestrixEventMonitor::Connection::acceptHandler(const char* doing, const KestrixNodeId& nodeId,
                                                    const KestrixNodeEvent::Handler* handler) {
  if (gDebugEvents)
    CO_POST_USER("%s event handler %p for '%s'", doing, static_cast<const void*>(handler),
                 nodeId.c_str());
  if (handler != nullptr) return true;
  postError("Invalid handler pointer");
  return false;
}

bool KestrixEventMonitor::Connection::registerEventHandler(const KestrixNodeId& nodeId,
                                                           KestrixNodeEvent::Handler* handler,
                                                           const char* format,
                                                           const char* metadata) {
  if (!acceptHandler("Registering", nodeId, handler)) return false;
  if (!api_->ping(5000)) {
    postError("%s", api_->lastError().c_str());
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
  if (!sendRegister(subject)) {
    postError("%s", api_->lastError().c_str());
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
  api_->ping(5000);
  Guard guard(*this);
  // The server knows subscriptions by node id alone: the node is withdrawn
  // there only when none of its subjects keeps a handler here.
  bool emptied = false;
  bool kept = false;
  for (auto it = subscriptions_.begin(); it != subscriptions_.end();) {
    if (it->first.nodeId != nodeId) {
      ++it;
      continue;
    }
    auto& handlers = it->second;
    handlers.erase(std::remove(handlers.begin(), handlers.end(), handler), handlers.end());
    if (handlers.empty()) {
      emptied = true;
      it = subscriptions_.erase(it);
    } else {
      kept = true;
      ++it;
    }
  }
  if (emptied && !kept && api_->isConnected() && !sendUnregister(nodeId)) {
    postError("%s", api_->lastError().c_str());
    return false;
  }
  return true;
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
    for (const KestrixNodeEvent& event : events) {
      for (auto& [subject, handlers] : subscriptions_) {
        if (subject.nodeId != event.getNodeId()) continue;
        // A handler may unregister others (or itself) as it runs: call
        // only those still registered.
        const std::vector<KestrixNodeEvent::Handler*> snapshot = handlers;
        for (KestrixNodeEvent::Handler* handler : snapshot) {
          auto& now = subscriptions_[subject];
          if (std::find(now.begin(), now.end(), handler) == now.end()) continue;
          if (gDebugEvents)
            CO_POST_USER("Notifying event handler %p of event %s/%s [%s]",
                         static_cast<void*>(handler), escape(event.getNodeId().c_str()).c_str(),
                         escape(event.getType().c_str()).c_str(),
                         escape(event.getDetails().c_str()).c_str());
          handler->handleEvent(event);
        }
      }
    }
  }
}

void KestrixEventMonitor::Connection::release() {
  // Only the outermost holder delivers: a handler that registers or
  // unregisters runs inside a dispatch already.
  if (lockDepth_ > 1) {
    --lockDepth_;
    subscriptionsLock_.unlock();
    return;
  }
  for (;;) {
    if (registerAllPending_.exchange(false)) registerAll();
    dispatch();
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
  sendUnregister(KestrixNodeId());
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
  for (const auto& [subject, handlers] : subscriptions_) {
    if (!api_->isConnected()) break;
    if (!sendRegister(subject)) CO_POST_ERROR("%s", escape(api_->lastError()).c_str());
  }
}
