#include "kestrix/server/KestrixDiscoveryService.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/CoLogText.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/network/CoNetworkConfig.h"
#include "common/base/tcp/CoIoDescriptor.h"
#include "common/base/tcp/CoMulticast.h"

namespace Kestrix {
namespace {

using Protocol = KestrixMulticastProtocol;

constexpr int DEFAULT_NODE_PORT = 7549;

int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A positive whole number from the environment, else fallback.
unsigned long long positiveEnv(const char* name, unsigned long long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  return *end == '\0' && value > 0 ? value : fallback;
}

const char* bareIp(const std::string& ip) {
  return ip.rfind("::ffff:", 0) == 0 ? ip.c_str() + 7 : ip.c_str();
}

// The server's list is matched without the name lookups of
// KestrixDaemonInfo::isSameServer, which would stall the whole loop: a
// storage id decides when there is one, else database, port and first
// address together.
bool sameServer(const KestrixDaemonInfo& a, const KestrixDaemonInfo& b) {
  if (*a.getStorageId() != '\0' || *b.getStorageId() != '\0')
    return std::strcmp(a.getStorageId(), b.getStorageId()) == 0;
  return std::strcmp(a.getDatabase(), b.getDatabase()) == 0 && a.getNodePort() == b.getNodePort() &&
         std::strcmp(a.getMetadataIP(0), b.getMetadataIP(0)) == 0;
}

// What a server of an older protocol leaves out.
void fillDefaults(KestrixDaemonInfo& info) {
  if (info.getNodePort() == 0) info.setNodePort(DEFAULT_NODE_PORT);
  if (*info.getDatabase() == '\0') info.setDatabase("GRYNN");
}

}  // namespace

// The loop needs a descriptor; the socket stays the multicast object's.
class KestrixDiscoveryService::Endpoint : public CoIoHandler {
 public:
  Endpoint(KestrixDiscoveryService& owner, std::unique_ptr<CoMulticast> socket)
      : CoIoHandler(rcAppContext::EVENT_READ),
        owner_(owner),
        socket_(std::move(socket)),
        handle_(socket_->getSocket()) {}

  CoIoDescriptor* descriptor() override { return &handle_; }
  const CoIoDescriptor* descriptor() const override { return &handle_; }
  bool handleRead() override {
    owner_.receive(*socket_);
    return true;
  }
  CoMulticast& socket() { return *socket_; }

 private:
  class Borrowed : public CoIoDescriptor {
   public:
    explicit Borrowed(int fd) : CoIoDescriptor(fd) {}
    ~Borrowed() override { setId(-1); }
  };

  KestrixDiscoveryService& owner_;
  std::unique_ptr<CoMulticast> socket_;
  Borrowed handle_;
};

// Told on the monitor's thread: the loop is only woken, and looks again.
class KestrixDiscoveryService::InterfaceWatch : public CoNetworkDispatcher::Observer {
 public:
  explicit InterfaceWatch(KestrixDiscoveryService& owner) : owner_(owner) {}
  void notify(CoNetworkDispatcher::Event, const CoNetworkInterface&) override {
    owner_.interfacesChanged_ = true;
    owner_.loop_.wakeUp();
  }

 private:
  KestrixDiscoveryService& owner_;
};

KestrixDiscoveryService::Settings KestrixDiscoveryService::Settings::fromSystem() {
  Settings settings;
  CoNetworkConfig& config = CoNetworkConfig::getInstance();
  config.getSelfDiscoveryPort(settings.port);
  config.getSelfDiscoveryScope(settings.scope);
  config.getSelfDiscoveryTTL(settings.ttl);
  settings.resyncMs =
      static_cast<int64_t>(std::min(positiveEnv("KESTRIX_MULTICAST_RESYNC_TIME", 300),
                                    static_cast<unsigned long long>(INT_MAX))) *
      1000;
  settings.maxServers = positiveEnv("KESTRIX_MULTICAST_MAX_SERVERS", 4096);
  return settings;
}

KestrixDiscoveryService::KestrixDiscoveryService(rcAppContext& loop,
                                                 CoNetworkDispatcher& interfaces, Describe describe,
                                                 const Settings& settings)
    : loop_(loop), interfaces_(interfaces), describe_(std::move(describe)), settings_(settings) {}

KestrixDiscoveryService::~KestrixDiscoveryService() {
  stop();
}

std::unique_ptr<KestrixDiscoveryService::Endpoint> KestrixDiscoveryService::endpoint(
    std::unique_ptr<CoMulticast> socket) {
  // The loop serves a handle once it is readable; a datagram dropped in
  // between must not block it.
  const int fd = socket->getSocket();
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  auto handler = std::make_unique<Endpoint>(*this, std::move(socket));
  loop_.registerIOHandler(handler.get());
  return handler;
}

void KestrixDiscoveryService::start() {
  if (started_) return;
  started_ = true;
  const char* scope = settings_.scope.c_str();
  try {
    auto socket = std::make_unique<CoMulticast>(settings_.port, scope, nullptr);
    socket->bind(false);
    public_ = endpoint(std::move(socket));
  } catch (const CoException& e) {
    CO_POST_ERROR("kestrixd: cannot listen on the discovery group %s port %u: %s (%s)", scope,
                  settings_.port, e.what(), e.expertData());
  }
  try {
    replies_ = std::make_unique<CoMulticast>(settings_.port, scope, nullptr);
    replies_->bind(true);
  } catch (const CoException& e) {
    replies_.reset();
    CO_POST_ERROR("kestrixd: cannot open a socket for discovery replies: %s (%s)", e.what(),
                  e.expertData());
  }
  openListener("127.0.0.1");
  watch_ = std::make_unique<InterfaceWatch>(*this);
  interfaces_.addObserver(CoNetworkDispatcher::TYPE_ALL, watch_.get());
  interfaces_.addObserver(CoNetworkDispatcher::TYPE_MULTICAST, watch_.get());
  syncInterfaces();
  if (public_ != nullptr && joined_.empty()) {
    try {
      public_->socket().join();
    } catch (const CoException& e) {
      CO_POST_WARNING("kestrixd: cannot join the discovery group %s: %s (%s)", scope, e.what(),
                      e.expertData());
    }
  }
  const int64_t now = nowMs();
  nextAnnounceMs_ = now + settings_.resyncMs / 2;
  nextResyncMs_ = now + settings_.resyncMs;
  announce();
  multicast(Protocol::FIND_SERVERS, rcAttrStream());
}

void KestrixDiscoveryService::stop() {
  if (!started_) return;
  started_ = false;
  interfaces_.removeObserver(CoNetworkDispatcher::TYPE_ALL, watch_.get());
  interfaces_.removeObserver(CoNetworkDispatcher::TYPE_MULTICAST, watch_.get());
  multicast(Protocol::REMOVE_SERVER, self_.toAttrStream());
  auto close = [this](std::unique_ptr<Endpoint>& e) {
    if (e != nullptr) loop_.unregisterIOHandler(e.get());
    e.reset();
  };
  for (auto& [ip, e] : senders_) close(e);
  for (auto& [ip, e] : listeners_) close(e);
  close(public_);
  senders_.clear();
  senderNames_.clear();
  listeners_.clear();
  joined_.clear();
  replies_.reset();
}

void KestrixDiscoveryService::announce() {
  if (!started_) return;
  self_ = describe_();
  if (!announcedStorageId_.empty() && announcedStorageId_ != self_.getStorageId()) {
    KestrixDaemonInfo old = self_;
    old.setStorageId(announcedStorageId_.c_str());
    multicast(Protocol::REMOVE_SERVER, old.toAttrStream());
  }
  announcedStorageId_ = self_.getStorageId();
  multicast(Protocol::DISCOVER_SERVERS, self_.toAttrStream());
}

void KestrixDiscoveryService::syncInterfaces() {
  std::vector<CoNetworkInterface> multicastItfs;
  std::vector<CoNetworkInterface> all;
  interfaces_.getInterfaces(multicastItfs, CoNetworkDispatcher::TYPE_MULTICAST,
                            CoNetworkDispatcher::IPv4Filter);
  interfaces_.getInterfaces(all, CoNetworkDispatcher::TYPE_ALL, CoNetworkDispatcher::IPv4Filter);
  std::set<std::string> wanted;
  for (const CoNetworkInterface& itf : multicastItfs) wanted.insert(itf.getIP());
  for (auto it = senders_.begin(); it != senders_.end();) {
    if (wanted.count(it->first) != 0) {
      ++it;
      continue;
    }
    CO_POST_NOTICE("kestrixd: discovery leaves %s (%s)", senderNames_[it->first].c_str(),
                   it->first.c_str());
    loop_.unregisterIOHandler(it->second.get());
    joinGroupOn(it->first, false);
    senderNames_.erase(it->first);
    it = senders_.erase(it);
  }
  std::vector<std::string> added;
  for (const CoNetworkInterface& itf : multicastItfs) {
    if (senders_.count(itf.getIP()) != 0) continue;
    openSender(itf.getIP(), itf.getName());
    if (senders_.count(itf.getIP()) != 0) added.push_back(itf.getIP());
  }

  std::set<std::string> addresses = {"127.0.0.1"};
  for (const CoNetworkInterface& itf : all) addresses.insert(itf.getIP());
  for (auto it = listeners_.begin(); it != listeners_.end();) {
    if (addresses.count(it->first) != 0) {
      ++it;
      continue;
    }
    loop_.unregisterIOHandler(it->second.get());
    it = listeners_.erase(it);
  }
  for (const std::string& ip : addresses)
    if (listeners_.count(ip) == 0) openListener(ip);

  // An interface that came up while the server runs learns of it at once.
  if (nextAnnounceMs_ == 0) return;  // start() announces everywhere itself
  for (const std::string& ip : added) {
    multicast(Protocol::DISCOVER_SERVERS, self_.toAttrStream(), ip);
    multicast(Protocol::FIND_SERVERS, rcAttrStream(), ip);
  }
}

void KestrixDiscoveryService::openSender(const std::string& ip, const std::string& name) {
  try {
    auto socket =
        std::make_unique<CoMulticast>(settings_.port, settings_.scope.c_str(), ip.c_str());
    socket->setTTL(static_cast<int>(settings_.ttl));
    // Other servers on this host, and this one, hear it too.
    socket->setLoopback(true);
    socket->bind(true);
    senders_[ip] = endpoint(std::move(socket));
    senderNames_[ip] = name;
    joinGroupOn(ip, true);
    CO_POST_NOTICE("kestrixd: discovery on %s (%s)", name.c_str(), ip.c_str());
  } catch (const CoException& e) {
    CO_POST_WARNING("kestrixd: no discovery on %s (%s): %s (%s)", name.c_str(), ip.c_str(),
                    e.what(), e.expertData());
  }
}

void KestrixDiscoveryService::openListener(const std::string& ip) {
  try {
    auto socket =
        std::make_unique<CoMulticast>(settings_.port, settings_.scope.c_str(), ip.c_str());
    socket->bind(false);
    listeners_[ip] = endpoint(std::move(socket));
  } catch (const CoException& e) {
    CO_POST_WARNING("kestrixd: cannot hear searches sent to %s port %u: %s (%s)", ip.c_str(),
                    settings_.port, e.what(), e.expertData());
  }
}

// The group is joined on each multicast interface by address, so that the
// one public socket hears announcements whichever interface they come in
// on (a join without an address takes the interface of the group's route).
void KestrixDiscoveryService::joinGroupOn(const std::string& ip, bool join) {
  ip_mreq request{};
  if (public_ == nullptr ||
      ::inet_pton(AF_INET, settings_.scope.c_str(), &request.imr_multiaddr) != 1 ||
      ::inet_pton(AF_INET, ip.c_str(), &request.imr_interface) != 1)
    return;
  const int option = join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP;
  if (::setsockopt(public_->socket().getSocket(), IPPROTO_IP, option, &request, sizeof request) ==
      0) {
    if (join)
      joined_.insert(ip);
    else
      joined_.erase(ip);
    return;
  }
  if (join)
    CO_POST_WARNING("kestrixd: cannot join the discovery group %s on %s: %s",
                    settings_.scope.c_str(), ip.c_str(), std::strerror(errno));
}

void KestrixDiscoveryService::multicast(Protocol::RequestType type, const rcAttrStream& data,
                                        const std::string& onlyIp) {
  const std::string datagram = Protocol::create(type, data);
  for (auto& [ip, sender] : senders_) {
    if (!onlyIp.empty() && ip != onlyIp) continue;
    try {
      sender->socket().send(datagram.data(), datagram.size(), nullptr, 0);
    } catch (const CoException& e) {
      CO_POST_WARNING("kestrixd: could not multicast %s on %s: %s (%s)",
                      Protocol::getRequestTypeStr(type), senderNames_[ip].c_str(), e.what(),
                      e.expertData());
    }
  }
}

void KestrixDiscoveryService::receive(CoMulticast& socket) {
  char buffer[Protocol::MAX_DATAGRAM + 1];
  uint64_t length = Protocol::MAX_DATAGRAM;
  sockaddr_storage from{};
  try {
    socket.receive(buffer, length, from, false);
  } catch (const CoException&) {
    return;  // nothing there after all
  }
  if (length == 0) return;
  buffer[length] = '\0';
  std::string ip;
  unsigned port = 0;
  CoMulticast::addrToIPAndPort(from, ip, port);
  if (allowSender_ && !allowSender_(ip)) return;
  Protocol::RequestType type = Protocol::INVALID;
  rcAttrStream data;
  if (!Protocol::parseRequest(buffer, type, data)) {
    // Anyone can send these at will: one line a second per sender.
    static CoLogLimiter invalid("Invalid/Corrupted packets");
    if (invalid.admit(CoMsg::LEVEL_WARN, ip))
      CO_POST_WARNING("Invalid/Corrupted packet received from '%s:%u': %s", ip.c_str(), port,
                      CoLogText::escape({buffer, static_cast<size_t>(length)}).c_str());
    return;
  }
  const int64_t now = nowMs();
  switch (type) {
    case Protocol::DISCOVER_SERVERS:
    case Protocol::DISCOVER_SERVERS_REPLY:
      remember(KestrixDaemonInfo(data), ip, now);
      break;
    case Protocol::REMOVE_SERVER:
      forget(KestrixDaemonInfo(data));
      break;
    case Protocol::FIND_SERVERS:
      answer(data, from, ip, now);
      break;
    default:
      break;
  }
}

void KestrixDiscoveryService::answer(const rcAttrStream& filter, const sockaddr_storage& to,
                                     const std::string& fromIp, int64_t now) {
  // A filter is read as text: a description read from it would ignore a
  // storage id of an older protocol version.
  const KestrixDaemonInfo& self = self_;
  std::string storageId;
  std::string database;
  filter.getStringValue("StorageId", storageId);
  filter.getStringValue("Database", database);
  if (!storageId.empty() ? storageId != self.getStorageId()
                         : !database.empty() && database != self.getDatabase())
    return;
  if (!withinBudget(fromIp, now) || replies_ == nullptr) return;
  const std::string datagram =
      Protocol::create(Protocol::DISCOVER_SERVERS_REPLY, self.toAttrStream());
  try {
    replies_->send(datagram.data(), datagram.size(), to);
  } catch (const CoException& e) {
    CO_POST_WARNING("kestrixd: could not answer a discovery search: %s (%s)", e.what(),
                    e.expertData());
  }
}

bool KestrixDiscoveryService::withinBudget(const std::string& fromIp, int64_t now) {
  // The kernel drops loopback sources arriving from outside: these are this
  // host's own clients, which a remote flood must not lock out.
  if (std::strncmp(bareIp(fromIp), "127.", 4) == 0) return true;
  if (now / 1000 != answerSecond_) {
    answerSecond_ = now / 1000;
    answered_ = 0;
    answeredFrom_.clear();
    answeredOthers_ = 0;
    floodWarned_ = false;
  }
  auto found = answeredFrom_.find(fromIp);
  if (found == answeredFrom_.end() && answeredFrom_.size() < settings_.maxSearchSources)
    found = answeredFrom_.emplace(fromIp, 0).first;
  const bool tracked = found != answeredFrom_.end();
  unsigned& fromSender = tracked ? found->second : answeredOthers_;
  const unsigned limit = settings_.maxAnswersPerSourcePerSecond;
  if (fromSender >= limit) {
    // Said at the sender's first dropped search of the second.
    if (fromSender > limit) return false;
    fromSender = limit + 1;
    const char* sender = tracked ? fromIp.c_str() : "other senders";
    if (sourceFloodLog_.admit(CoMsg::LEVEL_WARN, sender, now))
      CO_POST_WARNING(
          "kestrixd: more than %u discovery searches in one second from %s; the rest of its "
          "searches this second go unanswered",
          limit, sender);
    return false;
  }
  if (answered_ >= settings_.maxAnswersPerSecond) {
    if (!floodWarned_)
      CO_POST_WARNING(
          "kestrixd: more than %u discovery searches in one second; the rest of this second's "
          "go unanswered",
          settings_.maxAnswersPerSecond);
    floodWarned_ = true;
    return false;
  }
  ++fromSender;
  ++answered_;
  return true;
}

void KestrixDiscoveryService::remember(KestrixDaemonInfo info, const std::string& fromIp,
                                       int64_t now) {
  // As the discovery client fixes what it hears: the sender's address is
  // one to reach it by, and defaults fill what is missing.
  const char* sender = bareIp(fromIp);
  unsigned n = 0;
  bool listed = false;
  for (; n < KestrixDaemonInfo::MAX_IPS && *info.getMetadataIP(n) != '\0'; ++n)
    listed = listed || std::strcmp(info.getMetadataIP(n), sender) == 0;
  if (!listed && *sender != '\0' && n < KestrixDaemonInfo::MAX_IPS) info.setMetadataIP(n, sender);
  fillDefaults(info);
  if (sameServer(info, self_)) return;  // listed first, always as it is now
  for (Known& known : known_) {
    if (!sameServer(known.info, info)) continue;
    known.info = info;
    known.heardMs = now;
    return;
  }
  if (known_.size() >= settings_.maxServers) {
    if (fullWarnedMs_ < 0 || now - fullWarnedMs_ >= settings_.resyncMs) {
      CO_POST_WARNING("kestrixd: already knows %zu servers; new ones go unlisted", known_.size());
      fullWarnedMs_ = now;
    }
    return;
  }
  known_.push_back({info, now});
}

void KestrixDiscoveryService::forget(KestrixDaemonInfo info) {
  fillDefaults(info);  // as it was remembered
  for (auto it = known_.begin(); it != known_.end(); ++it) {
    if (!sameServer(it->info, info)) continue;
    known_.erase(it);
    return;
  }
}

void KestrixDiscoveryService::expire(int64_t now) {
  known_.remove_if([&](const Known& k) { return now - k.heardMs > 2 * settings_.resyncMs; });
}

int KestrixDiscoveryService::timerWaitMs() const {
  if (!started_) return -1;
  if (interfacesChanged_) return 0;
  const int64_t next = std::min(nextAnnounceMs_, nextResyncMs_);
  return static_cast<int>(std::clamp<int64_t>(next - nowMs(), 0, INT_MAX));
}

void KestrixDiscoveryService::onTimers() {
  if (!started_) return;
  if (interfacesChanged_.exchange(false)) {
    self_ = describe_();  // its addresses may have changed
    syncInterfaces();
  }
  const int64_t now = nowMs();
  if (now >= nextAnnounceMs_) {
    announce();
    nextAnnounceMs_ = now + settings_.resyncMs / 2;
  }
  if (now >= nextResyncMs_) {
    expire(now);
    nextResyncMs_ = now + settings_.resyncMs;
  }
}

std::list<KestrixDaemonInfo> KestrixDiscoveryService::servers() const {
  std::list<KestrixDaemonInfo> list = {describe_()};
  for (const Known& known : known_) list.push_back(known.info);
  return list;
}

}  // namespace Kestrix
