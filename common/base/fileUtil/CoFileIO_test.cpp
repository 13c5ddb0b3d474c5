#include "common/base/fileUtil/CoFileIO.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "common/base/fileUtil/FileUtilTestSupport.h"
#include "common/base/loggerBase/CoException.h"

namespace Kestrix {
namespace {

using Preallocator = CoFileIO::Preallocator;

class CoFileIOTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(CoFileIOTest, WriteThenReadBackShortReadsStopAtEndOfFile) {
  CoFileIO file(dir_ / "out.txt");
  file.openFile("w+");
  EXPECT_EQ(file.write(std::string("01")), 2u);
  EXPECT_EQ(file.putStr("23"), 2u);
  file.putChar('4');
  EXPECT_EQ(file.print("%d%s", 56, "789"), 5);
  file.flushFile();
  EXPECT_EQ(file.size(), 10);
  file.seek(0);
  char buffer[32] = {};
  EXPECT_EQ(file.read(buffer, 1, 20), 10u);
  EXPECT_TRUE(file.isEOF());
  file.seek(4);
  EXPECT_FALSE(file.isEOF());
  EXPECT_EQ(file.read(buffer, 3, 2), 2u);  // whole items only
  EXPECT_EQ(std::string(buffer, 6), "456789");
  EXPECT_EQ(file.getChar(), EOF);
  file.closeFile();
  EXPECT_EQ(file.openAndReadASCIIFile(), "0123456789");
  EXPECT_EQ(file.filePtr(), nullptr);
}

TEST_F(CoFileIOTest, StreamErrorsThrow) {
  CoFileIO missing(dir_.path().c_str(), "missing.txt");
  const CoException e = thrown([&] { missing.openFile("r"); });
  EXPECT_STREQ(e.what(), std::strerror(ENOENT));
  EXPECT_EQ(e.expertData(), "Could not open \"" + missing.getPath() + "\" (flags:r)");
  EXPECT_EQ(missing.filePtr(), nullptr);
  CoFileIO file(dir_.write("ro", "data"));
  file.openFile("r");
  EXPECT_THROW(file.write("x", 1, 1), CoException);
  thrown([&] { file.closeFile(); });  // Windows fails the close of such a stream too
  EXPECT_EQ(file.filePtr(), nullptr);
  CoFileIO dir(dir_.path());
  char c;
#ifdef _WIN32
  EXPECT_STREQ(thrown([&] { dir.openFile("r"); }).what(), std::strerror(EACCES));
#else
  dir.openFile("r");  // a directory opens, but cannot be read
  EXPECT_STREQ(thrown([&] { dir.read(&c, 1, 1); }).what(), std::strerror(EISDIR));
#endif
  EXPECT_THROW(CoFileIO(dir_ / "gone").openAndReadASCIIFile(), CoException);
  CoFileIO never(dir_ / "never");
  EXPECT_THROW(never.read(&c, 1, 1), CoException);  // no stream: an error, not a crash
}

// Buffered bytes reach /dev/full only when the stream is closed.
TEST_F(CoFileIOTest, WriteErrorAtCloseIsReported) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no device that is always full";
#endif
  MsgCapture capture;
  for (const bool explicitly : {true, false}) {
    CoFileIO file("/dev/full");
    file.openFile("w");
    file.putStr("lost");
    if (!explicitly) continue;  // destruction closes it
    const CoException e = thrown([&] { file.closeFile(); });
    EXPECT_STREQ(e.what(), std::strerror(ENOSPC));
    EXPECT_STREQ(e.expertData(), "Could not close \"/dev/full\"");
    EXPECT_EQ(file.filePtr(), nullptr);
  }
  EXPECT_EQ(capture.texts(CoMsg::LEVEL_WARN),
            std::vector<std::string>{"Could not close \"/dev/full\": " +
                                     std::string(std::strerror(ENOSPC))});
}

TEST_F(CoFileIOTest, MoveTakesTheStreamAndAnAdoptedOneIsNeverClosed) {
  CoFileIO a(dir_.write("m", "xyz"));
  a.openFile("r");
  CoFileIO b(std::move(a));
  EXPECT_EQ(a.filePtr(), nullptr);  // NOLINT(bugprone-use-after-move)
  ASSERT_NE(b.filePtr(), nullptr);
  EXPECT_EQ(b.getChar(), 'x');
  b.setPath(dir_ / "other");
  EXPECT_EQ(b.filePtr(), nullptr);
  {
    CoFileIO out(dir_ / "m");
    out.openFile("r");
    out.setFilePtr(stdout);
    EXPECT_EQ(out.getPath(), "");
  }
  EXPECT_NE(std::fflush(stdout), EOF);
}

TEST(CoFileIOPreallocator, NamesAndParsing) {
  MsgCapture capture;
  EXPECT_EQ(Preallocator::getMethodFromStr("rEsErVe"), Preallocator::METHOD_RESERVE);
  EXPECT_EQ(Preallocator::getFileSystemFromStr("smb/cifs"), Preallocator::FS_SMB);
  EXPECT_TRUE(capture.messages().empty());
  // "Invalid" names the value -1 but is never parsed.
  EXPECT_EQ(Preallocator::getMethodFromStr("Invalid"), Preallocator::METHOD_INVALID);
  EXPECT_EQ(Preallocator::getFileSystemFromStr("ext4"), Preallocator::FS_UNKNOWN);
  EXPECT_EQ(capture.texts(CoMsg::LEVEL_WARN),
            (std::vector<std::string>{"Invalid media preallocation type string 'Invalid'",
                                      "Invalid file system type string 'ext4'"}));
  EXPECT_STREQ(Preallocator::getMethodStr(Preallocator::METHOD_INVALID), "Invalid");
  EXPECT_STREQ(Preallocator::getMethodStr(static_cast<Preallocator::Method>(9)), "");
}

TEST_F(CoFileIOTest, PreallocateReservesOrRefuses) {
  CoFileIO file(dir_ / "big.bin");
  Preallocator chosen(file);  // the file does not exist yet: its directory decides
#ifdef _WIN32
  EXPECT_EQ(chosen.getFileSystem(), Preallocator::FS_UNKNOWN);  // Windows tells none
  EXPECT_EQ(chosen.getMethod(), Preallocator::METHOD_NONE);
#else
  EXPECT_NE(chosen.getFileSystem(), Preallocator::FS_UNKNOWN);
#endif
  EXPECT_TRUE(chosen.isSupported());

  Preallocator none(Preallocator::METHOD_NONE, Preallocator::FS_UNKNOWN);
  file.preallocate(0, 4096, none);
  EXPECT_EQ(file.size(), 0);
  const Preallocator::FileSystem fs = Preallocator::findFileSystem(file.filePtr());
  if (fs == Preallocator::FS_GENERIC || fs == Preallocator::FS_XFS) {
    Preallocator fallocate(Preallocator::METHOD_FALLOCATE, Preallocator::FS_UNKNOWN);
    file.preallocate(0, 4096, fallocate);
    EXPECT_EQ(file.size(), 4096);
  }
  MsgCapture capture;
  Preallocator reserve(Preallocator::METHOD_RESERVE, Preallocator::FS_NFS);
  EXPECT_STREQ(thrown([&] { file.preallocate(0, 1, reserve); }).what(),
               "Unsupported preallocation type");
  EXPECT_EQ(capture.texts(CoMsg::LEVEL_ERROR),
            std::vector<std::string>{
                "Unsupported preallocation type 'Reserve' on filesystem type 'NFS'."});
}

}  // namespace
}  // namespace Kestrix
