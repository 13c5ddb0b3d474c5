#pragma once
// kestrixd's server: the library's server context serving the methods every
// Kestrix server offers (ping, version, description, server list, the path
// translation rules and requests, event subscriptions, shut-down) from one
// configuration, and on the discovery group (KestrixDiscoveryService). It
// tells subscribers of its rules node (KestrixRulesNode.h) of each reload
// through KestrixEventPublisher. "TranslatePaths" is answered later, by
// KestrixTranslationWorkers, so that a request of a million paths holds up
// no other client; each request keeps the rules it was asked under, and a
// reload swaps in a new snapshot. Those workers and the publisher's alone
// run beside the loop; single-threaded otherwise, like the context under it.

#include <memory>
#include <string>

#include "common/base/network/CoNetwork.h"
#include "common/base/network/CoNetworkDispatcher.h"
#include "common/base/rcApi/rcServerContext.h"
#include "kestrix/client/api/KestrixDaemonInfo.h"
#include "kestrix/server/KestrixDiscoveryService.h"
#include "kestrix/server/KestrixEventPublisher.h"
#include "kestrix/server/KestrixServerConfig.h"
#include "kestrix/server/KestrixTranslationRules.h"
#include "kestrix/server/KestrixTranslationWorkers.h"

namespace Kestrix {

class KestrixServer : public rcServerContext {
 public:
  // The protocol version this server speaks, as in its description.
  static constexpr int VERSION_MAJOR = 2020;
  static constexpr int VERSION_MINOR = 2;

  // Listens on port at the addresses of config.access.listen.
  KestrixServer(int port, const KestrixServerConfig& config);
  ~KestrixServer() override;

  // Replaces the configuration (rules, names, limits and access); false
  // with error set, and nothing replaced, when its listen addresses cannot
  // be had.
  bool setConfig(const KestrixServerConfig& config, std::string& error);
  // setConfig for rules (re)loaded from rulesFile, whose subscribers are
  // told of it.
  bool reload(const KestrixServerConfig& config, const std::string& rulesFile, std::string& error);
  const KestrixServerConfig& config() const { return config_; }
  // This server's description: its IPv4 addresses (loopback last, as many
  // as keep an announcement within a datagram), port, names, database and
  // storage id (the configured one, else the one kept in the state
  // directory for its database and port: KestrixStorageId).
  KestrixDaemonInfo describe() const;
  // The name of this server's host in the rules.
  const std::string& ownHostName() const { return hostName_; }
  // A host text as the rules name it: this server's own names, loopback
  // addresses and "host:port" forms of them become ownHostName().
  std::string canonicalHost(const std::string& host) const;
  int subscriptionCount() const { return static_cast<int>(events_.subscriptionCount()); }
  bool shutdownRequested() const { return shutdownRequested_; }

 private:
  bool allowPeer(const std::string& address) override;
  int timerWaitMs() override;
  void onTimers() override;
  static KestrixServer& self(const rcMethod& method);
  void registerMethods();
  // setConfig without the announcement.
  bool applyConfig(const KestrixServerConfig& config, std::string& error);
  void publishRulesReload(const std::string& rulesFile);

  static bool ping(void*, const rcMethod&, const rcParam::Array&, rcParam&);
  static bool queryVersion(void*, const rcMethod&, const rcParam::Array&, rcParam&);
  static bool getDaemonInfo(void*, const rcMethod&, const rcParam::Array&, rcParam&);
  static bool getDaemonList(void*, const rcMethod&, const rcParam::Array&, rcParam&);
  static bool getTranslationGroups(void*, const rcMethod&, const rcParam::Array&, rcParam&);
  static bool getHostTranslations(void*, const rcMethod&, const rcParam::Array&, rcParam&);
  static bool getOsTypeTranslations(void*, const rcMethod&, const rcParam::Array&, rcParam&);
  static bool translatePaths(void*, const rcMethod&, const rcParam::Array&, rcParam&);
  static bool shutdown(void*, const rcMethod&, const rcParam::Array&, rcParam&);
  static bool registerEvents(void*, const rcMethod&, const rcParam::Array&, rcParam&);
  static bool unregisterEvents(void*, const rcMethod&, const rcParam::Array&, rcParam&);

  // Started for the server's lifetime, so that the watcher keeps the
  // interfaces up to date and a description never lists them afresh.
  CoNetwork::Guard network_;
  mutable CoNetworkDispatcher interfaces_{CoNetworkDispatcher::FLAG_MONITOR};
  KestrixServerConfig config_;
  std::string hostName_;
  KestrixEventPublisher events_{[this] { wakeUp(); }};
  // The rules of config_, indexed; requests in progress keep the one they began with.
  std::shared_ptr<const KestrixTranslationRules::Index> rules_;
  KestrixTranslationWorkers translators_{[this] { wakeUp(); }};
  bool shutdownRequested_ = false;
  // The kept storage id and the database it belongs to: a reload may name another.
  mutable std::string keptStorageId_;
  mutable std::string keptStorageIdDatabase_;
  // Last: it uses the interfaces and the configuration until it stops.
  std::unique_ptr<KestrixDiscoveryService> discovery_;
};

}  // namespace Kestrix
