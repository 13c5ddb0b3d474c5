#include "common/base/loggerBase/CoException.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/base/loggerBase/qvAssert.h"

namespace Kestrix {
namespace {

CoException fired(const char* what, const char* expert) {
  try {
    if (expert)
      CoException(12, "/x/y.cpp").fire(what, "%s", expert);
    else
      CoException(12, "/x/y.cpp").fire(what, nullptr);
  } catch (const CoException& e) {
    return e;
  }
  ADD_FAILURE() << "fire() returned";
  return CoException(0, "");
}

class CoExceptionTest : public ::testing::Test {
 protected:
  void TearDown() override { CoException::enableVerboseExceptions(false); }
};

TEST_F(CoExceptionTest, VerboseTextRunsOnIntoExpertData) {
  const CoException plain = fired("Connection refused", "connect to h:1");
  EXPECT_STREQ(plain.what(), "Connection refused");
  EXPECT_STREQ(plain.expertData(), "connect to h:1");
  EXPECT_STREQ(plain.fileName(), "/x/y.cpp");
  EXPECT_EQ(plain.lineNumber(), 12);
  CoException::enableVerboseExceptions(true);
  const CoException e = fired("Refused", "detail 7");
  EXPECT_STREQ(e.what(), "Refused f:/x/y.cpp l:12 detail 7");
  EXPECT_STREQ(e.expertData(), "detail 7");
  EXPECT_STREQ(fired("short", nullptr).what(), "short f:/x/y.cpp l:12");
  EXPECT_STREQ(fired("short", nullptr).expertData(), "");
}

// The texts share one 1600-byte array: what does not fit is cut, and the
// expert text goes first.
TEST_F(CoExceptionTest, TextsAreCutToTheirArrays) {
  for (bool verbose : {false, true}) {
    CoException::enableVerboseExceptions(verbose);
    const CoException fits = fired(std::string(1599, 'a').c_str(), "expert");
    EXPECT_EQ(std::string(fits.what()), std::string(1599, 'a')) << "verbose " << verbose;
    EXPECT_STREQ(fits.expertData(), "");
    EXPECT_EQ(std::string(fired(std::string(1600, 'b').c_str(), "x").what()),
              std::string(1599, 'b'));
  }
  const CoException suffix = fired(std::string(1590, 'c').c_str(), "expert");
  EXPECT_EQ(std::string(suffix.what()).size(), 1599u) << "the verbose suffix does not fit";
  EXPECT_STREQ(suffix.expertData(), "");
  CoException::enableVerboseExceptions(false);
  EXPECT_EQ(std::string(fired("w", std::string(3000, 'e').c_str()).expertData()).size(), 1597u);
  EXPECT_EQ(std::string(CoException(1, std::string(300, 'f').c_str()).fileName()),
            std::string(127, 'f'));
}

// Windows has no stack-trace reporter, so no assertion report is printed.
#ifdef _WIN32
constexpr bool kAssertReportPrinted = false;
#else
constexpr bool kAssertReportPrinted = true;
#endif

TEST(QvAssert, AllowCallbackDecidesAndLogFlushRunsItsCallback) {
  ASSERT_EQ(std::getenv("QV_ASSERT_IGNORE_ALL"), nullptr);
  static std::string seen;
  bool answer = false;
  qvSetAllowAssertCallback(
      [](const char* cond, const char*, int, void* data) {
        seen = cond;
        return *static_cast<bool*>(data);
      },
      &answer);
  EXPECT_FALSE(qvAllowAssert("x > 0", "f.cpp", 3));
  EXPECT_EQ(seen, "x > 0");
  answer = true;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(qvAllowAssert("y", "f.cpp", 4));
  EXPECT_EQ(testing::internal::GetCapturedStderr().find("Assert: f.cpp:4 y") != std::string::npos,
            kAssertReportPrinted);
  qvSetAllowAssertCallback(nullptr, nullptr);
  static int flushes = 0;
  qvSetAssertLogFlushCallback([] { ++flushes; });
  EXPECT_FALSE(qvAssertLogFlush()) << "the flushing check always fails";
  EXPECT_EQ(flushes, 1);
  qvSetAssertLogFlushCallback(nullptr);
}

TEST(QvAssert, SiteCheckIsOffAwayFromTheSiteAndStackSizeDefaultsTo100) {
  ASSERT_FALSE(qvIsVeldmoor());
  QV_ASSERT(1 == 2);  // would stop the test if the site check were on
  ASSERT_EQ(std::getenv("QV_ASSERT_STACK_SIZE"), nullptr);
  EXPECT_EQ(qvAssertStackSize(), 100);
}

TEST(QvAssertDeathTest, FlushingCheckFailsWithItsConditionText) {
  EXPECT_DEATH(QV_ASSERT_FLUSH(0), "\\(0\\) \\|\\| qvAssertLogFlush\\(\\)");
}

TEST(AssertStackSizeTextFromEnv, NonNumericGivesZero) {
  EXPECT_EQ(qvAssertStackSize(), 0);
}

TEST(AssertIgnoreAllFromEnv, AllowAssertIsFalseWithoutAskingCallback) {
  static bool called = false;
  qvSetAllowAssertCallback(
      [](const char*, const char*, int, void*) {
        called = true;
        return true;
      },
      nullptr);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(qvAllowAssert("c", "f.cpp", 1));
  EXPECT_EQ(
      testing::internal::GetCapturedStderr().find("IGNORED Assert: f.cpp:1 c") != std::string::npos,
      kAssertReportPrinted);
  EXPECT_FALSE(called);
}

TEST(VerboseExceptionsPresentFromEnv, EmptyValueTurnsThemOn) {
  EXPECT_TRUE(CoException::verboseExceptions());
}

}  // namespace
}  // namespace Kestrix
