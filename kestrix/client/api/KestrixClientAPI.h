#pragma once
// The public client facade: start-up of the library (KestrixClient), the
// handle on one server (KestrixServerHandle) with its path translation
// requests, and the public view of a server description (KestrixServerInfo).
//
// A handle is built from an identity without touching the network and
// attaches to the server's shared connection on first use. Its operations
// never throw for remote or connection failures: they return false (or
// null) and keep the text in lastError().

#include "kestrix/client/api/KestrixNodeEvent.h"
#include "kestrix/client/api/KestrixOS.h"
#include "kestrix/client/api/KestrixServerId.h"
#include "kestrix/client/api/KestrixTypes.h"

class KestrixDaemonInfo;
class KestrixServerImp;
struct KestrixPathTranslationGroup;
struct KestrixHostTranslation;
struct KestrixOsTypeTranslation;

// Starts the library (counted: only the first start does work).
KESTRIX_API bool KestrixClientInit();
// Counts one stop; the last one shuts the library down.
KESTRIX_API void KestrixClientUninit();

class KESTRIX_API KestrixClient {
 public:
  KestrixClient() = default;
  KestrixClient(const KestrixClient&) = delete;
  KestrixClient& operator=(const KestrixClient&) = delete;
  ~KestrixClient();
  bool init();

 private:
  bool started_ = false;
};

class KESTRIX_API KestrixServerInfo {
 public:
  KestrixServerInfo();
  explicit KestrixServerInfo(const KestrixDaemonInfo& info);
  KestrixServerInfo(const KestrixServerInfo& other);
  KestrixServerInfo& operator=(const KestrixServerInfo& other);
  KestrixServerInfo& operator=(const KestrixDaemonInfo& info);
  virtual ~KestrixServerInfo();
  bool operator==(const KestrixServerInfo& other) const;

  const KestrixDaemonInfo& getDaemonInfo() const { return *info_; }
  const char* getDatabase() const;
  const char* getDisplayName() const;
  const char* getHostUUID() const;
  const char* getHostname() const;
  const char* getProduct() const;
  const char* getVendor() const;
  const char* getStorageId() const;
  const char* getProductVersionStr() const;
  int getProductVersionMajor() const;
  int getProductVersionMinor() const;
  int getProductVersionMaint() const;
  int getProductBuild() const;
  int getVersionMajor() const;
  int getVersionMinor() const;
  int getVersionMaint() const;
  bool isLocal() const;
  bool isSameServer(const KestrixServerInfo& other) const;
  bool isSameServer(const KestrixServerId& id) const;
  KestrixServerId getId() const;
  void setDatabase(const char* v);
  void setProduct(const char* v);
  void setVendor(const char* v);
  void setStorageId(const char* v);
  void setProductVersionStr(const char* v);
  void setProductVersionMajor(int v);
  void setProductVersionMinor(int v);
  void setProductVersionMaint(int v);
  void setProductBuild(int v);

 private:
  KestrixDaemonInfo* info_;
};

class KESTRIX_API KestrixServerHandle {
 public:
  class TranslationGroup {
   public:
    TranslationGroup();
    TranslationGroup(const TranslationGroup& other);
    TranslationGroup& operator=(const TranslationGroup& other);
    TranslationGroup& operator=(const KestrixPathTranslationGroup& group);
    ~TranslationGroup();
    const char* getGroupName() const;
    // The name text of the group's OS type.
    const char* getOSType() const;
    int getNumHosts() const;
    const char* getHost(int i) const;

   private:
    KestrixPathTranslationGroup* group_;
  };

  class HostTranslation {
   public:
    HostTranslation();
    HostTranslation(const HostTranslation& other);
    HostTranslation& operator=(const HostTranslation& other);
    HostTranslation& operator=(const KestrixHostTranslation& translation);
    ~HostTranslation();
    const char* getSourceHost() const;
    const char* getSourcePath() const;
    const char* getDestinationHost() const;
    const char* getDestinationPath() const;

   private:
    KestrixHostTranslation* translation_;
  };

  class OsTypeTranslation {
   public:
    OsTypeTranslation();
    OsTypeTranslation(const OsTypeTranslation& other);
    OsTypeTranslation& operator=(const OsTypeTranslation& other);
    OsTypeTranslation& operator=(const KestrixOsTypeTranslation& translation);
    ~OsTypeTranslation();
    const char* getSourceType() const;
    const char* getSourcePath() const;
    const char* getDestinationType() const;
    const char* getDestinationPath() const;

   private:
    KestrixOsTypeTranslation* translation_;
  };

  explicit KestrixServerHandle(const KestrixServerId& id);
  KestrixServerHandle(const KestrixServerHandle& other);
  KestrixServerHandle& operator=(const KestrixServerHandle&) = delete;
  virtual ~KestrixServerHandle();

  KestrixServerImp* imp() const { return imp_; }
  bool isConnected() const;
  void disconnect();
  void stop(const char* reason);
  const char* lastError() const;

  const KestrixServerId& getId() const;
  const char* getIdStr() const;
  const char* getHostName() const;
  const char* getHostUUID() const;
  bool getDisplayName(KestrixStr& name) const;
  bool getStorageId(KestrixStr& id) const;
  bool getInfo(KestrixServerInfo& info) const;
  bool isDatabase(const char* name) const;
  bool getProtocolVersion(int& major, int& minor) const;
  bool compareVersion(bool& atLeast, int major, int minor, int maint, int build) const;
  bool ping(unsigned int timeoutMs);
  bool getVersion(int& major, int& minor);
  bool getProduct(KestrixStr& product);
  bool getVendor(KestrixStr& vendor);
  bool invalidateCache();

  bool translatePaths(const KestrixStrList& src, KestrixStrList& dst, const char* srcHost,
                      const char* dstHost, KestrixOS::OsType srcType, KestrixOS::OsType dstType);
  bool translatePath(const KestrixStr& src, KestrixStr& dst, const char* srcHost,
                     const char* dstHost, KestrixOS::OsType srcType, KestrixOS::OsType dstType);
  bool getNumTranslationGroups(int& n);
  bool getTranslationGroup(int i, TranslationGroup& group);
  bool getNumHostTranslations(int& n);
  bool getHostTranslation(int i, HostTranslation& translation);
  bool getNumOsTypeTranslations(int& n);
  bool getOsTypeTranslation(int i, OsTypeTranslation& translation);

  // Asks the server to report changes of a node to handler (kept, not
  // owned, until unregistered or the handle goes). Registering a handler
  // again for the same subject sends nothing and delivers each event once
  // more. Subscriptions are sent again whenever the connection is made anew.
  bool registerEventHandler(const KestrixNodeId& nodeId, KestrixNodeEvent::Handler* handler,
                            const char* format = nullptr, const char* metadata = nullptr);
  // Removes every registration of handler for the node.
  bool unregisterEventHandler(const KestrixNodeId& nodeId, KestrixNodeEvent::Handler* handler);

 private:
  KestrixServerImp* imp_;
};
