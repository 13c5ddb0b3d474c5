#include "kestrix/server/KestrixServerConfig.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "common/base/fileUtil/CoConfigFileReader.h"
#include "common/base/osal/StringUtil.h"
#include "kestrix/client/api/KestrixOS.h"

namespace Kestrix {
namespace {

bool hasPrefix(const std::string& text, const char* prefix, std::string& rest) {
  const size_t n = std::strlen(prefix);
  if (text.compare(0, n, prefix) != 0) return false;
  rest = text.substr(n);
  return true;
}

// Reads the keys of one rule section; each must be present and not empty.
class SectionReader {
 public:
  SectionReader(const CoConfigFileReader& file, const std::string& section, std::string& error)
      : file_(file), section_(section), error_(error) {}

  bool text(const char* key, std::string& out) {
    out = StringUtil::trim(file_.get(section_.c_str(), key, ""));
    if (!out.empty()) return true;
    error_ = "Section [" + section_ + "] lacks '" + key + "'";
    return false;
  }
  bool osType(const char* key, int& out) {
    std::string name;
    if (!text(key, name)) return false;
    out = KestrixOS::strToOsType(name.c_str());
    if (out != KestrixOS::OS_TYPE_UNKNOWN) return true;
    error_ = "Section [" + section_ + "]: unknown OS type '" + name +
             "' (Irix, Linux, WindowsNT or MacOSX)";
    return false;
  }

 private:
  const CoConfigFileReader& file_;
  const std::string& section_;
  std::string& error_;
};

// A [Limits] key: a positive whole number no larger than max.
bool readLimit(const CoConfigFileReader& file, const char* key, uint64_t max, uint64_t& value,
               std::string& error) {
  std::string text;
  if (!file.get("Limits", key, text, "")) return true;
  text = StringUtil::trim(text);
  char* end = nullptr;
  errno = 0;
  const unsigned long long number = std::strtoull(text.c_str(), &end, 10);
  const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
  if (digits && errno == 0 && number > 0 && number <= max) {
    value = number;
    return true;
  }
  error = "Section [Limits]: '" + std::string(key) + "' must be a positive whole number" +
          (digits && number != 0 ? " up to " + std::to_string(max) : std::string()) + ", not '" +
          text + "'";
  return false;
}

bool readLimits(const CoConfigFileReader& file, rcServerContext::Limits& limits,
                unsigned& searchesPerSecond, unsigned& searchesPerSource,
                unsigned& subscriptionsPerPeer, std::string& error) {
  static const char* const kKeys[] = {"MaxRequestBytes",
                                      "MaxPendingOutputBytes",
                                      "MaxBufferedInputBytes",
                                      "MaxClients",
                                      "StallTimeoutSeconds",
                                      "MaxSearchesPerSecond",
                                      "MaxSearchesPerSourcePerSecond",
                                      "MaxSubscriptionsPerPeer"};
  for (const std::string& name : file.getVariableNames("Limits")) {
    if (std::find(std::begin(kKeys), std::end(kKeys), name) != std::end(kKeys)) continue;
    error = "Section [Limits]: unknown key '" + name +
            "' (expected MaxRequestBytes, MaxPendingOutputBytes, MaxBufferedInputBytes, "
            "MaxClients, StallTimeoutSeconds, MaxSearchesPerSecond, "
            "MaxSearchesPerSourcePerSecond or MaxSubscriptionsPerPeer)";
    return false;
  }
  uint64_t clients = limits.maxClients;
  uint64_t stallSeconds = limits.stallTimeoutMs / 1000;
  uint64_t searches = searchesPerSecond;
  uint64_t perSource = searchesPerSource;
  uint64_t subscriptions = subscriptionsPerPeer;
  if (!readLimit(file, "MaxRequestBytes", UINT64_MAX, limits.maxRequestBytes, error) ||
      !readLimit(file, "MaxPendingOutputBytes", UINT64_MAX, limits.maxPendingOutputBytes, error) ||
      !readLimit(file, "MaxBufferedInputBytes", UINT64_MAX, limits.maxBufferedInputBytes, error) ||
      !readLimit(file, "MaxClients", UINT_MAX, clients, error) ||
      !readLimit(file, "StallTimeoutSeconds", UINT_MAX / 1000, stallSeconds, error) ||
      !readLimit(file, "MaxSearchesPerSecond", UINT_MAX, searches, error) ||
      !readLimit(file, "MaxSearchesPerSourcePerSecond", UINT_MAX, perSource, error) ||
      !readLimit(file, "MaxSubscriptionsPerPeer", UINT_MAX, subscriptions, error))
    return false;
  searchesPerSecond = static_cast<unsigned>(searches);
  searchesPerSource = static_cast<unsigned>(perSource);
  subscriptionsPerPeer = static_cast<unsigned>(subscriptions);
  limits.maxClients = static_cast<unsigned>(clients);
  limits.stallTimeoutMs = static_cast<unsigned>(stallSeconds * 1000);
  return true;
}

}  // namespace

namespace {

// What tells two versions of a file apart without reading it; a file that
// cannot be stat'ed (absent) has the stamp of all zeros.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified = {0, 0};

  bool operator==(const FileStamp& o) const {
    return device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
  }
};

FileStamp stampOf(const char* path) {
  struct stat st;
  if (::stat(path, &st) != 0) return FileStamp();
  return {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

}  // namespace

bool KestrixServerConfig::readStable(const char* path, const std::function<void()>& read) {
  for (int run = 0; run < 2; ++run) {
    const FileStamp before = stampOf(path);
    read();
    if (stampOf(path) == before) return true;
  }
  return false;
}

bool KestrixServerConfig::load(const char* path, std::string& error, bool* changing) {
  CoConfigFileReader file;
  int code = 0;
  const bool stable = readStable(path, [&] { code = file.read(path, 0); });
  if (changing != nullptr) *changing = !stable;
  if (!stable) {
    error = std::string("Rules file '") + path +
            "' changed while it was read, twice; write a new file and rename it into place";
    return false;
  }
  if (code == CoConfigFileReader::LINE_TOO_LONG) {
    error = std::string("Rules file '") + path + "' line " + std::to_string(file.getErrorLine()) +
            ": line longer than " + std::to_string(CoConfigFileReader::MAX_LINE) + " bytes";
    return false;
  }
  if (code != 0) {
    error = std::string("Cannot read rules file '") + path + "': " + std::strerror(code);
    return false;
  }
  KestrixServerConfig next;
  for (const std::string& section : file.getSectionNames()) {
    SectionReader reader(file, section, error);
    std::string name;
    if (section == "Server") {
      next.displayName = StringUtil::trim(file.get("Server", "DisplayName", ""));
      next.hostName = StringUtil::trim(file.get("Server", "HostName", ""));
      next.database = StringUtil::trim(file.get("Server", "Database", "GRYNN"));
      next.storageId = StringUtil::trim(file.get("Server", "StorageId", ""));
      if (next.database.empty()) next.database = "GRYNN";
    } else if (section == "Access") {
      if (!next.access.read(file, error)) return false;
    } else if (section == "Limits") {
      if (!readLimits(file, next.limits, next.maxSearchesPerSecond,
                      next.maxSearchesPerSourcePerSecond, next.maxSubscriptionsPerPeer, error))
        return false;
    } else if (hasPrefix(section, "Group ", name)) {
      KestrixRuleGroup group;
      group.name = StringUtil::trim(name);
      std::string hosts;
      if (!reader.osType("OsType", group.osType) || !reader.text("Hosts", hosts)) return false;
      for (const std::string& host : StringUtil::stringToTokenPath(hosts, ", \t"))
        group.hosts.push_back(host);
      next.rules.groups.push_back(group);
    } else if (hasPrefix(section, "HostTranslation ", name)) {
      KestrixRuleHostTranslation rule;
      if (!reader.text("srcHost", rule.srcHost) || !reader.text("srcPath", rule.srcPath) ||
          !reader.text("dstHost", rule.dstHost) || !reader.text("dstPath", rule.dstPath))
        return false;
      next.rules.hostTranslations.push_back(rule);
    } else if (hasPrefix(section, "OsTypeTranslation ", name)) {
      KestrixRuleOsTypeTranslation rule;
      if (!reader.osType("srcType", rule.srcType) || !reader.text("srcPath", rule.srcPath) ||
          !reader.osType("dstType", rule.dstType) || !reader.text("dstPath", rule.dstPath))
        return false;
      next.rules.osTypeTranslations.push_back(rule);
    } else {
      error = "Unknown section [" + section +
              "] (expected Server, Group, HostTranslation, OsTypeTranslation, Limits or Access)";
      return false;
    }
  }
  *this = next;
  return true;
}

}  // namespace Kestrix
