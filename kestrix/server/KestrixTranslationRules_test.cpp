#include "kestrix/server/KestrixTranslationRules.h"

#include <gtest/gtest.h>
#include <strings.h>

#include <algorithm>
#include <initializer_list>
#include <random>
#include <string>

#include "kestrix/client/api/KestrixOS.h"

namespace Kestrix {
namespace {

constexpr int kUnknown = KestrixOS::OS_TYPE_UNKNOWN;
constexpr int kLinux = KestrixOS::OS_TYPE_LINUX;
constexpr int kWin = KestrixOS::OS_TYPE_WINNT;
constexpr int kMac = KestrixOS::OS_TYPE_MACOSX;

class TranslationRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rules.groups = {{"farm", kLinux, {"render01", "render02"}},
                    {"edit", kWin, {"edit01"}},
                    {"grade", kMac, {"grade01"}}};
    // "/data/" ties with "/data" (a trailing separator adds nothing): the first rule wins.
    rules.hostTranslations = {{"render01", "/data", "edit01", "D:\\data"},
                              {"render01", "/data/", "edit01", "X:\\"},
                              {"render01", "/data/movies", "edit01", "M:\\"},
                              {"edit01", "M:\\", "render01", "/data/movies"}};
    rules.osTypeTranslations = {{kLinux, "/data", kMac, "/Volumes/data"},
                                {kWin, "D:\\data", kLinux, "/data"}};
  }

  std::string translate(const std::string& src, int srcType, const std::string& dst, int dstType,
                        const std::string& path) {
    std::string out, error;
    if (!rules.translate(src, srcType, dst, dstType, path, out, error)) return "ERROR: " + error;
    return out;
  }

  KestrixTranslationRules rules;
};

TEST_F(TranslationRulesTest, SameHostOrSharedGroupKeepsPath) {
  EXPECT_EQ(translate("render01", kUnknown, "RENDER01", kUnknown, "/any/where"), "/any/where");
  EXPECT_EQ(translate("render01", kUnknown, "render02", kWin, "/any/where"), "/any/where");
}

TEST_F(TranslationRulesTest, LongestWholeComponentHostPrefixWins) {
  EXPECT_EQ(translate("render01", kUnknown, "edit01", kUnknown, "/data/movies/a/b.mov"),
            "M:\\a\\b.mov");
  EXPECT_EQ(translate("render01", kUnknown, "edit01", kUnknown, "/data/movies-4k/c.mov"),
            "D:\\data\\movies-4k\\c.mov");
  EXPECT_EQ(translate("render01", kUnknown, "edit01", kUnknown, "/data"), "D:\\data");
  EXPECT_EQ(translate("render01", kUnknown, "edit01", kUnknown, "/data/movies/"), "M:\\");
}

TEST_F(TranslationRulesTest, RestOfPathKeepsItsSeparatorsInTheDestinationsForm) {
  EXPECT_EQ(translate("render01", kUnknown, "edit01", kUnknown, "/data//x/"), "D:\\data\\\\x\\");
  EXPECT_EQ(translate("render01", kUnknown, "edit01", kUnknown, "/data/"), "D:\\data\\");
  EXPECT_EQ(translate("render01", kUnknown, "edit01", kUnknown, "/data/movies//x"), "M:\\\\x");
  // In a Linux path a backslash is part of a name, not a separator.
  EXPECT_EQ(translate("render01", kUnknown, "grade01", kUnknown, "/data/a\\b"),
            "/Volumes/data/a\\b");
}

TEST_F(TranslationRulesTest, WindowsSourceIgnoresCaseAndSeparatorKind) {
  EXPECT_EQ(translate("edit01", kUnknown, "render01", kUnknown, "m:/Shots\\s01.dpx"),
            "/data/movies/Shots/s01.dpx");
  // A Linux source is matched exactly.
  EXPECT_EQ(translate("render01", kUnknown, "edit01", kUnknown, "/DATA/x"),
            "ERROR: No translation for path '/DATA/x' from host 'render01' to host 'edit01'");
}

TEST_F(TranslationRulesTest, OsTypeRuleFromGroupsOrRequest) {
  EXPECT_EQ(translate("render01", kUnknown, "grade01", kUnknown, "/data/x/y"), "/Volumes/data/x/y");
  // The request's type overrides the host's group.
  EXPECT_EQ(translate("winbox", kWin, "anyhost", kLinux, "d:\\DATA\\clip.mov"), "/data/clip.mov");
}

TEST_F(TranslationRulesTest, NoRuleNamesPathAndHosts) {
  EXPECT_EQ(translate("render01", kUnknown, "unknownhost", kUnknown, "/srv/x"),
            "ERROR: No translation for path '/srv/x' from host 'render01' to host 'unknownhost'");
}

TEST(TranslationRulesPrefix, WholeComponentsOnly) {
  EXPECT_EQ(KestrixTranslationRules::matchPrefix("/data/movies", "/data/movies/", false), 12);
  EXPECT_EQ(KestrixTranslationRules::matchPrefix("/data/movies/x", "/data/movies/", false), 12);
  EXPECT_EQ(KestrixTranslationRules::matchPrefix("/data/movies-4k", "/data/movies", false), -1);
  EXPECT_EQ(KestrixTranslationRules::matchPrefix("/data", "/data/movies", false), -1);
  EXPECT_EQ(KestrixTranslationRules::matchPrefix("/x", "/", false), 1);
  EXPECT_EQ(KestrixTranslationRules::matchPrefix("C:\\a", "c:/", true), 2);
  EXPECT_EQ(KestrixTranslationRules::matchPrefix("/x", "", false), -1);
}

// The algorithm the index replaced, every rule tried on every path: what the
// index must answer, whatever the rules.
std::string linearTranslate(const KestrixTranslationRules& r, const std::string& src, int srcType,
                            const std::string& dst, int dstType, const std::string& path) {
  const auto same = [](const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
  };
  const auto in = [&](const KestrixRuleGroup& g, const std::string& host) {
    return std::any_of(g.hosts.begin(), g.hosts.end(), [&](auto& m) { return same(m, host); });
  };
  const auto groupType = [&](const std::string& host) {
    for (const KestrixRuleGroup& g : r.groups)
      if (in(g, host)) return g.osType;
    return kUnknown;
  };
  if (same(src, dst) || std::any_of(r.groups.begin(), r.groups.end(),
                                    [&](auto& g) { return in(g, src) && in(g, dst); }))
    return path;
  if (srcType == kUnknown) srcType = groupType(src);
  if (dstType == kUnknown) dstType = groupType(dst);
  const bool windows = srcType == kWin;
  int best = -1;
  const std::string* to = nullptr;
  const auto consider = [&](const std::string& from, const std::string& into) {
    const int n = KestrixTranslationRules::matchPrefix(path, from, windows);
    if (n > best) best = n, to = &into;
  };
  for (const KestrixRuleHostTranslation& t : r.hostTranslations)
    if (same(t.srcHost, src) && same(t.dstHost, dst)) consider(t.srcPath, t.dstPath);
  for (const KestrixRuleOsTypeTranslation& t : r.osTypeTranslations)
    if (to == nullptr && t.srcType == srcType && t.dstType == dstType)
      consider(t.srcPath, t.dstPath);
  if (to == nullptr) return "ERROR";
  std::string out;
  KestrixTranslationRules::rebase(*to, std::string_view(path).substr(best), windows, dstType, out);
  return out;
}

TEST(TranslationRulesIndex, AnswersAsTryingEveryRuleWouldOverManyRuleSets) {
  std::mt19937 random(7);
  const auto pick = [&](std::initializer_list<const char*> list) {
    return std::string(list.begin()[random() % list.size()]);
  };
  const auto host = [&] { return pick({"h1", "H1", "h2", "h3"}); };
  const auto type = [&] { return static_cast<int>(random() % 5); };
  // Prefixes of one another, in mixed case, with either separator, doubled or trailing.
  const auto path = [&] {
    std::string p = pick({"", "/", "\\", "C:", "c:\\", "//"});
    for (int n = static_cast<int>(random() % 4); n > 0; --n)
      p += pick({"a", "A", "ab", "a-b", "b"}) + pick({"/", "\\", "", "//"});
    return p;
  };
  for (int set = 0; set < 300; ++set) {
    KestrixTranslationRules rules;
    for (int n = static_cast<int>(random() % 3); n > 0; --n)
      rules.groups.push_back({"g", type(), {host(), host()}});
    for (int n = static_cast<int>(random() % 12); n > 0; --n)
      rules.hostTranslations.push_back({host(), path(), host(), path()});
    for (int n = static_cast<int>(random() % 8); n > 0; --n)
      rules.osTypeTranslations.push_back({type(), path(), type(), path()});
    const KestrixTranslationRules::Index index(rules);
    for (int query = 0; query < 50; ++query) {
      const std::string src = host(), dst = host(), p = path();
      const int srcType = type(), dstType = type();
      std::string out, error;
      if (!KestrixTranslationRules::Request(index, src, srcType, dst, dstType)
               .translate(p, out, error))
        out = "ERROR";
      ASSERT_EQ(out, linearTranslate(rules, src, srcType, dst, dstType, p))
          << "rule set " << set << ": '" << p << "' from " << src << " (" << srcType << ") to "
          << dst << " (" << dstType << ")";
    }
  }
}

}  // namespace
}  // namespace Kestrix
