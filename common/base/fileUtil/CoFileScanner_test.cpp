#include "common/base/fileUtil/CoFileScanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <typeinfo>
#include <vector>

#include "common/base/fileUtil/FileUtilTestSupport.h"
#include "common/base/loggerBase/CoException.h"

namespace Kestrix {
namespace {

using Scanner = CoAbstractFileScanner;

// The tree every test walks:
//   top.TXT  notes.md  .hidden  sub/  sub/a.txt  sub/deep/  sub/deep/b.txt
class CoFileScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("top.TXT", "t");
    dir_.write("notes.md", "n");
    dir_.write(".hidden", "h");
    CoFilePath(dir_ / "sub/deep")
        .createDir(CoFilePath::Permissions(), CoFilePath::CREATE_DIR_PARENTS);
    dir_.write("sub/a.txt", "a");
    dir_.write("sub/deep/b.txt", "b");
  }

  // The scanner's relative paths, in byte order.
  std::vector<std::string> relative(const Scanner::Options& options,
                                    const Scanner::Filter* filter = nullptr) {
    CoFileScanner scanner(CoFileScanner::RELATIVE_PATHS);
    if (filter) scanner.addFilter(*filter);
    scanner.scan(dir_.path(), options);
    scanner.sort(CoFileScanner::alphabeticalSorter);
    std::vector<std::string> out;
    for (const CoFilePath& p : scanner.getPaths()) out.push_back(p.getPath());
    return out;
  }

  TempDir dir_;
};

using Paths = std::vector<std::string>;

TEST_F(CoFileScannerTest, DepthDecidesWhetherDirectoriesAreEnteredHiddenOnlyWhenAsked) {
  MsgCapture capture;
  EXPECT_EQ(relative(Scanner::Options(0)), (Paths{"notes.md", "sub", "top.TXT"}));
  EXPECT_EQ(relative(Scanner::Options(1)), (Paths{"notes.md", "top.TXT", "sub/a.txt", "sub/deep"}));
  EXPECT_EQ(relative(Scanner::Options(5)),
            (Paths{"notes.md", "top.TXT", "sub/a.txt", "sub/deep/b.txt"}));
  EXPECT_EQ(relative(Scanner::Options(0, true)), (Paths{".hidden", "notes.md", "sub", "top.TXT"}));
  EXPECT_TRUE(capture.messages().empty()) << "quiet without the debug variable";
  CoFileScanner full;  // without the flag: whole paths; each scan starts afresh
  full.scan(CoFilePath(dir_ / "sub"), Scanner::Options(1));
  full.scan(CoFilePath(dir_ / "sub/deep"), Scanner::Options(0));
  ASSERT_EQ(full.getPaths().size(), 1u);
  EXPECT_EQ(full.getPaths()[0].getPath(), dir_ / "sub/deep/b.txt");
  full.clear();
  EXPECT_TRUE(full.getPaths().empty());
}

TEST_F(CoFileScannerTest, FiltersByExtensionIgnoringCaseOrByTypeAndIncludeStart) {
  const Scanner::ExtensionFilter txt("txt", Scanner::MATCH_INCLUDE);
  EXPECT_EQ(relative(Scanner::Options(0), &txt), (Paths{"sub", "top.TXT"}));
  EXPECT_EQ(relative(Scanner::Options(3), &txt), (Paths{"top.TXT", "sub/a.txt", "sub/deep/b.txt"}));
  const char* exts[] = {"md", "TXT"};
  const Scanner::ExtensionFilter notThese(exts, 2, Scanner::MATCH_EXCLUDE);
  EXPECT_EQ(relative(Scanner::Options(3, true), &notThese), (Paths{".hidden"}));
  const Scanner::TypeFilter dirsOnly(CoFilePath::TYPE_DIRECTORY, Scanner::MATCH_INCLUDE);
  EXPECT_EQ(relative(Scanner::Options(0), &dirsOnly), (Paths{"sub"}));
  const Scanner::TypeFilter noDirs(CoFilePath::TYPE_DIRECTORY, Scanner::MATCH_EXCLUDE);
  // Rejected directories are not entered either.
  EXPECT_EQ(relative(Scanner::Options(3), &noDirs), (Paths{"notes.md", "top.TXT"}));
  // Every walked directory is offered with its own relative path.
  EXPECT_EQ(relative(Scanner::Options(1, false, false, true), &dirsOnly),
            (Paths{"", "sub", "sub/deep"}));
}

class AbortingScanner : public CoFileScanner {
 protected:
  bool checkAbort() override { return true; }
};

TEST_F(CoFileScannerTest, AbortStillOffersTheStartAndAMissingStartThrows) {
  AbortingScanner aborting;
  aborting.scan(dir_.path(), Scanner::Options(3, true, false, true));
  ASSERT_EQ(aborting.getPaths().size(), 1u);
  EXPECT_EQ(aborting.getPaths()[0].getPath(), dir_.path());
  const CoFilePath missing(dir_ / "missing");
  const CoException e = thrown([&] { CoFileScanner().scan(missing, Scanner::Options()); });
  EXPECT_STREQ(e.what(), "Invalid path");
  EXPECT_EQ(e.expertData(), "'" + missing.getPath() + "/*.*'");
}

// Run with QV_CO_FILE_SCANNER_DEBUG=1.
class CoFileScannerDebugFromEnv : public CoFileScannerTest {};

TEST_F(CoFileScannerDebugFromEnv, TracesFiltersAndDirectories) {
  MsgCapture capture;
  const Scanner::ExtensionFilter md("md", Scanner::MATCH_INCLUDE);
  relative(Scanner::Options(0), &md);
  const std::vector<std::string> user = capture.texts(CoMsg::LEVEL_USER);
  auto has = [&](const std::string& text) {
    return std::find(user.begin(), user.end(), text) != user.end();
  };
  EXPECT_TRUE(has("Checking '" + dir_ / "notes.md" + "'"));
  EXPECT_TRUE(
      has("Filter '" + std::string(typeid(md).name()) + "' rejected '" + dir_ / "top.TXT" + "'"));
  EXPECT_FALSE(has("Checking '" + dir_ / ".hidden" + "'"));  // skipped before the filters
  EXPECT_EQ(capture.texts(CoMsg::LEVEL_DEBUG),
            std::vector<std::string>{"Scanning for files in '" + dir_.path() + "/*.*'"});
}

TEST(CoFileScannerSort, Predicates) {
  std::vector<CoFilePath> paths = {CoFilePath("b/file10"), CoFilePath("a/file2"),
                                   CoFilePath("b/File2"), CoFilePath("a/file10")};
  auto sorted = [&](const CoFileScanner::Predicate& pred) {
    std::vector<CoFilePath> copy = paths;
    std::sort(copy.begin(), copy.end(), pred);
    Paths out;
    for (const CoFilePath& p : copy) out.push_back(p.getPath());
    return out;
  };
  EXPECT_EQ(sorted(CoFileScanner::alphabeticalSorter),
            (Paths{"a/file10", "a/file2", "b/File2", "b/file10"}));
  EXPECT_EQ(sorted(CoFileScanner::naturalSorter),
            (Paths{"a/file2", "a/file10", "b/File2", "b/file10"}));
  EXPECT_EQ(sorted(CoFileScanner::naturalBaseNameSorter),
            (Paths{"b/File2", "a/file2", "a/file10", "b/file10"}));
  EXPECT_FALSE(CoFileScanner::naturalSorterStr("x10", "x10")) << "a strict order";
}

}  // namespace
}  // namespace Kestrix
