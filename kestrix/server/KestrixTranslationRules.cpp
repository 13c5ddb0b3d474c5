#include "kestrix/server/KestrixTranslationRules.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "kestrix/client/api/KestrixOS.h"

namespace Kestrix {
namespace {

bool sameHost(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;  // host names are case-insensitive
}

bool isSeparator(char c, bool windows) {
  return c == '/' || (windows && c == '\\');
}

// A host name as sameHost compares it: up to its first NUL, lower case.
std::string hostKey(const std::string& host) {
  std::string key(host.c_str());
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

bool sameChar(char a, char b, bool windows) {
  if (a == b) return true;
  if (!windows) return false;
  if (isSeparator(a, true) && isSeparator(b, true)) return true;
  return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

}  // namespace

int KestrixTranslationRules::matchPrefix(std::string_view path, std::string_view prefix,
                                         bool windows) {
  // A trailing separator of the prefix is not part of the match ("/data/" == "/data").
  size_t n = prefix.size();
  while (n > 1 && isSeparator(prefix[n - 1], windows)) --n;
  if (n == 0 || n > path.size()) return -1;
  for (size_t i = 0; i < n; ++i)
    if (!sameChar(path[i], prefix[i], windows)) return -1;
  if (n == path.size() || isSeparator(path[n], windows) || isSeparator(prefix[n - 1], windows))
    return static_cast<int>(n);
  return -1;  // "/data/movies" must not match "/data/movies-4k"
}

void KestrixTranslationRules::rebase(std::string_view dstPrefix, std::string_view rest,
                                     bool windowsSource, int dstType, std::string& out) {
  const char sep = dstType == KestrixOS::OS_TYPE_WINNT ? '\\' : '/';
  out.append(dstPrefix);
  if (rest.empty()) return;
  // Exactly one separator joins the two: the prefix's own, else the rest's
  // first, else a new one. Everything else of the rest comes back as it went.
  const bool prefixEnds = !dstPrefix.empty() && isSeparator(dstPrefix.back(), true);
  if (isSeparator(rest.front(), windowsSource)) {
    if (prefixEnds) rest.remove_prefix(1);
  } else if (!prefixEnds) {
    out += sep;
  }
  const size_t from = out.size();
  out.append(rest);
  for (size_t k = from; k < out.size(); ++k)
    if (isSeparator(out[k], windowsSource)) out[k] = sep;
}

uint64_t KestrixTranslationRules::PrefixMap::step(uint64_t hash, char c) const {
  // Characters that sameChar takes as equal must hash alike.
  if (windows_)
    c = isSeparator(c, true) ? '/' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
}

void KestrixTranslationRules::PrefixMap::add(const std::string& srcPath,
                                             const std::string& dstPath) {
  size_t n = srcPath.size();
  while (n > 1 && isSeparator(srcPath[n - 1], windows_)) --n;
  if (n == 0) return;  // an empty prefix matches nothing
  uint64_t hash = seed_;
  for (size_t i = 0; i < n; ++i) hash = step(hash, srcPath[i]);
  const std::string_view prefix(srcPath.data(), n);
  const auto [first, last] = byHash_.equal_range(hash);
  for (auto it = first; it != last; ++it)
    if (matchPrefix(prefix, *it->second.srcPath, windows_) == static_cast<int>(n)) return;
  byHash_.emplace(hash, Entry{&srcPath, &dstPath});
  longest_ = std::max(longest_, n);
}

const std::string* KestrixTranslationRules::PrefixMap::find(std::string_view path,
                                                            size_t& length) const {
  // A prefix can end only where a component does, or be a lone separator;
  // the hash finds the candidates, matchPrefix decides.
  const std::string* found = nullptr;
  const size_t limit = std::min(path.size(), longest_);
  uint64_t hash = seed_;
  for (size_t n = 1; n <= limit; ++n) {
    hash = step(hash, path[n - 1]);
    if (n < path.size() && !isSeparator(path[n], windows_) &&
        !(n == 1 && isSeparator(path[0], windows_)))
      continue;
    const auto [first, last] = byHash_.equal_range(hash);
    for (auto it = first; it != last; ++it) {
      if (matchPrefix(path, *it->second.srcPath, windows_) != static_cast<int>(n)) continue;
      found = it->second.dstPath;
      length = n;
      break;
    }
  }
  return found;
}

KestrixTranslationRules::Index::Index(KestrixTranslationRules rules) : rules_(std::move(rules)) {
  // Paths come from clients: a seed of their own keeps them from choosing
  // which prefixes collide.
  const uint64_t seed =
      0xcbf29ce484222325ull ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      reinterpret_cast<uintptr_t>(this);
  for (size_t g = 0; g < rules_.groups.size(); ++g) {
    for (const std::string& member : rules_.groups[g].hosts) {
      std::vector<size_t>& list = groupsByHost_[hostKey(member)];
      if (list.empty() || list.back() != g) list.push_back(g);
    }
  }
  for (const KestrixRuleHostTranslation& rule : rules_.hostTranslations) {
    const std::string key = hostKey(rule.srcHost) + '\0' + hostKey(rule.dstHost);
    auto it = hostPairs_.try_emplace(key, HostPair{{false, seed}, {true, seed}}).first;
    it->second.plain.add(rule.srcPath, rule.dstPath);
    it->second.windows.add(rule.srcPath, rule.dstPath);
  }
  for (const KestrixRuleOsTypeTranslation& rule : rules_.osTypeTranslations) {
    const bool windows = rule.srcType == KestrixOS::OS_TYPE_WINNT;
    osTypePairs_.try_emplace({rule.srcType, rule.dstType}, windows, seed)
        .first->second.add(rule.srcPath, rule.dstPath);
  }
}

int KestrixTranslationRules::Index::groupOsType(const std::string& host) const {
  const auto it = groupsByHost_.find(hostKey(host));
  if (it == groupsByHost_.end()) return KestrixOS::OS_TYPE_UNKNOWN;
  return rules_.groups[it->second.front()].osType;
}

bool KestrixTranslationRules::Index::shareGroup(const std::string& a, const std::string& b) const {
  const auto ga = groupsByHost_.find(hostKey(a));
  const auto gb = groupsByHost_.find(hostKey(b));
  if (ga == groupsByHost_.end() || gb == groupsByHost_.end()) return false;
  const std::vector<size_t>& x = ga->second;
  const std::vector<size_t>& y = gb->second;
  for (size_t i = 0, j = 0; i < x.size() && j < y.size();) {
    if (x[i] == y[j]) return true;
    x[i] < y[j] ? ++i : ++j;
  }
  return false;
}

const KestrixTranslationRules::PrefixMap* KestrixTranslationRules::Index::hostRules(
    const std::string& srcHost, const std::string& dstHost, bool windowsSource) const {
  const auto it = hostPairs_.find(hostKey(srcHost) + '\0' + hostKey(dstHost));
  if (it == hostPairs_.end()) return nullptr;
  return windowsSource ? &it->second.windows : &it->second.plain;
}

const KestrixTranslationRules::PrefixMap* KestrixTranslationRules::Index::osTypeRules(
    int srcType, int dstType) const {
  const auto it = osTypePairs_.find({srcType, dstType});
  return it == osTypePairs_.end() ? nullptr : &it->second;
}

KestrixTranslationRules::Request::Request(const Index& index, const std::string& srcHost,
                                          int srcType, const std::string& dstHost, int dstType)
    : srcHost_(srcHost), dstHost_(dstHost) {
  keep_ = sameHost(srcHost, dstHost) || index.shareGroup(srcHost, dstHost);
  if (keep_) return;
  if (srcType == KestrixOS::OS_TYPE_UNKNOWN) srcType = index.groupOsType(srcHost);
  if (dstType == KestrixOS::OS_TYPE_UNKNOWN) dstType = index.groupOsType(dstHost);
  dstType_ = dstType;
  windowsSource_ = srcType == KestrixOS::OS_TYPE_WINNT;
  hostRules_ = index.hostRules(srcHost, dstHost, windowsSource_);
  osTypeRules_ = index.osTypeRules(srcType, dstType);
}

bool KestrixTranslationRules::Request::translate(std::string_view path, std::string& out,
                                                 std::string& error) const {
  if (keep_) {
    out.append(path);
    return true;
  }
  size_t length = 0;
  const std::string* dstPath = hostRules_ != nullptr ? hostRules_->find(path, length) : nullptr;
  if (dstPath == nullptr && osTypeRules_ != nullptr) dstPath = osTypeRules_->find(path, length);
  if (dstPath != nullptr) {
    rebase(*dstPath, path.substr(length), windowsSource_, dstType_, out);
    return true;
  }
  error = "No translation for path '" + std::string(path) + "' from host '" + srcHost_ +
          "' to host '" + dstHost_ + "'";
  return false;
}

bool KestrixTranslationRules::translate(const std::string& srcHost, int srcType,
                                        const std::string& dstHost, int dstType,
                                        const std::string& path, std::string& out,
                                        std::string& error) const {
  out.clear();
  const Index index(*this);
  return Request(index, srcHost, srcType, dstHost, dstType).translate(path, out, error);
}

}  // namespace Kestrix
