#pragma once
// The process-wide view of this host's network configuration: its UUID and
// display name, the interfaces to use for data, metadata and multicast, and
// the self-discovery port, scope and time-to-live. The values come from the
// file named by QV_NETWORK_CFG_FILE, else "optHollvane/cfg/network.cfg" when
// it exists, else /etc/kestrix/network.cfg; loaded on the first query after
// start or reset:
//
//   [Local]          UUID = ..., DisplayName = ...
//   [Interfaces]     Data = eth0, *    Metadata = ...    Multicast = ...
//   [SelfDiscovery]  Port = 7555       Scope = 224.0.0.1  TTL = 1
//
// On Windows no file is read: the reader is made empty, every query answers
// its default, and the file (QV_NETWORK_CFG_FILE, else the tree's) is only
// named in messages.
//
// A missing file keeps every default silently; an unreadable file, a bad
// line or a bad number keeps the defaults and says so once per load. A bad
// discovery Port or Scope is an error, not a warning: a host that meets on
// another group than the site's finds nothing, so programs refuse to start
// on it (checkSelfDiscovery) rather than search where nobody is. Every
// query takes one mutex; observers hear of reset(true) after it is released,
// so they may query from their notification.

#include <memory>
#include <string>
#include <vector>

#include "common/base/ipc/CoWeakSubject.h"
#include "common/base/loggerBase/CoLastErrLogger.h"

namespace Kestrix {

class CoConfigFileReader;
class CoMutex;

class CoNetworkConfig : public CoLastErrLogger, public CoWeakSubject {
 public:
  static CoNetworkConfig& getInstance();

  // False, with the reason as last error, when no valid UUID is configured;
  // uuid is then left as it was.
  bool getUUID(std::string& uuid);
  bool getDisplayName(std::string& name);
  // Names split at commas and trimmed; an empty value gives an empty list.
  bool getDataInterfaces(std::vector<std::string>& names);
  bool getMetadataInterfaces(std::vector<std::string>& names);
  bool getMulticastInterfaces(std::vector<std::string>& names);
  // These keep the caller's value when the key is absent or malformed; a
  // malformed Port (1 to 65535) or Scope (an IPv4 multicast address) also
  // gives false and an error, once a load.
  bool getSelfDiscoveryPort(unsigned int& port);
  bool getSelfDiscoveryScope(std::string& scope);
  bool getSelfDiscoveryTTL(unsigned int& ttl);
  // False, with error naming the key, the value and the file, when Port or
  // Scope is malformed. Posts nothing: the caller says it and stops.
  bool checkSelfDiscovery(std::string& error);

  // The file the next load reads.
  static const char* getConfigFileName();
  // Forgets what was loaded; the next query loads the file again.
  void reset(bool notify);
  bool createIfMissing();

 protected:
  CoNetworkConfig();
  ~CoNetworkConfig() override;
  // For callers that already hold the mutex.
  bool parse(bool& changed, bool);

 private:
  static CoMutex& getMutex();
  void load();
  bool getList(const char* key, std::vector<std::string>& names);
  bool getNumber(const char* section, const char* key, unsigned int max, unsigned int& value);
  // Why the [SelfDiscovery] value of key cannot be used; empty when it can
  // or is absent.
  std::string discoveryProblem(const char* key);
  // Posts error about key once a load.
  void reportOnce(const std::string& key, const std::string& text, bool error);

  std::unique_ptr<CoConfigFileReader> _parser;
  // Keys whose malformed value was already reported for this load.
  std::vector<std::string> warned_;
};

}  // namespace Kestrix
