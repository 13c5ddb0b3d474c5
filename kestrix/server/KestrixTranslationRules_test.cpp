#include "kestrix/server/KestrixTranslationRules.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace Kestrix
