#include "common/base/network/CoNetworkDispatcher.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "common/base/ipc/CoWeakSubject.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/network/CoNetwork.h"
#include "common/base/network/CoNetworkConfig.h"
#include "common/base/network/CoNetworkMonitor.h"

namespace Kestrix {

class CoNetworkDispatcher::Monitor : public CoNetworkMonitor::Observer, public CoWeakObserver {
 public:
  explicit Monitor(CoNetworkDispatcher* dispatcher) : _dispatcher(dispatcher) {
    QV_ASSERT(_dispatcher);
    attach();
    startObserving();
  }
  // The configuration may notify from another thread: leave it before the
  // base destructor would.
  ~Monitor() override {
    stopObserving();
    CoNetworkConfig::getInstance().removeObserver(*this);
  }

  void attach() { CoNetworkConfig::getInstance().addObserver(*this); }

  void networkChanged() override { _dispatcher->refresh(true); }

  void notify(const CoWeakSubject& subject, const CoSubjectHint& hint) override {
    // clang-format off
    QV_ASSERT(& subject == & CoNetworkConfig::getInstance());
    QV_ASSERT(dynamic_cast< const CoContentChangedHint * > ( & hint ));
    // clang-format on
    // Deaf while its dispatcher refreshes, as if it had left the observers.
    if (_dispatcher->refreshing_ == 0) _dispatcher->refresh(true);
  }

 private:
  CoNetworkDispatcher* const _dispatcher;
};

namespace {

// Whether itf belongs to a kind configured with names, and its rank there.
bool passes(const CoNetworkInterface& itf, const std::vector<std::string>& names, uint32_t& rank) {
  const uint32_t attributes = itf.getAttributes();
  if (attributes & CoNetworkInterface::ATTR_LOOPBACK) {
    rank = 0;
    return true;
  }
  const uint32_t gateway = (attributes & CoNetworkInterface::ATTR_GATEWAY) ? 1 : 0;
  if (names.empty()) {
    rank = 2 - gateway;
    return true;
  }
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == itf.getName()) {
      rank = static_cast<uint32_t>(i) + 1;
      return true;
    }
    if (names[i] == "*") {
      rank = static_cast<uint32_t>(i) + 2 - gateway;
      return true;
    }
  }
  return false;
}

// Data prefers the fastest interface; metadata (small requests) the slowest,
// leaving the fast ones to bulk traffic.
bool before(const CoNetworkDispatcher::Entry& a, const CoNetworkDispatcher::Entry& b,
            bool fasterFirst) {
  if (a.rank != b.rank) return a.rank < b.rank;
  const CoNetworkInterface& x = *a.interface;
  const CoNetworkInterface& y = *b.interface;
  const bool loopbackX = x.getAttributes() & CoNetworkInterface::ATTR_LOOPBACK;
  const bool loopbackY = y.getAttributes() & CoNetworkInterface::ATTR_LOOPBACK;
  if (loopbackX != loopbackY) return loopbackX;
  if (x.getThroughput() != y.getThroughput())
    return fasterFirst ? x.getThroughput() > y.getThroughput()
                       : x.getThroughput() < y.getThroughput();
  const bool gatewayX = x.getAttributes() & CoNetworkInterface::ATTR_GATEWAY;
  const bool gatewayY = y.getAttributes() & CoNetworkInterface::ATTR_GATEWAY;
  if (gatewayX != gatewayY) return gatewayX;
  return x.getName() < y.getName();
}

void sortEntries(std::vector<CoNetworkDispatcher::Entry>& list, bool fasterFirst) {
  std::stable_sort(list.begin(), list.end(), [fasterFirst](const auto& a, const auto& b) {
    return before(a, b, fasterFirst);
  });
}

bool hasEqual(const std::vector<CoNetworkDispatcher::Entry>& list, const CoNetworkInterface& itf) {
  return std::any_of(list.begin(), list.end(),
                     [&itf](const auto& e) { return *e.interface == itf; });
}

}  // namespace

CoNetworkDispatcher::CoNetworkDispatcher(unsigned int flags) {
  if (flags & FLAG_MONITOR) monitor_ = std::make_unique<Monitor>(this);
}

CoNetworkDispatcher::~CoNetworkDispatcher() {
  // First, so that no notification reaches a dispatcher being taken apart.
  monitor_.reset();
}

const char* CoNetworkDispatcher::getTypeStr(Type type) {
  switch (type) {
    case TYPE_ALL:
      return TYPE_ALL_STR;
    case TYPE_METADATA:
      return TYPE_METADATA_STR;
    case TYPE_DATA:
      return TYPE_DATA_STR;
    case TYPE_MULTICAST:
      return TYPE_MULTICAST_STR;
  }
  QV_ASSERT(!"Unhandle interface type!");
  return "";
}

CoNetworkDispatcher::Type CoNetworkDispatcher::getTypeFromStr(const char* type) {
  if (type == nullptr) return TYPE_ALL;
  if (std::strcmp(type, TYPE_METADATA_STR) == 0) return TYPE_METADATA;
  if (std::strcmp(type, TYPE_DATA_STR) == 0) return TYPE_DATA;
  if (std::strcmp(type, TYPE_MULTICAST_STR) == 0) return TYPE_MULTICAST;
  // clang-format off
  QV_ASSERT(strcmp( type, TYPE_ALL_STR ) == 0);
  // clang-format on
  return TYPE_ALL;
}

bool CoNetworkDispatcher::IPv4Filter(const CoNetworkInterface& itf) {
  return (itf.getAttributes() & CoNetworkInterface::ATTR_IPV4) != 0;
}

void CoNetworkDispatcher::addObserver(Type type, Observer* observer) {
  CoMutexGuard guard(mutex_);
  std::vector<Observer*>& list = observers_[type];
  if (std::find(list.begin(), list.end(), observer) == list.end()) list.push_back(observer);
}

void CoNetworkDispatcher::removeObserver(Type type, Observer* observer) {
  CoMutexGuard guard(mutex_);
  std::vector<Observer*>& list = observers_[type];
  list.erase(std::remove(list.begin(), list.end(), observer), list.end());
}

bool CoNetworkDispatcher::refresh(bool force) {
  {
    CoMutexGuard guard(mutex_);
    if (refreshed_ && !force) return true;
  }
  // Reading the configuration may load it afresh; its news must not start a
  // refresh inside this one, so the monitor ignores it meanwhile. A counter
  // rather than leaving and rejoining the configuration's observers: a
  // refresh on the watcher's thread would otherwise rejoin for a monitor
  // that the dispatcher's destructor is taking down, and rejoining under a
  // lock of ours would invert the configuration's lock order.
  ++refreshing_;
  bool done;
  {
    CoMutexGuard guard(mutex_);
    done = refreshLocked();
  }
  --refreshing_;
  return done;
}

bool CoNetworkDispatcher::refreshLocked() {
  EntryList previous[TYPE_COUNT];
  for (int type = 0; type < TYPE_COUNT; ++type) previous[type].swap(lists_[type]);

  QV_ASSERT(CoNetwork::isInitialized());
  CoNetworkConfig& config = CoNetworkConfig::getInstance();
  Names names;
  if (!config.getMetadataInterfaces(names.metadata) || !config.getDataInterfaces(names.data) ||
      !config.getMulticastInterfaces(names.multicast)) {
    assignError(config);
    return false;
  }
  if (!enumerate(names)) {
    for (EntryList& list : lists_) list.clear();
    return false;
  }
  for (int type = 0; type < TYPE_COUNT; ++type) notifyChanges(Type(type), previous[type]);

  sortEntries(lists_[TYPE_METADATA], false);
  sortEntries(lists_[TYPE_MULTICAST], false);
  sortEntries(lists_[TYPE_DATA], true);

  warnMissing("Metadata", names.metadata, TYPE_METADATA);
  warnMissing("Data", names.data, TYPE_DATA);
  warnMissing("Multicast", names.multicast, TYPE_MULTICAST);
  refreshed_ = true;
  return true;
}

void CoNetworkDispatcher::file(const CoNetworkInterface& itf, const Names& names) {
  uint32_t rank = 0;
  passes(itf, {}, rank);
  lists_[TYPE_ALL].push_back({std::make_unique<CoNetworkInterface>(itf), rank});
  if (passes(itf, names.data, rank))
    lists_[TYPE_DATA].push_back({std::make_unique<CoNetworkInterface>(itf), rank});
  if (passes(itf, names.metadata, rank))
    lists_[TYPE_METADATA].push_back({std::make_unique<CoNetworkInterface>(itf), rank});
  if ((itf.getAttributes() & CoNetworkInterface::ATTR_MULTICAST) &&
      passes(itf, names.multicast, rank))
    lists_[TYPE_MULTICAST].push_back({std::make_unique<CoNetworkInterface>(itf), rank});
}

void CoNetworkDispatcher::notifyChanges(Type type, const EntryList& previous) {
  const auto found = observers_.find(type);
  if (found == observers_.end() || found->second.empty()) return;
  // An observer may remove itself, or another, while it is told.
  const std::vector<Observer*> observers = found->second;
  auto tell = [&](Event event, const CoNetworkInterface& itf) {
    for (Observer* observer : observers) {
      const std::vector<Observer*>& current = observers_[type];
      if (std::find(current.begin(), current.end(), observer) != current.end())
        observer->notify(event, itf);
    }
  };
  const EntryList& now = lists_[type];
  for (const Entry& entry : previous) {
    if (!hasEqual(now, *entry.interface)) tell(EVENT_REMOVED, *entry.interface);
  }
  for (const Entry& entry : now) {
    if (!hasEqual(previous, *entry.interface)) tell(EVENT_ADDED, *entry.interface);
  }
}

void CoNetworkDispatcher::warnMissing(const char* kind, const std::vector<std::string>& names,
                                      Type type) {
  const EntryList& list = lists_[type];
  for (const std::string& name : names) {
    // "*" stands for every other interface; it is never a missing one.
    if (name == "*") continue;
    const bool present = std::any_of(list.begin(), list.end(), [&name](const Entry& e) {
      return e.interface->getName() == name;
    });
    if (!present) CO_POST_WARNING("%s interface '%s' is invalid or down", kind, name.c_str());
  }
}

bool CoNetworkDispatcher::getInterfaces(std::vector<CoNetworkInterface>& out, Type type,
                                        const Filter& filter) {
  out.clear();
  if (static_cast<int>(type) < 0 || static_cast<int>(type) >= TYPE_COUNT) return false;
  bool refreshed;
  {
    CoMutexGuard guard(mutex_);
    refreshed = refreshed_;
  }
  // refresh() takes locks of its own before ours: never call it holding ours.
  if (!refreshed && !refresh(false)) return false;
  CoMutexGuard guard(mutex_);
  for (const Entry& entry : lists_[type]) {
    if (!filter || filter(*entry.interface)) out.push_back(*entry.interface);
  }
  return true;
}

}  // namespace Kestrix
