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

TEST_F(CoExceptionTest, LengthLimitAt1599And1600Characters) {
  for (bool verbose : {false, true}) {
    CoException::enableVerboseExceptions(verbose);
    const std::string fits(1599, 'a');
    const CoException e1 = fired(fits.c_str(), "expert");
    EXPECT_EQ(std::string(e1.what()).substr(0, 1599), fits);
    EXPECT_EQ(std::string(e1.what()).size(), 1599u) << "verbose " << verbose;
    EXPECT_STREQ(e1.expertData(), "");

    const std::string tooLong(1600, 'b');
    const CoException e2 = fired(tooLong.c_str(), "expert");
    EXPECT_EQ(std::string(e2.what()), std::string(1599, 'b'));
    EXPECT_STREQ(e2.expertData(), "");
  }
}

TEST_F(CoExceptionTest, VerboseSuffixThatDoesNotFitEmptiesExpertData) {
  CoException::enableVerboseExceptions(true);
  const CoException e = fired(std::string(1590, 'c').c_str(), "expert");
  EXPECT_EQ(std::string(e.what()).size(), 1599u);
  EXPECT_STREQ(e.expertData(), "");
}

TEST_F(CoExceptionTest, ExpertTextIsTruncatedToTheArray) {
  const CoException e = fired("w", std::string(3000, 'e').c_str());
  EXPECT_EQ(std::string(e.expertData()).size(), static_cast<size_t>(1600 - 2 - 1));
}

TEST_F(CoExceptionTest, LongFileNameIsCutTo127Characters) {
  const std::string file(300, 'f');
  const CoException e(1, file.c_str());
  EXPECT_EQ(std::string(e.fileName()), std::string(127, 'f'));
}

TEST(QvAssert, LogFlushAlwaysFalseAndRunsCallback) {
  static int flushes = 0;
  qvSetAssertLogFlushCallback([] { ++flushes; });
  EXPECT_FALSE(qvAssertLogFlush());
  EXPECT_EQ(flushes, 1);
  qvSetAssertLogFlushCallback(nullptr);
}

TEST(QvAssert, AllowCallbackDecides) {
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
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Assert: f.cpp:4 y"), std::string::npos);
  qvSetAllowAssertCallback(nullptr, nullptr);
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
  EXPECT_NE(testing::internal::GetCapturedStderr().find("IGNORED Assert: f.cpp:1 c"),
            std::string::npos);
  EXPECT_FALSE(called);
}

TEST(VerboseExceptionsPresentFromEnv, EmptyValueTurnsThemOn) {
  EXPECT_TRUE(CoException::verboseExceptions());
}

}  // namespace
}  // namespace Kestrix
