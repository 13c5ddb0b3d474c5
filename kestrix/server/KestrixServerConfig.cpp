#include "kestrix/server/KestrixServerConfig.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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
    error_ = "Section [" + section_ + "]: '" + key + "' names an unknown OS type '" + name +
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

namespace {

// The line of the rules file an error of section is on: that of the key the
// message names first (in quotes) when the section has it, else that of the
// section's header. The reader keeps no line numbers, so the file is read
// again; 0 when the file no longer has the section.
int lineOf(const char* path, const std::string& section, const std::string& message) {
  std::string key;
  const size_t open = message.find('\'', std::min(message.find(']'), message.size()));
  const size_t close = open == std::string::npos ? open : message.find('\'', open + 1);
  if (close != std::string::npos) key = message.substr(open + 1, close - open - 1);
  std::ifstream in(path, std::ios::binary);
  std::string current, line;
  int header = 0, keyLine = 0;
  for (int number = 1; std::getline(in, line); ++number) {
    line = StringUtil::trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      current = line.size() > 1 ? line.substr(1, line.size() - 2) : std::string();
      if (current == section && header == 0) header = number;
      continue;
    }
    const size_t eq = line.find('=');
    if (current == section && !key.empty() && eq != std::string::npos &&
        StringUtil::trim(line.substr(0, eq)) == key)
      keyLine = number;  // the last definition is the one read
  }
  return keyLine != 0 ? keyLine : header;
}

}  // namespace

bool KestrixServerConfig::load(const char* path, std::string& error, bool* changing,
                               int* errorLine) {
  std::vector<Problem> problems;
  KestrixServerConfig next;
  const bool ok = parse(path, next, problems, false, changing);
  if (errorLine != nullptr) *errorLine = ok ? 0 : problems.front().line;
  if (!ok) {
    error = problems.front().message;
    return false;
  }
  *this = next;
  return true;
}

std::vector<KestrixServerConfig::Problem> KestrixServerConfig::check(const char* path) {
  std::vector<Problem> problems;
  KestrixServerConfig next;
  parse(path, next, problems, true, nullptr);
  return problems;
}

bool KestrixServerConfig::parse(const char* path, KestrixServerConfig& next,
                                std::vector<Problem>& problems, bool all, bool* changing) {
  std::string error;
  CoConfigFileReader file;
  int code = 0;
  const bool stable = readStable(path, [&] { code = file.read(path, 0); });
  if (changing != nullptr) *changing = !stable;
  if (!stable) {
    problems.push_back({0, std::string("Rules file '") + path +
                               "' changed while it was read, twice; write a new file and "
                               "rename it into place"});
    return false;
  }
  if (code == CoConfigFileReader::LINE_TOO_LONG) {
    problems.push_back(
        {file.getErrorLine(), std::string("Rules file '") + path + "' line " +
                                  std::to_string(file.getErrorLine()) + ": line longer than " +
                                  std::to_string(CoConfigFileReader::MAX_LINE) + " bytes"});
    return false;
  }
  if (code != 0) {
    problems.push_back(
        {0, std::string("Cannot read rules file '") + path + "': " + std::strerror(code)});
    return false;
  }
  for (const std::string& section : file.getSectionNames()) {
    if (parseSection(file, section, next, error)) continue;
    problems.push_back({lineOf(path, section, error), error});
    if (!all) return false;
  }
  return problems.empty();
}

bool KestrixServerConfig::parseSection(const CoConfigFileReader& file, const std::string& section,
                                       KestrixServerConfig& next, std::string& error) {
  SectionReader reader(file, section, error);
  std::string name;
  if (section == "Server") {
    next.displayName = StringUtil::trim(file.get("Server", "DisplayName", ""));
    next.hostName = StringUtil::trim(file.get("Server", "HostName", ""));
    next.database = StringUtil::trim(file.get("Server", "Database", "GRYNN"));
    next.storageId = StringUtil::trim(file.get("Server", "StorageId", ""));
    if (next.database.empty()) next.database = "GRYNN";
    return true;
  }
  if (section == "Access") return next.access.read(file, error);
  if (section == "Limits")
    return readLimits(file, next.limits, next.maxSearchesPerSecond,
                      next.maxSearchesPerSourcePerSecond, next.maxSubscriptionsPerPeer, error);
  if (hasPrefix(section, "Group ", name)) {
    KestrixRuleGroup group;
    group.name = StringUtil::trim(name);
    std::string hosts;
    if (!reader.osType("OsType", group.osType) || !reader.text("Hosts", hosts)) return false;
    for (const std::string& host : StringUtil::stringToTokenPath(hosts, ", \t"))
      group.hosts.push_back(host);
    next.rules.groups.push_back(group);
    return true;
  }
  if (hasPrefix(section, "HostTranslation ", name)) {
    KestrixRuleHostTranslation rule;
    if (!reader.text("srcHost", rule.srcHost) || !reader.text("srcPath", rule.srcPath) ||
        !reader.text("dstHost", rule.dstHost) || !reader.text("dstPath", rule.dstPath))
      return false;
    next.rules.hostTranslations.push_back(rule);
    return true;
  }
  if (hasPrefix(section, "OsTypeTranslation ", name)) {
    KestrixRuleOsTypeTranslation rule;
    if (!reader.osType("srcType", rule.srcType) || !reader.text("srcPath", rule.srcPath) ||
        !reader.osType("dstType", rule.dstType) || !reader.text("dstPath", rule.dstPath))
      return false;
    next.rules.osTypeTranslations.push_back(rule);
    return true;
  }
  error = "Unknown section [" + section +
          "] (expected Server, Group, HostTranslation, OsTypeTranslation, Limits or Access)";
  return false;
}

}  // namespace Kestrix
