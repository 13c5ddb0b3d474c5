#include "kestrix/server/KestrixDiscoveryService.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/CoLogText.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/network/CoNetworkConfig.h"
#include "common/base/tcp/CoIoDescriptor.h"
#include "common/base/tcp/CoMulticast.h"
#include "kestrix/server/KestrixServerAccess.h"

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

// The address of this host that datagrams to `to` leave from: no packet is
// sent, the kernel only picks the route.
std::string localAddressToward(const sockaddr_storage& to) {
  std::string ip;
  const int fd = ::socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  const socklen_t toLength = to.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  unsigned port = 0;
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&to), toLength) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
    CoMulticast::addrToIPAndPort(local, ip, port);
  if (fd >= 0) ::close(fd);
  return ip;
}

// The description as sent from address ip: ip first.
Kestrix::rcAttrStream describedFrom(KestrixDaemonInfo info, const std::string& ip) {
  Protocol::takeFrom(info, ip.c_str());
  return info.toAttrStream();
}

int64_t wallSeconds() {
  return static_cast<int64_t>(std::time(nullptr));
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
  multicast(Protocol::FIND_SERVERS, nullptr);
}

void KestrixDiscoveryService::stop() {
  if (!started_) return;
  started_ = false;
  interfaces_.removeObserver(CoNetworkDispatcher::TYPE_ALL, watch_.get());
  interfaces_.removeObserver(CoNetworkDispatcher::TYPE_MULTICAST, watch_.get());
  multicast(Protocol::REMOVE_SERVER, &self_);
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
    multicast(Protocol::REMOVE_SERVER, &old);
  }
  announcedStorageId_ = self_.getStorageId();
  multicast(Protocol::DISCOVER_SERVERS, &self_);
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
    const std::string name = senderNames_[it->first];
    senderNames_.erase(it->first);
    it = senders_.erase(it);
    joinGroupOn(name, false);
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
    multicast(Protocol::DISCOVER_SERVERS, &self_, ip);
    multicast(Protocol::FIND_SERVERS, nullptr, ip);
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
    joinGroupOn(name, true);
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

// The group is joined on each multicast interface, so that the one public
// socket hears announcements whichever interface they come in on (a join
// without an interface takes the interface of the group's route).
void KestrixDiscoveryService::joinGroupOn(const std::string& name, bool join) {
  if (public_ == nullptr) return;
  if (!join) {
    for (const auto& [ip, other] : senderNames_)
      if (other == name) return;  // another address of it is still in use
    public_->socket().joinOn(name, false);
    joined_.erase(name);
    return;
  }
  if (joined_.count(name) != 0) return;
  if (public_->socket().joinOn(name, true))
    joined_.insert(name);
  else
    CO_POST_WARNING("kestrixd: cannot join the discovery group %s on %s: %s",
                    settings_.scope.c_str(), name.c_str(), std::strerror(errno));
}

std::string KestrixDiscoveryService::datagram(Protocol::RequestType type,
                                              const rcAttrStream& data) const {
  return Protocol::create(type, data, settings_.secret, wallSeconds());
}

void KestrixDiscoveryService::multicast(Protocol::RequestType type, const KestrixDaemonInfo* info,
                                        const std::string& onlyIp) {
  if (type == Protocol::FIND_SERVERS) lastSearchMs_ = nowMs();
  for (auto& [ip, sender] : senders_) {
    if (!onlyIp.empty() && ip != onlyIp) continue;
    const std::string text = datagram(type, info ? describedFrom(*info, ip) : rcAttrStream());
    try {
      sender->socket().send(text.data(), text.size(), nullptr, 0);
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
  if (!settings_.secret.empty() && type != Protocol::FIND_SERVERS &&
      !Protocol::isSigned(buffer, settings_.secret, wallSeconds())) {
    static CoLogLimiter unsignedLog("Unsigned discovery datagrams");
    if (unsignedLog.admit(CoMsg::LEVEL_WARN, ip))
      CO_POST_WARNING("kestrixd: %s from %s is not signed with the secret; ignored",
                      Protocol::getRequestTypeStr(type), ip.c_str());
    return;
  }
  const int64_t now = nowMs();
  switch (type) {
    case Protocol::DISCOVER_SERVERS_REPLY:
      if (now - lastSearchMs_ > REPLY_WINDOW_MS) break;  // nobody asked
      [[fallthrough]];
    case Protocol::DISCOVER_SERVERS:
      remember(KestrixDaemonInfo(data), ip, now);
      break;
    case Protocol::REMOVE_SERVER:
      forget(KestrixDaemonInfo(data), ip, now);
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
  // The address the searcher can reach this server by comes first.
  const std::string text =
      datagram(Protocol::DISCOVER_SERVERS_REPLY, describedFrom(self, localAddressToward(to)));
  try {
    replies_->send(text.data(), text.size(), to);
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
  // As the discovery client takes what it hears: the sender's address is
  // the one to reach it by, and defaults fill what is missing.
  Protocol::takeFrom(info, fromIp.c_str());
  fillDefaults(info);
  std::string key = Protocol::serverKey(info);
  if (key == Protocol::serverKey(self_)) return;  // listed first, always as it is now
  const auto found = knownByKey_.find(key);
  if (found != knownByKey_.end()) {
    if (!speaksFor(*found->second, fromIp, now)) return;
    found->second->heardMs = now;
    if (found->second->info == info) return;
    found->second->info = info;
    found->second->text = info.toAttrStream().getStreamStr();
    return;
  }
  if (known_.size() >= settings_.maxServers) {
    if (fullWarnedMs_ < 0 || now - fullWarnedMs_ >= settings_.resyncMs) {
      CO_POST_WARNING("kestrixd: already knows %zu servers; new ones go unlisted", known_.size());
      fullWarnedMs_ = now;
    }
    return;
  }
  const std::string text = info.toAttrStream().getStreamStr();
  knownByKey_.emplace(std::move(key), known_.insert(known_.end(), {info, now, text}));
}

bool KestrixDiscoveryService::speaksFor(const Known& known, const std::string& fromIp,
                                        int64_t now) const {
  if (KestrixServerAccess::isLoopback(bareIp(fromIp)) ||
      Protocol::hasAddress(known.info, fromIp.c_str()) ||
      now - known.heardMs > 2 * settings_.resyncMs)
    return true;
  if (claimsLog_.admit(CoMsg::LEVEL_WARN, fromIp, now))
    CO_POST_WARNING("kestrixd: %s speaks for server '%s' from none of its addresses; ignored",
                    fromIp.c_str(), CoLogText::escape(known.info.getStorageId()).c_str());
  return false;
}

void KestrixDiscoveryService::forget(KestrixDaemonInfo info, const std::string& fromIp,
                                     int64_t now) {
  Protocol::takeFrom(info, fromIp.c_str());  // as it was remembered
  fillDefaults(info);
  const auto found = knownByKey_.find(Protocol::serverKey(info));
  if (found == knownByKey_.end() || !speaksFor(*found->second, fromIp, now)) return;
  known_.erase(found->second);
  knownByKey_.erase(found);
}

void KestrixDiscoveryService::expire(int64_t now) {
  for (auto it = known_.begin(); it != known_.end();) {
    if (now - it->heardMs <= 2 * settings_.resyncMs) {
      ++it;
      continue;
    }
    knownByKey_.erase(Protocol::serverKey(it->info));
    it = known_.erase(it);
  }
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
    const KestrixDaemonInfo before = self_;
    self_ = describe_();  // its addresses may have changed
    syncInterfaces();
    // Clients would otherwise keep a gone address first until the next
    // announcement, minutes away.
    if (self_ != before) announce();
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

std::string KestrixDiscoveryService::listText() const {
  const std::string self = describe_().toAttrStream().getStreamStr();
  std::vector<const std::string*> nodes = {&self};
  for (const Known& known : known_) nodes.push_back(&known.text);
  std::string text;
  Protocol::encodeTexts(nodes, text);
  return text;
}

}  // namespace Kestrix
