// THROWAWAY STAND-IN for KestrixMulticastClient.cpp, so that the resolver,
// the connections and the server list link before the real discovery client
// lands. It knows no server and sends nothing; add() and remove() keep a
// list and tell the observers, as the real client does. Delete this file
// (and its line in CMakeLists.txt) when KestrixMulticastClient.cpp arrives.
#include <algorithm>
#include <mutex>
#include <vector>

#include "common/base/tcp/CoMulticast.h"
#include "kestrix/client/api/KestrixMulticastClient.h"

class KestrixMulticastClient::NetworkObserver {};
struct KestrixMulticastClient::InterfaceSocket {};

namespace {
KestrixMulticastClient* gInstance = nullptr;
std::recursive_mutex gMutex;
std::vector<KestrixMulticastClient::Observer*> gObservers;
}  // namespace

KestrixMulticastClient::KestrixMulticastClient(unsigned int port, const char* scope,
                                               unsigned int ttl)
    : port_(port), scope_(scope), ttl_(ttl) {}

KestrixMulticastClient::~KestrixMulticastClient() = default;

KestrixMulticastClient* KestrixMulticastClient::_getInstance(bool create) {
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  if (gInstance == nullptr && create)
    gInstance = new KestrixMulticastClient(DEFAULT_PORT, DEFAULT_SCOPE(), DEFAULT_TTL);
  return gInstance;
}

KestrixMulticastClient& KestrixMulticastClient::getInstance() {
  return *_getInstance(true);
}

void KestrixMulticastClient::stop() {
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  delete gInstance;
  gInstance = nullptr;
  gObservers.clear();
}

bool KestrixMulticastClient::resolve(const KestrixServerId& id, KestrixDaemonInfo& info) const {
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  for (const KestrixDaemonInfo& known : servers_)
    if (known.isSameServer(id)) {
      info = known;
      return true;
    }
  return false;
}

unsigned int KestrixMulticastClient::getServers(std::list<KestrixDaemonInfo>* out,
                                                const char* database, const char*, unsigned int) {
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  if (out != nullptr) out->clear();
  unsigned int count = 0;
  for (const KestrixDaemonInfo& known : servers_) {
    if (database != nullptr && std::string(known.getDatabase()) != database) continue;
    ++count;
    if (out != nullptr) out->push_back(known);
  }
  return count;
}

void KestrixMulticastClient::add(const KestrixDaemonInfo& info) {
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  servers_.push_back(info);
  for (Observer* observer : gObservers) observer->notify(Observer::EVENT_ADDED, info);
}

void KestrixMulticastClient::remove(const KestrixServerId& id) {
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  for (auto it = servers_.begin(); it != servers_.end(); ++it)
    if (it->isSameServer(id)) {
      const KestrixDaemonInfo removed = *it;
      servers_.erase(it);
      for (Observer* observer : gObservers) observer->notify(Observer::EVENT_REMOVED, removed);
      return;
    }
}

void KestrixMulticastClient::connectedTo(const KestrixServerId&) {}
void KestrixMulticastClient::find(const char*) {}
void KestrixMulticastClient::refresh(const char*) {}

void KestrixMulticastClient::addObserver(Observer* observer) {
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  _getInstance(true);
  gObservers.push_back(observer);
}

void KestrixMulticastClient::removeObserver(Observer* observer) {
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  auto it = std::find(gObservers.begin(), gObservers.end(), observer);
  if (it != gObservers.end()) gObservers.erase(it);
}

bool KestrixMulticastClient::handle(KestrixMulticastProtocol::RequestType,
                                    const Kestrix::rcAttrStream&, const char*, unsigned int) {
  return false;
}
void KestrixMulticastClient::resync() {}
void KestrixMulticastClient::send(KestrixMulticastProtocol::RequestType,
                                  const Kestrix::rcAttrStream&, const char*, unsigned int) {}
bool KestrixMulticastClient::receive(int64_t) {
  return false;
}
