#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/base/loggerBase/CoException.h"
#include "common/base/tcp/CoMulticast.h"
#include "common/base/tcp/CoSocketError.h"

namespace Kestrix {

// The scope id that getifaddrs reports is 0 for all but link-local
// addresses here, so the index is taken from the owning interface's name.
unsigned int CoMulticast::interfaceIndex() const {
  if (interface_.empty()) return 0;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0)
    CO_THROW(CoSocketError::lastText().c_str(), "Unable to acquire network interface list");
  in6_addr wanted;
  unsigned int index = 0;
  if (::inet_pton(AF_INET6, interface_.c_str(), &wanted) == 1) {
    for (const ifaddrs* ifa = list; ifa != nullptr && index == 0; ifa = ifa->ifa_next) {
      if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET6) continue;
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(ifa->ifa_addr);
      if (std::memcmp(&in6->sin6_addr, &wanted, sizeof wanted) != 0) continue;
      index = in6->sin6_scope_id != 0 ? in6->sin6_scope_id : ::if_nametoindex(ifa->ifa_name);
    }
  }
  ::freeifaddrs(list);
  return index;
}

bool CoMulticast::joinOn(const std::string& interfaceName, bool join) {
  const unsigned index = ::if_nametoindex(interfaceName.substr(0, interfaceName.find(':')).c_str());
  if (index == 0) return false;
  int result;
  if (isIPv6()) {
    ipv6_mreq request{};
    request.ipv6mr_multiaddr = reinterpret_cast<const sockaddr_in6&>(*group_).sin6_addr;
    request.ipv6mr_interface = index;
    result = ::setsockopt(socket_, IPPROTO_IPV6, join ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP,
                          &request, sizeof request);
  } else {
    ip_mreqn request{};
    request.imr_multiaddr = reinterpret_cast<const sockaddr_in&>(*group_).sin_addr;
    request.imr_ifindex = static_cast<int>(index);
    result = ::setsockopt(socket_, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP,
                          &request, sizeof request);
  }
  return result == 0 || errno == (join ? EADDRINUSE : EADDRNOTAVAIL);
}

}  // namespace Kestrix
