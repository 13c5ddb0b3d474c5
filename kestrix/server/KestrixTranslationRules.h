#pragma once
// The reference server's path translation knowledge: translation groups
// (hosts that see the storage the same way), host translations and OS type
// translations, and the one algorithm that applies them to a path.
//
// A path is kept when source and destination are the same host or share a
// group. Otherwise the host translation of that host pair with the longest
// source prefix wins, else the OS type translation of the two OS types.
// Prefixes match whole components only; Windows source paths match without
// regard to case and with either separator. What follows the prefix comes
// back as it went, only the source's separators turned into the
// destination's (a backslash is a name character outside Windows).

#include <string>
#include <string_view>
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
  // The rules that apply between one pair of hosts, worked out once for a
  // whole request of many paths.
  class Request {
   public:
    Request(const KestrixTranslationRules& rules, const std::string& srcHost, int srcType,
            const std::string& dstHost, int dstType);
    // Appends the translation of path to out; false with error naming the
    // path and both hosts when no rule covers it.
    bool translate(std::string_view path, std::string& out, std::string& error) const;

   private:
    struct Candidate {
      const std::string* srcPath;
      const std::string* dstPath;
    };
    const Candidate* best(const std::vector<Candidate>& candidates, std::string_view path,
                          int& length) const;

    std::string srcHost_, dstHost_;
    int dstType_ = 0;
    bool windowsSource_ = false;
    bool keep_ = false;
    std::vector<Candidate> hostRules_;
    std::vector<Candidate> osTypeRules_;
  };

  std::vector<KestrixRuleGroup> groups;
  std::vector<KestrixRuleHostTranslation> hostTranslations;
  std::vector<KestrixRuleOsTypeTranslation> osTypeTranslations;

  // One path; unknown (0) OS types are taken from the hosts' groups.
  bool translate(const std::string& srcHost, int srcType, const std::string& dstHost, int dstType,
                 const std::string& path, std::string& out, std::string& error) const;

  // The OS type of a host's group, 0 when the host is in no group.
  int groupOsType(const std::string& host) const;
  bool shareGroup(const std::string& a, const std::string& b) const;

  // Length of the source part of path that prefix covers, or -1 when the
  // prefix is not a whole-component prefix of path.
  static int matchPrefix(std::string_view path, std::string_view prefix, bool windowsSource);
  // Appends dstPrefix and the rest of the path to out, the source's
  // separators in the rest turned into the destination's.
  static void rebase(std::string_view dstPrefix, std::string_view rest, bool windowsSource,
                     int dstType, std::string& out);
};

}  // namespace Kestrix
