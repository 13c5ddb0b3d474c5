#pragma once
// What the network tests ask of the system itself, so the same cases run on
// every system (NetworkTestSupportPosix.cpp / NetworkTestSupportWin.cpp),
// and the fixture of the configuration tests. Test support: never linked
// into a program.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "common/base/network/CoNetworkConfig.h"

namespace Kestrix {
namespace NetworkTestSupport {

// The host name as the system keeps it.
std::string systemHostName();
void setEnv(const char* name, const char* value);
void unsetEnv(const char* name);

// The network configuration pointed at a file of the test's own.
class ConfigFileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetEnv("QV_NETWORK_CFG_FILE");
    config.reset(false);
  }
  // Points the configuration at a file holding text (or at no file).
  void useFile(const char* text) {
    if (text) std::ofstream(file) << text;
    setEnv("QV_NETWORK_CFG_FILE", file.c_str());
    config.reset(false);
  }

  CoNetworkConfig& config = CoNetworkConfig::getInstance();
  std::string file = ::testing::TempDir() + "kx_network_" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".cfg";
};

}  // namespace NetworkTestSupport
}  // namespace Kestrix
