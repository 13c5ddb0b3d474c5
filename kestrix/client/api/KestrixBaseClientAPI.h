#pragma once
// The remote methods every server offers, called through one client
// connection: path translation and its rules, version, ping, shut-down and
// the server description; and the node plug-in queries. Failures never
// throw: they return false and keep their text in lastError().

#include <list>
#include <string>
#include <vector>

#include "kestrix/client/api/KestrixBaseInterface.h"
#include "kestrix/client/api/KestrixClientConnection.h"
#include "kestrix/client/api/KestrixOS.h"
#include "kestrix/client/api/KestrixTypes.h"

struct KestrixPathTranslationGroup {
  std::string groupName;
  int osType = 0;  // a KestrixOS::OsType value
  std::vector<std::string> hostNames;
};

struct KestrixHostTranslation {
  std::string srcHost, srcPath, dstHost, dstPath;
};

struct KestrixOsTypeTranslation {
  std::string srcType, srcPath, dstType, dstPath;
};

class KestrixBaseClientAPI : public KestrixBaseInterface {
 public:
  static constexpr unsigned int REPLY_WAIT_MS = 100000000;

  explicit KestrixBaseClientAPI(KestrixClientConnection* connection) : connection_(connection) {}
  ~KestrixBaseClientAPI() override = default;

  bool translatePaths(const KestrixStrList& src, KestrixStrList& dst, const char* srcHost,
                      const char* dstHost, KestrixOS::OsType srcType, KestrixOS::OsType dstType);
  bool getTranslationGroups(std::list<KestrixPathTranslationGroup>& groups);
  bool getHostTranslations(std::list<KestrixHostTranslation>& translations);
  bool getOsTypeTranslations(std::list<KestrixOsTypeTranslation>& translations);
  bool queryVersion(int& major, int& minor);
  bool ping(unsigned int waitMs);
  virtual bool shutdown();
  bool getDaemonInfo(const KestrixDaemonInfo*& info);

  bool isConnected() const { return connection_ != nullptr && connection_->isConnected(); }
  void addConnectCallback(KestrixClientConnection::ConnectCallback* callback);
  void removeConnectCallback(KestrixClientConnection::ConnectCallback* callback);
  KestrixClientConnection* connection() const { return connection_; }

 protected:
  // One synchronous call; false with the text in lastError() on failure.
  bool call(const char* method, const char* params, std::string& reply,
            unsigned int waitMs = REPLY_WAIT_MS);
  // Runs parse over a reply; false with the text in lastError() when it
  // throws (a malformed reply, or one too large for memory).
  template <typename Parse>
  bool readReply(Parse parse);

 private:
  KestrixClientConnection* connection_;
};

// The node plug-in queries of the media interfaces, the only node calls
// this library makes.
class KestrixNodeClientAPI : public KestrixBaseClientAPI {
 public:
  using KestrixBaseClientAPI::KestrixBaseClientAPI;
  bool getVersion(int& major, int& minor);
  bool getProduct(KestrixStr& product);
  bool getVendor(KestrixStr& vendor);
};
