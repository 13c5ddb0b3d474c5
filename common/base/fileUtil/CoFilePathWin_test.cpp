// What only Windows builds do: UTF-8 paths reach the system as UTF-16,
// whichever separators they are written with, and the user's write mode is
// the read-only attribute.

#include <windows.h>

#include <string>
#include <vector>

#include "common/base/fileUtil/CoConfigFileReader.h"
#include "common/base/fileUtil/CoFileIO.h"
#include "common/base/fileUtil/CoFileScanner.h"
#include "common/base/fileUtil/CoSysErrorWin.h"
#include "common/base/fileUtil/FileUtilTestSupport.h"

namespace Kestrix {
namespace {

// The temporary directory's name is ASCII: the rest is spelled in UTF-16.
bool isWideFile(const TempDir& temp, const wchar_t* rest) {
  const std::wstring path = std::filesystem::path(temp.path()).wstring() + rest;
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(CoFilePathWin, Utf8NamesWithEitherSeparator) {
  const TempDir temp;
  // "déjà €" and "α": outside every single ANSI code page together.
  CoFilePath dir(temp.path() + "\\d\xC3\xA9j\xC3\xA0 \xE2\x82\xAC");
  dir.createDir();
  CoFileIO file(dir.path(), "\xCE\xB1.txt");
  file.openFile("w");
  file.putStr("abc");
  file.closeFile();
  EXPECT_TRUE(isWideFile(temp, L"\\d\u00E9j\u00E0 \u20AC\\\u03B1.txt"));
  EXPECT_EQ(CoFilePath(dir.getPath() + "\\\xCE\xB1.txt").size(), 3);

  CoFileScanner scanner(CoFileScanner::RELATIVE_PATHS);
  scanner.scan(CoFilePath(temp.path()), CoFileScanner::Options(1));
  ASSERT_EQ(scanner.getPaths().size(), 1u);
  EXPECT_EQ(scanner.getPaths()[0].getPath(), dir.baseName() + "/\xCE\xB1.txt");

  CoConfigFileReader config;
  config.put("S", "k", "v");
  ASSERT_EQ(config.write(CoFilePath(dir.path(), "\xCF\x89.cfg").path()), 0);
  EXPECT_EQ(CoConfigFileReader(CoFilePath(dir.path(), "\xCF\x89.cfg").path()).get("S", "k", ""),
            "v");
  file.renameTo(CoFilePath(dir.path(), "\xCF\x88.txt"));
  EXPECT_TRUE(isWideFile(temp, L"\\d\u00E9j\u00E0 \u20AC\\\u03C8.txt"));
}

TEST(CoFilePathWin, UserWriteModeIsTheReadOnlyAttribute) {
  const TempDir temp;
  CoFilePath file(temp / "ro.txt");
  file.createFile(CoFilePath::Permissions(1, 3, 3));
  EXPECT_TRUE(file.access(1));
  EXPECT_FALSE(file.access(2));
  EXPECT_THROW(file.removeFile(), CoException);
  file.chmod(CoFilePath::Permissions(2, 0, 0));
  EXPECT_TRUE(file.access(1 | 2));
  file.removeFile();
  EXPECT_FALSE(file.exists());
}

// The system's messages end with a line break that would split a log line.
TEST(CoFilePathWin, SystemErrorTextsAreOneLineEach) {
  const std::string notFound = coWinErrorText(ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(notFound.empty());
  EXPECT_EQ(notFound.find_first_of("\r\n"), std::string::npos) << notFound;
  EXPECT_NE(coWinErrorText(ERROR_ACCESS_DENIED), notFound);
}

}  // namespace
}  // namespace Kestrix
