#include "common/base/rcApi/rcCommand.h"

#include <gtest/gtest.h>

#include <string>

#include "common/base/rcApi/rcResult.h"

namespace Kestrix {
namespace {

// Feeds bytes one at a time; the number taken up to and including the LF.
size_t feed(rcCommand& c, const std::string& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i)
    if (c.parse(bytes[i])) return i + 1;
  return bytes.size();
}

TEST(rcCommandLine, PingWithoutParametersHasThreeSpaces) {
  rcCommand c;
  c.set(rcCommand::SYNC, 0, "_ping", "");
  EXPECT_EQ(c.toString(), "sync 0 _ping \n");
  c.set(rcCommand::ASYNC, -3, "M", nullptr);
  EXPECT_EQ(c.toString(), "async -3 M \n");
  EXPECT_STREQ(rcCommand::kindToString(2), "unknown");
}

TEST(rcCommandLine, ParametersAreEscapedAndComeBackUnchanged) {
  const std::string params = "\"a b\" line1\nline2\ttab \\ end\r";
  rcCommand out;
  out.set(rcCommand::SYNC, 12, "TranslatePaths", params.c_str());
  const std::string line = out.toString();
  EXPECT_EQ(line, "sync 12 TranslatePaths \"a b\" line1\\nline2\\ttab \\\\ end\r\n");
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  CoStringBuilder built(1);
  out.serialize(built);
  EXPECT_EQ(built.view(), line);
  rcCommand in;
  EXPECT_EQ(feed(in, line), line.size());
  EXPECT_STREQ(in.getKind(), "sync");
  EXPECT_STREQ(in.getObjectId(), "12");
  EXPECT_STREQ(in.getMethod(), "TranslatePaths");
  EXPECT_EQ(std::string(in.getParams().view()), params);
  EXPECT_FALSE(in.isAsync());
}

TEST(rcCommandLine, BytesAfterTheLineFeedBelongToTheNextRequest) {
  const std::string two = "async 0 A x y\nsync 7 B  \n";
  rcCommand c;
  const size_t first = feed(c, two);
  EXPECT_EQ(first, 14u);
  EXPECT_TRUE(c.isAsync());
  EXPECT_EQ(std::string(c.getParams().view()), "x y");
  c.reset();
  EXPECT_EQ(feed(c, two.substr(first)), two.size() - first);
  EXPECT_STREQ(c.getMethod(), "B");
  EXPECT_EQ(std::string(c.getParams().view()), " ");
}

TEST(rcCommandLine, ShortLinesLeaveLaterFieldsEmpty) {
  rcCommand c;
  feed(c, "sync\n");
  EXPECT_STREQ(c.getKind(), "sync");
  EXPECT_STREQ(c.getMethod(), "");
  EXPECT_EQ(c.getState(), 0);
  c.reset();
  feed(c, "sync 0 _ping");
  EXPECT_EQ(c.getState(), 2);
  EXPECT_STREQ(c.getMethod(), "_ping");
}

TEST(rcCommandLine, RunParserMatchesByteParser) {
  const std::string line = "sync 3 Some\\Method a\\\\b\\n\\tq\\\\\nsync 4";
  for (size_t cut = 0; cut <= line.size(); ++cut) {
    rcCommand bytes;
    const size_t used = feed(bytes, line);
    rcCommand runs;
    bool done = false;
    size_t taken = runs.parse(line.data(), cut, done);
    if (!done) taken += runs.parse(line.data() + cut, line.size() - cut, done);
    ASSERT_TRUE(done) << cut;
    EXPECT_EQ(taken, used) << cut;
    EXPECT_EQ(runs.toString(), bytes.toString()) << cut;
  }
}

TEST(rcResultLine, ErrorCarriesItsText) {
  rcResult r;
  bool done = false;
  const std::string line = "error Unknown method: X\\n2\n";
  EXPECT_EQ(r.parse(line.data(), line.size(), done), line.size());
  EXPECT_TRUE(done);
  EXPECT_FALSE(r.isOk());
  EXPECT_EQ(r.getStatus(), "error");
  EXPECT_EQ(std::string(r.getValue().view()), "Unknown method: X\n2");
}

TEST(rcResultLine, OnlyExactlyOkSucceeds) {
  rcResult ok;
  for (char c : std::string("ok \n")) ok.parse(c);
  EXPECT_TRUE(ok.isOk());
  EXPECT_EQ(ok.getValue().length(), 0u);
  for (const char* status : {"OK", "okay", "Ok", "o", "ok\r", ""}) {
    rcResult r;
    for (const char* p = status; *p; ++p) r.parse(*p);
    r.parse(' ');
    r.parse('\n');
    EXPECT_FALSE(r.isOk()) << status;
  }
}

TEST(rcResultLine, SerialisesStatusAndEscapedValue) {
  rcResult r;
  r.set(rcResult::OK, "a\tb\\");
  EXPECT_EQ(r.toString(), "ok a\\tb\\\\\n");
  r.set(rcResult::ERROR, "bad\nthing");
  EXPECT_EQ(r.toString(), "error bad\\nthing\n");
  EXPECT_STREQ(rcResult::statusToString(5), "unknown");
  rcResult back;
  for (char c : r.toString()) back.parse(c);
  EXPECT_EQ(std::string(back.getValue().view()), "bad\nthing");
  back.reset();
  EXPECT_EQ(back.getStatus(), "");
  EXPECT_EQ(back.getValue().length(), 0u);
}

}  // namespace
}  // namespace Kestrix
