#include "kestrix/client/api/KestrixMulticastClient.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/CoLogText.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/EnvVar.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/network/CoNetworkConfig.h"
#include "common/base/network/CoNetworkUtil.h"
#include "common/base/osal/CoTime.h"
#include "common/base/rcApi/rcLoginProof.h"
#include "common/base/tcp/CoIoTcpDescriptor.h"
#include "common/base/tcp/CoMulticast.h"
#include "common/base/tcp/CoSocketError.h"
#include "common/base/threads/CoThread.h"
#include "common/base/threads/CoThreadMgr.h"
#include "kestrix/client/api/KestrixClientConnection.h"
#include "kestrix/client/api/KestrixOS.h"
#include "kestrix/client/api/KestrixPoll.h"
#include "kestrix/client/api/KestrixServerId.h"

using Kestrix::CoException;
using Kestrix::CoMulticast;
using Kestrix::CoMutex;
using Kestrix::CoMutexGuard;
using Kestrix::CoNetworkDispatcher;
using Kestrix::CoNetworkInterface;
using Kestrix::rcAttrStream;
using Kestrix::CoLogText::escape;
using Protocol = KestrixMulticastProtocol;

namespace {

constexpr uint64_t SECOND_US = 1000000;
// The start-up search waits this long for a first answer.
constexpr uint64_t SEARCH_WAIT_US = SECOND_US;
// The longest single wait: the stop flag and the deadlines are looked at
// least this often even if a wake-up were lost.
constexpr int64_t MAX_WAIT_MS = 2000;
// Sockets in one wait besides the public one and the wake-up descriptor.
constexpr size_t MAX_PRIVATE_SOCKETS = 64;

int intSetting(const char* name, int fallback) {
  const char* text = std::getenv(name);
  const int value = text != nullptr ? Kestrix::EnvVarDetail::parseInt(text) : fallback;
  return value > 0 ? value : fallback;
}

// The settings the client reads once, at its first start in the process.
struct Settings {
  int debug = std::max(0, intSetting("KESTRIX_MULTICAST_DEBUG", 0));
  // A period of 0 would make the service thread resync without pause.
  uint64_t resyncUs = uint64_t(intSetting("KESTRIX_MULTICAST_RESYNC_TIME", 300)) * SECOND_US;
  unsigned int fetchTimeoutMs = unsigned(intSetting("KESTRIX_GETDAEMONINFO_TIMEOUT", 5000));
};
const Settings& settings() {
  static const Settings values;
  return values;
}
Kestrix::RegEnvView gRegDebug("KESTRIX_MULTICAST_DEBUG", "0");
Kestrix::RegEnvView gRegResync("KESTRIX_MULTICAST_RESYNC_TIME", "300");
Kestrix::RegEnvView gRegFetchTimeout("KESTRIX_GETDAEMONINFO_TIMEOUT", "5000");
Kestrix::RegEnvView gRegNoLoopback("KESTRIX_NO_LOOPBACK", "");

Kestrix::EnvVar<int>& maxServersVar() {
  static Kestrix::EnvVar<int> var("KESTRIX_MULTICAST_MAX_SERVERS", 4096);
  return var;
}
Kestrix::RegEnvVar<int> gRegMaxServers(maxServersVar());

bool level(int n) {
  return settings().debug >= n;
}

const char* typeStr(Protocol::RequestType type) {
  return Protocol::getRequestTypeStr(type);
}

std::string timeText(uint64_t time) {
  return Kestrix::CoTime::getDateStr(time, "%Y-%m-%d %H:%M:%S");
}

std::string ipList(const KestrixDaemonInfo& info, bool metadata) {
  std::string text;
  for (unsigned i = 0; i < KestrixDaemonInfo::MAX_IPS; ++i) {
    const char* ip = metadata ? info.getMetadataIP(i) : info.getDataIP(i);
    if (*ip == '\0') break;
    text.append(ip).append(" ");
  }
  return text;
}

// Kept apart from the instance so that removing an observer never needs
// one; stop() forgets them all, and parties register again with the next
// instance. Never destroyed: an observer may leave at static destruction.
struct Observers {
  CoMutex mutex;
  std::vector<KestrixMulticastClient::Observer*> list;
};
Observers& observers() {
  static Observers* all = new Observers;
  return *all;
}

// Never destroyed either: a static KestrixClient stops discovery at exit,
// after the statics made later than it are gone.
CoMutex& creationMutex() {
  static CoMutex* mutex = new CoMutex;
  return *mutex;
}
KestrixMulticastClient* instance = nullptr;

}  // namespace

// ---- Interfaces -------------------------------------------------------------

struct KestrixMulticastClient::InterfaceSocket {
  explicit InterfaceSocket(const CoNetworkInterface& i) : itf(i) {}
  CoNetworkInterface itf;
  std::unique_ptr<CoMulticast> socket;
  CoMutex mutex;  // sends
  bool dropped = false;
};

class KestrixMulticastClient::NetworkObserver : public CoNetworkDispatcher::Observer {
 public:
  explicit NetworkObserver(KestrixMulticastClient* client) : _client(client) {
    QV_ASSERT_FLUSH(_client);
  }

  void notify(CoNetworkDispatcher::Event event, const CoNetworkInterface& itf) override {
    if (!CoNetworkDispatcher::IPv4Filter(itf) ||
        !(itf.getAttributes() & CoNetworkInterface::ATTR_MULTICAST))
      return;
    if (event == CoNetworkDispatcher::EVENT_REMOVED) {
      drop(itf);
      return;
    }
    if (!open(itf)) return;
    // The service thread takes the new socket into its wait at once, then
    // a search goes out on it.
    _client->wakeUp();
    _client->refresh(nullptr);
  }

 private:
  bool open(const CoNetworkInterface& itf) {
    KestrixMulticastClient& c = *_client;
    const char* name = itf.getName().c_str();
    const char* ip = itf.getIP().c_str();
    CoMutexGuard guard(c.interfacesMutex_);
    if (level(1)) CO_POST_USER("Kestrix Multicast: start multicasting on '%s'", name);
    auto entry = std::make_unique<InterfaceSocket>(itf);
    if (level(1))
      CO_POST_USER("Kestrix Multicast: multicast on %s '%s:%u/%s/%u'", name, ip, c.port_,
                   c.scope_.c_str(), c.ttl_);
    try {
      entry->socket = std::make_unique<CoMulticast>(c.port_, c.scope_.c_str(), ip);
      entry->socket->setTTL(static_cast<int>(c.ttl_));
      entry->socket->setLoopback(true);
      entry->socket->bind(true);
    } catch (const CoException& e) {
      CO_POST_ERROR("Could not bind private multicast socket on '%s' '%s:%u/%s/%u': %s", name, ip,
                    c.port_, c.scope_.c_str(), c.ttl_, e.what());
    }
    if (!entry->socket) return false;
    KestrixPoll::setNonBlocking(entry->socket->getSocket());
    // The public socket hears the group on every interface, not only on
    // the one the group's route names.
    if (c.publicSocket_ && !c.publicSocket_->joinOn(itf.getName(), true) && level(1))
      CO_POST_USER("Kestrix Multicast: cannot join '%s' on '%s': %s", c.scope_.c_str(), name,
                   Kestrix::CoSocketError::lastText().c_str());
    if (level(2))
      CO_POST_USER("Kestrix Multicast: opened private socket '%d' on  '%s' '%s:%u/%s/%u'",
                   entry->socket->getSocket(), name, ip, c.port_, c.scope_.c_str(), c.ttl_);
    c.interfaces_.push_back(std::move(entry));
    return true;
  }

  void drop(const CoNetworkInterface& itf) {
    CoMutexGuard guard(_client->interfacesMutex_);
    for (auto& entry : _client->interfaces_) {
      if (entry->dropped || entry->itf != itf) continue;
      entry->dropped = true;
      if (level(1))
        CO_POST_USER("Kestrix Multicast: drop multicasting on '%s'", itf.getName().c_str());
      const bool stillThere =
          std::any_of(_client->interfaces_.begin(), _client->interfaces_.end(), [&](auto& other) {
            return !other->dropped && other->itf.getName() == itf.getName();
          });
      if (!stillThere && _client->publicSocket_) _client->publicSocket_->joinOn(itf.getName(), false);
      return;
    }
  }

  KestrixMulticastClient* const _client;
};

// ---- Life cycle -------------------------------------------------------------

KestrixMulticastClient& KestrixMulticastClient::getInstance() {
  return *_getInstance(true);
}

KestrixMulticastClient* KestrixMulticastClient::_getInstance(bool create) {
  CoMutexGuard guard(creationMutex());
  if (instance != nullptr || !create) return instance;
  unsigned int port = DEFAULT_PORT;
  std::string scope = DEFAULT_SCOPE();
  unsigned int ttl = DEFAULT_TTL;
  Kestrix::CoNetworkConfig& config = Kestrix::CoNetworkConfig::getInstance();
  config.getSelfDiscoveryPort(port);
  config.getSelfDiscoveryScope(scope);
  config.getSelfDiscoveryTTL(ttl);
  auto* client = new KestrixMulticastClient(port, scope.c_str(), ttl);
  client->startThread(true);
  return client;
}

void KestrixMulticastClient::stop() {
  CoMutexGuard guard(creationMutex());
  delete instance;
  instance = nullptr;
  Observers& all = observers();
  CoMutexGuard list(all.mutex);
  all.list.clear();
}

KestrixMulticastClient::KestrixMulticastClient(unsigned int port, const char* scope,
                                               unsigned int ttl)
    : port_(port), scope_(scope), ttl_(ttl), dispatcher_(CoNetworkDispatcher::FLAG_MONITOR) {
  QV_ASSERT_FLUSH(instance == nullptr);
  instance = this;
  if (!wakeUp_.isOpen())
    CO_POST_WARNING("Kestrix Multicast: no wake-up pipe: %s", wakeUp_.error().c_str());
  std::string error;
  signedOnly_ = !Kestrix::rcLoginProof::clientSecret(secret_, error) || !secret_.empty();
  if (!error.empty())
    CO_POST_WARNING("Kestrix Multicast: %s; no discovery datagram is taken", error.c_str());
  // A scope that is no group address fails here too: discovery then runs
  // without the public socket rather than take the program down.
  try {
    publicSocket_ = std::make_unique<CoMulticast>(port_, scope_.c_str(), nullptr);
    publicSocket_->setTTL(static_cast<int>(ttl_));
    publicSocket_->bind(false);
    KestrixPoll::setNonBlocking(publicSocket_->getSocket());
  } catch (const CoException& e) {
    CO_POST_ERROR("Could not bind/join public multicast socket on '%u/%s/%u': %s", port_,
                  scope_.c_str(), ttl_, e.what());
    publicSocket_.reset();
  }
  // Joined on each interface as it comes; the route's join is one more for
  // a host whose interfaces cannot be listed.
  try {
    if (publicSocket_) publicSocket_->join();
    joinedByRoute_ = publicSocket_ != nullptr;
  } catch (const CoException& e) {
    CO_POST_DEBUG("No join of '%s' by route: %s", scope_.c_str(), e.what());
  }
  networkObserver_ = std::make_unique<NetworkObserver>(this);
  dispatcher_.addObserver(CoNetworkDispatcher::TYPE_MULTICAST, networkObserver_.get());
  dispatcher_.refresh(false);
}

KestrixMulticastClient::~KestrixMulticastClient() {
  QV_ASSERT_FLUSH(instance == this);
  // No interface notification may arrive from here on.
  dispatcher_.removeObserver(CoNetworkDispatcher::TYPE_MULTICAST, networkObserver_.get());
  networkObserver_.reset();
  if (publicSocket_ && joinedByRoute_) {
    try {
      publicSocket_->drop();
    } catch (const CoException& e) {
      CO_POST_ERROR("Could not uninitialize public multicast socket ['%s']: %s", scope_.c_str(),
                    e.what());
    }
  }
  stopThread();
}

void KestrixMulticastClient::startThread(bool fetch) {
  if (fetch) {
    try {
      if (getServers(nullptr, nullptr, "127.0.0.1", 0) == 0)
        getServers(nullptr, nullptr, nullptr, 0);
    } catch (const CoException& e) {
      CO_POST_WARNING("Could not fetch servers list: %s", e.what());
    }
  }
  thread_ = Kestrix::CoThreadMgr::createThread(
      "Kestrix Multicast", Kestrix::CoThread::UNMANAGED_THREAD,
      [](void* client) { static_cast<KestrixMulticastClient*>(client)->threadCB(); }, this);
}

void KestrixMulticastClient::stopThread() {
  stop_ = true;
  if (thread_ == nullptr) return;
  wakeUp();
  thread_->wait();
  delete thread_;
  thread_ = nullptr;
}

bool KestrixMulticastClient::wakeUp() {
  return wakeUp_.signal();
}

void KestrixMulticastClient::threadCB() {
  while (!stop_) {
    try {
      const int64_t remaining =
          static_cast<int64_t>(nextResync_) - static_cast<int64_t>(Kestrix::CoTime::getTime());
      if (remaining < 1)
        resync();
      else
        receive(remaining);
    } catch (const std::exception& e) {
      CO_POST_ERROR("Caught Exception: %s", e.what());
    }
  }
}

// ---- Receiving --------------------------------------------------------------

bool KestrixMulticastClient::receive(int64_t timeoutMicroseconds) {
  const uint64_t deadline = Kestrix::CoTime::getTime() + std::max<int64_t>(timeoutMicroseconds, 0);
  if (stop_) return false;
  for (;;) {
    const uint64_t now = Kestrix::CoTime::getTime();
    if (now >= deadline) return false;
    if (level(2))
      CO_POST_USER("Kestrix Multicast: waiting for sockets activity until %s",
                   timeText(deadline).c_str());
    // Entries are deleted only here, on the one receiving thread, so the
    // pointers stay good after the mutex is let go; reading without it
    // keeps the interface mutex out of the servers and observers mutexes.
    std::vector<InterfaceSocket*> entries;
    {
      CoMutexGuard guard(interfacesMutex_);
      interfaces_.remove_if([](const auto& entry) { return entry->dropped; });
      for (auto& entry : interfaces_)
        if (entries.size() < MAX_PRIVATE_SOCKETS) entries.push_back(entry.get());
    }
    if (entries.empty()) CO_POST_WARNING("No local multicast interface found.");
    std::vector<KestrixPoll::Entry> fds;
    fds.push_back(KestrixPoll::entry(wakeUp_.handle()));
    fds.push_back(KestrixPoll::entry(publicSocket_ ? publicSocket_->getSocket() : -1));
    for (InterfaceSocket* entry : entries)
      fds.push_back(KestrixPoll::entry(entry->socket->getSocket()));
    if ((!publicSocket_ || publicSocket_->getSocket() < 0) && entries.empty())
      CO_POST_DEBUG("select() will be called on no file descriptor.");
    // Never past the deadline: a search that got no answer ends on time.
    const int64_t waitMs = std::min<int64_t>(MAX_WAIT_MS, (deadline - now + 999) / 1000);
    if (KestrixPoll::wait(fds.data(), fds.size(), static_cast<int>(waitMs)) < 0) {
      if (KestrixPoll::interrupted()) continue;
      const std::string text = Kestrix::CoSocketError::lastText();
      CO_POST_ERROR("Error while waiting on sockets: %s", text.c_str());
      CO_THROW(text.c_str(), nullptr);
    }
    if (stop_) return false;
    if (fds[0].revents) wakeUp_.drain();
    bool handled = false;
    if (fds[1].revents) {
      if (level(2))
        CO_POST_USER("Kestrix Multicast: received on public socket '%d' on '%u/%s/%u'",
                     publicSocket_->getSocket(), port_, scope_.c_str(), ttl_);
      handled = readFrom(*publicSocket_);
    }
    for (size_t i = 0; i < entries.size(); ++i) {
      if (!fds[i + 2].revents) continue;
      const CoNetworkInterface& itf = entries[i]->itf;
      if (level(2))
        CO_POST_USER("Kestrix Multicast: received on private socket '%d' on '%s' '%s:%u/%s/%u'",
                     entries[i]->socket->getSocket(), itf.getName().c_str(), itf.getIP().c_str(),
                     port_, scope_.c_str(), ttl_);
      handled = readFrom(*entries[i]->socket) || handled;
    }
    if (handled) return true;
  }
}

bool KestrixMulticastClient::readFrom(CoMulticast& socket) {
  char buffer[Protocol::MAX_DATAGRAM + 1];
  uint64_t length = Protocol::MAX_DATAGRAM;
  sockaddr_storage from{};
  socket.receive(buffer, length, from, false);
  if (length == 0) return false;
  buffer[length] = '\0';
  std::string ip;
  unsigned int port = 0;
  CoMulticast::addrToIPAndPort(from, ip, port);
  const std::string_view received(buffer, static_cast<size_t>(length));
  if (level(2))
    CO_POST_USER("Kestrix Multicast: received %" PRId64 " bytes from '%s:%u': \"%s\"",
                 static_cast<int64_t>(length), ip.c_str(), port, escape(received).c_str());
  Protocol::RequestType type = Protocol::INVALID;
  rcAttrStream data;
  if (!Protocol::parseRequest(buffer, type, data)) {
    // Anyone can send these at will: one line a second per sender.
    static Kestrix::CoLogLimiter invalid("Invalid/Corrupted packets");
    if (invalid.admit(Kestrix::CoMsg::LEVEL_WARN, ip))
      CO_POST_WARNING("Invalid/Corrupted packet received from '%s:%u': %s", ip.c_str(), port,
                      escape(received).c_str());
    return false;
  }
  if (signedOnly_ && type != Protocol::FIND_SERVERS &&
      !Protocol::isSigned(buffer, secret_, static_cast<int64_t>(std::time(nullptr)))) {
    static Kestrix::CoLogLimiter unsigned_("Unsigned discovery datagrams");
    if (unsigned_.admit(Kestrix::CoMsg::LEVEL_WARN, ip))
      CO_POST_WARNING("Kestrix Multicast: '%s' from '%s:%u' is not signed with the secret; ignored",
                      typeStr(type), ip.c_str(), port);
    return false;
  }
  if (level(1))
    CO_POST_USER("Kestrix Multicast: received '%s' from '%s:%u'", typeStr(type), ip.c_str(), port);
  return handle(type, data, ip.c_str(), port);
}

bool KestrixMulticastClient::handle(Protocol::RequestType type, const rcAttrStream& data,
                                    const char* fromIP, unsigned int) {
  switch (type) {
    case Protocol::INVALID:
    case Protocol::START_OF_SERVICES:
    case Protocol::FIND_SERVERS:
    case Protocol::END_OF_SERVICES:
      return false;
    case Protocol::DISCOVER_SERVERS_REPLY:
      // Unasked answers are how a stranger would slip a server in.
      if (Kestrix::CoTime::getTime() - lastSearch_ > REPLY_WINDOW_US) {
        if (level(1)) CO_POST_USER("Kestrix Multicast: unasked answer from '%s' ignored", fromIP);
        return false;
      }
      [[fallthrough]];
    case Protocol::DISCOVER_SERVERS: {
      KestrixDaemonInfo info(data);
      fixKestrixDaemonInfo(info, fromIP);
      merge(info, Source::DATAGRAM, fromIP);
      return true;
    }
    case Protocol::REMOVE_SERVER: {
      KestrixDaemonInfo info(data);
      fixKestrixDaemonInfo(info, nullptr);
      removeFrom(info.getServerId(), fromIP);
      return true;
    }
  }
  CO_POST_WARNING("Unknown request type: %d.", static_cast<int>(type));
  return false;
}

void KestrixMulticastClient::fixKestrixDaemonInfo(KestrixDaemonInfo& info, const char* fromIP) {
  Protocol::takeFrom(info, fromIP);
  const bool keepLoopback = std::getenv("KESTRIX_NO_LOOPBACK") == nullptr && info.isLocal();
  if (!keepLoopback) {
    for (bool metadata : {true, false}) {
      std::vector<std::string> kept;
      unsigned count = 0;
      for (; count < KestrixDaemonInfo::MAX_IPS; ++count) {
        const char* ip = metadata ? info.getMetadataIP(count) : info.getDataIP(count);
        if (*ip == '\0') break;
        if (!KestrixOS::isLoopBackIP(ip)) kept.emplace_back(ip);
      }
      for (unsigned i = 0; i < count; ++i) {
        const char* ip = i < kept.size() ? kept[i].c_str() : "";
        metadata ? info.setMetadataIP(i, ip) : info.setDataIP(i, ip);
      }
    }
  }
  if (info.getNodePort() == 0) info.setNodePort(DEFAULT_NODE_PORT);
  if (*info.getDatabase() == '\0') info.setDatabase(DEFAULT_DATABASE());
}

// ---- The known servers ------------------------------------------------------

KestrixMulticastClient::Servers::iterator KestrixMulticastClient::insertKnown(
    const KestrixDaemonInfo& info) {
  auto known = servers_.insert(servers_.end(), info);
  known->update();
  byKey_[Protocol::serverKey(info)] = known;
  return known;
}

void KestrixMulticastClient::eraseKnown(Servers::iterator known) {
  byKey_.erase(Protocol::serverKey(*known));
  servers_.erase(known);
}

void KestrixMulticastClient::clearKnown() {
  servers_.clear();
  byKey_.clear();
}

bool KestrixMulticastClient::expired(const KestrixDaemonInfo& info, uint64_t now) const {
  return now - info.getLastUpdate() > 2 * settings().resyncUs;
}

void KestrixMulticastClient::add(const KestrixDaemonInfo& info) {
  merge(info, Source::PROGRAM, nullptr);
}

void KestrixMulticastClient::merge(const KestrixDaemonInfo& info, Source source,
                                   const char* fromIP) {
  CoMutexGuard guard(serversMutex_);
  const auto found = byKey_.find(Protocol::serverKey(info));
  if (found == byKey_.end()) {
    const int max = maxServersVar().get();
    if (servers_.size() >= static_cast<size_t>(std::max(max, 0))) {
      if (!fullWarned_)
        CO_POST_WARNING(
            "Kestrix Multicast: %d servers known already; ignoring '%s' and any other "
            "new server until the next resync",
            max, escape(info.getStorageId()).c_str());
      fullWarned_ = true;
      return;
    }
    if (level(1))
      CO_POST_USER("Kestrix Multicast: adding '%s'", escape(info.getStorageId()).c_str());
    notifyObservers(Observer::EVENT_ADDED, *insertKnown(info));
    return;
  }
  const auto known = found->second;
  if (source == Source::LIST) return;  // second-hand: what it heard itself stands
  if (source == Source::DATAGRAM && !KestrixOS::isLoopBackIP(fromIP) &&
      !Protocol::hasAddress(*known, fromIP) && !expired(*known, Kestrix::CoTime::getTime())) {
    static Kestrix::CoLogLimiter claims("Discovery claims on known servers");
    if (claims.admit(Kestrix::CoMsg::LEVEL_WARN, fromIP))
      CO_POST_WARNING("Kestrix Multicast: '%s' from '%s', which is none of its addresses; ignored",
                      escape(info.getStorageId()).c_str(), fromIP);
    return;
  }
  if (level(1))
    CO_POST_USER("Kestrix Multicast: updating '%s'", escape(info.getStorageId()).c_str());
  // Heard of again: a live server must outlast the resync even when its
  // description never changes.
  known->update();
  if (*known == info) return;
  *known = info;
  known->update();
  notifyObservers(Observer::EVENT_UPDATED, *known);
}

void KestrixMulticastClient::remove(const KestrixServerId& id) {
  removeFrom(id, nullptr);
}

void KestrixMulticastClient::removeFrom(const KestrixServerId& id, const char* fromIP) {
  // A datagram's identity is compared as text; only the program's names
  // are looked up.
  const KestrixDaemonInfo::Target target = fromIP == nullptr
                                               ? KestrixDaemonInfo::targetOf(id)
                                               : KestrixDaemonInfo::Target{id.getIPAddr()};
  CoMutexGuard guard(serversMutex_);
  auto known = servers_.end();
  if (*id.getStorageId() != '\0') {
    const auto found = byKey_.find(std::string("S") + id.getStorageId());
    if (found != byKey_.end()) known = found->second;
  } else {
    known = std::find_if(servers_.begin(), servers_.end(), [&](const KestrixDaemonInfo& s) {
      return s.isSameServer(id, target);
    });
  }
  if (known == servers_.end()) return;
  if (fromIP != nullptr && !KestrixOS::isLoopBackIP(fromIP) && !Protocol::hasAddress(*known, fromIP)) {
    if (level(1))
      CO_POST_USER("Kestrix Multicast: removal of '%s' from '%s' ignored",
                   escape(known->getStorageId()).c_str(), fromIP);
    return;
  }
  const KestrixDaemonInfo removed = *known;
  eraseKnown(known);
  if (level(1))
    CO_POST_USER("Kestrix Multicast: Removing '%s'", escape(removed.getStorageId()).c_str());
  notifyObservers(Observer::EVENT_REMOVED, removed);
}

void KestrixMulticastClient::setServers(std::list<KestrixDaemonInfo>& servers) {
  CoMutexGuard guard(serversMutex_);
  clearKnown();
  for (const KestrixDaemonInfo& info : servers)
    if (byKey_.count(Protocol::serverKey(info)) == 0) insertKnown(info);
}

std::vector<const KestrixDaemonInfo*> KestrixMulticastClient::sortedServers(
    const char* database) const {
  std::vector<const KestrixDaemonInfo*> list;
  for (const KestrixDaemonInfo& known : servers_)
    if (database == nullptr || std::strcmp(known.getDatabase(), database) == 0)
      list.push_back(&known);
  std::stable_sort(list.begin(), list.end(), [](auto* a, auto* b) { return *a < *b; });
  return list;
}

void KestrixMulticastClient::resync() {
  const uint64_t now = Kestrix::CoTime::getTime();
  const uint64_t period = settings().resyncUs;
  const uint64_t cutoff = now > 2 * period ? now - 2 * period : 0;
  if (level(2))
    CO_POST_USER("Kestrix Multicast: discarding servers inactive since %s",
                 timeText(cutoff).c_str());
  {
    CoMutexGuard guard(serversMutex_);
    for (auto it = servers_.begin(); it != servers_.end();) {
      const auto next = std::next(it);
      if (it->getLastUpdate() < cutoff) {
        if (level(1))
          CO_POST_USER("Kestrix Multicast: discarding '%s'", escape(it->getStorageId()).c_str());
        const KestrixDaemonInfo gone = *it;
        eraseKnown(it);
        notifyObservers(Observer::EVENT_REMOVED, gone);
      }
      it = next;
    }
    fullWarned_ = false;
  }
  nextResync_ = now + period;
}

void KestrixMulticastClient::notifyObservers(Observer::Event event, const KestrixDaemonInfo& info) {
  Observers& all = observers();
  CoMutexGuard guard(all.mutex);
  for (Observer* observer : all.list) observer->notify(event, info);
}

void KestrixMulticastClient::addObserver(Observer* observer) {
  getInstance();
  Observers& all = observers();
  CoMutexGuard guard(all.mutex);
  all.list.push_back(observer);
}

void KestrixMulticastClient::removeObserver(Observer* observer) {
  Observers& all = observers();
  CoMutexGuard guard(all.mutex);
  auto it = std::find(all.list.begin(), all.list.end(), observer);
  if (it != all.list.end()) all.list.erase(it);
}

// ---- Searching --------------------------------------------------------------

void KestrixMulticastClient::send(Protocol::RequestType type, const rcAttrStream& data,
                                  const char* host, unsigned int port) {
  const std::string text =
      Protocol::create(type, data, secret_, static_cast<int64_t>(std::time(nullptr)));
  if (type == Protocol::FIND_SERVERS) lastSearch_ = Kestrix::CoTime::getTime();
  CoMutexGuard guard(interfacesMutex_);
  bool any = false;
  for (auto& entry : interfaces_) {
    if (entry->dropped) continue;
    any = true;
    const char* name = entry->itf.getName().c_str();
    if (level(1))
      CO_POST_USER("Kestrix Multicast: Sending '%s' to '%s:%u' on %s", typeStr(type),
                   host != nullptr ? host : scope_.c_str(), port != 0 ? port : port_, name);
    CoMutexGuard sending(entry->mutex);
    if (level(2)) CO_POST_USER("Kestrix Multicast: Sending '%s'", text.c_str());
    try {
      entry->socket->send(text.data(), text.size(), host, port != 0 ? port : port_);
      // One interface reaches a single host; the group is reached on every one.
      if (host != nullptr) return;
    } catch (const CoException& e) {
      CO_POST_WARNING("Could not broadcast %s request on %s: %s", typeStr(type), name, e.what());
    }
  }
  if (!any && host != nullptr)
    CO_POST_WARNING(
        "Could not unicast %s request to %s: %s", typeStr(type), host,
        Kestrix::CoNetworkUtil::strerror(Kestrix::CoNetworkUtil::NET_HOST_UNREACHABLE).c_str());
}

void KestrixMulticastClient::refresh(const char* database) {
  KestrixDaemonInfo filter;
  if (database != nullptr) filter.setDatabase(database);
  try {
    send(Protocol::FIND_SERVERS, database != nullptr ? filter.toAttrStream() : rcAttrStream(),
         nullptr, 0);
  } catch (const CoException& e) {
    CO_POST_WARNING("Could not broadcast discovery request: %s", e.what());
  }
}

void KestrixMulticastClient::find(const char* storageId) {
  if (storageId == nullptr || *storageId == '\0') return;
  KestrixDaemonInfo filter;
  filter.setStorageId(storageId);
  try {
    send(Protocol::FIND_SERVERS, filter.toAttrStream(), nullptr, 0);
  } catch (const CoException& e) {
    CO_POST_WARNING("Could not broadcast discovery request: %s", e.what());
  }
}

void KestrixMulticastClient::connectedTo(const KestrixServerId& id) {
  {
    const KestrixDaemonInfo::Target target = KestrixDaemonInfo::targetOf(id);
    CoMutexGuard guard(serversMutex_);
    for (KestrixDaemonInfo& known : servers_) {
      if (!known.isSameServer(id, target)) continue;
      known.update();
      return;
    }
  }
  // Asked outside the servers mutex: sending takes the interface mutex,
  // which the receiving thread holds before it adds.
  KestrixDaemonInfo filter;
  filter.setDatabase(id.getDB());
  filter.setStorageId(id.getStorageId());
  try {
    send(Protocol::FIND_SERVERS, filter.toAttrStream(), id.getIPAddr(), port_);
  } catch (const CoException& e) {
    CO_POST_WARNING("Could not broadcast discovery request: %s", e.what());
  }
}

unsigned int KestrixMulticastClient::getServers(std::list<KestrixDaemonInfo>* out,
                                                const char* database, const char* host,
                                                unsigned int port) {
  if (thread_ == nullptr) {
    if (level(1))
      CO_POST_USER("Kestrix Multicast: finding servers on %s:%u",
                   host != nullptr ? host : "<network>", port);
    {
      CoMutexGuard guard(serversMutex_);
      clearKnown();
    }
    KestrixDaemonInfo filter;
    if (database != nullptr) filter.setDatabase(database);
    send(Protocol::FIND_SERVERS, database != nullptr ? filter.toAttrStream() : rcAttrStream(), host,
         port);
    const uint64_t end = Kestrix::CoTime::getTime() + SEARCH_WAIT_US;
    bool found = false;
    for (;;) {
      KestrixDaemonInfo first;
      {
        // Asked of one host, the list comes from that host's server, not
        // from whoever else answered first (an earlier search of the network).
        CoMutexGuard guard(serversMutex_);
        const auto it = std::find_if(servers_.begin(), servers_.end(), [host](auto& known) {
          return host == nullptr || Protocol::hasAddress(known, host);
        });
        found = it != servers_.end();
        if (found) first = *it;
      }
      if (found) {
        // Still being made under the creation mutex: no other thread reads
        // these yet (and the list mutex is taken before that one).
        listPending_ = true;
        listSource_ = first;
        listSourceKey_ = Protocol::serverKey(first);
        listDatabaseGiven_ = database != nullptr;
        listDatabase_ = database != nullptr ? database : "";
        listOfThisHost_ = KestrixOS::isLoopBackIP(host);
        break;
      }
      if (level(2))
        CO_POST_USER("Kestrix Multicast: waiting on sockets until %s", timeText(end).c_str());
      const uint64_t now = Kestrix::CoTime::getTime();
      if (now >= end || !receive(static_cast<int64_t>(end - now))) break;
    }
    if (!found) {
      CO_POST_DEBUG("Unable to find a Kestrix daemon on %s (time-out).",
                    host != nullptr ? host : scope_.c_str());
      return 0;
    }
  }
  if (thread_ != nullptr) fetchPendingList();
  if (out != nullptr) out->clear();
  CoMutexGuard guard(serversMutex_);
  if (out == nullptr) {
    if (database == nullptr) return static_cast<unsigned>(servers_.size());
    return static_cast<unsigned>(
        std::count_if(servers_.begin(), servers_.end(), [database](const KestrixDaemonInfo& s) {
          return std::strcmp(s.getDatabase(), database) == 0;
        }));
  }
  for (const KestrixDaemonInfo* known : sortedServers(database)) out->push_back(*known);
  return static_cast<unsigned>(out->size());
}

bool KestrixMulticastClient::fetchPendingList() {
  // Held through the fetch: whoever else needs the list waits for it.
  CoMutexGuard guard(listMutex_);
  if (!listPending_) return false;
  listPending_ = false;
  try {
    fetchListFromServer(listSource_, listDatabaseGiven_ ? listDatabase_.c_str() : nullptr,
                        listOfThisHost_);
  } catch (const CoException& e) {
    CO_POST_WARNING("Could not fetch servers list: %s", e.what());
  }
  return true;
}

bool KestrixMulticastClient::isListSource(const KestrixDaemonInfo& info) const {
  CoMutexGuard guard(listMutex_);
  return !listSourceKey_.empty() && listSourceKey_ == Protocol::serverKey(info);
}

void KestrixMulticastClient::fetchListFromServer(const KestrixDaemonInfo& server,
                                                 const char* database, bool ofThisHost) {
  const KestrixServerId id = server.getServerId();
  if (level(1))
    CO_POST_USER("Kestrix Multicast: fetching servers list from '%s'.", escape(id.getId()).c_str());
  std::string reply;
  {
    KestrixClientConnection connection(id);
    connection.callMethod("GetDaemonList", "", true, reply, settings().fetchTimeoutMs);
  }
  std::list<KestrixDaemonInfo> servers;
  Protocol::decode(reply, servers, database);
  if (level(1))
    CO_POST_USER("Kestrix Multicast: fetched %" PRId64 " servers from '%s'.",
                 static_cast<int64_t>(servers.size()), escape(id.getId()).c_str());
  for (KestrixDaemonInfo& info : servers) {
    fixKestrixDaemonInfo(info, nullptr);
    // This host's server has heard the network longer than this process:
    // what it knows stands over what a datagram told this process first.
    merge(info, ofThisHost ? Source::PROGRAM : Source::LIST, nullptr);
  }
}

// ---- Looking up -------------------------------------------------------------

bool KestrixMulticastClient::resolve(const KestrixServerId& id, KestrixDaemonInfo& info) const {
  CO_POST_DEBUG("Resolving KestrixServerId( '%s' [%s:%d/%s] )", escape(id.getId()).c_str(),
                escape(id.getIPAddr()).c_str(), id.getPort(), escape(id.getDB()).c_str());
  const KestrixDaemonInfo::Target target = KestrixDaemonInfo::targetOf(id);
  CoMutexGuard guard(serversMutex_);
  const KestrixDaemonInfo* match = nullptr;
  if (*id.getStorageId() != '\0') {
    // A storage id alone decides whether a description is of the server.
    const auto found = byKey_.find(std::string("S") + id.getStorageId());
    if (found != byKey_.end()) match = &*found->second;
  } else {
    // A server whose first address is the one asked for wins over one that
    // merely lists it: anyone may list anyone's address.
    const std::vector<const KestrixDaemonInfo*> sorted = sortedServers(nullptr);
    for (bool firstOnly : {true, false}) {
      for (const KestrixDaemonInfo* known : sorted)
        if ((!firstOnly || target.address == known->getMetadataIP(0)) &&
            known->isSameServer(id, target)) {
          match = known;
          break;
        }
      if (match != nullptr) break;
    }
  }
  if (match != nullptr) {
    const KestrixDaemonInfo& known = *match;
    info = known;
    if (level(1))
      CO_POST_USER(
          "Resolved KestrixServerId( '%s' [%s:%d/%s] ):\n Display Name: %s\n Storage Id  : %s\n "
          "Ports       : %u / %u\n Metadata IPs: %s\n Data IPs    : %s",
          escape(id.getId()).c_str(), escape(id.getIPAddr()).c_str(), id.getPort(),
          escape(id.getDB()).c_str(), escape(known.getDisplayName()).c_str(),
          escape(known.getStorageId()).c_str(), static_cast<unsigned>(known.getNodePort()),
          static_cast<unsigned>(known.getFramePort()), escape(ipList(known, true)).c_str(),
          escape(ipList(known, false)).c_str());
    return true;
  }
  CO_POST_DEBUG("Unable to resolve KestrixServerId( '%s' [%s:%d/%s] )", escape(id.getId()).c_str(),
                escape(id.getIPAddr()).c_str(), id.getPort(), escape(id.getDB()).c_str());
  if (level(1))
    for (const KestrixDaemonInfo& known : servers_)
      CO_POST_USER("Candidate on %s: '%s'", escape(known.getDisplayName()).c_str(),
                   escape(known.getStorageId()).c_str());
  return false;
}

void KestrixMulticastClient::dump() {
  CoMutexGuard creation(creationMutex());
  if (instance == nullptr) return;
  CoMutexGuard guard(instance->serversMutex_);
  for (const KestrixDaemonInfo* known : instance->sortedServers(nullptr))
    std::printf("%s\t%s\t%s\t%s\n", known->getDisplayName(), known->getDatabase(),
                known->getStorageId(), known->getMetadataIP(0));
}
