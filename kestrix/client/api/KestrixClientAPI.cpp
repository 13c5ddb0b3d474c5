#include "kestrix/client/api/KestrixClientAPI.h"

#include <atomic>
#include <exception>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/network/CoNetwork.h"
#include "common/base/network/CoNetworkMonitor.h"
#include "common/base/tcp/CoIoTcpDescriptor.h"
#include "common/base/threads/CoThreadMgr.h"
#include "kestrix/client/api/KestrixDaemonInfo.h"
#include "kestrix/client/api/KestrixEventMonitor.h"
#include "kestrix/client/api/KestrixMulticastClient.h"
#include "kestrix/client/api/KestrixResolver.h"
#include "kestrix/client/api/KestrixServerImp.h"

using Kestrix::CoMutexGuard;

// ---- Library start-up -------------------------------------------------------

namespace {

std::atomic<int> gStartCount{0};

void shutDown() {
  KestrixClientConnection::Shared::uninit();
  KestrixMulticastClient::stop();
  KestrixResolver::discoveryStopped();
  KestrixEventMonitor::instance().stop();
  try {
    Kestrix::CoIoTcpDescriptor::uninit();
  } catch (...) {
  }
  Kestrix::CoNetwork::uninit();
}

// A KestrixClient in static storage would stop the library after the
// thread manager has ended its threads at exit: the library stops first.
void shutDownAtExit() {
  if (gStartCount.exchange(0) <= 0) return;
  shutDown();
  // The call engines of handles that outlive the library keep the network
  // started: its watcher must end all the same.
  Kestrix::CoNetworkMonitor::stop();
}

}  // namespace

bool KestrixClientInit() {
  if (gStartCount.fetch_add(1) > 0) return true;
  Kestrix::CoMsg::setDefaultFilterLevel(Kestrix::CoMsg::LEVEL_USER);
  if (!Kestrix::CoNetwork::init()) {
    gStartCount.fetch_sub(1);
    return false;
  }
  try {
    Kestrix::CoIoTcpDescriptor::init();
  } catch (...) {
    gStartCount.fetch_sub(1);
    return false;
  }
  KestrixEventMonitor::instance().start();
  Kestrix::CoThreadMgr::addExitHook(shutDownAtExit);
  KestrixClientConnection::Shared::init();
  // There is no file monitor to start on this platform.
  return true;
}

void KestrixClientUninit() {
  int count = gStartCount.load();
  do {
    if (count <= 0) return;  // never started: nothing to stop
  } while (!gStartCount.compare_exchange_weak(count, count - 1));
  if (count > 1) return;
  shutDown();
}

bool KestrixClient::init() {
  if (started_) return true;
  started_ = KestrixClientInit();
  return started_;
}

KestrixClient::~KestrixClient() {
  if (started_) KestrixClientUninit();
}

// ---- KestrixServerImp -------------------------------------------------------

KestrixServerImp::KestrixServerImp(const KestrixServerId& serverId) : id(serverId) {}

KestrixServerImp::~KestrixServerImp() {
  // Without the lock: the event connection's withdrawal waits for the
  // server, and for a delivery in progress whose handler may use this handle.
  events.reset();
  nodeApi.reset();
  baseApi.reset();
  shared.reset(nullptr);
}

KestrixEventMonitor::Connection* KestrixServerImp::eventConnection() {
  CoMutexGuard guard(lock);
  return attach() ? events.get() : nullptr;
}

const char* KestrixServerImp::lastError() const {
  CoMutexGuard guard(lock);
  return lastError_.c_str();
}

void KestrixServerImp::setLastError(const std::string& text) {
  CoMutexGuard guard(lock);
  lastError_ = text;
}

bool KestrixServerImp::attach() {
  if (attached) return true;
  CoMutexGuard guard(lock);
  if (attached) return true;
  try {
    shared.reset(&id);
  } catch (const std::exception& e) {  // the library's CoException included
    lastError_ = e.what();
    return false;
  }
  connection = shared.get();
  baseApi = std::make_unique<KestrixBaseClientAPI>(connection);
  nodeApi = std::make_unique<KestrixNodeClientAPI>(connection);
  events = std::make_unique<KestrixEventMonitor::Connection>(baseApi.get());
  base = baseApi.get();
  node = nodeApi.get();
  attached = true;
  return true;
}

const KestrixDaemonInfo* KestrixServerImp::getDaemonInfo() {
  CoMutexGuard guard(lock);
  if (!attach()) return nullptr;
  const KestrixDaemonInfo* info = nullptr;
  if (base->getDaemonInfo(info)) {
    infoStale_ = false;
    return info;
  }
  lastError_ = base->lastError();
  infoStale_ = true;
  return nullptr;
}

template <typename Item, typename Fetch>
bool KestrixServerImp::fill(std::atomic<bool>& stale, std::list<Item>& list, Fetch fetch) {
  if (!stale) return true;
  CoMutexGuard guard(lock);
  if (!stale) return true;
  if (!attach()) return false;
  list.clear();
  if (!fetch(*base, list)) {
    lastError_ = base->lastError();
    return false;
  }
  stale = false;
  return true;
}

bool KestrixServerImp::fillGroups() {
  return fill(groupsStale, groups,
              [](KestrixBaseClientAPI& api, auto& out) { return api.getTranslationGroups(out); });
}

bool KestrixServerImp::fillHostTranslations() {
  return fill(hostTranslationsStale, hostTranslations,
              [](KestrixBaseClientAPI& api, auto& out) { return api.getHostTranslations(out); });
}

bool KestrixServerImp::fillOsTypeTranslations() {
  return fill(osTypeTranslationsStale, osTypeTranslations,
              [](KestrixBaseClientAPI& api, auto& out) { return api.getOsTypeTranslations(out); });
}

// ---- KestrixServerHandle ------------------------------------------------------

namespace {

KestrixServerImp* checked(KestrixServerImp* imp) {
  if (imp == nullptr) QV_ASSERT_FAIL_("imp_ != 0");
  return imp;
}

template <typename List>
const typename List::value_type* nth(const List& list, int i) {
  if (i < 0 || i >= static_cast<int>(list.size())) return nullptr;
  auto it = list.begin();
  std::advance(it, i);
  return &*it;
}

}  // namespace

KestrixServerHandle::KestrixServerHandle(const KestrixServerId& id)
    : imp_(new KestrixServerImp(id)) {}

KestrixServerHandle::KestrixServerHandle(const KestrixServerHandle& other) : imp_(nullptr) {
  checked(other.imp_)->attach();
  imp_ = new KestrixServerImp(other.imp_->id);
}

KestrixServerHandle::~KestrixServerHandle() {
  delete imp_;
}

bool KestrixServerHandle::isConnected() const {
  KestrixServerImp* imp = checked(imp_);
  KestrixClientConnection* connection = imp->shared.get();
  return connection != nullptr && connection->isConnected();
}

void KestrixServerHandle::disconnect() {
  KestrixServerImp* imp = checked(imp_);
  CoMutexGuard guard(imp->lock);
  if (KestrixClientConnection* connection = imp->shared.get()) connection->disconnect();
}

void KestrixServerHandle::stop(const char* reason) {
  KestrixServerImp* imp = checked(imp_);
  KestrixClientConnection* shared = imp->shared.get();
  if (shared != nullptr) shared->stop(reason);
  if (imp->connection != nullptr && imp->connection != shared) imp->connection->stop(reason);
}

const char* KestrixServerHandle::lastError() const {
  return checked(imp_)->lastError();
}

const KestrixServerId& KestrixServerHandle::getId() const {
  checked(imp_)->attach();
  return imp_->id;
}

const char* KestrixServerHandle::getIdStr() const {
  return getId().getId();
}

const char* KestrixServerHandle::getHostName() const {
  const KestrixDaemonInfo* info = checked(imp_)->getDaemonInfo();
  return info != nullptr ? info->getHostName() : nullptr;
}

const char* KestrixServerHandle::getHostUUID() const {
  const KestrixDaemonInfo* info = checked(imp_)->getDaemonInfo();
  return info != nullptr ? info->getHostUUID() : nullptr;
}

bool KestrixServerHandle::getDisplayName(KestrixStr& name) const {
  const KestrixDaemonInfo* info = checked(imp_)->getDaemonInfo();
  if (info == nullptr) return false;
  name = info->getDisplayName();
  return true;
}

bool KestrixServerHandle::getStorageId(KestrixStr& id) const {
  const KestrixDaemonInfo* info = checked(imp_)->getDaemonInfo();
  if (info == nullptr) return false;
  id = info->getStorageId();
  return true;
}

bool KestrixServerHandle::getInfo(KestrixServerInfo& out) const {
  const KestrixDaemonInfo* info = checked(imp_)->getDaemonInfo();
  if (info == nullptr) return false;
  out = *info;
  return true;
}

bool KestrixServerHandle::isDatabase(const char* name) const {
  const KestrixDaemonInfo* info = checked(imp_)->getDaemonInfo();
  return info != nullptr && name != nullptr && std::string_view(info->getDatabase()) == name;
}

bool KestrixServerHandle::getProtocolVersion(int& major, int& minor) const {
  const KestrixDaemonInfo* info = checked(imp_)->getDaemonInfo();
  if (info == nullptr) return false;
  major = info->getVersionMajorNumber();
  minor = info->getVersionMinorNumber();
  return true;
}

bool KestrixServerHandle::compareVersion(bool& atLeast, int major, int minor, int maint,
                                         int build) const {
  const KestrixDaemonInfo* info = checked(imp_)->getDaemonInfo();
  if (info == nullptr) return false;
  const int have[] = {info->getVersionMajorNumber(), info->getVersionMinorNumber(),
                      info->getVersionMaintNumber(), info->getVersionBuildNumber()};
  const int want[] = {major, minor, maint, build};
  atLeast = true;
  for (int i = 0; i < 4; ++i) {
    if (have[i] != want[i]) {
      atLeast = have[i] > want[i];
      break;
    }
  }
  return true;
}

bool KestrixServerHandle::ping(unsigned int timeoutMs) {
  return checked(imp_)->remote(&KestrixServerImp::base, [timeoutMs](KestrixBaseClientAPI& api) {
    return api.ping(timeoutMs);
  });
}

bool KestrixServerHandle::getVersion(int& major, int& minor) {
  return checked(imp_)->remote(&KestrixServerImp::node, [&](KestrixNodeClientAPI& api) {
    return api.getVersion(major, minor);
  });
}

bool KestrixServerHandle::getProduct(KestrixStr& product) {
  return checked(imp_)->remote(&KestrixServerImp::node,
                               [&](KestrixNodeClientAPI& api) { return api.getProduct(product); });
}

bool KestrixServerHandle::getVendor(KestrixStr& vendor) {
  return checked(imp_)->remote(&KestrixServerImp::node,
                               [&](KestrixNodeClientAPI& api) { return api.getVendor(vendor); });
}

bool KestrixServerHandle::invalidateCache() {
  bool atLeast = false;
  if (!compareVersion(atLeast, 2012, 0, 0, 5120)) return false;
  // Servers from that version on keep a frame cache on the client side; this
  // library makes no frame data connections, so there is none to empty.
  return true;
}

bool KestrixServerHandle::translatePaths(const KestrixStrList& src, KestrixStrList& dst,
                                         const char* srcHost, const char* dstHost,
                                         KestrixOS::OsType srcType, KestrixOS::OsType dstType) {
  KestrixServerImp* imp = checked(imp_);
  CoMutexGuard guard(imp->lock);
  if (!imp->attach()) return false;
  KestrixStr source(srcHost);
  KestrixStr destination(dstHost);
  if (srcHost == nullptr || dstHost == nullptr) {
    const KestrixDaemonInfo* info = imp->getDaemonInfo();
    if (info == nullptr && srcHost == nullptr) return false;
    if (srcHost == nullptr) source = info->getDisplayName();
    if (dstHost == nullptr && info != nullptr) destination = info->getHostName();
  }
  if (imp->base->translatePaths(src, dst, source.c_str(), destination.c_str(), srcType, dstType))
    return true;
  imp->setLastError(imp->base->lastError());
  return false;
}

bool KestrixServerHandle::translatePath(const KestrixStr& src, KestrixStr& dst, const char* srcHost,
                                        const char* dstHost, KestrixOS::OsType srcType,
                                        KestrixOS::OsType dstType) {
  KestrixStrList sources;
  sources.push_back(src.c_str());
  KestrixStrList results;
  if (!translatePaths(sources, results, srcHost, dstHost, srcType, dstType)) return false;
  dst = results.size() > 0 ? results[0] : "";
  return true;
}

bool KestrixServerHandle::getNumTranslationGroups(int& n) {
  KestrixServerImp* imp = checked(imp_);
  if (!imp->fillGroups()) return false;
  n = static_cast<int>(imp->groups.size());
  return true;
}

bool KestrixServerHandle::getTranslationGroup(int i, TranslationGroup& group) {
  KestrixServerImp* imp = checked(imp_);
  if (!imp->fillGroups()) return false;
  CoMutexGuard guard(imp->lock);
  const KestrixPathTranslationGroup* entry = nth(imp->groups, i);
  if (entry == nullptr) {
    imp->setLastError("Translation group index out of range");
    return false;
  }
  group = *entry;
  return true;
}

bool KestrixServerHandle::getNumHostTranslations(int& n) {
  KestrixServerImp* imp = checked(imp_);
  if (!imp->fillHostTranslations()) return false;
  n = static_cast<int>(imp->hostTranslations.size());
  return true;
}

bool KestrixServerHandle::getHostTranslation(int i, HostTranslation& translation) {
  KestrixServerImp* imp = checked(imp_);
  if (!imp->fillHostTranslations()) return false;
  CoMutexGuard guard(imp->lock);
  const KestrixHostTranslation* entry = nth(imp->hostTranslations, i);
  if (entry == nullptr) {
    imp->setLastError("Host Translation index out of range");
    return false;
  }
  translation = *entry;
  return true;
}

bool KestrixServerHandle::getNumOsTypeTranslations(int& n) {
  KestrixServerImp* imp = checked(imp_);
  if (!imp->fillOsTypeTranslations()) return false;
  n = static_cast<int>(imp->osTypeTranslations.size());
  return true;
}

bool KestrixServerHandle::getOsTypeTranslation(int i, OsTypeTranslation& translation) {
  KestrixServerImp* imp = checked(imp_);
  if (!imp->fillOsTypeTranslations()) return false;
  CoMutexGuard guard(imp->lock);
  const KestrixOsTypeTranslation* entry = nth(imp->osTypeTranslations, i);
  if (entry == nullptr) {
    imp->setLastError("OS Type Translation index out of range");
    return false;
  }
  translation = *entry;
  return true;
}

bool KestrixServerHandle::registerEventHandler(const KestrixNodeId& nodeId,
                                               KestrixNodeEvent::Handler* handler,
                                               const char* format, const char* metadata) {
  KestrixServerImp* imp = checked(imp_);
  KestrixEventMonitor::Connection* events = imp->eventConnection();
  if (events == nullptr) return false;
  if (events->registerEventHandler(nodeId, handler, format, metadata)) return true;
  imp->setLastError(events->errorText());
  return false;
}

bool KestrixServerHandle::unregisterEventHandler(const KestrixNodeId& nodeId,
                                                 KestrixNodeEvent::Handler* handler) {
  KestrixServerImp* imp = checked(imp_);
  KestrixEventMonitor::Connection* events = imp->eventConnection();
  if (events == nullptr) return false;
  if (events->unregisterEventHandler(nodeId, handler)) return true;
  imp->setLastError(events->errorText());
  return false;
}

// ---- Handle records -----------------------------------------------------------

#define KESTRIX_RECORD_COPY(Name, Record, field)                                          \
  KestrixServerHandle::Name::Name() : field(new Record) {}                                \
  KestrixServerHandle::Name::Name(const Name& other) : field(new Record(*other.field)) {} \
  KestrixServerHandle::Name& KestrixServerHandle::Name::operator=(const Name& other) {    \
    *field = *other.field;                                                                \
    return *this;                                                                         \
  }                                                                                       \
  KestrixServerHandle::Name& KestrixServerHandle::Name::operator=(const Record& record) { \
    *field = record;                                                                      \
    return *this;                                                                         \
  }                                                                                       \
  KestrixServerHandle::Name::~Name() {                                                    \
    delete field;                                                                         \
  }

KESTRIX_RECORD_COPY(TranslationGroup, KestrixPathTranslationGroup, group_)
KESTRIX_RECORD_COPY(HostTranslation, KestrixHostTranslation, translation_)
KESTRIX_RECORD_COPY(OsTypeTranslation, KestrixOsTypeTranslation, translation_)
#undef KESTRIX_RECORD_COPY

const char* KestrixServerHandle::TranslationGroup::getGroupName() const {
  return group_->groupName.c_str();
}
const char* KestrixServerHandle::TranslationGroup::getOSType() const {
  return KestrixOS::OsTypeStr(static_cast<KestrixOS::OsType>(group_->osType));
}
int KestrixServerHandle::TranslationGroup::getNumHosts() const {
  return static_cast<int>(group_->hostNames.size());
}
const char* KestrixServerHandle::TranslationGroup::getHost(int i) const {
  if (i < 0 || i >= getNumHosts()) return nullptr;
  return group_->hostNames[static_cast<size_t>(i)].c_str();
}

const char* KestrixServerHandle::HostTranslation::getSourceHost() const {
  return translation_->srcHost.c_str();
}
const char* KestrixServerHandle::HostTranslation::getSourcePath() const {
  return translation_->srcPath.c_str();
}
const char* KestrixServerHandle::HostTranslation::getDestinationHost() const {
  return translation_->dstHost.c_str();
}
const char* KestrixServerHandle::HostTranslation::getDestinationPath() const {
  return translation_->dstPath.c_str();
}

const char* KestrixServerHandle::OsTypeTranslation::getSourceType() const {
  return translation_->srcType.c_str();
}
const char* KestrixServerHandle::OsTypeTranslation::getSourcePath() const {
  return translation_->srcPath.c_str();
}
const char* KestrixServerHandle::OsTypeTranslation::getDestinationType() const {
  return translation_->dstType.c_str();
}
const char* KestrixServerHandle::OsTypeTranslation::getDestinationPath() const {
  return translation_->dstPath.c_str();
}

// ---- KestrixServerInfo --------------------------------------------------------

KestrixServerInfo::KestrixServerInfo() : info_(new KestrixDaemonInfo) {}
KestrixServerInfo::KestrixServerInfo(const KestrixDaemonInfo& info)
    : info_(new KestrixDaemonInfo(info)) {}
KestrixServerInfo::KestrixServerInfo(const KestrixServerInfo& other)
    : info_(new KestrixDaemonInfo(*other.info_)) {}
KestrixServerInfo& KestrixServerInfo::operator=(const KestrixServerInfo& other) {
  *info_ = *other.info_;
  return *this;
}
KestrixServerInfo& KestrixServerInfo::operator=(const KestrixDaemonInfo& info) {
  *info_ = info;
  return *this;
}
KestrixServerInfo::~KestrixServerInfo() {
  delete info_;
}
bool KestrixServerInfo::operator==(const KestrixServerInfo& other) const {
  return *info_ == *other.info_;
}

const char* KestrixServerInfo::getDatabase() const {
  return info_->getDatabase();
}
const char* KestrixServerInfo::getDisplayName() const {
  return info_->getDisplayName();
}
const char* KestrixServerInfo::getHostUUID() const {
  return info_->getHostUUID();
}
const char* KestrixServerInfo::getHostname() const {
  return info_->getHostName();
}
const char* KestrixServerInfo::getProduct() const {
  return info_->getProduct();
}
const char* KestrixServerInfo::getVendor() const {
  return info_->getVendor();
}
const char* KestrixServerInfo::getStorageId() const {
  return info_->getStorageId();
}
const char* KestrixServerInfo::getProductVersionStr() const {
  return info_->getProductVersionString();
}
int KestrixServerInfo::getProductVersionMajor() const {
  return info_->getProductVersionMajorNumber();
}
int KestrixServerInfo::getProductVersionMinor() const {
  return info_->getProductVersionMinorNumber();
}
int KestrixServerInfo::getProductVersionMaint() const {
  return info_->getProductVersionMaintNumber();
}
int KestrixServerInfo::getProductBuild() const {
  return info_->getProductBuildNumber();
}
int KestrixServerInfo::getVersionMajor() const {
  return info_->getVersionMajorNumber();
}
int KestrixServerInfo::getVersionMinor() const {
  return info_->getVersionMinorNumber();
}
int KestrixServerInfo::getVersionMaint() const {
  return info_->getVersionMaintNumber();
}
bool KestrixServerInfo::isLocal() const {
  return info_->isLocal();
}
bool KestrixServerInfo::isSameServer(const KestrixServerInfo& other) const {
  return info_->isSameServer(*other.info_);
}
bool KestrixServerInfo::isSameServer(const KestrixServerId& id) const {
  return info_->isSameServer(id);
}
KestrixServerId KestrixServerInfo::getId() const {
  return info_->getServerId();
}
void KestrixServerInfo::setDatabase(const char* v) {
  info_->setDatabase(v);
}
void KestrixServerInfo::setProduct(const char* v) {
  info_->setProduct(v);
}
void KestrixServerInfo::setVendor(const char* v) {
  info_->setVendor(v);
}
void KestrixServerInfo::setStorageId(const char* v) {
  info_->setStorageId(v);
}
void KestrixServerInfo::setProductVersionStr(const char* v) {
  info_->setProductVersionString(v);
}
void KestrixServerInfo::setProductVersionMajor(int v) {
  info_->setProductVersionMajorNumber(v);
}
void KestrixServerInfo::setProductVersionMinor(int v) {
  info_->setProductVersionMinorNumber(v);
}
void KestrixServerInfo::setProductVersionMaint(int v) {
  info_->setProductVersionMaintNumber(v);
}
void KestrixServerInfo::setProductBuild(int v) {
  info_->setProductBuildNumber(v);
}
