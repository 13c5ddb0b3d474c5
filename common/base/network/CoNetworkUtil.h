#pragma once
// Network failure causes shared by the connection layers, as texts a user
// can read (for instance "Connection refused" when a server has no address).

#include <string>

namespace Kestrix {
namespace CoNetworkUtil {

enum NetworkError {
  NET_NO_ERROR = 0,
  NET_SYSTEM_ERROR = 1,  // the socket library's current error
  NET_CONNECTION_REFUSED = 2,
  NET_HOST_UNREACHABLE = 3,
  NET_CONNECTION_ABORTED = 4,
};

// The platform's text for the cause; "" for NET_NO_ERROR.
std::string strerror(NetworkError error);

}  // namespace CoNetworkUtil
}  // namespace Kestrix
