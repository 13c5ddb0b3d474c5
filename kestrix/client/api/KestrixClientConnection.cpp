#include "kestrix/client/api/KestrixClientConnection.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>

#include "common/base/ipc/CoCache.h"
#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/CoLogText.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/EnvVar.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/network/CoNetworkUtil.h"
#include "common/base/osal/CoTime.h"
#include "common/base/tcp/CoIoTcpDescriptor.h"
#include "kestrix/client/api/KestrixMulticastClient.h"
#include "kestrix/client/api/KestrixOS.h"
#include "kestrix/client/api/KestrixResolver.h"

using Kestrix::CoException;
using Kestrix::CoMutexGuard;

namespace {

Kestrix::EnvVar<bool>& traceVar() {
  static Kestrix::EnvVar<bool> var("QV_KESTRIX_TRACE", false);
  return var;
}
Kestrix::RegEnvVar<bool> gRegTrace(traceVar());

bool trace() {
  return traceVar().get();
}

int latencySetting(const char* name) {
  const char* text = std::getenv(name);
  const int value = text != nullptr ? std::atoi(text) : 0;
  return value < 0 ? 0 : value;
}

int connectLatencyMs() {
  static const int value = latencySetting("QV_KESTRIX_CONNECT_EXTRA_LATENCY_MSEC");
  return value;
}

int callLatencyMs() {
  static const int value = latencySetting("QV_KESTRIX_CALL_EXTRA_LATENCY_MSEC");
  return value;
}

// KESTRIX_SHARED_CONNECTIONS sets both the capacity and the idle seconds.
struct SharedSettings {
  int capacity = 16;
  int idleSeconds = 30;
  SharedSettings() {
    const char* text = std::getenv("KESTRIX_SHARED_CONNECTIONS");
    if (text == nullptr) return;
    const int value = std::max(0, std::atoi(text));
    capacity = value;
    idleSeconds = value;
  }
};
const SharedSettings gSharedSettings;

std::atomic<KestrixClientConnection::DisconnectCallback> gDisconnectCallback{nullptr};

}  // namespace

// ---- KestrixClientConnection ----------------------------------------------

class KestrixClientConnection::MulticastObserver : public KestrixMulticastClient::Observer {
 public:
  explicit MulticastObserver(KestrixClientConnection& connection) : connection_(connection) {}
  // The identity never changes after construction: no lock needed to read it.
  void notify(Event, const KestrixDaemonInfo& info) override {
    if (info.isSameServer(connection_.id_, connection_.target_)) connection_.infoStale_ = true;
  }

 private:
  KestrixClientConnection& connection_;
};

KestrixClientConnection::KestrixClientConnection(const KestrixServerId& id)
    : engine_(CLIENT_VERSION, 4), id_(id), observer_(new MulticastObserver(*this)) {
  if (*id_.getStorageId() == '\0') {
    if (*id_.getDB() == '\0' && id_.getPort() == 0) id_.setDB(KestrixServerId::DEFAULT_DB);
    if (std::isalpha(static_cast<unsigned char>(id_.getIPAddr()[0]))) {
      std::string address;
      if (Kestrix::CoIoTcpDescriptor::getIpAddrFromHostName(id_.getIPAddr(), address))
        id_.setIPAddr(address.c_str());
    }
  }
  target_ = KestrixDaemonInfo::targetOf(id_);
  info_.setDatabase(id_.getDB());
  info_.setMetadataIP(0, id_.getIPAddr());
  info_.setStorageId(id_.getStorageId());
  info_.setNodePort(id_.getPort());
}

KestrixClientConnection::~KestrixClientConnection() {
  // First: the discovery thread may be telling the observer right now.
  if (observing_) KestrixMulticastClient::removeObserver(observer_.get());
}

void KestrixClientConnection::observeDiscovery() {
  if (observing_) return;
  observing_ = true;
  KestrixMulticastClient::addObserver(observer_.get());
}

bool KestrixClientConnection::isSameServer(const KestrixServerId& id) const {
  std::lock_guard<std::mutex> lock(infoMutex_);
  return info_.isSameServer(id);
}

void KestrixClientConnection::simulateLatency(int ms) {
  if (ms <= 0) return;
  if (trace()) CO_POST_USER("Simulating extra latency of %d ms", ms);
  Kestrix::CoTime::sleepMs(ms);
}

void KestrixClientConnection::connect(unsigned int timeoutMs) {
  infoStale_ = true;
  // An address with a port is reached without discovery: starting it would
  // cost such a connection a search of the network. When discovery runs
  // already, it is asked all the same.
  const bool direct = *id_.getIPAddr() != '\0' && id_.getPort() != 0;
  KestrixMulticastClient* discovery =
      direct ? KestrixMulticastClient::existingInstance() : &KestrixMulticastClient::getInstance();
  bool known = false;
  if (discovery != nullptr) {
    observeDiscovery();
    KestrixDaemonInfo found;
    known = discovery->resolve(id_, found);
    // What the server whose list the start-up search took knows stands over
    // what datagrams told this process first: its list is fetched before
    // any other server is reached.
    if (!direct && (!known || !discovery->isListSource(found)) && discovery->fetchPendingList())
      known = discovery->resolve(id_, found);
    // The address the program named is tried first: anyone may list it
    // after an address of their own.
    if (known && *id_.getStorageId() == '\0' &&
        KestrixMulticastProtocol::hasAddress(found, id_.getIPAddr()))
      KestrixMulticastProtocol::takeFrom(found, id_.getIPAddr());
    if (known) {
      if (connectDiscovered(found, timeoutMs)) return;
      // What discovery knew led nowhere: forget it and ask again, for later.
      discovery->remove(id_);
      discovery->find(id_.getStorageId());
    }
  }
  if (direct) {
    connectDirect(timeoutMs);
    return;
  }
  // Every address discovery gave refused the connection.
  if (known)
    CO_THROW(
        Kestrix::CoNetworkUtil::strerror(Kestrix::CoNetworkUtil::NET_CONNECTION_REFUSED).c_str(),
        nullptr);
  // A storage id may have come from a peer's announcement.
  const char* shown =
      *id_.getIPAddr() == '\0' && *id_.getStorageId() != '\0' ? id_.getStorageId() : id_.getId();
  const std::string notFound = "No Kestrix server found for '" + Kestrix::CoLogText::escape(shown) +
                               "' (kestrix_servers lists the servers discovery knows)";
  CO_THROW(notFound.c_str(), nullptr);
}

bool KestrixClientConnection::connectDiscovered(const KestrixDaemonInfo& info,
                                                unsigned int timeoutMs) {
  KestrixResolver resolver(info);
  const unsigned port = static_cast<unsigned>(info.getNodePort());
  // An address of this host (a container bridge has the same one on every
  // host) would reach a server here, not the remote one that listed it.
  const bool local = info.isLocal();
  for (unsigned i = 0;; ++i) {
    const char* address = resolver.getIP(KestrixResolver::IP_METADATA, i);
    if (*address == '\0') return false;
    if (!local && KestrixOS::isLocalIP(address)) continue;
    // Names and addresses came with a datagram.
    const std::string name = Kestrix::CoLogText::escape(info.getDisplayName());
    const std::string storage = Kestrix::CoLogText::escape(info.getStorageId());
    const std::string where = Kestrix::CoLogText::escape(address);
    CO_POST_DEBUG("Connecting to server '%s' / '%s' using '%s:%u'", name.c_str(), storage.c_str(),
                  where.c_str(), port);
    simulateLatency(connectLatencyMs());
    if (engine_.connect(address, info.getNodePort(), timeoutMs)) {
      CO_POST_DEBUG("Connected to server '%s' / '%s' using '%s:%u'", name.c_str(), storage.c_str(),
                    where.c_str(), port);
      KestrixMulticastClient::getInstance().connectedTo(id_);
      return true;
    }
    const std::string error = engine_.lastError();
    CO_POST_DEBUG("Could not connect to server '%s' / '%s' using '%s:%u': %s", name.c_str(),
                  storage.c_str(), where.c_str(), port, Kestrix::CoLogText::escape(error).c_str());
    // A silent host or a stop ends the attempt; a refusal moves on.
    if (engine_.timedOut() || engine_.stopped()) CO_THROW(error.c_str(), nullptr);
    KestrixResolver::flagInaccesibleIP(address);
  }
}

void KestrixClientConnection::connectDirect(unsigned int timeoutMs) {
  CO_POST_DEBUG("Connecting to server [%s:%u] [%s] [%s]", id_.getIPAddr(),
                static_cast<unsigned>(id_.getPort()), id_.getDB(), id_.getStorageId());
  simulateLatency(connectLatencyMs());
  if (engine_.connect(id_.getIPAddr(), id_.getPort(), timeoutMs)) {
    CO_POST_DEBUG("Connected to server [%s:%u] [%s] [%s]", id_.getIPAddr(),
                  static_cast<unsigned>(id_.getPort()), id_.getDB(), id_.getStorageId());
    if (KestrixMulticastClient* discovery = KestrixMulticastClient::existingInstance())
      discovery->connectedTo(id_);
    return;
  }
  const std::string error = engine_.lastError();
  CO_POST_DEBUG("Could not connect to server [%s:%u] [%s] [%s]: %s", id_.getIPAddr(),
                static_cast<unsigned>(id_.getPort()), id_.getDB(), id_.getStorageId(),
                error.c_str());
  CO_THROW(error.c_str(), nullptr);
}

void KestrixClientConnection::callDisconnectCallback() const {
  if (DisconnectCallback callback = gDisconnectCallback.load()) callback(id_);
}

void KestrixClientConnection::callMethod(const char* method, const char* params, bool sync,
                                         std::string& result, unsigned int timeoutMs) {
  bool connected;
  {
    CoMutexGuard guard(callMutex_);
    connected = engine_.isConnected(false);
  }
  bool leftEarly = false;
  for (int pass = 0; pass < 2 && !leftEarly; ++pass) {
    CoMutexGuard guard(callMutex_);
    if (trace()) CO_POST_USER("Calling %s(%s)", method, params);
    bool ok = false;
    if (connected) ok = engine_.call(0, method, params, sync, result, timeoutMs);
    simulateLatency(callLatencyMs());
    if (trace())
      CO_POST_USER("Finished %s() -> '%s'", method, Kestrix::CoLogText::escape(result).c_str());
    if (ok) return;
    if (connected && engine_.isConnected(true)) {
      leftEarly = true;  // the server answered with an error, or the reply timed out
      break;
    }
    if (connected) {
      callDisconnectCallback();
      if (engine_.stopped()) CO_THROW(engine_.lastError().c_str(), nullptr);
    }
    connect(timeoutMs);
    connected = true;
    connectCallbacks();
  }
  if (!leftEarly) CO_THROW(result.c_str(), nullptr);
  if (engine_.timedOut()) {
    CoMutexGuard guard(callMutex_);
    engine_.disconnect();
    callDisconnectCallback();
  }
  CO_THROW(result.c_str(), nullptr);
}

void KestrixClientConnection::connectCallbacks() {
  CoMutexGuard run(callbacksRunMutex_, false);
  if (!run.tryLock()) return;
  CoMutexGuard list(callbacksMutex_);
  for (ConnectCallback* callback : std::vector<ConnectCallback*>(callbacks_)) {
    if (!engine_.isConnected(true)) break;
    callback->connected(*this);
  }
}

const KestrixDaemonInfo& KestrixClientConnection::getDaemonInfo(bool cachedOnly) {
  CoMutexGuard guard(callMutex_);
  if (infoStale_ && !cachedOnly) {
    std::string reply;
    callMethod("GetDaemonInfo", "\"\"", true, reply, DAEMON_INFO_TIMEOUT_MS);
    KestrixDaemonInfo fetched{Kestrix::rcAttrStream(reply)};
    std::lock_guard<std::mutex> lock(infoMutex_);
    info_ = std::move(fetched);
    infoStale_ = false;
  }
  return info_;
}

void KestrixClientConnection::disconnect() {
  engine_.stop(nullptr);
  CoMutexGuard guard(callMutex_);
  CO_POST_DEBUG("Forced disconnect");
  engine_.disconnect();
}

bool KestrixClientConnection::isConnected() const {
  CoMutexGuard guard(callMutex_);
  return engine_.isConnected(true);
}

void KestrixClientConnection::stop(const char* reason) {
  engine_.stop(reason);
}

void KestrixClientConnection::addConnectCallback(ConnectCallback* callback) {
  CoMutexGuard guard(callbacksMutex_);
  callbacks_.push_back(callback);
}

void KestrixClientConnection::removeConnectCallback(ConnectCallback* callback) {
  CoMutexGuard guard(callbacksMutex_);
  auto it = std::find(callbacks_.begin(), callbacks_.end(), callback);
  if (it != callbacks_.end()) callbacks_.erase(it);
}

void KestrixClientConnection::registerDisconnectCallBack(DisconnectCallback callback) {
  gDisconnectCallback = callback;
}

void KestrixRegisterDisconnectCallBack(KestrixClientConnection::DisconnectCallback callback) {
  KestrixClientConnection::registerDisconnectCallBack(callback);
}

// ---- The shared connections cache ------------------------------------------

namespace {

class Connections : public Kestrix::CoCache {
 public:
  class Key : public Kestrix::CoCache::Key {
   public:
    explicit Key(const KestrixServerId& id) : id(id) {}
    const KestrixServerId& id;
  };
  // Matches no entry: a lookup with it only runs the pass over idle entries.
  class CleanKey : public Kestrix::CoCache::Key {};

  class Entry : public Kestrix::CoCache::SharedEntry {
   public:
    explicit Entry(const KestrixServerId& id)
        : idText(id.getId()), connection(new KestrixClientConnection(id)) {
      CO_POST_DEBUG("Creating shared connection '%p' to '%s'", static_cast<void*>(this),
                    idText.c_str());
    }
    ~Entry() override {
      CO_POST_DEBUG("Releasing shared connection '%p' to '%s'", static_cast<void*>(this),
                    idText.c_str());
      delete connection;
    }
    bool match(const Kestrix::CoCache::Key& key) override {
      const auto* wanted = dynamic_cast<const Key*>(&key);
      if (wanted == nullptr) return false;
      try {
        return connection->isSameServer(wanted->id);
      } catch (const std::exception& e) {
        CO_POST_DEBUG("%s", e.what());
        return false;
      }
    }

    std::string idText;
    KestrixClientConnection* connection;

   protected:
    void incref() override {
      SharedEntry::incref();
      CO_POST_DEBUG("Referencing shared connection '%p' to '%s' (%d)", static_cast<void*>(this),
                    idText.c_str(), getRefCount());
    }
    void decref() override {
      CO_POST_DEBUG("Unreferencing shared connection '%p' to '%s' (%d)", static_cast<void*>(this),
                    idText.c_str(), getRefCount() - 1);
      SharedEntry::decref();
    }
  };

  Connections(int capacity, int64_t idleMicroseconds)
      : CoCache(capacity, idleMicroseconds, true, false) {}

 protected:
  Kestrix::CoCache::Entry* create(const Kestrix::CoCache::Key& key) override {
    const auto* wanted = dynamic_cast<const Key*>(&key);
    return wanted != nullptr ? new Entry(wanted->id) : nullptr;
  }
};

std::atomic<Connections*> gConnections{nullptr};

// A cache whose library was shut down while handles still held some of its
// connections lives on until the last of them is let go. The mutex makes
// "release, then delete when nothing is held" one step.
std::mutex gRetiredMutex;

// With gRetiredMutex held: deletes cache unless an entry is still held.
bool deleteIfUnused(Connections* cache) {
  cache->resetCache(true);
  bool held = false;
  {
    Kestrix::CoCache::Iterator it(*cache);
    held = it.next() != nullptr;
  }
  if (!held) delete cache;
  return !held;
}

}  // namespace

class KestrixClientConnection::Shared::Imp {
 public:
  Connections* cache = nullptr;
  Connections::Entry* entry = nullptr;

  void release() {
    if (entry != nullptr) {
      // Under the mutex uninit() retires the cache with, so that the cache
      // is either still current or already retired throughout.
      std::lock_guard<std::mutex> lock(gRetiredMutex);
      cache->releaseCacheEntry(entry);
      if (cache != gConnections.load()) deleteIfUnused(cache);
    }
    entry = nullptr;
    cache = nullptr;
  }
  void take(const KestrixServerId& id) {
    Connections* connections = gConnections.load();
    QV_ASSERT(connections);
    if (connections == nullptr) CO_THROW("Kestrix client API not initialized", nullptr);
    entry = static_cast<Connections::Entry*>(connections->getCacheEntry(Connections::Key(id)));
    if (entry == nullptr) CO_THROW("Cannot create a shared connection", "to '%s'", id.getId());
    cache = connections;
  }
};

KestrixClientConnection::Shared::Shared() : imp_(new Imp) {}

KestrixClientConnection::Shared::Shared(const KestrixServerId& id) : imp_(new Imp) {
  imp_->take(id);
}

KestrixClientConnection::Shared::~Shared() {
  imp_->release();
  delete imp_;
}

void KestrixClientConnection::Shared::reset(const KestrixServerId* id) {
  imp_->release();
  if (id != nullptr) imp_->take(*id);
}

KestrixClientConnection* KestrixClientConnection::Shared::get() const {
  return imp_->entry != nullptr ? imp_->entry->connection : nullptr;
}

void KestrixClientConnection::Shared::init() {
  if (gConnections.load() != nullptr) return;
  gConnections =
      new Connections(gSharedSettings.capacity, int64_t{gSharedSettings.idleSeconds} * 1000000);
}

void KestrixClientConnection::Shared::uninit() {
  // Deleting a cache waits for its held entries: a handle that outlives the
  // library would hang the shut-down. Its connections stay with it instead,
  // and the last one let go takes the cache with it.
  std::lock_guard<std::mutex> lock(gRetiredMutex);
  Connections* connections = gConnections.exchange(nullptr);
  if (connections == nullptr) return;
  if (!deleteIfUnused(connections))
    CO_POST_WARNING("Shared connections are still in use at shut-down; they are left open");
}

void KestrixClientConnection::Shared::releaseUnusedConnections(bool all) {
  Connections* connections = gConnections.load();
  if (connections == nullptr) return;
  if (all) {
    connections->resetCache(true);
    return;
  }
  connections->getCacheEntry(Connections::CleanKey(), false, false);
}

void KestrixClientReleaseUnusedConnections(bool all) {
  KestrixClientConnection::Shared::releaseUnusedConnections(all);
}
