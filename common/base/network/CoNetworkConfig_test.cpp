#include "common/base/network/CoNetworkConfig.h"

#include <gtest/gtest.h>

#include <sstream>

#include "common/base/loggerBase/CoTestMsgCapture.h"
#include "common/base/loggerBase/EnvVarRegistry.h"
#include "common/base/network/NetworkTestSupport.h"

namespace Kestrix {
namespace {

using CoNetworkConfigTest = NetworkTestSupport::ConfigFileTest;

TEST_F(CoNetworkConfigTest, MissingFileKeepsDefaultsAndNamesFileWhenUUIDAsked) {
  CoTestMsgCapture capture;
  useFile(nullptr);
  unsigned int port = 7555, ttl = 1;
  std::string scope = "224.0.0.1", uuid = "unchanged";
  std::vector<std::string> names{"eth0"};
  EXPECT_TRUE(config.getSelfDiscoveryPort(port) && config.getSelfDiscoveryTTL(ttl));
  EXPECT_TRUE(config.getSelfDiscoveryScope(scope) && config.getDataInterfaces(names));
  EXPECT_EQ(port, 7555u);
  EXPECT_EQ(ttl, 1u);
  EXPECT_EQ(scope, "224.0.0.1");
  EXPECT_TRUE(names.empty());
  EXPECT_FALSE(config.getUUID(uuid));
  EXPECT_EQ(uuid, "unchanged");
  EXPECT_EQ(std::string(config.lastError()), "No host UUID configured. Please check " + file + ".");
  EXPECT_TRUE(capture.lines().empty()) << capture.lines()[0].text;
}

TEST_F(CoNetworkConfigTest, ResetNotifiesOnlyWhenAsked) {
  struct Counter : CoWeakObserver {
    void notify(const CoWeakSubject&, const CoSubjectHint& hint) override {
      calls += hint.isA(CoContentChangedHint::classId());
    }
    int calls = 0;
  } counter;
  config.addObserver(counter);
  config.reset(true);
  config.reset(true);
  config.reset(false);
  config.removeObserver(counter);
  EXPECT_EQ(counter.calls, 2);
}

TEST_F(CoNetworkConfigTest, VariablesReadAtUseAreListedWithTheirCurrentValue) {
  NetworkTestSupport::setEnv("QV_NETWORK_CFG_FILE", "/etc/kx-test.cfg");
  std::ostringstream dump;
  EnvVarRegistry::getInstance()->dump(dump);
  EXPECT_NE(dump.str().find("name : QV_NETWORK_CFG_FILE\nvalue : /etc/kx-test.cfg\n"),
            std::string::npos);
  EXPECT_NE(dump.str().find("name : QV_TCP_IPV6\n"), std::string::npos);
}

}  // namespace
}  // namespace Kestrix
