#include "common/base/network/CoNetwork.h"

#include <gtest/gtest.h>

#include <string>

#include "common/base/network/CoNetworkLocal.h"
#include "common/base/network/CoNetworkUtil.h"
#include "common/base/network/NetworkTestSupport.h"
#include "common/base/tcp/CoSocketError.h"

namespace Kestrix {
namespace {

int gMonitorStarts = 0;
int gMonitorStops = 0;

class CoNetworkCountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gMonitorStarts = gMonitorStops = 0;
    real = CoNetwork::setTopologyMonitorHooks([] { ++gMonitorStarts; }, [] { ++gMonitorStops; });
  }
  void TearDown() override { CoNetwork::setTopologyMonitorHooks(real.first, real.second); }
  std::pair<CoNetwork::MonitorHook, CoNetwork::MonitorHook> real;
};

TEST_F(CoNetworkCountTest, OnlyFirstInitAndLastUninitDoWork) {
  ASSERT_FALSE(CoNetwork::isInitialized());
  EXPECT_TRUE(CoNetwork::init());
  {
    CoNetwork::Guard guard;
    EXPECT_EQ(gMonitorStarts, 1);
  }
  EXPECT_TRUE(CoNetwork::isInitialized()) << "the guard dropped a start it did not make";
  EXPECT_EQ(gMonitorStops, 0);
  EXPECT_TRUE(CoNetwork::uninit());
  EXPECT_FALSE(CoNetwork::isInitialized());
  EXPECT_EQ(gMonitorStops, 1);
}

TEST(CoNetworkUtil, CausesHaveDistinctTextsAndNoErrorIsEmpty) {
  using namespace CoNetworkUtil;
  EXPECT_EQ(CoNetworkUtil::strerror(NET_NO_ERROR), "");
  const std::string refused = CoNetworkUtil::strerror(NET_CONNECTION_REFUSED);
  EXPECT_NE(refused, CoNetworkUtil::strerror(NET_HOST_UNREACHABLE));
  EXPECT_NE(refused, CoNetworkUtil::strerror(NET_CONNECTION_ABORTED));
  CoSocketError::setLast(CoSocketError::CONNECTION_REFUSED);
  EXPECT_EQ(CoNetworkUtil::strerror(NET_SYSTEM_ERROR), refused);
}

TEST(CoNetworkLocal, HostNameIsTheSystemNameUncut) {
  const std::string expected = NetworkTestSupport::systemHostName();
  std::string name = "old", display;
  CoNetwork::Guard guard;
  EXPECT_TRUE(CoNetworkLocal::getHostName(name) && CoNetworkLocal::getDisplayName(display));
  EXPECT_EQ(name, expected);
  EXPECT_EQ(display, expected);
}

}  // namespace
}  // namespace Kestrix
