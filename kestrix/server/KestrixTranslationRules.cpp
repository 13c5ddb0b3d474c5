#include "kestrix/server/KestrixTranslationRules.h"

#include <strings.h>

#include <cctype>

#include "kestrix/client/api/KestrixOS.h"

namespace Kestrix {
namespace {

bool sameHost(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;  // host names are case-insensitive
}

bool isSeparator(char c, bool windows) { return c == '/' || (windows && c == '\\'); }

bool sameChar(char a, char b, bool windows) {
  if (!windows) return a == b;
  if (isSeparator(a, true) && isSeparator(b, true)) return true;
  return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

}  // namespace

int KestrixTranslationRules::groupOsType(const std::string& host) const {
  for (const KestrixRuleGroup& group : groups)
    for (const std::string& member : group.hosts)
      if (sameHost(member, host)) return group.osType;
  return KestrixOS::OS_TYPE_UNKNOWN;
}

bool KestrixTranslationRules::shareGroup(const std::string& a, const std::string& b) const {
  for (const KestrixRuleGroup& group : groups) {
    bool hasA = false, hasB = false;
    for (const std::string& member : group.hosts) {
      hasA = hasA || sameHost(member, a);
      hasB = hasB || sameHost(member, b);
    }
    if (hasA && hasB) return true;
  }
  return false;
}

int KestrixTranslationRules::matchPrefix(const std::string& path, const std::string& prefix,
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

std::string KestrixTranslationRules::rebase(const std::string& dstPrefix, const std::string& rest,
                                            int dstType) {
  const char sep = dstType == KestrixOS::OS_TYPE_WINNT ? '\\' : '/';
  std::string out = dstPrefix;
  size_t i = 0;
  while (i < rest.size() && isSeparator(rest[i], true)) ++i;
  if (i == rest.size()) return out;
  if (out.empty() || !isSeparator(out.back(), true)) out += sep;
  for (; i < rest.size(); ++i) out += isSeparator(rest[i], true) ? sep : rest[i];
  return out;
}

bool KestrixTranslationRules::translate(const std::string& srcHost, int srcType,
                                        const std::string& dstHost, int dstType,
                                        const std::string& path, std::string& out,
                                        std::string& error) const {
  if (sameHost(srcHost, dstHost) || shareGroup(srcHost, dstHost)) {
    out = path;
    return true;
  }
  if (srcType == KestrixOS::OS_TYPE_UNKNOWN) srcType = groupOsType(srcHost);
  if (dstType == KestrixOS::OS_TYPE_UNKNOWN) dstType = groupOsType(dstHost);
  const bool windowsSource = srcType == KestrixOS::OS_TYPE_WINNT;

  const KestrixRuleHostTranslation* bestHost = nullptr;
  int bestLength = -1;
  for (const KestrixRuleHostTranslation& rule : hostTranslations) {
    if (!sameHost(rule.srcHost, srcHost) || !sameHost(rule.dstHost, dstHost)) continue;
    const int length = matchPrefix(path, rule.srcPath, windowsSource);
    if (length > bestLength) {
      bestLength = length;
      bestHost = &rule;
    }
  }
  if (bestHost != nullptr) {
    out = rebase(bestHost->dstPath, path.substr(static_cast<size_t>(bestLength)), dstType);
    return true;
  }

  const KestrixRuleOsTypeTranslation* bestOs = nullptr;
  for (const KestrixRuleOsTypeTranslation& rule : osTypeTranslations) {
    if (rule.srcType != srcType || rule.dstType != dstType) continue;
    const int length = matchPrefix(path, rule.srcPath, windowsSource);
    if (length > bestLength) {
      bestLength = length;
      bestOs = &rule;
    }
  }
  if (bestOs != nullptr) {
    out = rebase(bestOs->dstPath, path.substr(static_cast<size_t>(bestLength)), dstType);
    return true;
  }
  error = "No translation for path '" + path + "' from host '" + srcHost + "' to host '" +
          dstHost + "'";
  return false;
}

}  // namespace Kestrix
