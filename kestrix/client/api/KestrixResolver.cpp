#include "kestrix/client/api/KestrixResolver.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "common/base/ipc/CoCache.h"
#include "common/base/loggerBase/EnvVar.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/network/CoNetwork.h"
#include "common/base/network/CoNetworkDispatcher.h"
#include "kestrix/client/api/KestrixMulticastClient.h"

namespace {

constexpr int DEFAULT_CACHE_SIZE = 256;
constexpr int DEFAULT_CACHE_TIMEOUT_SEC = 600;

// The registry lists them; the values are read once, below.
Kestrix::RegEnvView gRegCacheSize("KESTRIX_INACTIVE_IPS_CACHE_SIZE", "256");
Kestrix::RegEnvView gRegCacheTimeout("KESTRIX_INACTIVE_IPS_CACHE_TIMEOUT_SEC", "600");

int decimalSetting(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return static_cast<int>(std::strtol(text, nullptr, 10));
}

struct CacheSettings {
  int size = decimalSetting("KESTRIX_INACTIVE_IPS_CACHE_SIZE", DEFAULT_CACHE_SIZE);
  int timeoutSec =
      decimalSetting("KESTRIX_INACTIVE_IPS_CACHE_TIMEOUT_SEC", DEFAULT_CACHE_TIMEOUT_SEC);
};
const CacheSettings gCacheSettings;

// Whether the cache is among the current discovery client's observers.
std::atomic<bool> gObservingDiscovery{false};

// The addresses found unreachable lately, one entry per address.
class InactiveIPs : public Kestrix::CoCache {
 public:
  class Key : public Kestrix::CoCache::Key {
   public:
    explicit Key(const char* ip) : ip(ip) {}
    const std::string ip;
  };

  class Entry : public Kestrix::CoCache::Entry {
   public:
    explicit Entry(const std::string& ip) : ip(ip) {}
    bool match(const Kestrix::CoCache::Key& key) override {
      const auto* wanted = dynamic_cast<const Key*>(&key);
      return wanted != nullptr && wanted->ip == ip;
    }
    const std::string ip;
  };

  // Any news of a server makes every address it lists worth a try again.
  class MulticastObserver : public KestrixMulticastClient::Observer {
   public:
    explicit MulticastObserver(InactiveIPs& cache) : cache_(cache) {}
    void notify(Event, const KestrixDaemonInfo& info) override {
      for (unsigned i = 0; *info.getMetadataIP(i) != '\0'; ++i)
        cache_.removeAllEntries(Key(info.getMetadataIP(i)), false);
      for (unsigned i = 0; *info.getDataIP(i) != '\0'; ++i)
        cache_.removeAllEntries(Key(info.getDataIP(i)), false);
    }

   private:
    InactiveIPs& cache_;
  };

  // A new interface may reach what no interface reached before.
  class NetworkObserver : public Kestrix::CoNetworkDispatcher::Observer {
   public:
    explicit NetworkObserver(InactiveIPs& cache) : cache_(cache) {}
    void notify(Kestrix::CoNetworkDispatcher::Event event,
                const Kestrix::CoNetworkInterface&) override {
      if (event == Kestrix::CoNetworkDispatcher::EVENT_ADDED) cache_.resetCache(false);
    }

   private:
    InactiveIPs& cache_;
  };

  // Also makes sure the discovery client tells this cache of its servers.
  static InactiveIPs& get() {
    static InactiveIPs instance;
    instance.observeDiscovery();
    return instance;
  }

  bool isInactive(const char* ip) {
    Kestrix::CoCache::Entry* entry = getCacheEntry(Key(ip), false);
    releaseCacheEntry(entry);
    return entry != nullptr;
  }
  void flag(const char* ip) { releaseCacheEntry(getCacheEntry(Key(ip), true)); }

 protected:
  Kestrix::CoCache::Entry* create(const Kestrix::CoCache::Key& key) override {
    const auto* wanted = dynamic_cast<const Key*>(&key);
    return wanted != nullptr ? new Entry(wanted->ip) : nullptr;
  }

 private:
  InactiveIPs()
      : CoCache(gCacheSettings.size, int64_t{gCacheSettings.timeoutSec} * 1000000),
        multicastObserver_(*this),
        networkObserver_(*this),
        dispatcher_(Kestrix::CoNetworkDispatcher::FLAG_MONITOR) {
    // Interfaces present now are not news: only later additions empty the cache.
    if (Kestrix::CoNetwork::isInitialized()) dispatcher_.refresh(false);
    dispatcher_.addObserver(Kestrix::CoNetworkDispatcher::TYPE_METADATA, &networkObserver_);
    dispatcher_.addObserver(Kestrix::CoNetworkDispatcher::TYPE_DATA, &networkObserver_);
  }
  ~InactiveIPs() override {
    if (gObservingDiscovery) KestrixMulticastClient::removeObserver(&multicastObserver_);
    dispatcher_.removeObserver(Kestrix::CoNetworkDispatcher::TYPE_METADATA, &networkObserver_);
    dispatcher_.removeObserver(Kestrix::CoNetworkDispatcher::TYPE_DATA, &networkObserver_);
  }

  // Not in the constructor: making the discovery client may come back here
  // (its first list fetch connects) before this object would be complete.
  void observeDiscovery() {
    bool expected = false;
    if (gObservingDiscovery.compare_exchange_strong(expected, true))
      KestrixMulticastClient::addObserver(&multicastObserver_);
  }

  MulticastObserver multicastObserver_;
  NetworkObserver networkObserver_;
  Kestrix::CoNetworkDispatcher dispatcher_;
};

}  // namespace

struct KestrixResolver::Imp {
  explicit Imp(const KestrixDaemonInfo& info) : info(info) {}

  std::vector<std::string>& list(Type type) {
    auto found = lists.find(type);
    if (found != lists.end()) return found->second;
    std::vector<std::string>& usable = lists[type];
    if (type != IP_METADATA && type != IP_DATA) {
      QV_ASSERT(!"Unhandled IP type");
      return usable;
    }
    InactiveIPs& inactive = InactiveIPs::get();
    for (unsigned i = 0;; ++i) {
      const char* ip = type == IP_METADATA ? info.getMetadataIP(i) : info.getDataIP(i);
      if (*ip == '\0') break;
      if (!inactive.isInactive(ip)) usable.push_back(ip);
    }
    return usable;
  }

  const KestrixDaemonInfo& info;
  std::map<Type, std::vector<std::string>> lists;
};

KestrixResolver::KestrixResolver(const KestrixDaemonInfo& info) : imp_(new Imp(info)) {}

KestrixResolver::~KestrixResolver() = default;

const char* KestrixResolver::getIP(Type type, unsigned int index) const {
  const std::vector<std::string>& usable = imp_->list(type);
  return index < usable.size() ? usable[index].c_str() : "";
}

void KestrixResolver::flagInaccesibleIP(const char* ip) {
  if (ip == nullptr || *ip == '\0') return;
  InactiveIPs::get().flag(ip);
}

void KestrixResolver::discoveryStopped() {
  gObservingDiscovery = false;
}
