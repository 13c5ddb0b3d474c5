#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/base/network/CoNetworkConfig.h"
#include "common/base/network/NetworkTestSupport.h"

namespace Kestrix {
namespace {

using CoNetworkConfigWinTest = NetworkTestSupport::ConfigFileTest;

// Here the configuration is never read from a file: the file is only named.
TEST_F(CoNetworkConfigWinTest, AFileIsNamedInMessagesButEveryQueryAnswersItsDefault) {
  useFile(
      "[Local]\nUUID = 0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9\n[Interfaces]\nData = eth0\n"
      "[SelfDiscovery]\nPort = 7600\n");
  std::vector<std::string> names{"old"};
  unsigned int port = 7555;
  std::string uuid = "unchanged";
  EXPECT_TRUE(config.getDataInterfaces(names) && config.getSelfDiscoveryPort(port));
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(port, 7555u);
  EXPECT_FALSE(config.getUUID(uuid));
  EXPECT_EQ(std::string(config.lastError()), "No host UUID configured. Please check " + file + ".");
  NetworkTestSupport::unsetEnv("QV_NETWORK_CFG_FILE");
  EXPECT_STREQ(CoNetworkConfig::getConfigFileName(), "optHollvane/cfg/network.cfg");
}

}  // namespace
}  // namespace Kestrix
