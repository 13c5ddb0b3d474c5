#include "common/base/loggerBase/CoMsg.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "common/base/loggerBase/CoLastErrLogger.h"

namespace Kestrix {
namespace {

// GoogleTest's own regular expressions are too simple on Windows for
// bracket expressions and counts.
MATCHER_P(MatchesRegex, pattern, "matches " + std::string(pattern)) {
  return std::regex_match(arg, std::regex(pattern));
}

// Routes every post into a temporary file through the base class's writer,
// so the bytes are exactly those a default router would print.
class CaptureRouter : public CoMsg::Router {
 public:
  CaptureRouter() : stream_(std::tmpfile()) { CoMsg::setRouter(this); }
  ~CaptureRouter() override {
    CoMsg::setRouter(nullptr);
    std::fclose(stream_);
  }
  void post(const CoMsg::Msg& msg) const override { Router::post(msg, stream_); }
  std::string text() const {
    std::string data(static_cast<size_t>(std::ftell(stream_)), '\0');
    std::rewind(stream_);
    data.resize(std::fread(data.data(), 1, data.size(), stream_));
    std::fseek(stream_, 0, SEEK_END);
    return data;
  }

 private:
  FILE* stream_;
};

// Each test leaves the process-wide settings as it found them.
class CoMsgTest : public ::testing::Test {
 protected:
  void TearDown() override {
    CoMsg::setVerboseFlag(savedVerbose_);
    CoMsg::enableFamily(false);
  }
  const CoMsg::Level savedLevel_ = CoMsg::filterLevel();
  CoMsg::LevelGuard levelGuard_{savedLevel_};
  const bool savedVerbose_ = CoMsg::verboseFlag();
};

TEST(CoMsgLevels, NamesRoundTripAndUnknownsAreRejected) {
  for (int l = 0; l <= 4; ++l)
    EXPECT_EQ(CoMsg::stringToLevel(CoMsg::levelToString(static_cast<CoMsg::Level>(l))), l);
  EXPECT_EQ(CoMsg::stringToLevel("DEBUG"), -1);
  EXPECT_EQ(CoMsg::stringToLevel("warning"), -1);
  EXPECT_EQ(CoMsg::stringToLevel(nullptr), -1);
}

TEST(CoMsgModule, BaseNameOfEitherSeparatorIgnoringTrailingOnes) {
  EXPECT_EQ(CoMsg::moduleName("/a/b/CoMsg.cpp"), "CoMsg.cpp");
  EXPECT_EQ(CoMsg::moduleName("c:\\src\\rc.cpp"), "rc.cpp");
  EXPECT_EQ(CoMsg::moduleName("dir/sub//"), "sub");
  EXPECT_EQ(CoMsg::moduleName("///"), "\\");
  EXPECT_EQ(CoMsg::moduleName(""), "");
}

TEST_F(CoMsgTest, FilterLevelDropsWhatIsAboveItAndMinusOneDropsAll) {
  CaptureRouter capture;
  {
    CoMsg::LevelGuard guard(CoMsg::LEVEL_NOTICE);
    CO_POST_NOTICE("seen %d", 1);
    CO_POST_DEBUG("hidden %d", 2);
    CoMsg::setFilterLevel(static_cast<CoMsg::Level>(-1));
    CO_POST_USER("nothing");
  }
  EXPECT_EQ(capture.text(), "seen 1\n");
  EXPECT_EQ(CoMsg::filterLevel(), savedLevel_) << "the guard puts the level back";
}

TEST_F(CoMsgTest, TrailingWhiteSpaceIsTrimmedAndLongTextCutTo2047Characters) {
  CaptureRouter capture;
  CO_POST_ERROR("text \t\n\n");
  CO_POST_ERROR("%s", "");
  CO_POST_ERROR("  inner  spaces stay");
  CO_POST_USER("%s", std::string(3000, 'x').c_str());
  EXPECT_EQ(capture.text(), "text\n\n  inner  spaces stay\n" + std::string(2047, 'x') + "\n");
}

TEST_F(CoMsgTest, VerboseLinesHaveFullShapeWithFamilyLineZeroStaysBareLongLinesAreCut) {
  CaptureRouter capture;
  CoMsg::setVerboseFlag(true);
  CoMsg::setFilterLevel(CoMsg::LEVEL_DEBUG);
  CoMsgBuilder<0>("/src/dir/Unit.cpp", 42, CoMsg::postWarning)("hello %s  ", "world");
  CoMsgBuilder<0>("/src/dir/Unit.cpp", 0, CoMsg::postWarning)("bare");
  // The pid stays 0 until a thread manager installs its callback.
  EXPECT_THAT(capture.text(),
              MatchesRegex("\\[warn\\] 0 Unit\\.cpp:42 [^ ]+:[^ ]+\\.[0-9]{3} hello world\n"
                           "bare\n"));
  // A full line is cut to the buffer it is formatted into.
  CoMsg::Msg msg(std::string(2500, 'z').c_str(), "m.cpp", 7, CoMsg::LEVEL_ERROR, "");
  char buffer[2176];
  msg.format(buffer, 2175);
  EXPECT_EQ(std::string(buffer).size(), 2174u);
  EXPECT_EQ(std::string(buffer).rfind("[error] 0 m.cpp:7 ", 0), 0u);
  // The family flag adds the family, or a dash, to full lines.
  CaptureRouter family;
  CoMsg::enableFamily(true);
  CO_POST_USER("x");
  CoMsgBuilder<1>("f.cpp", 3, CoMsg::postUser)("net", "y");
  EXPECT_THAT(family.text(), MatchesRegex("\\[user\\] \\[-\\] 0 CoMsg_test\\.cpp:[0-9]+ .* x\n"
                                          "\\[user\\] \\[net\\] 0 f\\.cpp:3 .* y\n"));
}

TEST_F(CoMsgTest, DirectPrintIgnoresFilterAndNullPidCallbackKeepsTheLast) {
  CoMsg::setFilterLevel(static_cast<CoMsg::Level>(-1));
  CoMsg::enableFamily(true);
  ::testing::internal::CaptureStdout();
  CO_POST_SHELL("Can't lock mutex: %d", 22);
  std::fflush(stdout);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "- Can't lock mutex: 22\n");
  CoMsg::setCurrentPIDCallback([] { return 77; });
  CoMsg::setCurrentPIDCallback(nullptr);
  EXPECT_EQ(CoMsg::callCurrentPIDCallback(), 77) << "a null callback keeps the one before";
  CoMsg::setCurrentPIDCallback([] { return 0; });
}

TEST_F(CoMsgTest, LastErrLoggerPrintsDespiteFilterUnlessSilent) {
  CaptureRouter capture;
  CoMsg::setFilterLevel(static_cast<CoMsg::Level>(-1));
  CoLastErrLogger silent(true);
  silent.setModule(__FILE__, __LINE__).postError("lost %s", "peer");
  EXPECT_STREQ(silent.lastError(), "lost peer");
  CoLastErrLogger logger;
  logger.postError("bad key '%s'", "k");
  EXPECT_EQ(capture.text(), "bad key 'k'\n");
}

TEST(CoLastErrLogger, CopyMoveAndAssignFollowTheRecord) {
  CoLastErrLogger silentSource(true);
  silentSource.setModule("a.cpp", 1).postError("e1");
  CoLastErrLogger copy(silentSource);
  EXPECT_TRUE(copy.getSilentMode());
  CoLastErrLogger moved(std::move(copy));
  EXPECT_STREQ(moved.lastError(), "e1");
  EXPECT_FALSE(copy.hasError());  // NOLINT(bugprone-use-after-move): the source is left empty
  // Assigning from a logger without a record clears error and silence only.
  CoLastErrLogger empty;
  moved = empty;
  EXPECT_FALSE(moved.hasError() || moved.getSilentMode());
  CoLastErrLogger target;
  target.assignError(silentSource);
  EXPECT_STREQ(target.lastError(), "e1");
  EXPECT_FALSE(target.getSilentMode());
  target.assignError(empty);
  EXPECT_FALSE(target.hasError());
}

// ---- Cases that need the environment set before the process starts ----

TEST(MsgLevelDebugFromEnv, DefaultLevelGivesWayToVariable) {
  ASSERT_STREQ(std::getenv("QV_MSG_LEVEL"), "debug");
  CoMsg::setDefaultFilterLevel(CoMsg::LEVEL_USER);
  EXPECT_EQ(CoMsg::filterLevel(), CoMsg::LEVEL_DEBUG);
}

TEST(MsgLevelOtherCaseFromEnv, NothingFilteredPrints) {
  ASSERT_STREQ(std::getenv("QV_MSG_LEVEL"), "Notice");
  CaptureRouter capture;
  CoMsg::setDefaultFilterLevel(CoMsg::LEVEL_DEBUG);
  CO_POST_USER("user");
  CO_POST_ERROR("error");
  EXPECT_EQ(capture.text(), "");
}

TEST(MsgLevelUnsetFromEnv, DefaultFilterLevelApplies) {
  ASSERT_EQ(std::getenv("QV_MSG_LEVEL"), nullptr);
  EXPECT_EQ(CoMsg::filterLevel(), CoMsg::LEVEL_NOTICE);
  CoMsg::setDefaultFilterLevel(CoMsg::LEVEL_USER);
  EXPECT_EQ(CoMsg::filterLevel(), CoMsg::LEVEL_USER);
}

// Run with QV_MSG_VERBOSE set to a value and EXPECT_VERBOSE to the outcome.
TEST(MsgVerboseFromEnv, ValueDecidesFullLines) {
  const char* expected = std::getenv("EXPECT_VERBOSE");
  ASSERT_NE(expected, nullptr);
  EXPECT_EQ(CoMsg::verboseFlag(), std::string(expected) == "1");
}

}  // namespace
}  // namespace Kestrix
