// End to end across a real interface: kestrixd runs on host B, a child
// network namespace joined to this one (host A) by a veth pair; the built
// commands run here and find it by discovery alone.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "kestrix/client/api/KestrixClientAPI.h"
#include "tests/KestrixdProcess.h"
#include "tests/ProcessRunner.h"

namespace {

using KestrixTest::runProgram;
using KestrixTest::RunResult;

const std::string kStorageId = "0c4f9a2e-7b1d-4e8a-9c3f-5d6e7f8a9b0c";
const std::string kRules =
    "[Server]\nDisplayName = Far: B\nHostName = fs\nDatabase = FILMS\nStorageId = " + kStorageId +
    "\n[Group farm]\nOsType = Linux\nHosts = fs\n[OsTypeTranslation mac]\nsrcType = Linux\n"
    "srcPath = /data\ndstType = MacOSX\ndstPath = /Volumes/data\n";

bool acceptsOnB() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, htons(7549), {inet_addr("198.18.0.2")}, {}};
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

class DiscoveryAcrossVeth : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    hostB_ = ::fork();
    if (hostB_ == 0) {  // host B: a namespace that lives as long as this process
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      const char made = ::unshare(CLONE_NEWNET) == 0 ? '1' : '0';
      (void)!::write(ready[1], &made, 1);
      ::pause();
      ::_exit(0);
    }
    ::close(ready[1]);
    char made = '0';
    (void)!::read(ready[0], &made, 1);
    ::close(ready[0]);
    const std::string b = std::to_string(hostB_);
    const RunResult r = runProgram(
        {"/bin/sh", "-c",
         "set -e; ip link add kxa type veth peer name kxb netns " + b +
             "; ip addr add 198.18.0.1/24 dev kxa; ip link set kxa up multicast on; nsenter -t " +
             b +
             " -n sh -c 'set -e; ip link set lo up multicast on; ip addr add 198.18.0.2/24 dev kxb;"
             " ip link set kxb up multicast on; ip route add 224.0.0.0/4 dev kxb'"});
    notMade_ = made == '1' && r.exitCode == 0 ? "" : "no second namespace joined by veth: " + r.err;
  }
  static void TearDownTestSuite() {
    ::kill(hostB_, SIGKILL);
    ::waitpid(hostB_, nullptr, 0);
  }

  void SetUp() override {
    if (!notMade_.empty()) GTEST_SKIP() << notMade_;
    char dirTemplate[] = "/tmp/kestrix-e2e-XXXXXX";
    dir_ = ::mkdtemp(dirTemplate);
    KestrixTest::writeFile(dir_ + "/rules.conf", kRules);
    const std::string ns = "/proc/" + std::to_string(hostB_) + "/ns/net", log = dir_ + "/log";
    server_ = ::fork();
    if (server_ == 0) {  // kestrixd on host B
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      const int fd = ::open(ns.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) ::_exit(126);
      std::freopen(log.c_str(), "w", stdout);
      ::dup2(1, 2);
      ::setenv("STATE_DIRECTORY", dir_.c_str(), 1);
      const std::string rules = dir_ + "/rules.conf";
      ::execl(KESTRIXD_BINARY, KESTRIXD_BINARY, "-c", rules.c_str(), "-p", "7549", nullptr);
      ::_exit(127);
    }
    for (int i = 0; i < 300 && !acceptsOnB(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(acceptsOnB()) << KestrixTest::readFile(log);
  }
  void TearDown() override {
    stopServer();
    std::filesystem::remove_all(dir_);
  }
  int stopServer() {
    int status = -1;
    if (server_ > 0 && ::kill(server_, SIGTERM) == 0) ::waitpid(server_, &status, 0);
    server_ = -1;
    return status;
  }

  static inline pid_t hostB_ = -1;
  static inline std::string notMade_;
  pid_t server_ = -1;
  std::string dir_;
};

const std::string kLine = "Far: B\tFILMS\t" + kStorageId + "\t7549\t";

TEST_F(DiscoveryAcrossVeth, ServersListsHostBAndFiltersByDatabase) {
  RunResult r = runProgram({KESTRIX_SERVERS_BINARY});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.rfind(kLine, 0), 0u) << r.out;
  EXPECT_NE(r.out.find("198.18.0.2", kLine.size()), std::string::npos) << r.out;
  r = runProgram({KESTRIX_SERVERS_BINARY, "-d", "OTHERDB"});
  EXPECT_EQ(r.out, "No Kestrix server found for database OTHERDB.\n");
  EXPECT_EQ(r.exitCode, 1);
  // An empty group in the network configuration stops the commands cleanly.
  const std::string config = dir_ + "/network.cfg";
  KestrixTest::writeFile(config, "[SelfDiscovery]\nScope =\n");
  r = runProgram({"/usr/bin/env", "QV_NETWORK_CFG_FILE=" + config, KESTRIX_SERVERS_BINARY});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Bad [SelfDiscovery] Scope '' in " + config +
                       ": not an IPv4 multicast address (224.0.0.0 to 239.255.255.255)\n");
}

// No port given: only discovery knows B's node port for this database.
TEST_F(DiscoveryAcrossVeth, CommandFindsHostBByAddressAndDatabase) {
  const auto translate = [](const std::string& host) {
    return runProgram({KESTRIX_TRANSLATE_PATH_BINARY, "-h", host, "-p", "/data/a", "-H", "newhost",
                       "-O", "MacOSX"});
  };
  EXPECT_EQ(translate("198.18.0.2:FILMS").out, "/Volumes/data/a\n");
  const RunResult r = translate("198.18.0.2:OTHERDB");
  EXPECT_EQ(r.out,
            "Unable to translate paths on server '198.18.0.2:OTHERDB' to local path: No "
            "Kestrix server found for '198.18.0.2:OTHERDB' (kestrix_servers lists the "
            "servers discovery knows)\n");
  EXPECT_EQ(r.exitCode, 1);
}

TEST_F(DiscoveryAcrossVeth, LibraryFindsHostBByStorageIdAlone) {
  KestrixClient client;
  ASSERT_TRUE(client.init());
  KestrixServerId id;
  id.setStorageId(kStorageId.c_str());
  KestrixServerHandle server(id);
  KestrixStrList paths, results;
  paths.push_back("/data/a");
  ASSERT_TRUE(server.translatePaths(paths, results, nullptr, "newhost", KestrixOS::OS_TYPE_UNKNOWN,
                                    KestrixOS::OS_TYPE_MACOSX))
      << server.lastError();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_STREQ(results[0], "/Volumes/data/a");
}

TEST_F(DiscoveryAcrossVeth, WatchPrintsRemovalWhenHostBStops) {
  FILE* watch = ::popen(KESTRIX_SERVERS_BINARY " -w 3", "r");
  ASSERT_NE(watch, nullptr);
  char line[1024] = "";
  ASSERT_NE(std::fgets(line, sizeof line, watch), nullptr);
  EXPECT_EQ(std::string(line).rfind(kLine, 0), 0u) << line;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // listening by now
  EXPECT_EQ(stopServer(), 0);
  std::string rest;
  while (std::fgets(line, sizeof line, watch) != nullptr) rest += line;
  EXPECT_EQ(::pclose(watch), 0);
  EXPECT_NE(rest.find("-\t" + kLine), std::string::npos) << rest;
}

}  // namespace
