#include "common/base/network/CoNetworkUtil.h"

#include "common/base/tcp/CoSocketError.h"

namespace Kestrix {
namespace CoNetworkUtil {

std::string strerror(NetworkError error) {
  switch (error) {
    case NET_NO_ERROR:
      return "";
    case NET_SYSTEM_ERROR:
      return CoSocketError::lastText();
    case NET_CONNECTION_REFUSED:
      return CoSocketError::text(CoSocketError::CONNECTION_REFUSED);
    case NET_HOST_UNREACHABLE:
      return CoSocketError::text(CoSocketError::HOST_UNREACHABLE);
    case NET_CONNECTION_ABORTED:
      return CoSocketError::text(CoSocketError::CONNECTION_ABORTED);
  }
  return CoSocketError::lastText();
}

}  // namespace CoNetworkUtil
}  // namespace Kestrix
