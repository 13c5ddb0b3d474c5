#pragma once
// The reference server's path translation knowledge: translation groups
// (hosts that see the storage the same way), host translations and OS type
// translations, and the one algorithm that applies them to a path.
//
// A path is kept when source and destination are the same host or share a
// group. Otherwise the host translation of that host pair with the longest
// source prefix wins, else the OS type translation of the two OS types; of
// rules with the same prefix the first wins. Prefixes match whole
// components only; Windows source paths match without regard to case and
// with either separator. What follows the prefix comes back as it went,
// only the source's separators turned into the destination's (a backslash
// is a name character outside Windows).
//
// A server indexes its rules once (Index) so that translating one path costs
// the same whatever the number of rules: the rules of each host pair and OS
// type pair are hashed by prefix, and a path looks up only its own
// component boundaries.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
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
  class PrefixMap;

 public:
  class Index;

  // The rules that apply between one pair of hosts, worked out once for a
  // whole request of many paths. It points into its index, which must
  // outlive it.
  class Request {
   public:
    Request(const Index& index, const std::string& srcHost, int srcType, const std::string& dstHost,
            int dstType);
    // Appends the translation of path to out; false with error naming the
    // path and both hosts when no rule covers it.
    bool translate(std::string_view path, std::string& out, std::string& error) const;

   private:
    std::string srcHost_, dstHost_;
    int dstType_ = 0;
    bool windowsSource_ = false;
    bool keep_ = false;
    const PrefixMap* hostRules_ = nullptr;
    const PrefixMap* osTypeRules_ = nullptr;
  };

  std::vector<KestrixRuleGroup> groups;
  std::vector<KestrixRuleHostTranslation> hostTranslations;
  std::vector<KestrixRuleOsTypeTranslation> osTypeTranslations;

  // One path; unknown (0) OS types are taken from the hosts' groups. Indexes
  // the rules for this call alone: many paths go through an Index.
  bool translate(const std::string& srcHost, int srcType, const std::string& dstHost, int dstType,
                 const std::string& path, std::string& out, std::string& error) const;

  // Length of the source part of path that prefix covers, or -1 when the
  // prefix is not a whole-component prefix of path.
  static int matchPrefix(std::string_view path, std::string_view prefix, bool windowsSource);
  // Appends dstPrefix and the rest of the path to out, the source's
  // separators in the rest turned into the destination's.
  static void rebase(std::string_view dstPrefix, std::string_view rest, bool windowsSource,
                     int dstType, std::string& out);

 private:
  // The rules of one host pair or OS type pair for one kind of source path,
  // by source prefix as matchPrefix compares it: the first rule of each.
  class PrefixMap {
   public:
    PrefixMap(bool windowsSource, uint64_t seed) : windows_(windowsSource), seed_(seed) {}
    void add(const std::string& srcPath, const std::string& dstPath);
    // The destination prefix of the rule with the longest prefix of path,
    // length set to what it covers; null when none matches.
    const std::string* find(std::string_view path, size_t& length) const;

   private:
    struct Entry {
      const std::string* srcPath;
      const std::string* dstPath;
    };
    uint64_t step(uint64_t hash, char c) const;

    bool windows_;
    uint64_t seed_;
    size_t longest_ = 0;  // no prefix is longer: the lookups stop there
    std::unordered_multimap<uint64_t, Entry> byHash_;
  };
};

// The rules made ready for many requests, built once from a copy of them and
// never changed afterwards, so that requests on other threads may share one
// while the server swaps in the next.
class KestrixTranslationRules::Index {
 public:
  explicit Index(KestrixTranslationRules rules);
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  const KestrixTranslationRules& rules() const { return rules_; }
  // The OS type of a host's first group, 0 when the host is in no group.
  int groupOsType(const std::string& host) const;
  bool shareGroup(const std::string& a, const std::string& b) const;

 private:
  friend class Request;
  struct HostPair {
    PrefixMap plain, windows;  // by the kind of source path a request names
  };

  const PrefixMap* hostRules(const std::string& srcHost, const std::string& dstHost,
                             bool windowsSource) const;
  const PrefixMap* osTypeRules(int srcType, int dstType) const;

  KestrixTranslationRules rules_;                                      // the maps point into it
  std::unordered_map<std::string, std::vector<size_t>> groupsByHost_;  // ascending
  std::unordered_map<std::string, HostPair> hostPairs_;
  std::map<std::pair<int, int>, PrefixMap> osTypePairs_;
};

}  // namespace Kestrix
