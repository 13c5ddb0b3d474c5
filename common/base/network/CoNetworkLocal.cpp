#include "common/base/network/CoNetworkLocal.h"

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/network/CoNetwork.h"
#include "common/base/network/CoNetworkUtil.h"
#include "common/base/tcp/CoSocketApi.h"

namespace Kestrix {
namespace CoNetworkLocal {

// On some systems gethostname is the socket library's: it needs the library
// started (CoNetwork::init), and fails with the reason otherwise.
bool getHostName(std::string& name) {
  char buffer[128];
  if (::gethostname(buffer, sizeof buffer) != 0) {
    CO_POST_ERROR("Could not retrieve host name: %s",
                  CoNetworkUtil::strerror(CoNetworkUtil::NET_SYSTEM_ERROR).c_str());
    name = "localhost";
    return true;
  }
  // A name that fills the buffer need not be terminated.
  buffer[sizeof buffer - 1] = 0;
  name = buffer;
  return true;
}

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
