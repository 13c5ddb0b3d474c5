#pragma once
// The implementation behind KestrixServerHandle: the shared connection, the
// base and node APIs and the event connection made when the handle
// attaches, the three rule caches, the last error and the recursive lock
// that guards all of them.

#include <atomic>
#include <list>
#include <memory>
#include <string>

#include "common/base/threads/CoMutex.h"
#include "kestrix/client/api/KestrixBaseClientAPI.h"
#include "kestrix/client/api/KestrixClientConnection.h"
#include "kestrix/client/api/KestrixEventMonitor.h"
#include "kestrix/client/api/KestrixServerId.h"

// How other parts reach the description of a handle's server.
class KestrixDaemonInfoMgr {
 public:
  virtual ~KestrixDaemonInfoMgr() = default;
  // Marks the cached description stale.
  virtual void invalidateDaemonInfo() = 0;
  // The current description, or null when it cannot be had.
  virtual const KestrixDaemonInfo* getDaemonInfo() = 0;
  virtual const char* lastError() const = 0;
};

class KestrixServerImp : public KestrixDaemonInfoMgr {
 public:
  explicit KestrixServerImp(const KestrixServerId& id);
  KestrixServerImp(const KestrixServerImp&) = delete;
  KestrixServerImp& operator=(const KestrixServerImp&) = delete;
  ~KestrixServerImp() override;

  // Takes the server's shared connection and makes the APIs over it.
  bool attach();
  // Attaches; the event connection, which lives as long as this object.
  // Handlers may use this handle while another thread registers on it, so
  // event operations run without the lock, unlike the other remote
  // operations: it is taken only to attach and to keep the error.
  KestrixEventMonitor::Connection* eventConnection();
  void invalidateDaemonInfo() override { infoStale_ = true; }
  const KestrixDaemonInfo* getDaemonInfo() override;
  const char* lastError() const override;
  void setLastError(const std::string& text);

  // Runs op on the base (or node) API under the lock after attaching;
  // copies the API's error on failure.
  template <typename Api, typename Op>
  bool remote(Api* KestrixServerImp::*api, Op op);

  bool fillGroups();
  bool fillHostTranslations();
  bool fillOsTypeTranslations();

  KestrixClientConnection::Shared shared;
  KestrixClientConnection* connection = nullptr;
  std::unique_ptr<KestrixBaseClientAPI> baseApi;
  std::unique_ptr<KestrixNodeClientAPI> nodeApi;
  std::unique_ptr<KestrixEventMonitor::Connection> events;
  std::atomic<bool> attached{false};
  std::list<KestrixPathTranslationGroup> groups;
  std::list<KestrixHostTranslation> hostTranslations;
  std::list<KestrixOsTypeTranslation> osTypeTranslations;
  mutable Kestrix::CoMutex lock;
  KestrixServerId id;
  std::atomic<bool> infoStale_{true};
  std::atomic<bool> groupsStale{true};
  std::atomic<bool> hostTranslationsStale{true};
  std::atomic<bool> osTypeTranslationsStale{true};

  // Raw pointers for remote(): the APIs live in the unique_ptrs above.
  KestrixBaseClientAPI* base = nullptr;
  KestrixNodeClientAPI* node = nullptr;

 private:
  template <typename Item, typename Fetch>
  bool fill(std::atomic<bool>& stale, std::list<Item>& list, Fetch fetch);

  std::string lastError_;
};

template <typename Api, typename Op>
bool KestrixServerImp::remote(Api* KestrixServerImp::*api, Op op) {
  Kestrix::CoMutexGuard guard(lock);
  if (!attach()) return false;
  Api* target = this->*api;
  if (op(*target)) return true;
  setLastError(target->lastError());
  return false;
}
