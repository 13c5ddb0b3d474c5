#include "common/base/fileUtil/CoFilePath.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "common/base/fileUtil/FileUtilTestSupport.h"
#include "common/base/loggerBase/CoException.h"
#include "common/base/osal/CoUmask.h"

namespace Kestrix {
namespace {

TEST(CoFilePathCompose, JoinsWithExactlyOneSeparator) {
  EXPECT_EQ(CoFilePath("a", "b", "c").getPath(), "a/b/c");
  EXPECT_EQ(CoFilePath(nullptr, "", "c").getPath(), "c");
  EXPECT_EQ(CoFilePath().getPath(), "");
  EXPECT_EQ(CoFilePath("a/", "/b").getPath(), "a/b");
  EXPECT_EQ(CoFilePath("a/", "b").getPath(), "a/b");
  EXPECT_EQ(CoFilePath("a", "/b").getPath(), "a/b");
  EXPECT_EQ(CoFilePath("a\\", "b").getPath(), "a\\b");
  EXPECT_EQ(CoFilePath("a\\", "\\b").getPath(), "a\\b");
  EXPECT_EQ(CoFilePath("a//", "//b").getPath(), "a///b");  // one separator dropped, no more
  CoFilePath p("a");
  p.concatenate("bcd", 1);  // the length does not cut the text
  p.concatenate(nullptr).concatenate("");
  p += ".bak";
  EXPECT_EQ(p.getPath(), "a/bcd.bak");
}

TEST(CoFilePathCompose, ExtensionEditsKeepTheInnerPxzExtensionAndTheCacheFollows) {
  CoFilePath p("dir.d/x");
  p.appendExtension("tar");
  p.appendExtension(".pxz");
  p.appendExtension(nullptr);
  EXPECT_EQ(p.getPath(), "dir.d/x.tar.pxz");
  EXPECT_STREQ(p.extension(), "tar.pxz");
  p.appendToBase("_v2");
  EXPECT_EQ(p.getPath(), "dir.d/x_v2.tar.pxz");
  p.pruneExtension();
  EXPECT_EQ(p.getPath(), "dir.d/x_v2");
  EXPECT_STREQ(p.extension(), "");
  p.pruneExtension();
  EXPECT_EQ(p.getPath(), "dir.d/x_v2") << "no extension: nothing to prune";
  // The cached extension follows every change; a copy keeps its own.
  p += ".old";
  EXPECT_STREQ(p.extension(), "old");
  const CoFilePath copy(p);
  p.setPath("b.cfg");
  EXPECT_STREQ(p.extension(), "cfg");
  EXPECT_STREQ(copy.extension(), "old");
}

TEST(CoFilePathDecompose, ExtensionRule) {
  const struct {
    const char* path;
    const char* ext;
  } cases[] = {
      {"a/b.txt", "txt"},     {"x.tar.pxz", "tar.pxz"}, {"x.tar.PxZ", "tar.PxZ"},
      {"archive.pxz", "pxz"}, {"x..pxz", "pxz"},        {"d.d/x.pxz", "pxz"},
      {"a/.hidden", ""},      {".hidden", ""},          {"dir/.pxz", ""},
      {"file.", ""},          {"dir.d/file", ""},       {".", ""},
      {"x.tar.", ""},
  };
  for (const auto& c : cases) EXPECT_STREQ(CoFilePath(c.path).extension(), c.ext) << c.path;
}

TEST(CoFilePathDecompose, BaseNameNameAbsoluteAndInvalidChars) {
  EXPECT_EQ(CoFilePath("a/b/c.txt").baseName(), "c.txt");
  EXPECT_EQ(CoFilePath("a/b/c.txt").name(), "c");
  EXPECT_EQ(CoFilePath("a/b/").baseName(), "b");
  EXPECT_EQ(CoFilePath("a\\b").baseName(), "b");
  EXPECT_EQ(CoFilePath("\\\\srv\\share\\a.txt").baseName(), "a.txt");
  EXPECT_EQ(CoFilePath("/").baseName(), "");
  EXPECT_EQ(CoFilePath("d.d/x.tar.pxz").name(), "x");
  EXPECT_EQ(CoFilePath("d/.profile").name(), ".profile");
  EXPECT_EQ(CoFilePath(std::string(1100, 'x') + "/y").baseName(), std::string(1024, 'x'));
  EXPECT_TRUE(CoFilePath("\\a").isAbsolute());
  EXPECT_FALSE(CoFilePath("C:/a").isAbsolute());
  EXPECT_TRUE(CoFilePath("a*b").pathContainsInvalidChars());
  EXPECT_FALSE(CoFilePath("a/b c").pathContainsInvalidChars());
}

TEST(CoFilePathDecompose, DirectoryName) {
  const struct {
    const char* path;
    const char* dir;
  } cases[] = {
      {"", "."},     {".", "."},       {"..", "."}, {"a", "."},    {"a/", "."}, {"a/b", "a"},
      {"a/b/", "a"}, {"a/b/c", "a/b"}, {"/a", "/"}, {"\\a", "\\"}, {"/", "."},  {"a\\b\\c", "a\\b"},
  };
  for (const auto& c : cases) EXPECT_EQ(CoFilePath(c.path).directoryName(), c.dir) << c.path;
  EXPECT_EQ(CoFilePath("C:\\a\\b.txt").directoryName(), "C:\\a");
  EXPECT_EQ(CoFilePath("\\\\srv\\share\\a").directoryName(), "\\\\srv\\share");
}

TEST(CoFilePathClean, CollapsesSeparatorRunsAndDotPartsAlsoAfterExpansion) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"a//b", "a/b"},    {"a\\b\\c", "a/b/c"}, {"a/./b", "a/b"},       {"a/././/b", "a/b"},
      {"a\\.\\b", "a/b"}, {"a/../b", "a/../b"}, {"a/./../b", "a/../b"}, {"//srv//x", "/srv/x"},
      {"a/b/", "a/b/"},   {"a//", "a/"},        {"a/./", "a/"},         {"plain", "plain"},
      {"./a", "./a"},     {"a/.b", "a/.b"},     {"a/.", "a/."},
  };
  for (const auto& c : cases) EXPECT_EQ(CoFilePath(c.in).clean().getPath(), c.out) << c.in;
  // Expansion cleans too; an undefined variable leaves the path alone.
  setTestEnv("KX_FILEUTIL_ROOT", "/srv//media");
  CoFilePath p("$KX_FILEUTIL_ROOT/./clips");
  EXPECT_EQ(p.expand().getPath(), "/srv/media/clips");

  setTestEnv("KX_FILEUTIL_NOT_SET", nullptr);
  CoFilePath missing("/a/$KX_FILEUTIL_NOT_SET/b");
  EXPECT_THROW(missing.expand(), CoException);
  EXPECT_EQ(missing.getPath(), "/a/$KX_FILEUTIL_NOT_SET/b");
  setTestEnv("KX_FILEUTIL_ROOT", nullptr);
}

// Sets or removes a variable for one test and puts back what was there.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    setTestEnv(name, value);
  }
  ~ScopedEnv() { setTestEnv(name_, saved_ ? saved_->c_str() : nullptr); }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(CoFilePathPlaces, TempDirFallsBackInOrderAndWorkingDirectory) {
#ifdef _WIN32
  // Windows has no TMPDIR and no fixed place; its working directory starts
  // with a drive letter, which the separator rule does not call absolute.
  const char* const lastPlaces[] = {"", ""};
#else
  const char* const lastPlaces[] = {"/t3", "/tmp"};
#endif
  ScopedEnv tmp("TMP", "/t1"), temp("TEMP", "/t2"), tmpdir("TMPDIR", "/t3");
  EXPECT_EQ(CoFilePath::tempDir().getPath(), "/t1");
  setTestEnv("TMP", nullptr);
  EXPECT_EQ(CoFilePath::tempDir().getPath(), "/t2");
  setTestEnv("TEMP", nullptr);
  EXPECT_EQ(CoFilePath::tempDir().getPath(), lastPlaces[0]);
  setTestEnv("TMPDIR", nullptr);
  EXPECT_EQ(CoFilePath::tempDir().getPath(), lastPlaces[1]);
  ScopedEnv home("HOME", nullptr);
  EXPECT_EQ(CoFilePath::homeDir().getPath(), lastPlaces[1]);
  setTestEnv("HOME", "/home/kx");
  EXPECT_EQ(CoFilePath::homeDir().getPath(), "/home/kx");
  CoFilePath cwd;
  EXPECT_TRUE(cwd.currentWorkingDir().isDirectory());
  EXPECT_EQ(cwd.isAbsolute(), cwd.getPath()[1] != ':');
}

unsigned modeOf(const CoFilePath& path) {
  struct stat st;
  return ::stat(path.path(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Windows keeps only the user's write mode, as the read-only attribute, and
// shows the user's modes for every class; a directory always reads as
// searchable.
#ifdef _WIN32
constexpr unsigned kDefaultDir = 0777, kUserAllGroupReadDir = 0777;
constexpr unsigned kDefaultFile = 0666, kReadOnlyFile = 0444, kUserWriteExecuteFile = 0666;
#else
constexpr unsigned kDefaultDir = 0755, kUserAllGroupReadDir = 0750;
constexpr unsigned kDefaultFile = 0644, kReadOnlyFile = 0444, kUserWriteExecuteFile = 0321;
#endif

class CoFilePathFs : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(CoFilePathFs, MissingPathQueriesAndSizesOfTwoGiBOrMoreThrow) {
  const CoFilePath missing(dir_ / "nothing.txt");
  EXPECT_FALSE(missing.exists());
  EXPECT_FALSE(missing.access(1));
  EXPECT_FALSE(missing.isFile());
  EXPECT_FALSE(missing.isDirectory());
  EXPECT_STREQ(thrown([&] { missing.size(); }).what(), std::strerror(ENOENT));
  EXPECT_THROW(missing.lastModified(), CoException);
  // A path through a file is missing too, not an error.
  const CoFilePath file(dir_.write("f", "x"));
  EXPECT_FALSE(CoFilePath(file.path(), "below").exists());
  // Sizes are signed 32-bit counts: from 2 GiB on there is no right answer.
  for (const uintmax_t size : {2147483647u, 2147483648u, 4294967295u}) {
    std::filesystem::resize_file(file.path(), size);  // sparse: no disk used
    if (size == INT32_MAX) {
      EXPECT_EQ(file.size(), INT32_MAX);
      continue;
    }
    EXPECT_STREQ(
        thrown([&] { file.size(); }).what(),
        ("File too large (" + std::to_string(size) + " bytes, at most 2147483647)").c_str());
  }
}

// A directory that may be read may be entered, as where these modes come
// from: without that even its owner could not create in it.
TEST_F(CoFilePathFs, CreateDirOptions) {
  CoFilePath deep(dir_.path().c_str(), "a/b/c");
  EXPECT_THROW(deep.createDir(), CoException);
  deep.createDir(CoFilePath::Permissions(), CoFilePath::CREATE_DIR_PARENTS);
  EXPECT_EQ(modeOf(deep), kDefaultDir);
  CoFilePath(deep.path(), "f").createFile();
  const CoException e = thrown([&] { deep.createDir(); });
  EXPECT_STREQ(e.what(), std::strerror(EEXIST));
  EXPECT_EQ(e.expertData(), "_mkdir " + deep.getPath());
  deep.createDir(CoFilePath::Permissions(7, 1, 0), CoFilePath::CREATE_DIR_EXISTING_OK);
  EXPECT_EQ(modeOf(deep), kUserAllGroupReadDir);
}

TEST_F(CoFilePathFs, RemoveRenameAndRemoveDir) {
  CoFilePath file(dir_.write("old", "data"));
  const CoFilePath target(dir_ / "new");
  file.renameTo(target);
  EXPECT_EQ(file, target);
  EXPECT_TRUE(target.isFile());
  EXPECT_FALSE(CoFilePath(dir_ / "old").exists());

  EXPECT_THROW(CoFilePath(dir_.path()).removeDir(), CoException);  // not empty
  file.removeFile();
  EXPECT_FALSE(file.exists());
  file.removeFile(CoFilePath::REMOVE_FILE_MISSING_OK);
  const CoException e = thrown([&] { file.removeFile(); });
  EXPECT_STREQ(e.what(), std::strerror(ENOENT));
  EXPECT_EQ(e.expertData(), "unlink " + file.getPath());
  CoFilePath sub(dir_ / "sub");
  sub.createDir();
  sub.removeDir();
  EXPECT_FALSE(sub.exists());
  EXPECT_THROW(CoFilePath(dir_ / "a").renameTo(CoFilePath(dir_ / "b")), CoException);
}

// In a field 1 is read and 4 execute, the reverse of the Unix bits: the
// modes below read differently the wrong way round.
TEST_F(CoFilePathFs, CreateFileMapsPermissionsAndKeepsOrTruncates) {
  const CoUmask noMask(0);
  CoFilePath file(dir_ / "f.txt");
  file.createFile();
  EXPECT_EQ(modeOf(file), kDefaultFile);
  EXPECT_TRUE(file.access(1 | 2));
  CoFilePath readOnly(dir_ / "read-only");
  readOnly.createFile(CoFilePath::Permissions(1, 1, 1));
  EXPECT_EQ(modeOf(readOnly), kReadOnlyFile);
  readOnly.chmod(CoFilePath::Permissions());  // Windows removes no read-only file
  file.chmod(CoFilePath::Permissions(6, 2, 4));
  EXPECT_EQ(modeOf(file), kUserWriteExecuteFile);
  file.chmod(CoFilePath::Permissions());
  dir_.write("f.txt", "0123456789");
  file.createFile(CoFilePath::Permissions(), false);
  EXPECT_EQ(file.size(), 10);
  file.createFile(CoFilePath::Permissions(), true);
  EXPECT_EQ(file.size(), 0);
  EXPECT_GT(file.lastModified(), 1500000000);
  EXPECT_THROW(CoFilePath(dir_ / "no/such/dir/f").createFile(), CoException);
}

}  // namespace
}  // namespace Kestrix
