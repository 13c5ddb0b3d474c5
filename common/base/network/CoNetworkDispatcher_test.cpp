#include "common/base/network/CoNetworkDispatcher.h"

#include <gtest/gtest.h>

namespace Kestrix {
namespace {

using Dispatcher = CoNetworkDispatcher;

TEST(CoNetworkInterfaceTest, AttributeAndTypeNames) {
  EXPECT_EQ(CoNetworkInterface::getAttributesStr(10), "ipv4|multicast");
  EXPECT_EQ(CoNetworkInterface::getAttributesStr(0), "none");
  EXPECT_EQ(CoNetworkInterface::getAttributesStr(0xFFFFFFFF), "any");
  EXPECT_EQ(CoNetworkInterface::getAttributesStr(31), "loopback|ipv4|ipv6|multicast|gateway");
  EXPECT_EQ(CoNetworkInterface::getAttributeFromStr("gateway"), 16u);
  EXPECT_EQ(CoNetworkInterface::getAttributeFromStr("eth0"), 0u);
  EXPECT_EQ(CoNetworkInterface::getAttributeFromStr(nullptr), 0u);
  EXPECT_STREQ(Dispatcher::getTypeStr(Dispatcher::getTypeFromStr("multicast")), "multicast");
  EXPECT_EQ(Dispatcher::getTypeFromStr("bogus"), Dispatcher::TYPE_ALL);
  EXPECT_STREQ(Dispatcher::getTypeStr(Dispatcher::Type(7)), "");
  const CoNetworkInterface blank(nullptr, 2, nullptr, nullptr, 1000);
  EXPECT_EQ(blank, CoNetworkInterface("", 2, "", "", 1000));
  EXPECT_NE(blank, CoNetworkInterface("", 2, "", "255.0.0.0", 1000));
  EXPECT_NE(blank, CoNetworkInterface("", 2, "", "", 100));
}

}  // namespace
}  // namespace Kestrix
