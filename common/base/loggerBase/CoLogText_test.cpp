#include "common/base/loggerBase/CoLogText.h"

#include <gtest/gtest.h>

#include <string>

#include "common/base/loggerBase/CoTestMsgCapture.h"

namespace Kestrix {
namespace {

TEST(CoLogTextEscape, ControlsBackslashesAndBadUtf8CannotForgeALine) {
  EXPECT_EQ(CoLogText::escape("a\nb\rc\x1b[2Jd\x7f\t"), "a\\x0ab\\x0dc\\x1b[2Jd\\x7f\\x09");
  EXPECT_EQ(CoLogText::escape(std::string("\\x0a\0z", 6)), "\\\\x0a\\x00z");
  // Well-formed text passes; stray, overlong and line-breaking forms do not.
  EXPECT_EQ(CoLogText::escape("caf\xc3\xa9 \xe2\x82\xac"), "caf\xc3\xa9 \xe2\x82\xac");
  EXPECT_EQ(CoLogText::escape("\xc3 \xc0\xaf \xc2\x85 \xe2\x80\xa8 \xe2\x80\xae \xed\xa0\x80"),
            "\\xc3 \\xc0\\xaf \\xc2\\x85 \\xe2\\x80\\xa8 \\xe2\\x80\\xae \\xed\\xa0\\x80");
}

TEST(CoLogTextEscape, CutsAt200BytesOfInputNeverInsideACharacter) {
  EXPECT_EQ(CoLogText::escape(std::string(200, 'a')), std::string(200, 'a'));
  EXPECT_EQ(CoLogText::escape(std::string(250, 'a')), std::string(200, 'a') + "...");
  EXPECT_EQ(CoLogText::escape(std::string(199, 'a') + "\xc3\xa9"), std::string(199, 'a') + "...");
  EXPECT_EQ(CoLogText::escape(std::string(300, '\n')).size(), 200 * 4 + 3);
}

TEST(CoLogLimiter, OneLineASecondPerSourceThenHowManyWereHeldBack) {
  CoTestMsgCapture capture;
  CoLogLimiter limiter("Bad", {});
  EXPECT_TRUE(limiter.admit(CoMsg::LEVEL_WARN, "10.0.0.1", 0));
  EXPECT_TRUE(limiter.admit(CoMsg::LEVEL_WARN, "10.0.0.2", 10));
  int admitted = 0;
  for (int i = 0; i < 500; ++i) admitted += limiter.admit(CoMsg::LEVEL_WARN, "10.0.0.1", 999);
  EXPECT_EQ(admitted, 0);
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_TRUE(limiter.admit(CoMsg::LEVEL_WARN, "10.0.0.1", 1000));
  EXPECT_EQ(capture.count("Bad: 500 more lines from '10.0.0.1' suppressed"), 1);
  EXPECT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0].level, CoMsg::LEVEL_WARN);
}

TEST(CoLogLimiter, ForgedSourcesShareOneBucketAndTheTableEmptiesAgain) {
  CoTestMsgCapture capture;
  CoLogLimiter limiter("Bad", {1, 100, 8, 1000});
  int admitted = 0;
  for (int i = 0; i < 5000; ++i)
    admitted += limiter.admit(CoMsg::LEVEL_NOTICE, "10.0." + std::to_string(i), 5);
  EXPECT_EQ(limiter.sourceCount(), 8u);
  EXPECT_EQ(admitted, 9) << "8 sources of their own and one shared";
  EXPECT_TRUE(limiter.admit(CoMsg::LEVEL_NOTICE, "10.1.0.1", 2000));
  EXPECT_EQ(limiter.sourceCount(), 1u);
  EXPECT_EQ(capture.count("Bad: 4991 more lines from other sources suppressed"), 1);
  // A bound on all sources together, whatever the table holds.
  CoLogLimiter few("Few", {1, 3, 1024, 1000});
  for (int i = 0; i < 10; ++i) admitted += few.admit(CoMsg::LEVEL_NOTICE, std::to_string(i), 0);
  EXPECT_EQ(admitted, 12);
  CoMsg::LevelGuard quiet(CoMsg::LEVEL_WARN);
  EXPECT_FALSE(few.admit(CoMsg::LEVEL_NOTICE, "new", 5000)) << "filtered lines are not let through";
}

}  // namespace
}  // namespace Kestrix
