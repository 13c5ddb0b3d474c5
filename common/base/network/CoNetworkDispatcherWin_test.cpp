#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/base/network/CoNetwork.h"
#include "common/base/network/CoNetworkDispatcher.h"

namespace Kestrix {
namespace {

// The adapters here are named by the library; loopback is "lo" and first.
TEST(CoNetworkDispatcherWin, LoopbackAdapterIsLoFirstWithItsNetmask) {
  CoNetwork::Guard network;
  CoNetworkDispatcher dispatcher;
  std::vector<CoNetworkInterface> interfaces;
  ASSERT_TRUE(dispatcher.getInterfaces(interfaces, CoNetworkDispatcher::TYPE_DATA,
                                       CoNetworkDispatcher::IPv4Filter));
  ASSERT_FALSE(interfaces.empty());
  const CoNetworkInterface& first = interfaces.front();
  EXPECT_EQ(first.getName() + " " + first.getIP() + " " + first.getNetmask() + " " +
                CoNetworkInterface::getAttributesStr(first.getAttributes()),
            "lo 127.0.0.1 255.0.0.0 loopback|ipv4|multicast");
  for (const CoNetworkInterface& itf : interfaces)
    EXPECT_EQ(itf.getName().rfind(itf.getName() == "lo" ? "lo" : "eth", 0), 0u) << itf.getName();
}

}  // namespace
}  // namespace Kestrix
