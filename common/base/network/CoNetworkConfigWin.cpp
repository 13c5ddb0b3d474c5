// Which configuration file is named, and the reader: here the reader is
// made without a file, so every query answers its default. The name still
// appears in messages that tell the user where a value would come from.

#include <cstdlib>
#include <memory>

#include "common/base/fileUtil/CoConfigFileReader.h"
#include "common/base/loggerBase/EnvVar.h"
#include "common/base/network/CoNetworkConfig.h"

namespace Kestrix {
namespace {

const char* const DEFAULT_CONFIG_FILE = "optHollvane/cfg/network.cfg";

RegEnvView gRegConfigFile("QV_NETWORK_CFG_FILE", DEFAULT_CONFIG_FILE);

}  // namespace

const char* CoNetworkConfig::getConfigFileName() {
  const char* name = std::getenv("QV_NETWORK_CFG_FILE");
  return name ? name : DEFAULT_CONFIG_FILE;
}

void CoNetworkConfig::load() {
  _parser = std::make_unique<CoConfigFileReader>();
  warned_.clear();
}

}  // namespace Kestrix
