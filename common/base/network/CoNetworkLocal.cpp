#include "common/base/network/CoNetworkLocal.h"

#include "common/base/loggerBase/qvAssert.h"
#include "common/base/network/CoNetwork.h"

namespace Kestrix {
namespace CoNetworkLocal {

bool getDisplayName(std::string& name) {
  QV_ASSERT(CoNetwork::isInitialized());
  return getHostName(name);
}

// A configured host UUID would come from the network configuration, whose
// default is none; until that configuration is read there is no UUID.
bool getUUID(std::string&) {
  return false;
}

bool pathPrependHostForExportedDirectory(std::string&) {
  return false;
}

bool removeHostPath(std::string&) {
  return false;
}

}  // namespace CoNetworkLocal
}  // namespace Kestrix
