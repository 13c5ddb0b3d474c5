// End-to-end: kestrix_servers, kestrix_watch and kestrixd behave as other
// Linux tools do: --help, --version, usage errors with exit code 2, data on
// standard output only, kestrixd -t naming FILE:LINE, and listings that no
// server's display name can corrupt.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/KestrixdProcess.h"
#include "tests/ProcessRunner.h"

namespace {

using KestrixTest::runProgram;
using KestrixTest::RunResult;

const std::string kServers = KESTRIX_SERVERS_BINARY, kServer = KESTRIXD_BINARY;

TEST(CliConventions, HelpVersionAndUsageErrors) {
  for (const std::string& program : {kServers, std::string(KESTRIX_WATCH_BINARY), kServer}) {
    const std::string name = program.substr(program.rfind('/') + 1);
    const RunResult help = runProgram({program, "--help"});
    EXPECT_EQ(help.exitCode, 0) << name;
    EXPECT_EQ(help.out.rfind("Usage: " + program, 0), 0u) << name << help.out;
    EXPECT_EQ(runProgram({program, "--version"}).out, name + " 2020.2.0\n");
    for (const char* bad : {"-x", "stray", "--nope"}) {
      const RunResult r = runProgram({program, bad});
      EXPECT_EQ(r.exitCode, 2) << name << ' ' << bad;
      EXPECT_EQ(r.out + r.err.substr(0, 7), "Usage: ") << name << ' ' << bad << r.err;
    }
  }
}

TEST(CliConventions, CheckingRulesNamesEveryBadLine) {
  char dirTemplate[] = "/tmp/kestrix-cli-XXXXXX";
  const std::string dir = ::mkdtemp(dirTemplate), good = dir + "/good", bad = dir + "/bad";
  KestrixTest::writeFile(good, "[Group a]\nOsType = Linux\nHosts = x\n");
  KestrixTest::writeFile(bad,
                         "# comment\n[Group a]\nHosts = x\nOsType = Plan9\n\n[Mystery]\n"
                         "[Limits]\nMaxClients = 5\nStallTimeoutSeconds = 0\n");
  const RunResult ok = runProgram({kServer, "-t", "-c", good});
  EXPECT_EQ(ok.exitCode, 0) << ok.err;
  EXPECT_EQ(ok.out + ok.err, "ok\n");
  const RunResult r = runProgram({kServer, "-t", "-c", bad});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, bad +
                       ":4: Section [Group a]: 'OsType' names an unknown OS type 'Plan9' "
                       "(Irix, Linux, WindowsNT or MacOSX)\n" +
                       bad +
                       ":6: Unknown section [Mystery] (expected Server, Group, "
                       "HostTranslation, OsTypeTranslation, Limits or Access)\n" +
                       bad +
                       ":9: Section [Limits]: 'StallTimeoutSeconds' must be a positive whole "
                       "number, not '0'\n");
  const RunResult start = runProgram({kServer, "-c", bad, "-p", "1"});
  EXPECT_EQ(start.err.rfind("kestrixd: " + bad + ":4: Section [Group a]", 0), 0u) << start.err;
  std::filesystem::remove_all(dir);
}

// key's string value in a JSON line, its escapes undone; "?" when absent.
std::string jsonField(const std::string& line, const std::string& key) {
  size_t at = line.find("\"" + key + "\":\"");
  if (at == std::string::npos) return "?";
  std::string value;
  for (at += key.size() + 4; at < line.size() && line[at] != '"'; ++at) {
    if (line[at] != '\\' || line[++at] != 'u') {
      value += line[at];
      continue;
    }
    const unsigned code = std::stoul(line.substr(at + 1, 4), nullptr, 16);
    value += code == 0xFFFD ? std::string("\xEF\xBF\xBD") : std::string(1, static_cast<char>(code));
    at += 4;
  }
  return value;
}

TEST(CliConventionsOwnNetns, ListingsKeepTheirColumnsWhateverTheDisplayName) {
  KestrixTest::ServerProcess server("[Server]\nDisplayName = Ev\"il\x01\x1b[31m\tname\\\xff\n");
  const RunResult json = runProgram({kServers, "-j", "-w", "1"});
  EXPECT_EQ(json.exitCode, 0) << json.err;
  ASSERT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 1) << json.out;
  for (char c : json.out) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << json.out;
  EXPECT_EQ(jsonField(json.out, "display_name"), "Ev\"il\x01\x1b[31m\tname\\\xEF\xBF\xBD");
  EXPECT_EQ(jsonField(json.out, "event") + jsonField(json.out, "database"), "=GRYNN");
  EXPECT_NE(json.out.find(",\"node_port\":" + std::to_string(server.port) +
                          ",\"addresses\":[\"127.0.0.1\"]}\n"),
            std::string::npos)
      << json.out;
  const RunResult tabs = runProgram({kServers, "-w", "1"});
  EXPECT_EQ(tabs.out.rfind("=\tEv\"il\\x01\\x1b[31m\\x09name\\\\\\xff\tGRYNN\t", 0), 0u)
      << tabs.out;
  EXPECT_EQ(std::count(tabs.out.begin(), tabs.out.end(), '\t'), 5) << tabs.out;
  const RunResult none = runProgram({kServers, "-d", "NOPE"});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_EQ(none.out + none.err, "No Kestrix server found for database NOPE.\n");
}

}  // namespace
