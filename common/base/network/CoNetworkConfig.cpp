#include "common/base/network/CoNetworkConfig.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/base/fileUtil/CoConfigFileReader.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/EnvVar.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/osal/CoUUID.h"
#include "common/base/threads/CoMutex.h"

namespace Kestrix {
namespace {

const char* const DEFAULT_CONFIG_FILE = "optHollvane/cfg/network.cfg";

RegEnvView gRegConfigFile("QV_NETWORK_CFG_FILE", DEFAULT_CONFIG_FILE);

std::string trim(const std::string& text) {
  auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  auto begin = std::find_if_not(text.begin(), text.end(), isSpace);
  auto end = std::find_if_not(text.rbegin(), std::string::const_reverse_iterator(begin), isSpace);
  return std::string(begin, end.base());
}

}  // namespace

CoNetworkConfig& CoNetworkConfig::getInstance() {
  static CoNetworkConfig instance;
  return instance;
}

CoMutex& CoNetworkConfig::getMutex() {
  static CoMutex mutex;
  return mutex;
}

CoNetworkConfig::CoNetworkConfig() = default;

CoNetworkConfig::~CoNetworkConfig() {
  QV_ASSERT(_parser == nullptr);
}

const char* CoNetworkConfig::getConfigFileName() {
  const char* name = std::getenv("QV_NETWORK_CFG_FILE");
  return name ? name : DEFAULT_CONFIG_FILE;
}

void CoNetworkConfig::load() {
  _parser = std::make_unique<CoConfigFileReader>();
  warned_.clear();
  const char* file = getConfigFileName();
  struct stat st;
  if (::stat(file, &st) != 0 && errno == ENOENT) return;
  // Bad lines are skipped by the reader, which names each of them.
  const int error = _parser->read(file, 0);
  if (error == 0) return;
  const int line = _parser->getErrorLine();
  _parser = std::make_unique<CoConfigFileReader>();
  if (error == CoConfigFileReader::LINE_TOO_LONG)
    CO_POST_WARNING(
        "Could not read network configuration file %s: line %d is longer than %d "
        "bytes; using defaults",
        file, line, static_cast<int>(CoConfigFileReader::MAX_LINE));
  else
    CO_POST_WARNING("Could not read network configuration file %s: %s; using defaults", file,
                    std::strerror(error));
}

bool CoNetworkConfig::parse(bool& changed, bool) {
  changed = false;
  if (!_parser) load();
  return true;
}

bool CoNetworkConfig::createIfMissing() {
  CoMutexGuard guard(getMutex());
  bool changed;
  return parse(changed, false);
}

void CoNetworkConfig::reset(bool notify) {
  {
    CoMutexGuard guard(getMutex());
    _parser.reset();
  }
  if (notify) dispatchNotification(CoContentChangedHint());
}

bool CoNetworkConfig::getUUID(std::string& uuid) {
  CoMutexGuard guard(getMutex());
  createIfMissing();
  const std::string value = _parser->get("Local", "UUID", "");
  if (value.empty()) {
    const bool silent = getSilentMode();
    setSilentMode(true);
    setModule(__FILE__, __LINE__)
        .postError("No host UUID configured. Please check %s.", getConfigFileName());
    setSilentMode(silent);
    return false;
  }
  if (!CoUUID::validate(value)) {
    setModule(__FILE__, __LINE__).postError("Invalid UUID '%s'", value.c_str());
    return false;
  }
  uuid = value;
  return true;
}

bool CoNetworkConfig::getDisplayName(std::string& name) {
  CoMutexGuard guard(getMutex());
  createIfMissing();
  name = _parser->get("Local", "DisplayName", "");
  return true;
}

bool CoNetworkConfig::getList(const char* key, std::vector<std::string>& names) {
  names.clear();
  CoMutexGuard guard(getMutex());
  createIfMissing();
  const std::string value = _parser->get("Interfaces", key, "");
  if (value.empty()) return true;
  size_t begin = 0;
  for (;;) {
    const size_t comma = value.find(',', begin);
    names.push_back(trim(value.substr(begin, comma - begin)));
    if (comma == std::string::npos) return true;
    begin = comma + 1;
  }
}

bool CoNetworkConfig::getDataInterfaces(std::vector<std::string>& names) {
  return getList("Data", names);
}

bool CoNetworkConfig::getMetadataInterfaces(std::vector<std::string>& names) {
  return getList("Metadata", names);
}

bool CoNetworkConfig::getMulticastInterfaces(std::vector<std::string>& names) {
  return getList("Multicast", names);
}

bool CoNetworkConfig::getNumber(const char* section, const char* key, unsigned int max,
                                unsigned int& value) {
  CoMutexGuard guard(getMutex());
  createIfMissing();
  const std::string text = trim(_parser->get(section, key, ""));
  if (text.empty() && !_parser->isDefined(section, key)) return true;
  char* end = nullptr;
  errno = 0;
  const unsigned long number = std::strtoul(text.c_str(), &end, 10);
  if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0])) && *end == '\0' &&
      errno == 0 && number <= max) {
    value = static_cast<unsigned int>(number);
    return true;
  }
  // A typo must not silently send discovery elsewhere: say so, once a load.
  const std::string where = std::string(section) + "/" + key;
  if (std::find(warned_.begin(), warned_.end(), where) == warned_.end()) {
    warned_.push_back(where);
    CO_POST_WARNING("Ignoring %s '%s' in %s: not a whole number from 0 to %u; using %u",
                    where.c_str(), text.c_str(), getConfigFileName(), max, value);
  }
  return true;
}

bool CoNetworkConfig::getSelfDiscoveryPort(unsigned int& port) {
  return getNumber("SelfDiscovery", "Port", 65535, port);
}

bool CoNetworkConfig::getSelfDiscoveryTTL(unsigned int& ttl) {
  return getNumber("SelfDiscovery", "TTL", 255, ttl);
}

bool CoNetworkConfig::getSelfDiscoveryScope(std::string& scope) {
  CoMutexGuard guard(getMutex());
  createIfMissing();
  const std::string fallback = scope;
  _parser->get("SelfDiscovery", "Scope", scope, fallback.c_str());
  return true;
}

}  // namespace Kestrix
