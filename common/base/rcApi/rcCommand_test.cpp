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
  r.set(rcResult::ERROR, "bad\nthing\t\\");
  EXPECT_EQ(r.toString(), "error bad\\nthing\\t\\\\\n");
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

}  // namespace
}  // namespace Kestrix
