#pragma once
// This host's usable network interfaces, for one user, sorted into four
// kinds: all, metadata, data and multicast. The network configuration's
// interface lists choose which interfaces belong to a kind and in which
// order ("eth1, *": eth1 first, then every other); loopback always belongs
// and comes first. Each refresh tells the observers of a kind which
// interfaces left it (EVENT_REMOVED, all of them first) and which joined it
// (EVENT_ADDED), with the dispatcher's mutex held. A dispatcher made with
// FLAG_MONITOR refreshes itself whenever the host's interfaces or the
// network configuration change.
//
//   CoNetworkDispatcher dispatcher(CoNetworkDispatcher::FLAG_MONITOR);
//   std::vector<CoNetworkInterface> interfaces;
//   dispatcher.getInterfaces(interfaces, CoNetworkDispatcher::TYPE_MULTICAST,
//                            CoNetworkDispatcher::IPv4Filter);

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/base/loggerBase/CoLastErrLogger.h"
#include "common/base/network/CoNetworkInterface.h"
#include "common/base/threads/CoMutex.h"

namespace Kestrix {

class CoNetworkDispatcher : public CoLastErrLogger {
 public:
  enum Type { TYPE_ALL = 0, TYPE_METADATA = 1, TYPE_DATA = 2, TYPE_MULTICAST = 3 };
  static constexpr const char* TYPE_ALL_STR = "all";
  static constexpr const char* TYPE_METADATA_STR = "metadata";
  static constexpr const char* TYPE_DATA_STR = "data";
  static constexpr const char* TYPE_MULTICAST_STR = "multicast";

  enum Flags : unsigned int { FLAG_MONITOR = 1 };
  enum Event { EVENT_ADDED = 0, EVENT_REMOVED = 1 };

  struct Entry {
    std::unique_ptr<CoNetworkInterface> interface;
    uint32_t rank;  // lower is preferred
  };

  class Observer {
   public:
    virtual ~Observer() = default;
    virtual void notify(Event event, const CoNetworkInterface& itf) = 0;
  };

  // Refreshes its dispatcher on a change of the host's interfaces or of the
  // network configuration.
  class Monitor;

  using Filter = std::function<bool(const CoNetworkInterface&)>;

  explicit CoNetworkDispatcher(unsigned int flags = 0);
  ~CoNetworkDispatcher() override;
  CoNetworkDispatcher(const CoNetworkDispatcher&) = delete;
  CoNetworkDispatcher& operator=(const CoNetworkDispatcher&) = delete;

  // Without force, only the first call does work. False, with the reason as
  // last error, when the configuration or the interface list could not be
  // read; the lists are then empty.
  bool refresh(bool force);
  // The interfaces of one kind in preference order that pass filter (all
  // when it is empty); refreshes first when never refreshed.
  bool getInterfaces(std::vector<CoNetworkInterface>& out, Type type,
                     const Filter& filter = Filter());
  static bool IPv4Filter(const CoNetworkInterface& itf);

  // Observers are not owned; an observer may remove itself from notify().
  void addObserver(Type type, Observer* observer);
  void removeObserver(Type type, Observer* observer);

  static const char* getTypeStr(Type type);
  // TYPE_ALL for an unknown text.
  static Type getTypeFromStr(const char* type);

 private:
  static constexpr int TYPE_COUNT = 4;

  struct Names {
    std::vector<std::string> metadata;
    std::vector<std::string> data;
    std::vector<std::string> multicast;
  };
  using EntryList = std::vector<Entry>;

  // Steps that run with the mutex held.
  bool refreshLocked();
  // Lists every up interface of the host and files each one (platform).
  bool enumerate(const Names& names);
  void file(const CoNetworkInterface& itf, const Names& names);
  void notifyChanges(Type type, const EntryList& previous);
  void warnMissing(const char* kind, const std::vector<std::string>& names, Type type);

  bool refreshed_ = false;
  // Refreshes under way, on any thread.
  std::atomic<int> refreshing_{0};
  CoMutex mutex_;
  EntryList lists_[TYPE_COUNT];
  std::map<Type, std::vector<Observer*>> observers_;
  std::unique_ptr<Monitor> monitor_;
};

}  // namespace Kestrix
