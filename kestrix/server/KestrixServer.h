#pragma once
// kestrixd's server: the library's server context serving the methods every
// Kestrix server offers (ping, version, description, server list, the path
// translation rules and requests, event subscriptions, shut-down) from one
// configuration. Single-threaded like the context under it; rules are
// replaced between rounds, never during a request.

#include <set>
#include <string>
#include <tuple>

#include "common/base/network/CoNetwork.h"
#include "common/base/network/CoNetworkDispatcher.h"
#include "common/base/rcApi/rcServerContext.h"
#include "kestrix/client/api/KestrixDaemonInfo.h"
#include "kestrix/server/KestrixServerConfig.h"

namespace Kestrix {

class KestrixServer : public rcServerContext {
 public:
  // The protocol version this server speaks, as in its description.
  static constexpr int VERSION_MAJOR = 2020;
  static constexpr int VERSION_MINOR = 2;

  KestrixServer(int port, const KestrixServerConfig& config);

  // Replaces the configuration (rules and names).
  void setConfig(const KestrixServerConfig& config);
  const KestrixServerConfig& config() const { return config_; }
  // This server's description, with its real addresses and port.
  KestrixDaemonInfo describe() const;
  // The name of this server's host in the rules.
  const std::string& ownHostName() const { return hostName_; }
  // A host text as the rules name it: this server's own names, loopback
  // addresses and "host:port" forms of them become ownHostName().
  std::string canonicalHost(const std::string& host) const;
  int subscriptionCount() const { return static_cast<int>(subscriptions_.size()); }
  bool shutdownRequested() const { return shutdownRequested_; }

 private:
  static KestrixServer& self(const rcMethod& method);
  void registerMethods();

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
  // (client address, monitor port, connection id, subject)
  std::set<std::tuple<std::string, int, int, std::string>> subscriptions_;
  bool shutdownRequested_ = false;
};

}  // namespace Kestrix
