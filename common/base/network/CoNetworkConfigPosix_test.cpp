// Reading the file itself: the Linux build loads it when it exists.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/base/loggerBase/CoTestMsgCapture.h"
#include "common/base/network/CoNetworkConfig.h"
#include "common/base/network/NetworkTestSupport.h"

namespace Kestrix {
namespace {

using CoNetworkConfigTest = NetworkTestSupport::ConfigFileTest;

TEST_F(CoNetworkConfigTest, FilePinsInterfacesAndDiscoverySettings) {
  CoTestMsgCapture capture;
  useFile(
      "[Local]\nUUID = 0F1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9\nDisplayName = Edit Bay 3\n"
      "[Interfaces]\nData = kxa, *\nMetadata = kxa,,lo\nMulticast =  kxb \n"
      "[SelfDiscovery]\nPort = 7600\nScope = 239.1.2.3\nTTL = 300\n");
  std::vector<std::string> data, metadata, multicast;
  unsigned int port = 7555, ttl = 1;
  std::string scope, uuid, name;
  config.getDataInterfaces(data);
  config.getMetadataInterfaces(metadata);
  config.getMulticastInterfaces(multicast);
  EXPECT_EQ(data, (std::vector<std::string>{"kxa", "*"}));
  EXPECT_EQ(metadata, (std::vector<std::string>{"kxa", "", "lo"}));
  EXPECT_EQ(multicast, std::vector<std::string>{"kxb"});
  config.getSelfDiscoveryPort(port);
  config.getSelfDiscoveryScope(scope);
  EXPECT_EQ(port, 7600u);
  EXPECT_EQ(scope, "239.1.2.3");
  EXPECT_TRUE(config.getUUID(uuid) && config.getDisplayName(name));
  EXPECT_EQ(uuid, "0F1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9");
  EXPECT_EQ(name, "Edit Bay 3");
  // A TTL out of range keeps the caller's value, with one warning a load.
  config.getSelfDiscoveryTTL(ttl);
  config.getSelfDiscoveryTTL(ttl);
  EXPECT_EQ(ttl, 1u);
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_NE(capture.lines()[0].text.find("SelfDiscovery/TTL '300'"), std::string::npos);
}

// Discovery on another group or port than the site's finds nobody.
TEST_F(CoNetworkConfigTest, BadDiscoveryScopeOrPortIsAnErrorNamingKeyAndFile) {
  unsigned int port = 7555;
  std::string scope = "224.0.0.1", error;
  for (const std::string bad : {"Scope =", "Scope = 10.1.2.3", "Scope = 240.0.0.1",
                                "Scope = 224.1.2", "Port = 0", "Port = 65536"}) {
    useFile(("[SelfDiscovery]\n" + bad + "\n").c_str());
    CoTestMsgCapture capture;
    EXPECT_FALSE(config.checkSelfDiscovery(error));
    EXPECT_EQ(error.rfind("Bad [SelfDiscovery] " + bad.substr(0, 4), 0), 0u) << error;
    EXPECT_NE(error.find(" in " + file + ": not "), std::string::npos) << error;
    for (int i = 0; i < 2; ++i)
      EXPECT_FALSE(config.getSelfDiscoveryScope(scope) && config.getSelfDiscoveryPort(port));
    EXPECT_EQ(capture.lines().size(), 1u) << bad;
  }
  EXPECT_EQ(scope + ":" + std::to_string(port), "224.0.0.1:7555");
}

TEST_F(CoNetworkConfigTest, BadUUIDAndUnreadableFileAreReported) {
  useFile("[Local]\nUUID = 0f1e2d3c-4b5a\n");
  std::string uuid = "unchanged";
  EXPECT_FALSE(config.getUUID(uuid));
  EXPECT_EQ(std::string(config.lastError()), "Invalid UUID '0f1e2d3c-4b5a'");
  // A directory cannot be read, whoever runs the test.
  CoTestMsgCapture capture;
  setenv("QV_NETWORK_CFG_FILE", ::testing::TempDir().c_str(), 1);
  config.reset(false);
  std::vector<std::string> names{"x"};
  config.getDataInterfaces(names);
  config.getMulticastInterfaces(names);
  EXPECT_TRUE(names.empty());
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_NE(capture.lines()[0].text.find("Could not read network configuration file"),
            std::string::npos);
}

TEST_F(CoNetworkConfigTest, FileIsTheVariablesElseTheTreesWhenPresentElseTheSystems) {
  const std::string dir = ::testing::TempDir() + "kx_cfg_cwd";
  ASSERT_EQ(std::system(("rm -rf " + dir + " && mkdir -p " + dir).c_str()), 0);
  char* was = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  EXPECT_STREQ(config.getConfigFileName(), "/etc/kestrix/network.cfg");
  ASSERT_EQ(std::system("mkdir -p optHollvane/cfg && : > optHollvane/cfg/network.cfg"), 0);
  EXPECT_STREQ(config.getConfigFileName(), "optHollvane/cfg/network.cfg");
  setenv("QV_NETWORK_CFG_FILE", "/elsewhere.cfg", 1);
  EXPECT_STREQ(config.getConfigFileName(), "/elsewhere.cfg");
  EXPECT_EQ(chdir(was), 0);
  std::free(was);
}

}  // namespace
}  // namespace Kestrix
