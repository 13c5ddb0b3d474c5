#include "kestrix/client/api/KestrixDaemonInfo.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/base/fileUtil/CoFilePath.h"
#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/network/CoNetworkLocal.h"
#include "common/base/osal/CoTime.h"
#include "common/base/tcp/CoIoTcpDescriptor.h"

using Kestrix::CoIoTcpDescriptor;
using Kestrix::rcAttrStream;

namespace {

std::string indexedKey(const char* prefix, unsigned i) {
  char key[64];
  std::snprintf(key, sizeof key, "%s%u", prefix, i);
  return key;
}

const char* stripped(const char* address) { return CoIoTcpDescriptor::skipIPv4InIPv6Prefix(address); }

bool startsWithLetter(const char* text) {
  return text != nullptr && std::isalpha(static_cast<unsigned char>(text[0]));
}

// Reads "<prefix>0", "<prefix>1", ... up to the first missing key; true when
// any value read is non-empty.
template <typename Addresses>
bool readAddresses(const rcAttrStream& stream, const char* prefix, Addresses& ips) {
  bool any = false;
  std::string value;
  for (unsigned i = 0; i < KestrixDaemonInfo::MAX_IPS; ++i) {
    if (!stream.getStringValue(indexedKey(prefix, i).c_str(), value)) break;
    ips.set(i, value.c_str());
    any = any || !value.empty();
  }
  return any;
}

void readText(const rcAttrStream& stream, const char* key, KestrixStr& field) {
  std::string value;
  if (stream.getStringValue(key, value)) field = value.c_str();
}

void readInt(const rcAttrStream& stream, const char* key, int& field) {
  int value = 0;
  if (stream.getIntValue(key, value)) field = value;
}

}  // namespace

KestrixDaemonInfo::KestrixDaemonInfo() : lastUpdate_(Kestrix::CoTime::getTime()) {}

KestrixDaemonInfo::KestrixDaemonInfo(const rcAttrStream& stream)
    : versionMajor_(0),
      versionMinor_(0),
      versionMaint_(0),
      versionBuild_(0),
      lastUpdate_(Kestrix::CoTime::getTime()) {
  const bool anyMetadata = readAddresses(stream, "IP", metadataIPs_);
  std::string hostname;
  stream.getStringValue("Hostname", hostname);
  if (!anyMetadata) metadataIPs_.set(0, hostname.c_str());
  std::string value;
  hostName_ = stream.getStringValue("HostName", value) ? value.c_str() : hostname.c_str();
  if (!readAddresses(stream, "FrameIP", dataIPs_)) dataIPs_.set(0, metadataIPs_[0].c_str());
  displayName_ = stream.getStringValue("DisplayName", value) ? value.c_str() : hostName_.c_str();
  osType_ = stream.getStringValue("OSType", value) ? KestrixOS::strToOsType(value.c_str())
                                                    : KestrixOS::OS_TYPE_UNKNOWN;
  readText(stream, "Database", database_);
  readInt(stream, "NodePort", nodePort_);
  readInt(stream, "FramePort", framePort_);
  readInt(stream, "VersionMajor", versionMajor_);
  readInt(stream, "VersionMinor", versionMinor_);
  readInt(stream, "VersionMaint", versionMaint_);
  readInt(stream, "VersionBuild", versionBuild_);
  product_ = stream.getStringValue("Product", value) ? value.c_str() : "unknown";
  vendor_ = stream.getStringValue("Vendor", value) ? value.c_str() : "unknown";
  readInt(stream, "ProductVersionMajor", productVersionMajor_);
  readInt(stream, "ProductVersionMinor", productVersionMinor_);
  readInt(stream, "ProductVersionMaint", productVersionMaint_);
  readInt(stream, "ProductBuild", productBuild_);
  if (stream.getStringValue("ProductVersionStr", value)) {
    productVersionStr_ = value.c_str();
  } else {
    char text[64];
    std::snprintf(text, sizeof text, "%d.%d.%d", productVersionMajor_, productVersionMinor_,
                  productVersionMaint_);
    productVersionStr_ = text;
  }
  // Servers of older protocol versions have no storage id.
  if (versionMajor_ >= 3) readText(stream, "StorageId", storageId_);
  readText(stream, "HostUUID", hostUUID_);
}

bool KestrixDaemonInfo::operator==(const KestrixDaemonInfo& o) const {
  if (!(metadataIPs_ == o.metadataIPs_) || !(dataIPs_ == o.dataIPs_)) return false;
  return hostName_ == o.hostName_ && displayName_ == o.displayName_ && osType_ == o.osType_ &&
         database_ == o.database_ && nodePort_ == o.nodePort_ && framePort_ == o.framePort_ &&
         versionMajor_ == o.versionMajor_ && versionMinor_ == o.versionMinor_ &&
         versionMaint_ == o.versionMaint_ && versionBuild_ == o.versionBuild_ &&
         product_ == o.product_ && vendor_ == o.vendor_ &&
         productVersionMajor_ == o.productVersionMajor_ &&
         productVersionMinor_ == o.productVersionMinor_ &&
         productVersionMaint_ == o.productVersionMaint_ && productBuild_ == o.productBuild_ &&
         productVersionStr_ == o.productVersionStr_ && storageId_ == o.storageId_ &&
         hostUUID_ == o.hostUUID_ && maxFramePort_ == o.maxFramePort_ &&
         maxNodePort_ == o.maxNodePort_;
}

bool KestrixDaemonInfo::operator<(const KestrixDaemonInfo& o) const {
  if (displayName_ != o.displayName_) return displayName_ < o.displayName_;
  return database_ < o.database_;
}

void KestrixDaemonInfo::setMetadataIP(unsigned i, const char* ip) {
  if (i >= MAX_IPS) {
    CO_POST_WARNING("Exceeding maximum number of IPs allowed, ignoring %s", ip ? ip : "");
    return;
  }
  metadataIPs_.set(i, ip);
}

void KestrixDaemonInfo::setDataIP(unsigned i, const char* ip) {
  if (i >= MAX_IPS) {
    CO_POST_WARNING("Exceeding maximum number of IPs allowed, ignoring %s", ip ? ip : "");
    return;
  }
  dataIPs_.set(i, ip);
}

void KestrixDaemonInfo::resetIPs() {
  metadataIPs_.clear();
  dataIPs_.clear();
}

void KestrixDaemonInfo::Addresses::set(unsigned i, const char* ip) {
  if (i >= MAX_IPS) return;
  if (ip == nullptr || *ip == '\0') {
    if (i < list_.size()) list_[i].clear();
    while (!list_.empty() && list_.back().isEmpty()) list_.pop_back();
    return;
  }
  if (i >= list_.size()) list_.resize(i + 1);
  list_[i] = ip;
}

bool KestrixDaemonInfo::Addresses::operator==(const Addresses& other) const {
  return list_.size() == other.list_.size() &&
         std::equal(list_.begin(), list_.end(), other.list_.begin(),
                    [](const KestrixStr& a, const KestrixStr& b) { return a == b; });
}

const KestrixStr& KestrixDaemonInfo::Addresses::none() {
  static const KestrixStr empty;
  return empty;
}

void KestrixDaemonInfo::update() {
  lastUpdate_ = Kestrix::CoTime::getTime();
}

rcAttrStream KestrixDaemonInfo::toAttrStream() const {
  rcAttrStream stream;
  for (unsigned i = 0; i < MAX_IPS && !metadataIPs_[i].isEmpty(); ++i)
    stream.addStringValue(indexedKey("IP", i).c_str(), metadataIPs_[i].c_str());
  for (unsigned i = 0; i < MAX_IPS && !dataIPs_[i].isEmpty(); ++i)
    stream.addStringValue(indexedKey("FrameIP", i).c_str(), dataIPs_[i].c_str());
  stream.addStringValue("Hostname", metadataIPs_[0].c_str());
  stream.addStringValue("HostName", hostName_.c_str());
  stream.addStringValue("DisplayName", displayName_.c_str());
  stream.addStringValue("OSType", KestrixOS::OsTypeStr(osType_));
  stream.addStringValue("Database", database_.c_str());
  stream.addIntValue("NodePort", nodePort_);
  stream.addIntValue("FramePort", framePort_);
  stream.addIntValue("VersionMajor", versionMajor_);
  stream.addIntValue("VersionMinor", versionMinor_);
  stream.addIntValue("VersionMaint", versionMaint_);
  stream.addIntValue("VersionBuild", versionBuild_);
  stream.addStringValue("Product", product_.c_str());
  stream.addStringValue("Vendor", vendor_.c_str());
  stream.addIntValue("ProductVersionMajor", productVersionMajor_);
  stream.addIntValue("ProductVersionMinor", productVersionMinor_);
  stream.addIntValue("ProductVersionMaint", productVersionMaint_);
  stream.addStringValue("ProductVersionStr", productVersionStr_.c_str());
  stream.addIntValue("ProductBuild", productBuild_);
  stream.addStringValue("StorageId", storageId_.c_str());
  stream.addStringValue("HostUUID", hostUUID_.c_str());
  return stream;
}

KestrixServerId KestrixDaemonInfo::getServerId() const {
  KestrixServerId id(database_.c_str(), metadataIPs_[0].c_str(), nodePort_);
  id.setStorageId(storageId_.c_str());
  return id;
}

KestrixStr KestrixDaemonInfo::getFrameMsgQ() const {
  static const Kestrix::CoFilePath directory = [] {
    Kestrix::CoFilePath dir(Kestrix::CoFilePath::tempDir().path(), "hlvn");
    try {
      const Kestrix::CoFilePath::Permissions all(7, 7, 7);
      dir.createDir(all, Kestrix::CoFilePath::CREATE_DIR_EXISTING_OK);
      dir.chmod(all);
    } catch (const Kestrix::CoException& e) {
      CO_POST_WARNING("%s", e.what());
    }
    return dir;
  }();
  Kestrix::CoFilePath name(directory.path(), "msgq.kx.");
  name += database_.c_str();
  name += ".";
  name += std::to_string(framePort_).c_str();
  return name.path();
}

bool KestrixDaemonInfo::isLocal() const {
  std::string localUUID;
  if (!hostUUID_.isEmpty() && Kestrix::CoNetworkLocal::getUUID(localUUID))
    return hostUUID_ == localUUID.c_str();
  for (unsigned i = 0; i < MAX_IPS && !metadataIPs_[i].isEmpty(); ++i)
    if (!KestrixOS::isLocalIP(metadataIPs_[i].c_str())) return false;
  return true;
}

// Whether address equals a metadata IP, or then a data IP, each list up to
// its first empty entry.
bool KestrixDaemonInfo::hasAddress(const char* address, bool stripStored) const {
  for (const Addresses* list : {&metadataIPs_, &dataIPs_})
    for (unsigned i = 0; i < MAX_IPS && !(*list)[i].isEmpty(); ++i) {
      const char* stored = stripStored ? stripped((*list)[i].c_str()) : (*list)[i].c_str();
      if (std::strcmp(stored, address) == 0) return true;
    }
  return false;
}

namespace {

// The address a host name stands for: its first address that is neither
// loopback nor link-local, else the name itself. A name whose only addresses
// are loopback ones counts as its first loopback address: Linux hosts map
// their own name so, and the local host's name must find the local server.
struct NamedAddress {
  std::string text;
  bool loopback = false;
};

NamedAddress addressOfName(const char* name) {
  NamedAddress address{name};
  std::string resolved;
  if (CoIoTcpDescriptor::getIpAddrFromHostName(name, resolved)) {
    address.text = resolved;
  } else if (CoIoTcpDescriptor::getLoopbackAddrFromHostName(name, resolved)) {
    address.text = resolved;
    address.loopback = true;
  }
  return address;
}

}  // namespace

bool KestrixDaemonInfo::isSameHost(const char* host) const {
  if (host == nullptr) return false;
  NamedAddress address{stripped(host)};
  if (startsWithLetter(host)) address = addressOfName(host);
  if (hasAddress(address.text.c_str(), true)) return true;
  return (address.loopback || KestrixOS::isLocalIP(address.text.c_str())) && isLocal();
}

bool KestrixDaemonInfo::isSameServer(const KestrixDaemonInfo& o) const {
  if (!storageId_.isEmpty() || !o.storageId_.isEmpty()) return storageId_ == o.storageId_;
  if (database_ != o.database_) return false;
  if (!hostUUID_.isEmpty() || !o.hostUUID_.isEmpty()) return hostUUID_ == o.hostUUID_;
  for (const Addresses* list : {&o.metadataIPs_, &o.dataIPs_})
    for (unsigned i = 0; i < MAX_IPS && !(*list)[i].isEmpty(); ++i)
      if (isSameHost((*list)[i].c_str())) return true;
  return false;
}

bool KestrixDaemonInfo::isSameServer(const KestrixServerId& id) const {
  return isSameServer(id, targetOf(id));
}

KestrixDaemonInfo::Target KestrixDaemonInfo::targetOf(const KestrixServerId& id) {
  Target target{id.getIPAddr()};
  if (*id.getStorageId() != '\0') return target;  // decides alone
  switch (CoIoTcpDescriptor::getAddrType(id.getIPAddr())) {
    case CoIoTcpDescriptor::ADDR_INVALID:
      target.valid = false;
      break;
    case CoIoTcpDescriptor::ADDR_IPV6:
      target.address = stripped(id.getIPAddr());
      break;
    case CoIoTcpDescriptor::ADDR_HOSTNAME: {
      const NamedAddress named = addressOfName(id.getIPAddr());
      target.address = named.text;
      target.loopback = named.loopback;
      break;
    }
    case CoIoTcpDescriptor::ADDR_IPV4:
      break;
  }
  return target;
}

bool KestrixDaemonInfo::isSameServer(const KestrixServerId& id, const Target& target) const {
  if (*id.getStorageId() != '\0') return storageId_ == id.getStorageId();
  if (id.getPort() != 0 && id.getPort() != nodePort_) return false;
  if (*id.getDB() != '\0' && database_ != id.getDB()) return false;
  if (!target.valid) return false;
  if (hasAddress(target.address.c_str(), false)) return true;
  return (target.loopback || KestrixOS::isLoopBackIP(target.address.c_str())) && isLocal();
}
