#include "common/base/osal/StringUtil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/base/osal/CoTime.h"

namespace Kestrix {
namespace {

int sign(int v) {
  return (v > 0) - (v < 0);
}
int cmp(const char* a, const char* b, bool cs = true) {
  return sign(StringUtil::alphaNumCompare(a, b, cs));
}

// Each pair is checked both ways round.
TEST(AlphaNumCompare, NumbersByValueDigitsBeforeLettersNullFirst) {
  const struct {
    const char* a;
    const char* b;
    int order;
  } cases[] = {
      {nullptr, nullptr, 0},
      {nullptr, "", -1},
      {"", "a", -1},
      {"file2", "file10", -1},
      {"v1.9", "v1.10", -1},
      {"a12b", "a12b", 0},
      {"a12b", "a12c", -1},
      {"f07", "f7", -1},  // a leading zero sorts first
      {"f007", "f007", 0},
      {"1", "a", -1},
      {"a", "ab", -1},
      {"x5", "x99999999999999999999", -1},  // past 64 bits
      {"x99999999999999999999", "x99999999999999999999a", -1},
      {"x18446744073709551614", "x18446744073709551615", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a ? c.a : "(null)") + " vs " + (c.b ? c.b : "(null)"));
    EXPECT_EQ(cmp(c.a, c.b), c.order);
    EXPECT_EQ(cmp(c.b, c.a), -c.order);
  }
  // Ignoring case, the first case difference still decides, before the rest.
  EXPECT_EQ(cmp("Abc", "abc", false), -1);
  EXPECT_EQ(cmp("abc", "ABD", false), 1);
  EXPECT_EQ(cmp("abc", "abd", false), -1);
}

TEST(AlphaNumSorters, SortNaturally) {
  std::vector<std::string> names{"img10", "img2", "img1", "IMG3"};
  std::sort(names.begin(), names.end(), AlphaNumStringSorter(false, true));
  // The first case difference decides before the numbers are reached.
  EXPECT_THAT(names, ::testing::ElementsAre("IMG3", "img1", "img2", "img10"));
  std::sort(names.begin(), names.end(), AlphaNumStringSorter(false, false));
  EXPECT_THAT(names, ::testing::ElementsAre("img10", "img2", "img1", "IMG3"));
  std::vector<const char*> raw{"a10", "a9"};
  std::sort(raw.begin(), raw.end(), AlphaNumCharSorter(true, true));
  EXPECT_STREQ(raw[0], "a9");
}

TEST(StringUtil, SprintfAndStrftimeResultsAreWholeOrEmpty) {
  EXPECT_EQ(StringUtil::sprintf("%s!", std::string(300, 'q').c_str()), std::string(300, 'q') + "!");
  std::string out = "old";
  StringUtil::sprintf(out, nullptr);
  EXPECT_EQ(out, "");
  std::wstring wide;
  StringUtil::wsprintf(wide, L"%d-%ls", 5, std::wstring(400, L'w').c_str());
  EXPECT_EQ(wide.size(), 402u);
  struct tm t {};
  t.tm_year = 100;
  StringUtil::strftime(out, "%Y", &t);
  EXPECT_EQ(out, "2000");
  StringUtil::strftime(out, "", &t);  // an empty result, not a failure
  EXPECT_EQ(out, "");
  out = "old";
  StringUtil::strftime(out, nullptr, &t);
  EXPECT_EQ(out, "");
}

TEST(StringUtil, StrToBoolAndTokenPathWithoutEmptyPieces) {
  for (const char* yes : {"true", "TRUE", "True", "1", "yes", "YES", "on", "On", "y", "Y"})
    EXPECT_TRUE(StringUtil::strToBool(yes)) << yes;
  for (const char* no : {"false", "0", "no", "", " true", "yes ", "2", "t"})
    EXPECT_FALSE(StringUtil::strToBool(no)) << no;
  EXPECT_FALSE(StringUtil::strToBool(nullptr));
  EXPECT_THAT(StringUtil::stringToTokenPath("//a//b\\c/", "/\\"),
              ::testing::ElementsAre("a", "b", "c"));
  EXPECT_TRUE(StringUtil::stringToTokenPath("///", "/").empty());
  EXPECT_THAT(StringUtil::stringToTokenPath("abc", "/"), ::testing::ElementsAre("abc"));
}

TEST(CoTime, ClockHasMillisecondResolution) {
  const uint64_t t = CoTime::getTime();
  EXPECT_EQ(t % 1000, 0u);
  EXPECT_GT(t, 1700000000000000ull);
  EXPECT_EQ(CoTime::getMsFromTime(1234567890ull), 567);
  EXPECT_EQ(CoTime::getTimeStr(t, "%Y").size(), 4u);
  const uint64_t before = CoTime::getTime();
  CoTime::sleepMs(20);
  EXPECT_GE(CoTime::getTime() - before, 19000u);
}

}  // namespace
}  // namespace Kestrix
