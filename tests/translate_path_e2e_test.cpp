// End-to-end: the built kestrix_translate_path run as a user would against a
// running kestrixd, comparing exact standard output and exit codes; and
// kestrixd's own behaviour as a process (rule reload, bad requests,
// shut-down).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/base/rcApi/rcAPI.h"
#include "common/base/rcApi/rcAttrStream.h"
#include "kestrix/client/api/KestrixClientAPI.h"
#include "kestrix/client/api/KestrixDaemonInfo.h"
#include "tests/KestrixdProcess.h"
#include "tests/ProcessRunner.h"

namespace {

using KestrixTest::freePort;
using KestrixTest::readFile;
using KestrixTest::runProgram;
using KestrixTest::ServerProcess;
using KestrixTest::writeFile;
using KestrixTest::RunResult;

const std::string kCommand = KESTRIX_TRANSLATE_PATH_BINARY;
const std::string kServer = KESTRIXD_BINARY;

const char* const kUsage =
    "  [-h <host name or IP of Kestrix server> (default = localhost)]\n"
    "  [-p <path on Kestrix server host to translate>]\n"
    "  [-f <file containing paths on remote host to translate to \n"
    "      path on the local host, delimited by new lines>]\n"
    "  [-H <destination host name> (default = localhost)]\n"
    "  [-O <destination operating system> (Irix,Linux,WindowsNT,MacOSX)]\n\n"
    "  Either -p or -f must be specified, but not both.\n"
    "\n";

std::string usage() { return "Usage: " + kCommand + "\n" + kUsage; }

const char* const kRules =
    "[Server]\n"
    "DisplayName = Studio: Main\n"  // this server's own name, not "host:port"
    "HostName = fs\n"
    "[Group farm]\n"
    "OsType = Linux\n"
    "Hosts = fs, r1\n"
    "[Group edit]\n"
    "OsType = WindowsNT\n"
    "Hosts = e1\n"
    "[HostTranslation data]\n"
    "srcHost = fs\n"
    "srcPath = /data\n"
    "dstHost = e1\n"
    "dstPath = D:\\data\n"
    "[OsTypeTranslation mac]\n"
    "srcType = Linux\n"
    "srcPath = /data\n"
    "dstType = MacOSX\n"
    "dstPath = /Volumes/data\n";

RunResult command(std::vector<std::string> args) {
  args.insert(args.begin(), kCommand);
  return runProgram(args);
}

class TranslatePathTest : public ::testing::Test {
 protected:
  ServerProcess server{kRules};

  void expectOutput(const std::vector<std::string>& args, const std::string& out, int code) {
    const RunResult r = command(args);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "") << "nothing goes to standard error";
    EXPECT_EQ(r.exitCode, code);
  }
};

TEST_F(TranslatePathTest, UsageErrorsPrintUsageAndExitOne) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-p", "/a", "-f", "/b"},
      {"-p", ""},
      {"-p"},
      {"-x", "v"},
      {"-:"},
      {"--", "-p", "/a"},
      {"-", "-p", "/a"},
      {"word", "-p", "/a"},
      {"/"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    expectOutput(args, usage(), 1);
  }
}

TEST_F(TranslatePathTest, TranslatesOrSaysWhy) {
  const std::string s = server.address(), dir = server.dir();
  const std::string closed = "127.0.0.1:" + std::to_string(freePort());
  const auto failed = [](const std::string& host, const std::string& why) {
    return "Unable to translate paths on server '" + host + "' to local path: " + why + "\n";
  };
  writeFile(dir + "/lines.txt", "/data/a b\r\n\r\n\n/data/c\r\n");
  writeFile(dir + "/empty.txt", "");
  writeFile(dir + "/ends.txt", "/data/x\\\n/data/a b\n");
  expectOutput({"-h", s, "-f", "/nonexistent/paths.txt"},
               "Cannot read path file '/nonexistent/paths.txt': No such file or directory\n", 1);
  EXPECT_EQ(readFile(server.logPath).find("Connection ["), std::string::npos)
      << "the command connected although the file was missing";
  const std::vector<std::tuple<std::vector<std::string>, std::string, int>> cases = {
      {{"-h", s, "/p", "/data/x", "-H", "e1"}, "D:\\data\\x\n", 0},
      {{"-h" + s, "-pabc", "-H", "r1"}, "abc\n", 0},
      // "-h" is the path; with no -h discovery finds the local host's server.
      {{"-p", "-h"}, "-h\n", 0},
      {{"-h", s, "-p", "/data/a", "-H", "newhost", "-O", "mAcOsX"}, "/Volumes/data/a\n", 0},
      {{"-h", s, "-p", "/data/a", "-H", "newhost", "-O", "BeOS"},
       failed(s, "No translation for path '/data/a' from host 'fs' to host 'newhost'"),
       1},
      {{"-h", s, "-p", "/srv/x", "-H", "e1"},
       failed(s, "No translation for path '/srv/x' from host 'fs' to host 'e1'"),
       1},
      {{"-h", closed, "-p", "/data/x"}, failed(closed, "Connection refused"), 1},
      {{"-h", s, "-f", dir + "/lines.txt", "-H", "e1"}, "D:\\data\\a b\nD:\\data\\c\n", 0},
      // An empty list is still one request.
      {{"-h", s, "-f", dir + "/empty.txt", "-H", "e1"}, "", 0},
      {{"-h", closed, "-f", dir + "/empty.txt"}, failed(closed, "Connection refused"), 1},
      // Paths travel quoted but unescaped: a '\' before a closing quote is the path's own.
      {{"-h", s, "-f", dir + "/ends.txt", "-H", "e1"}, "D:\\data\\x\\\nD:\\data\\a b\n", 0},
      {{"-h", s, "-p", "/data/a\"b\\", "-H", "e1"}, "D:\\data\\a\"b\\\n", 0},
      // No -H: the destination is the server's own host ("127.0.0.1:port"), so paths stay.
      {{"-h", s, "-p", "M:\\"}, "M:\\\n", 0},
  };
  for (const auto& [args, out, code] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    expectOutput(args, out, code);
  }
}

TEST_F(TranslatePathTest, PathFileOfTwoGiBOrMoreIsRefused) {
  const std::string file = server.dir() + "/huge.txt";
  writeFile(file, "/data/a\n");
  for (const std::string size : {"4294967295", "2147483648"}) {
    ASSERT_EQ(::truncate(file.c_str(), std::stoll(size)), 0);  // sparse
    expectOutput({"-h", server.address(), "-f", file, "-H", "e1"},
                 "Cannot read path file '" + file + "': File too large (" + size +
                     " bytes, at most 2147483647)\n",
                 1);
  }
}

// ---- kestrixd as a process --------------------------------------------------

std::string translateOnce(const ServerProcess& server, const std::string& path) {
  return command({"-h", server.address(), "-p", path, "-H", "e1"}).out;
}

TEST(KestrixdProcess, ReloadsRulesOnHangUpAndKeepsThemWhenBad) {
  ServerProcess server(kRules);
  ASSERT_EQ(translateOnce(server, "/data/x"), "D:\\data\\x\n");

  std::string changed = kRules;
  changed.replace(changed.find("dstPath = D:\\data"), 17, "dstPath = E:\\media");
  writeFile(server.rulesPath, changed);
  server.signal(SIGHUP);
  std::string out;
  for (int i = 0; i < 100 && (out = translateOnce(server, "/data/x")) != "E:\\media\\x\n"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(out, "E:\\media\\x\n");

  writeFile(server.rulesPath,
            std::string(kRules) + "[OsTypeTranslation broken]\nsrcType = Plan9\n");
  server.signal(SIGHUP);
  std::string log;
  for (int i = 0; i < 100 && (log = readFile(server.logPath)).find("keeping") == std::string::npos;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(log.find("kestrixd: keeping the current rules: Section [OsTypeTranslation broken]"),
            std::string::npos)
      << log;
  EXPECT_EQ(translateOnce(server, "/data/x"), "E:\\media\\x\n");
}

TEST(KestrixdProcess, BadRequestsGetErrorsAndOthersAreStillServed) {
  ServerProcess server(kRules);
  Kestrix::rcAPI api;
  ASSERT_TRUE(api.connect("127.0.0.1", server.port, 3000)) << api.lastError();
  std::string result;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\"fs\" 2 \"e1\"", "TranslatePaths takes 5 parameters"},
      {"\"fs\" 2 \"e1\" 3 \"/data\" extra", "TranslatePaths takes 5 parameters"},
      {"\"fs\" 9 \"e1\" 3 \"/data\"", "Unknown source OS type '9'"},
      {"\"fs\" 2 \"e1\" x \"/data\"", "Unknown destination OS type 'x'"},
      {"\"\" 2 \"e1\" 3 \"/data\"", "Invalid source host name given"},
      {"\"fs\" 2 \"\" 3 \"/data\"", "Invalid destination host name given"},
  };
  for (const auto& [params, error] : cases) {
    EXPECT_FALSE(api.call(0, "TranslatePaths", params.c_str(), true, result, 3000)) << params;
    EXPECT_EQ(result.rfind(error, 0), 0u) << result;
  }
  Kestrix::rcAPI other;
  ASSERT_TRUE(other.connect("127.0.0.1", server.port, 3000));
  EXPECT_TRUE(other.call(0, "Ping", "", true, result, 3000));
  EXPECT_TRUE(api.call(0, "TranslatePaths",
                       "\"fs\" 2 \"e1\" 3 \"/data/a,b\",\"/data/c\\\",\"/data/d\"", true, result,
                       3000));
  EXPECT_EQ(result, "D:\\data\\a,b,D:\\data\\c\\,D:\\data\\d");
  EXPECT_TRUE(api.call(0, "QueryVersion", "", true, result, 3000));
  EXPECT_EQ(result, "2020 2");
}

TEST(KestrixdProcess, RulesAndDescriptionThroughTheFacade) {
  ServerProcess server(kRules);
  KestrixClient client;
  ASSERT_TRUE(client.init());
  KestrixServerHandle handle(KestrixServerId(server.address().c_str()));
  KestrixServerHandle::TranslationGroup group;
  ASSERT_TRUE(handle.getTranslationGroup(1, group)) << handle.lastError();
  EXPECT_STREQ(group.getGroupName(), "edit");
  EXPECT_STREQ(group.getOSType(), "WindowsNT");
  ASSERT_EQ(group.getNumHosts(), 1);
  EXPECT_STREQ(group.getHost(0), "e1");
  KestrixServerHandle::HostTranslation host;
  ASSERT_TRUE(handle.getHostTranslation(0, host)) << handle.lastError();
  EXPECT_STREQ(host.getSourceHost(), "fs");
  EXPECT_STREQ(host.getDestinationPath(), "D:\\data");
  KestrixServerHandle::OsTypeTranslation os;
  ASSERT_TRUE(handle.getOsTypeTranslation(0, os)) << handle.lastError();
  EXPECT_STREQ(os.getSourceType(), "Linux");
  EXPECT_STREQ(os.getDestinationType(), "MacOSX");
  EXPECT_STREQ(os.getDestinationPath(), "/Volumes/data");
  EXPECT_STREQ(handle.getHostName(), "fs");
  KestrixStr name;
  ASSERT_TRUE(handle.getDisplayName(name));
  EXPECT_STREQ(name.c_str(), "Studio: Main");

  Kestrix::rcAPI api;
  ASSERT_TRUE(api.connect("127.0.0.1", server.port, 3000));
  std::string list;
  ASSERT_TRUE(api.call(0, "GetDaemonList", "", true, list, 3000)) << list;
  const Kestrix::rcAttrStream stream(list);
  int count = 0;
  ASSERT_TRUE(stream.getIntValue("Count", count));
  EXPECT_GE(count, 1);  // itself first, then whatever else it heard
  std::string node;
  ASSERT_TRUE(stream.getStringValue("Node0", node));
  const KestrixDaemonInfo self{Kestrix::rcAttrStream(node)};
  EXPECT_EQ(self.getNodePort(), server.port);
  EXPECT_STREQ(self.getMetadataIP(0), "127.0.0.1");
}

TEST(KestrixdProcess, ShutdownOnlyWhereAccessAllowsIt) {
  ServerProcess closed(kRules);
  Kestrix::rcAPI api;
  ASSERT_TRUE(api.connect("127.0.0.1", closed.port, 3000));
  std::string result;
  EXPECT_FALSE(api.call(0, "Shutdown", "", true, result, 3000));
  EXPECT_EQ(result, "Shutdown is disabled by [Access] AllowShutdown");
  api.disconnect();
  ServerProcess server(std::string(kRules) + "[Access]\nAllowShutdown = loopback\n");
  ASSERT_TRUE(api.connect("127.0.0.1", server.port, 3000));
  EXPECT_TRUE(api.call(0, "Shutdown", "", true, result, 3000)) << result;
  EXPECT_EQ(server.waitExit(5000), 0);
}

TEST(KestrixdProcess, BadRulesFileAtStartIsRefused) {
  char dirTemplate[] = "/tmp/kestrix-e2e-XXXXXX";
  const std::string dir = ::mkdtemp(dirTemplate);
  writeFile(dir + "/bad.conf", "[Mystery]\nx = 1\n");
  const RunResult r = runProgram({kServer, "-c", dir + "/bad.conf", "-p", "1"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Unknown section [Mystery]"), std::string::npos) << r.err;
  const RunResult missing = runProgram({kServer, "-c", dir + "/none.conf"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("Cannot read rules file"), std::string::npos) << missing.err;
  writeFile(dir + "/limit.conf", "[Limits]\nMaxClients = 0\n");
  const RunResult badLimit = runProgram({kServer, "-c", dir + "/limit.conf", "-p", "1"});
  EXPECT_EQ(badLimit.exitCode, 1);
  EXPECT_NE(badLimit.err.find("'MaxClients' must be a positive whole number, not '0'"),
            std::string::npos)
      << badLimit.err;
  for (const auto& [access, error] :
       {std::pair<std::string, std::string>{"AllowFrom = 10.0.0.0/33", "'AllowFrom' takes"},
        {"AllowShutdown = maybe", "'AllowShutdown' is no, loopback or yes"},
        {"SecretFile = " + dir + "/none", "Cannot use the secret file"}}) {
    writeFile(dir + "/access.conf", "[Access]\n" + access + "\n");
    const RunResult bad = runProgram({kServer, "-c", dir + "/access.conf", "-p", "1"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.err.find(error), std::string::npos) << bad.err;
  }
  const RunResult badPort = runProgram({kServer, "-p", "70000"});
  EXPECT_EQ(badPort.exitCode, 2);
  std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
