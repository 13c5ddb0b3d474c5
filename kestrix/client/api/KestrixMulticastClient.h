#pragma once
// The process-wide directory of the servers on the local networks. It hears
// servers announce themselves and leave on the multicast group, searches
// from one private socket per multicast-capable IPv4 interface, fetches the
// whole list from the first server that answers, forgets servers silent for
// two resync periods, and tells observers of servers added, changed and
// removed. One service thread ("Kestrix Multicast") does all receiving; a
// wake-up descriptor makes stop() and a search that has its answer return
// at once. At most KESTRIX_MULTICAST_MAX_SERVERS servers are kept, so
// forged announcements cannot grow a client without limit.
//
// Settings, read once: KESTRIX_MULTICAST_DEBUG (1 lifecycle, 2 per datagram),
// KESTRIX_MULTICAST_RESYNC_TIME (seconds, 300), KESTRIX_GETDAEMONINFO_TIMEOUT
// (ms, 5000), KESTRIX_NO_LOOPBACK (presence, at each use). The network
// configuration may override port 7555, scope "224.0.0.1" and TTL 1.

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/base/network/CoNetworkDispatcher.h"
#include "common/base/rcApi/rcAttrStream.h"
#include "common/base/threads/CoMutex.h"
#include "kestrix/client/api/KestrixDaemonInfo.h"
#include "kestrix/client/api/KestrixMulticastProtocol.h"
#include "kestrix/client/api/KestrixServerId.h"

namespace Kestrix {
class CoMulticast;
class CoThread;
}  // namespace Kestrix

class KestrixMulticastClient {
 public:
  class Observer {
   public:
    enum Event { EVENT_UPDATED = 0, EVENT_ADDED = 1, EVENT_REMOVED = 2 };
    virtual ~Observer() = default;
    // Called with the client's servers and observers mutexes held.
    virtual void notify(Event event, const KestrixDaemonInfo& info) = 0;
  };

  static constexpr unsigned int DEFAULT_PORT = 7555;
  static constexpr unsigned int DEFAULT_TTL = 1;
  static constexpr int DEFAULT_NODE_PORT = 7549;
  static const char* DEFAULT_SCOPE() { return "224.0.0.1"; }
  static const char* DEFAULT_DATABASE() { return "GRYNN"; }

  // Makes the instance (and runs the start-up search) when there is none.
  static KestrixMulticastClient& getInstance();
  // The instance when discovery is already running, else null.
  static KestrixMulticastClient* existingInstance() { return _getInstance(false); }
  // Library shut-down: deletes the instance; returns once its thread ended.
  static void stop();

  virtual ~KestrixMulticastClient();
  KestrixMulticastClient(const KestrixMulticastClient&) = delete;
  KestrixMulticastClient& operator=(const KestrixMulticastClient&) = delete;

  // A lookup in memory: neither sends nor waits.
  bool resolve(const KestrixServerId& id, KestrixDaemonInfo& info) const;
  // The number of known servers of database (all when null), copied to out
  // when given. Before the service thread runs, searches host (the network
  // when null) first.
  unsigned int getServers(std::list<KestrixDaemonInfo>* out, const char* database, const char* host,
                          unsigned int port);
  void setServers(std::list<KestrixDaemonInfo>& servers);
  void add(const KestrixDaemonInfo& info);
  void remove(const KestrixServerId& id);

  // Searches (FIND_SERVERS). connectedTo renews a known server and sends
  // nothing; an unknown one is asked directly.
  void connectedTo(const KestrixServerId& id);
  void find(const char* storageId);
  void refresh(const char* database);

  static void addObserver(Observer* observer);
  static void removeObserver(Observer* observer);

  // Adds the sender's address, drops loopback addresses of remote servers,
  // and fills in the default node port and database.
  static void fixKestrixDaemonInfo(KestrixDaemonInfo& info, const char* fromIP);

 protected:
  KestrixMulticastClient(unsigned int port, const char* scope, unsigned int ttl);

  virtual bool handle(KestrixMulticastProtocol::RequestType type, const Kestrix::rcAttrStream& data,
                      const char* fromIP, unsigned int fromPort);
  virtual void resync();
  virtual void send(KestrixMulticastProtocol::RequestType type, const Kestrix::rcAttrStream& data,
                    const char* host, unsigned int port);
  // True as soon as one pass handled a request; false at the deadline or
  // when stopped.
  virtual bool receive(int64_t timeoutMicroseconds);

 private:
  class NetworkObserver;
  struct InterfaceSocket;

  static KestrixMulticastClient* _getInstance(bool create);
  void fetchListFromServer(const KestrixDaemonInfo& server, const char* database);
  bool readFrom(Kestrix::CoMulticast& socket);
  void notifyObservers(Observer::Event event, const KestrixDaemonInfo& info);
  void threadCB();
  void startThread(bool fetch);
  void stopThread();
  bool wakeUp();
  static void dump();
  // After every change of servers_, under its mutex.
  void reindex();

  unsigned int port_;
  std::string scope_;
  unsigned int ttl_;
  std::list<KestrixDaemonInfo> servers_;
  // The first known server of each storage id, so that resolving an
  // identity by storage id is no walk of the list.
  std::unordered_map<std::string, const KestrixDaemonInfo*> byStorageId_;
  mutable Kestrix::CoMutex serversMutex_;
  Kestrix::CoThread* thread_ = nullptr;
  std::unique_ptr<Kestrix::CoMulticast> publicSocket_;
  uint64_t nextResync_ = 0;
  std::atomic<bool> stop_{false};
  // A full list warned already in this resync period (servers mutex).
  bool fullWarned_ = false;
  int wakeUpRead_ = -1;
  int wakeUpWrite_ = -1;
  std::list<std::unique_ptr<InterfaceSocket>> interfaces_;
  Kestrix::CoMutex interfacesMutex_;
  std::unique_ptr<NetworkObserver> networkObserver_;
  Kestrix::CoNetworkDispatcher dispatcher_;
};
