#pragma once
// The reference server's path translation knowledge: translation groups
// (hosts that see the storage the same way), host translations and OS type
// translations, and the one algorithm that applies them to a path.
//
// A path is kept when source and destination are the same host or share a
// group. Otherwise the host translation of that host pair with the longest
// source prefix wins, else the OS type translation of the two OS types.
// Prefixes match whole components only; Windows source paths match without
// regard to case and with either separator.

#include <string>
#include <vector>

namespace Kestrix {

struct KestrixRuleGroup {
  std::string name;
  int osType = 0;  // a KestrixOS::OsType value
  std::vector<std::string> hosts;
};

struct KestrixRuleHostTranslation {
  std::string srcHost, srcPath, dstHost, dstPath;
};

struct KestrixRuleOsTypeTranslation {
  int srcType = 0;
  std::string srcPath;
  int dstType = 0;
  std::string dstPath;
};

class KestrixTranslationRules {
 public:
  std::vector<KestrixRuleGroup> groups;
  std::vector<KestrixRuleHostTranslation> hostTranslations;
  std::vector<KestrixRuleOsTypeTranslation> osTypeTranslations;

  // Translates one path; false with error naming the path and both hosts
  // when no rule covers it. Unknown (0) OS types are taken from the hosts'
  // groups.
  bool translate(const std::string& srcHost, int srcType, const std::string& dstHost, int dstType,
                 const std::string& path, std::string& out, std::string& error) const;

  // The OS type of a host's group, 0 when the host is in no group.
  int groupOsType(const std::string& host) const;
  bool shareGroup(const std::string& a, const std::string& b) const;

  // Length of the source part of path that prefix covers, or -1 when the
  // prefix is not a whole-component prefix of path.
  static int matchPrefix(const std::string& path, const std::string& prefix, bool windowsSource);
  // dstPrefix followed by the rest of the path, in the destination's separators.
  static std::string rebase(const std::string& dstPrefix, const std::string& rest, int dstType);
};

}  // namespace Kestrix
