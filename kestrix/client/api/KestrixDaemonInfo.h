#pragma once
// The description of one running server: where it can be reached (metadata
// and data addresses, ports), who it is (host, display name, host UUID,
// database, storage id) and what it runs. Servers send it as an attribute
// stream; the client keeps one per known server and per connection, and uses
// it to decide whether two descriptions, or a description and an identity,
// name the same server.

#include <cstdint>
#include <string>
#include <vector>

#include "common/base/rcApi/rcAttrStream.h"
#include "kestrix/client/api/KestrixOS.h"
#include "kestrix/client/api/KestrixServerId.h"
#include "kestrix/client/api/KestrixTypes.h"

class KestrixDaemonInfo {
 public:
  static constexpr unsigned MAX_IPS = 64;

  KestrixDaemonInfo();
  explicit KestrixDaemonInfo(const Kestrix::rcAttrStream& stream);
  KestrixDaemonInfo(const KestrixDaemonInfo& other) = default;
  KestrixDaemonInfo& operator=(const KestrixDaemonInfo& other) = default;
  virtual ~KestrixDaemonInfo() = default;

  // Every field but the last update.
  bool operator==(const KestrixDaemonInfo& other) const;
  bool operator!=(const KestrixDaemonInfo& other) const { return !(*this == other); }
  // By display name, then database, as unsigned bytes.
  bool operator<(const KestrixDaemonInfo& other) const;

  const char* getMetadataIP(unsigned i) const { return metadataIPs_[i].c_str(); }
  const char* getDataIP(unsigned i) const { return dataIPs_[i].c_str(); }
  const char* getHostName() const { return hostName_.c_str(); }
  const char* getDisplayName() const { return displayName_.c_str(); }
  KestrixOS::OsType getOsType() const { return osType_; }
  const char* getDatabase() const { return database_.c_str(); }
  int getNodePort() const { return nodePort_; }
  int getFramePort() const { return framePort_; }
  int getVersionMajorNumber() const { return versionMajor_; }
  int getVersionMinorNumber() const { return versionMinor_; }
  int getVersionMaintNumber() const { return versionMaint_; }
  int getVersionBuildNumber() const { return versionBuild_; }
  const char* getProduct() const { return product_.c_str(); }
  const char* getVendor() const { return vendor_.c_str(); }
  int getProductVersionMajorNumber() const { return productVersionMajor_; }
  int getProductVersionMinorNumber() const { return productVersionMinor_; }
  int getProductVersionMaintNumber() const { return productVersionMaint_; }
  int getProductBuildNumber() const { return productBuild_; }
  const char* getProductVersionString() const { return productVersionStr_.c_str(); }
  const char* getStorageId() const { return storageId_.c_str(); }
  const char* getHostUUID() const { return hostUUID_.c_str(); }
  uint64_t getLastUpdate() const { return lastUpdate_; }
  int getMaxNodePort() const { return maxNodePort_; }
  int getMaxFramePort() const { return maxFramePort_; }

  void setMetadataIP(unsigned i, const char* ip);
  void setDataIP(unsigned i, const char* ip);
  void resetIPs();
  void setHostName(const char* v) { hostName_ = v; }
  void setDisplayName(const char* v) { displayName_ = v; }
  void setOsType(KestrixOS::OsType v) { osType_ = v; }
  void setDatabase(const char* v) { database_ = v; }
  void setNodePort(int v) { nodePort_ = v; }
  void setFramePort(int v) { framePort_ = v; }
  void setVersionMajorNumber(int v) { versionMajor_ = v; }
  void setVersionMinorNumber(int v) { versionMinor_ = v; }
  void setVersionMaintNumber(int v) { versionMaint_ = v; }
  void setVersionBuildNumber(int v) { versionBuild_ = v; }
  void setProduct(const char* v) { product_ = v; }
  void setVendor(const char* v) { vendor_ = v; }
  void setProductVersionMajorNumber(int v) { productVersionMajor_ = v; }
  void setProductVersionMinorNumber(int v) { productVersionMinor_ = v; }
  void setProductVersionMaintNumber(int v) { productVersionMaint_ = v; }
  void setProductBuildNumber(int v) { productBuild_ = v; }
  void setProductVersionString(const char* v) { productVersionStr_ = v; }
  void setStorageId(const char* v) { storageId_ = v; }
  void setHostUUID(const char* v) { hostUUID_ = v; }
  void setMaxNodePort(int v) { maxNodePort_ = v; }
  void setMaxFramePort(int v) { maxFramePort_ = v; }
  void update();

  Kestrix::rcAttrStream toAttrStream() const;
  KestrixServerId getServerId() const;
  // The frame message queue of this server in the temporary directory.
  KestrixStr getFrameMsgQ() const;

  bool isLocal() const;
  bool isSameHost(const char* host) const;
  bool isSameServer(const KestrixDaemonInfo& other) const;
  bool isSameServer(const KestrixServerId& id) const;
  // The address an identity names, as isSameServer(id) compares it. Its
  // name is looked up here, once: a lookup may take seconds, so it is made
  // before a walk of many descriptions and before any lock.
  struct Target {
    std::string address;
    bool loopback = false;
    bool valid = true;
  };
  static Target targetOf(const KestrixServerId& id);
  bool isSameServer(const KestrixServerId& id, const Target& target) const;

 private:
  // Up to MAX_IPS addresses, kept up to the last one set: servers have one
  // or two, and descriptions are made and copied by the thousand.
  class Addresses {
   public:
    const KestrixStr& operator[](unsigned i) const { return i < list_.size() ? list_[i] : none(); }
    void set(unsigned i, const char* ip);
    void clear() { list_.clear(); }
    // As if both were MAX_IPS long.
    bool operator==(const Addresses& other) const;

   private:
    static const KestrixStr& none();
    std::vector<KestrixStr> list_;
  };

  bool hasAddress(const char* address, bool stripStored) const;

  Addresses metadataIPs_;
  Addresses dataIPs_;
  KestrixStr hostName_;
  KestrixStr displayName_;
  KestrixOS::OsType osType_ = KestrixOS::OS_TYPE_UNKNOWN;
  KestrixStr database_;
  int nodePort_ = 0;
  int framePort_ = 0;
  int versionMajor_ = 2020;
  int versionMinor_ = 2;
  int versionMaint_ = 0;
  int versionBuild_ = 236;
  KestrixStr product_;
  KestrixStr vendor_;
  int productVersionMajor_ = 0;
  int productVersionMinor_ = 0;
  int productVersionMaint_ = 0;
  int productBuild_ = 0;
  KestrixStr productVersionStr_;
  KestrixStr storageId_;
  KestrixStr hostUUID_;
  uint64_t lastUpdate_ = 0;
  int maxFramePort_ = 0;
  int maxNodePort_ = 0;
};
