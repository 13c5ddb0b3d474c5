#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/base/loggerBase/CoException.h"
#include "common/base/tcp/CoAdapterListWin.h"
#include "common/base/tcp/CoMulticast.h"
#include "common/base/tcp/CoSocketError.h"
#include "common/base/tcp/CoSocketHandleWin.h"

namespace Kestrix {

using CoSocketHandle::toSocket;

// A global IPv6 address has no scope id, so the index is that of the
// adapter that holds the address.
unsigned int CoMulticast::interfaceIndex() const {
  if (interface_.empty()) return 0;
  std::vector<CoAdapterList::Adapter> adapters;
  unsigned long code = 0;
  if (!CoAdapterList::list(adapters, code))
    CO_THROW(CoSocketError::text(static_cast<int>(code)).c_str(),
             "Unable to acquire network interface list");
  in6_addr wanted;
  if (::inet_pton(AF_INET6, interface_.c_str(), &wanted) != 1) return 0;
  for (const CoAdapterList::Adapter& adapter : adapters) {
    for (const CoAdapterList::Address& address : adapter.addresses) {
      if (address.addr.ss_family != AF_INET6) continue;
      const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address.addr);
      if (std::memcmp(&in6.sin6_addr, &wanted, sizeof wanted) == 0) return adapter.ipv6Index;
    }
  }
  return 0;
}

bool CoMulticast::joinOn(const std::string& interfaceName, bool join) {
  std::vector<CoAdapterList::Adapter> adapters;
  unsigned long code = 0;
  if (!CoAdapterList::list(adapters, code)) {
    ::WSASetLastError(static_cast<int>(code));
    return false;
  }
  const CoAdapterList::Adapter* adapter = CoAdapterList::find(adapters, interfaceName);
  if (adapter == nullptr) {
    ::WSASetLastError(WSAEINVAL);
    return false;
  }
  int result;
  if (isIPv6()) {
    ipv6_mreq request{};
    request.ipv6mr_multiaddr = reinterpret_cast<const sockaddr_in6&>(*group_).sin6_addr;
    request.ipv6mr_interface = adapter->ipv6Index;
    result = ::setsockopt(toSocket(socket_), IPPROTO_IPV6,
                          join ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP,
                          reinterpret_cast<const char*>(&request), sizeof request);
  } else {
    // An IPv4 membership names its interface by one of its addresses.
    const sockaddr_in* own = nullptr;
    for (const CoAdapterList::Address& address : adapter->addresses)
      if (address.addr.ss_family == AF_INET && own == nullptr)
        own = reinterpret_cast<const sockaddr_in*>(&address.addr);
    if (own == nullptr) {
      ::WSASetLastError(WSAEADDRNOTAVAIL);
      return false;
    }
    ip_mreq request{};
    request.imr_multiaddr = reinterpret_cast<const sockaddr_in&>(*group_).sin_addr;
    request.imr_interface = own->sin_addr;
    result =
        ::setsockopt(toSocket(socket_), IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP,
                     reinterpret_cast<const char*>(&request), sizeof request);
  }
  return result == 0 || CoSocketError::last() == (join ? WSAEADDRINUSE : WSAEADDRNOTAVAIL);
}

}  // namespace Kestrix
