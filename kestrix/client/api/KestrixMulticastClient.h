#pragma once
// The process-wide directory of the servers on the local networks. It hears
// servers announce themselves and leave on the multicast group, searches
// from one private socket per multicast-capable IPv4 interface, fetches the
// whole list from the first server that answers, forgets servers silent for
// two resync periods, and tells observers of servers added, changed and
// removed (expired ones too). One service thread ("Kestrix Multicast") does all receiving; a
// wake-up descriptor makes stop() and a search that has its answer return
// at once. At most KESTRIX_MULTICAST_MAX_SERVERS servers are kept, so
// forged announcements cannot grow a client without limit.
//
// Whoever is on the network can send datagrams, so what they say is taken
// with care (trust on first use): a known server's description changes only
// through a datagram from one of its own addresses (or this host's
// loopback), or once it expired; "REMOVE_SERVER" likewise; answers count
// only within REPLY_WINDOW_US of a search of this process; a server list
// fetched from another host's server adds servers but changes no known one
// (this host's server's list does). With the
// secret of KESTRIX_SECRET_FILE only signed datagrams count. Received data
// is compared as text, never looked up by name.
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
#include "common/base/rcApi/rcWakeUp.h"
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
  // The start-up search takes the list of the first server that answers
  // (this host's, when there is one) only once a program needs more than
  // that server: a list of thousands costs a program that wants this
  // host's server nothing. Fetches it now, waiting for the reply, when that
  // is still to do; true when it did. Listing the servers does it too.
  bool fetchPendingList();
  // Whether info is the server whose list the start-up search took.
  bool isListSource(const KestrixDaemonInfo& info) const;
  // The number of known servers of database (all when null), copied to out
  // when given. Before the service thread runs, searches host (the network
  // when null) first.
  unsigned int getServers(std::list<KestrixDaemonInfo>* out, const char* database, const char* host,
                          unsigned int port);
  void setServers(std::list<KestrixDaemonInfo>& servers);
  // Of the program itself: added or changed without question.
  void add(const KestrixDaemonInfo& info);
  void remove(const KestrixServerId& id);

  // How long after a search of its own the client takes answers.
  static constexpr uint64_t REPLY_WINDOW_US = 3000000;

  // Searches (FIND_SERVERS). connectedTo renews a known server and sends
  // nothing; an unknown one is asked directly.
  void connectedTo(const KestrixServerId& id);
  void find(const char* storageId);
  void refresh(const char* database);

  static void addObserver(Observer* observer);
  static void removeObserver(Observer* observer);

  // Puts the sender's address first, keeps KestrixMulticastProtocol::
  // MAX_ADDRESSES of each kind, drops loopback addresses of remote servers,
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

  using Servers = std::list<KestrixDaemonInfo>;
  // Where a description came from, which decides what it may change.
  enum class Source { PROGRAM, DATAGRAM, LIST };

  static KestrixMulticastClient* _getInstance(bool create);
  void merge(const KestrixDaemonInfo& info, Source source, const char* fromIP);
  void removeFrom(const KestrixServerId& id, const char* fromIP);
  // Under the servers mutex, keeping the index in step.
  Servers::iterator insertKnown(const KestrixDaemonInfo& info);
  void eraseKnown(Servers::iterator known);
  void clearKnown();
  // The known servers of database (all when null), in display order.
  std::vector<const KestrixDaemonInfo*> sortedServers(const char* database) const;
  bool expired(const KestrixDaemonInfo& info, uint64_t now) const;
  void fetchListFromServer(const KestrixDaemonInfo& server, const char* database,
                           bool ofThisHost);
  bool readFrom(Kestrix::CoMulticast& socket);
  void notifyObservers(Observer::Event event, const KestrixDaemonInfo& info);
  void threadCB();
  void startThread(bool fetch);
  void stopThread();
  bool wakeUp();
  static void dump();

  unsigned int port_;
  std::string scope_;
  unsigned int ttl_;
  // In the order heard; sorted only when listed, so that adding and
  // renewing cost no walk of the list.
  Servers servers_;
  // By KestrixMulticastProtocol::serverKey.
  std::unordered_map<std::string, Servers::iterator> byKey_;
  mutable Kestrix::CoMutex serversMutex_;
  Kestrix::CoThread* thread_ = nullptr;
  // The list still to fetch, from whom, and whether that is this host's
  // server (whose list stands over what datagrams said).
  mutable Kestrix::CoMutex listMutex_;
  bool listPending_ = false;
  KestrixDaemonInfo listSource_;
  std::string listSourceKey_;
  std::string listDatabase_;
  bool listDatabaseGiven_ = false;
  bool listOfThisHost_ = false;
  std::unique_ptr<Kestrix::CoMulticast> publicSocket_;
  bool joinedByRoute_ = false;
  uint64_t nextResync_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> lastSearch_{0};
  // With a secret (or a secret file that could not be read) only signed
  // datagrams count.
  std::string secret_;
  bool signedOnly_ = false;
  // A full list warned already in this resync period (servers mutex).
  bool fullWarned_ = false;
  Kestrix::rcWakeUp wakeUp_;
  std::list<std::unique_ptr<InterfaceSocket>> interfaces_;
  Kestrix::CoMutex interfacesMutex_;
  std::unique_ptr<NetworkObserver> networkObserver_;
  Kestrix::CoNetworkDispatcher dispatcher_;
};
