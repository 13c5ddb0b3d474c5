#include "common/base/network/CoNetworkConfig.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/base/fileUtil/CoConfigFileReader.h"
#include "common/base/loggerBase/CoLogText.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/osal/CoUUID.h"
#include "common/base/threads/CoMutex.h"

namespace Kestrix {
namespace {

// A whole number from min to max, in decimal.
bool parseNumber(const std::string& text, unsigned long min, unsigned long max,
                 unsigned int& value) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long number = std::strtoul(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || number < min || number > max) return false;
  value = static_cast<unsigned int>(number);
  return true;
}

// Dotted decimal from 224.0.0.0 to 239.255.255.255.
bool isIPv4Multicast(const std::string& text) {
  unsigned int parts[4] = {};
  size_t begin = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t end = i < 3 ? text.find('.', begin) : text.size();
    if (end == std::string::npos || end - begin > 3 ||
        !parseNumber(text.substr(begin, end - begin), 0, 255, parts[i]))
      return false;
    begin = end + 1;
  }
  return parts[0] >= 224 && parts[0] <= 239;
}

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
  if (parseNumber(text, 0, max, value)) return true;
  // A typo must not silently send discovery elsewhere: say so, once a load.
  const std::string where = std::string(section) + "/" + key;
  reportOnce(where,
             "Ignoring " + where + " '" + CoLogText::escape(text) + "' in " + getConfigFileName() +
                 ": not a whole number from 0 to " + std::to_string(max) + "; using " +
                 std::to_string(value),
             false);
  return true;
}

void CoNetworkConfig::reportOnce(const std::string& key, const std::string& text, bool error) {
  if (std::find(warned_.begin(), warned_.end(), key) != warned_.end()) return;
  warned_.push_back(key);
  if (error)
    CO_POST_ERROR("%s", text.c_str());
  else
    CO_POST_WARNING("%s", text.c_str());
}

std::string CoNetworkConfig::discoveryProblem(const char* key) {
  CoMutexGuard guard(getMutex());
  createIfMissing();
  if (!_parser->isDefined("SelfDiscovery", key)) return std::string();
  const std::string text = trim(_parser->get("SelfDiscovery", key, ""));
  const bool port = std::strcmp(key, "Port") == 0;
  unsigned int number = 0;
  if (port ? parseNumber(text, 1, 65535, number) : isIPv4Multicast(text)) return std::string();
  return std::string("Bad [SelfDiscovery] ") + key + " '" + CoLogText::escape(text) + "' in " +
         getConfigFileName() + ": " +
         (port ? "not a whole number from 1 to 65535"
               : "not an IPv4 multicast address (224.0.0.0 to 239.255.255.255)");
}

bool CoNetworkConfig::checkSelfDiscovery(std::string& error) {
  error = discoveryProblem("Port");
  if (error.empty()) error = discoveryProblem("Scope");
  return error.empty();
}

bool CoNetworkConfig::getSelfDiscoveryPort(unsigned int& port) {
  CoMutexGuard guard(getMutex());
  const std::string problem = discoveryProblem("Port");
  if (!problem.empty()) {
    reportOnce("SelfDiscovery/Port", problem + "; using " + std::to_string(port), true);
    return false;
  }
  getNumber("SelfDiscovery", "Port", 65535, port);
  return true;
}

bool CoNetworkConfig::getSelfDiscoveryTTL(unsigned int& ttl) {
  return getNumber("SelfDiscovery", "TTL", 255, ttl);
}

bool CoNetworkConfig::getSelfDiscoveryScope(std::string& scope) {
  CoMutexGuard guard(getMutex());
  const std::string problem = discoveryProblem("Scope");
  if (!problem.empty()) {
    reportOnce("SelfDiscovery/Scope", problem + "; using " + scope, true);
    return false;
  }
  if (_parser->isDefined("SelfDiscovery", "Scope"))
    scope = trim(_parser->get("SelfDiscovery", "Scope", ""));
  return true;
}

}  // namespace Kestrix
