// The Windows programs, cross-built and run under wine, against the Linux
// kestrixd: by address, by name through discovery, and the server list.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/KestrixdProcess.h"
#include "tests/ProcessRunner.h"

namespace {

using KestrixTest::RunResult;
using KestrixTest::ServerProcess;

const char* const kRules =
    "[Server]\n"
    "DisplayName = Windows E2E\n"
    "HostName = fs\n"
    "[Group edit]\n"
    "OsType = WindowsNT\n"
    "Hosts = e1\n"
    "[HostTranslation data]\n"
    "srcHost = fs\n"
    "srcPath = /data\n"
    "dstHost = e1\n"
    "dstPath = D:\\data\n";

// Wine's first start in a fresh prefix takes several seconds.
RunResult windows(const char* program, std::vector<std::string> args) {
  args.insert(args.begin(), {WINE_RUN, program});
  return KestrixTest::runProgram(args, 60000);
}

std::string hostName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

class WindowsProgramsTest : public ::testing::Test {
 protected:
  ServerProcess server{kRules};
};

TEST_F(WindowsProgramsTest, TranslateByAddressAndByNameThroughDiscovery) {
  ASSERT_TRUE(KestrixTest::accepts(server.port)) << server.log();
  for (const std::string& host : {server.address(), hostName()}) {
    SCOPED_TRACE(host);
    const RunResult r =
        windows(KESTRIX_TRANSLATE_PATH_EXE, {"-h", host, "-p", "/data/a b", "-H", "e1"});
    EXPECT_EQ(r.out, "D:\\data\\a b\r\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
  }
  const std::string closed = "127.0.0.1:" + std::to_string(KestrixTest::freePort());
  const RunResult refused = windows(KESTRIX_TRANSLATE_PATH_EXE, {"-h", closed, "-p", "/data/a"});
  EXPECT_EQ(refused.out.rfind("Unable to translate paths on server '" + closed + "'", 0), 0u)
      << refused.out;
  EXPECT_EQ(refused.exitCode, 1);
}

// The library from the zip, linked into another project's program.
TEST_F(WindowsProgramsTest, ConsumerOfTheZipTranslates) {
  ASSERT_TRUE(KestrixTest::accepts(server.port)) << server.log();
  const RunResult r = windows(KESTRIX_CONSUMER_EXE, {server.address(), "/data/x", "e1"});
  EXPECT_EQ(r.out, "D:\\data\\x\r\n") << r.err;
  EXPECT_EQ(r.exitCode, 0);
}

TEST_F(WindowsProgramsTest, ServerListShowsKestrixd) {
  ASSERT_TRUE(KestrixTest::accepts(server.port)) << server.log();
  const RunResult r = windows(KESTRIX_SERVERS_EXE, {});
  EXPECT_NE(r.out.find("\t" + std::to_string(server.port) + "\t"), std::string::npos) << r.out << r.err;
  EXPECT_NE(r.out.find("Windows E2E"), std::string::npos) << r.out;
  EXPECT_EQ(r.exitCode, 0);
}

}  // namespace
