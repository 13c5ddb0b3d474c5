#pragma once
// The client library's connection to one server: it finds an address for
// the server (the addresses discovery knows for it in turn, skipping those
// found unreachable lately, then the identity's own address and port),
// opens the call engine on it, performs method calls with one
// automatic reconnection, tells registered parties about connects and
// losses, and keeps the server's description.
//
// KestrixClientConnection::Shared lets every handle on the same server in
// one process use one connection, kept in a process-wide cache that closes
// an unused connection after an idle time (KESTRIX_SHARED_CONNECTIONS).
//
// Any thread may call: the call mutex serialises connect, call, disconnect
// and isConnected; stop() bypasses it so a waiting call can be broken off.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/base/rcApi/rcAPI.h"
#include "common/base/threads/CoMutex.h"
#include "kestrix/client/api/KestrixDaemonInfo.h"
#include "kestrix/client/api/KestrixServerId.h"

class KestrixClientConnection {
 public:
  // Told after every successful (re)connection made by a call.
  class ConnectCallback {
   public:
    virtual ~ConnectCallback() = default;
    virtual void connected(KestrixClientConnection& connection) = 0;
  };
  using DisconnectCallback = void (*)(const KestrixServerId& id);

  class Shared;
  // Marks the description stale when discovery reports news of the server.
  class MulticastObserver;

  // The client version the engine announces at login: 2020.2.0.236.
  static constexpr unsigned short CLIENT_VERSION[4] = {2020, 2, 0, 236};
  static constexpr unsigned int DAEMON_INFO_TIMEOUT_MS = 100000000;

  // No traffic but a host-name lookup.
  explicit KestrixClientConnection(const KestrixServerId& id);
  KestrixClientConnection(const KestrixClientConnection&) = delete;
  KestrixClientConnection& operator=(const KestrixClientConnection&) = delete;
  virtual ~KestrixClientConnection();

  // Calls method on object 0; throws CoException with the error text.
  void callMethod(const char* method, const char* params, bool sync, std::string& result,
                  unsigned int timeoutMs);
  // The description, fetched with "GetDaemonInfo" when stale (unless
  // cachedOnly); throws CoException when it cannot be fetched.
  const KestrixDaemonInfo& getDaemonInfo(bool cachedOnly);
  void setDaemonInfoStale() { infoStale_ = true; }
  bool isDaemonInfoStale() const { return infoStale_; }

  void disconnect();
  bool isConnected() const;
  void stop(const char* reason);
  void addConnectCallback(ConnectCallback* callback);
  void removeConnectCallback(ConnectCallback* callback);
  static void registerDisconnectCallBack(DisconnectCallback callback);

  const KestrixServerId& getServerId() const { return id_; }
  // Whether this connection serves the server named by id; never waits for
  // a call in progress.
  bool isSameServer(const KestrixServerId& id) const;

 private:
  void connect(unsigned int timeoutMs);
  // Tries the description's metadata addresses in turn; false when none is
  // left. Throws when an attempt timed out or was stopped.
  bool connectDiscovered(const KestrixDaemonInfo& info, unsigned int timeoutMs);
  void connectDirect(unsigned int timeoutMs);
  void observeDiscovery();
  void connectCallbacks();
  void callDisconnectCallback() const;
  static void simulateLatency(int ms);

  std::vector<ConnectCallback*> callbacks_;
  Kestrix::CoMutex callbacksMutex_;
  Kestrix::CoMutex callbacksRunMutex_;
  Kestrix::rcAPI engine_;
  KestrixServerId id_;
  // id_ as discovery's events are matched against it: looked up once, since
  // events come under discovery's lock.
  KestrixDaemonInfo::Target target_;
  mutable Kestrix::CoMutex callMutex_;
  // Guards info_ alone and is never held while waiting for anything else,
  // so that matching a connection in the shared cache never waits on a call.
  mutable std::mutex infoMutex_;
  KestrixDaemonInfo info_;
  std::atomic<bool> infoStale_{true};
  std::unique_ptr<MulticastObserver> observer_;
  // Registered at the first connect rather than at construction, which
  // must not make the discovery client (and search the network).
  bool observing_ = false;
};

// A reference to the process-wide shared connection of one server.
class KestrixClientConnection::Shared {
 public:
  class Imp;

  Shared();
  explicit Shared(const KestrixServerId& id);
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  ~Shared();

  // Drops the held connection, then takes the one for id when given.
  void reset(const KestrixServerId* id);
  KestrixClientConnection* get() const;
  KestrixClientConnection* operator->() const { return get(); }
  bool operator==(const KestrixClientConnection* connection) const { return get() == connection; }

  // Create and delete the process-wide cache (library start-up, shut-down).
  static void init();
  static void uninit();
  // all: close every unused connection now; else only the idle ones.
  static void releaseUnusedConnections(bool all);

 private:
  Imp* imp_;
};

void KestrixRegisterDisconnectCallBack(KestrixClientConnection::DisconnectCallback callback);
void KestrixClientReleaseUnusedConnections(bool all);
