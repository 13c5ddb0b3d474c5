#include <winsock2.h>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/network/CoNetworkLocal.h"
#include "common/base/network/CoNetworkUtil.h"

namespace Kestrix {
namespace CoNetworkLocal {

// gethostname is the socket library's here: it needs the library started
// (CoNetwork::init), and fails with the reason otherwise.
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

}  // namespace CoNetworkLocal
}  // namespace Kestrix
