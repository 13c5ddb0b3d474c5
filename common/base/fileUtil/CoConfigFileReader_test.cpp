#include "common/base/fileUtil/CoConfigFileReader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/base/fileUtil/FileUtilTestSupport.h"

namespace Kestrix {
namespace {

// What write() puts in a file, or a mark when it fails.
std::string writtenBack(const CoConfigFileReader& reader, const TempDir& dir) {
  const std::string out = dir / "out.cfg";
  if (reader.write(out.c_str()) != 0) return "<write failed>";
  std::ifstream in(out);  // text mode: Windows's line ends read back as '\n'
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

CoConfigFileReader parse(const std::string& text, int flags = 0) {
  CoConfigFileReader reader;
  std::istringstream in(text);
  EXPECT_EQ(reader.read(in, flags), 0);
  return reader;
}

class CoConfigFileReaderTest : public ::testing::Test {
 protected:
  TempDir dir_;
  MsgCapture capture_;
};

TEST_F(CoConfigFileReaderTest, WriteGivesBackTheLayout) {
  const std::string text =
      "# network settings\n"
      "\n"
      "[Local]\n"
      "; the host\n"
      "UUID=0f8e3c2a-1b2c-4d5e-8f90-a1b2c3d4e5f6\n"
      "DisplayName=studio one\n"
      "\n"
      "[Interfaces]\n"
      "Data=eth0,eth1\n"
      "# end of file\n"
      "\n";
  const std::string in = dir_.write("network.cfg", text);
  CoConfigFileReader reader(in.c_str());
  ASSERT_EQ(reader.getLastErrno(), 0);
  EXPECT_EQ(reader.get("Local", "DisplayName", ""), "studio one");
  EXPECT_EQ(writtenBack(reader, dir_), text);
  EXPECT_TRUE(capture_.messages().empty());
  // Only the spacing around "=" changes; values keep inner blanks and "=".
  const CoConfigFileReader spaced = parse("  [S]  \n  key   =   a = b  c  \nempty=\n");
  EXPECT_TRUE(spaced.isDefined("S", "empty"));
  EXPECT_EQ(writtenBack(spaced, dir_), "[S]\nkey=a = b  c\nempty=\n");
}

TEST_F(CoConfigFileReaderTest, BadLinesWarnWithLineAndFileAndKeepGoodOnes) {
  const std::string in = dir_.write("bad.cfg",
                                    "before=1\n"
                                    "[S]\n"
                                    "=novalue\n"
                                    "bareword\n"
                                    "good=yes\n");
  CoConfigFileReader reader(in.c_str());
  EXPECT_EQ(reader.getLastErrno(), 0);
  EXPECT_EQ(capture_.texts(CoMsg::LEVEL_WARN),
            (std::vector<std::string>{
                "Invalid syntax: Not in section. Ignoring line 1 of '" + in + "'",
                "Invalid syntax: No variable name. Ignoring line 3 of '" + in + "'",
                "Invalid syntax: No variable value. Ignoring line 4 of '" + in + "'"}));
  EXPECT_TRUE(reader.get("S", "good", false));
  EXPECT_FALSE(reader.isDefined("S", "before"));
  EXPECT_EQ(reader.getVariableNames("S"), std::vector<std::string>{"good"});
}

TEST_F(CoConfigFileReaderTest, HeaderNamesAndRepeatedSections) {
  const CoConfigFileReader reader = parse("[ My Section ]\na=1\n[Open\nb=2\n[]\nc=3\n");
  EXPECT_EQ(reader.get("My Section", "a", 0), 0);
  EXPECT_EQ(reader.get("Ope", "b", 0), 2);  // the last character is dropped, whatever it is
  EXPECT_EQ(reader.getSectionNames(), (std::vector<std::string>{" My Section ", "Ope", ""}));
  // A repeated header continues its section; entries keep their first place.
  const CoConfigFileReader repeated = parse("[A]\nx=1\n[B]\ny=2\n[A]\nz=3\nx=4\n");
  EXPECT_EQ(writtenBack(repeated, dir_), "[A]\nx=4\nz=3\n[B]\ny=2\n");
}

// A line holds at most 2047 bytes; one of exactly 2047 ends at its own line
// feed, a longer one fails the read with its line number and the file's.
TEST_F(CoConfigFileReaderTest, LineEndsAndTheLongestLine) {
  for (const size_t length : {2046u, 2047u, 2048u}) {
    SCOPED_TRACE(length);
    MsgCapture capture;
    const std::string value(length - 2, 'v');
    const std::string path = dir_.write("long.cfg", "[S]\nk=" + value + "\nbad\n");
    CoConfigFileReader reader(path.c_str());
    if (length > CoConfigFileReader::MAX_LINE) {
      EXPECT_EQ(reader.getLastErrno(), CoConfigFileReader::LINE_TOO_LONG);
      EXPECT_EQ(reader.getErrorLine(), 2);
      EXPECT_FALSE(reader.isDefined("S", "k"));
      EXPECT_TRUE(capture.texts(CoMsg::LEVEL_WARN).empty());
      continue;
    }
    EXPECT_EQ(reader.getLastErrno(), 0);
    EXPECT_EQ(reader.get("S", "k", ""), value);
    EXPECT_EQ(capture.texts(CoMsg::LEVEL_WARN),
              std::vector<std::string>{"Invalid syntax: No variable value. Ignoring line 3 of '" +
                                       path + "'"});
  }
  // Every CR LF adds an empty line, so "bad" is line 5.
  MsgCapture capture;
  parse("[S]\r\na=1\r\nbad\r\n");
  EXPECT_EQ(capture.texts(CoMsg::LEVEL_WARN),
            std::vector<std::string>{"Invalid syntax: No variable value. Ignoring line 5"});
}

TEST_F(CoConfigFileReaderTest, ReadFlags) {
  const std::string first = dir_.write("1.cfg", "[S]\na=1\nb=1\n");
  const std::string second = dir_.write("2.cfg", "[S]\na=2\nc=2\n[T]\nd=2\n");
  CoConfigFileReader reader(first.c_str());

  ASSERT_EQ(reader.read(second.c_str(), CoConfigFileReader::READ_KEEP_CONTENT |
                                            CoConfigFileReader::READ_KEEP_DEFINED),
            0);
  EXPECT_EQ(reader.get("S", "a", 0), 1);  // defined first: kept
  EXPECT_EQ(reader.get("T", "d", 0), 2);

  ASSERT_EQ(reader.read(second.c_str(), CoConfigFileReader::READ_KEEP_CONTENT), 0);
  EXPECT_EQ(reader.get("S", "a", 0), 2);
  EXPECT_EQ(reader.get("S", "b", 0), 1);

  ASSERT_EQ(reader.read(second.c_str(), 0), 0);
  EXPECT_FALSE(reader.isDefined("S", "b"));

  EXPECT_EQ(reader.read((dir_ / "missing.cfg").c_str(), 0), ENOENT);
  EXPECT_TRUE(reader.getSectionNames().empty());
  EXPECT_EQ(CoConfigFileReader(dir_.path().c_str()).getLastErrno(), EISDIR);
  EXPECT_EQ(reader.read(nullptr, 0), 0);
}

TEST_F(CoConfigFileReaderTest, TypedGets) {
  const CoConfigFileReader reader = parse("[T]\non=On\ntwo=2\nreal=2.5e1\nword=abc\n");
  EXPECT_TRUE(reader.get("T", "on", false));
  EXPECT_FALSE(reader.get("T", "two", true));
  bool flag = true;
  EXPECT_FALSE(reader.get("T", "absent", flag, false));
  EXPECT_FALSE(flag);
  EXPECT_EQ(reader.get("T", "word", 7), 0);
  int i = 0;
  EXPECT_FALSE(reader.get("t", "two", i, 9));  // section names are case-sensitive
  EXPECT_EQ(i, 9);
  unsigned u = 0;
  EXPECT_TRUE(reader.get("T", "two", u, 5u));
  EXPECT_EQ(u, 2u);
  EXPECT_FALSE(reader.get("T", "word", u, 5u));  // present but not a number
  EXPECT_EQ(u, 5u);
  EXPECT_DOUBLE_EQ(reader.get("T", "real", 0.0), 25.0);
  EXPECT_EQ(reader.get("T", "none", nullptr), "");
  EXPECT_EQ(reader.get(nullptr, "two", 3), 3);
}

TEST_F(CoConfigFileReaderTest, PutCreatesAndCopiesAreIndependent) {
  CoConfigFileReader reader = parse("[S]\n# about a\na=1\n");
  reader.put("S", "a", "2");
  reader.put("S", "n", 7, "# a number\n");
  reader.put("New", "flag", true);
  reader.put("New", "ratio", 0.5);
  CoConfigFileReader copy = reader;
  reader.put("S", "a", "3");
  EXPECT_EQ(copy.get("S", "a", ""), "2");
  EXPECT_EQ(writtenBack(copy, dir_),
            "[S]\n# about a\na=2\n# a number\nn=7\n[New]\nflag=1\nratio=0.500000\n");
  EXPECT_NE(reader.write((dir_ / "no/such/dir.cfg").c_str()), 0);
}

}  // namespace
}  // namespace Kestrix
