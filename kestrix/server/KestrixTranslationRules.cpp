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
  if (a == b) return true;
  if (!windows) return false;
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

KestrixTranslationRules::Request::Request(const KestrixTranslationRules& rules,
                                          const std::string& srcHost, int srcType,
                                          const std::string& dstHost, int dstType)
    : srcHost_(srcHost), dstHost_(dstHost) {
  keep_ = sameHost(srcHost, dstHost) || rules.shareGroup(srcHost, dstHost);
  if (keep_) return;
  if (srcType == KestrixOS::OS_TYPE_UNKNOWN) srcType = rules.groupOsType(srcHost);
  if (dstType == KestrixOS::OS_TYPE_UNKNOWN) dstType = rules.groupOsType(dstHost);
  dstType_ = dstType;
  windowsSource_ = srcType == KestrixOS::OS_TYPE_WINNT;
  for (const KestrixRuleHostTranslation& rule : rules.hostTranslations)
    if (sameHost(rule.srcHost, srcHost) && sameHost(rule.dstHost, dstHost))
      hostRules_.push_back({&rule.srcPath, &rule.dstPath});
  for (const KestrixRuleOsTypeTranslation& rule : rules.osTypeTranslations)
    if (rule.srcType == srcType && rule.dstType == dstType)
      osTypeRules_.push_back({&rule.srcPath, &rule.dstPath});
}

const KestrixTranslationRules::Request::Candidate* KestrixTranslationRules::Request::best(
    const std::vector<Candidate>& candidates, std::string_view path, int& length) const {
  const Candidate* found = nullptr;
  length = -1;
  for (const Candidate& candidate : candidates) {
    const int n = matchPrefix(path, *candidate.srcPath, windowsSource_);
    if (n > length) {
      length = n;
      found = &candidate;
    }
  }
  return found;
}

bool KestrixTranslationRules::Request::translate(std::string_view path, std::string& out,
                                                 std::string& error) const {
  if (keep_) {
    out.append(path);
    return true;
  }
  int length = -1;
  const Candidate* rule = best(hostRules_, path, length);
  if (rule == nullptr) rule = best(osTypeRules_, path, length);
  if (rule != nullptr) {
    rebase(*rule->dstPath, path.substr(static_cast<size_t>(length)), windowsSource_, dstType_, out);
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
  return Request(*this, srcHost, srcType, dstHost, dstType).translate(path, out, error);
}

}  // namespace Kestrix
