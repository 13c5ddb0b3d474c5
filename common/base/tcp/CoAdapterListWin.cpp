#include <winsock2.h>
#include <ws2tcpip.h>
// iphlpapi.h declares its calls only once the socket and IP types are known.
#include <iphlpapi.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "common/base/tcp/CoAdapterListWin.h"

namespace Kestrix {
namespace CoAdapterList {
namespace {

// The system's own advice for the first try; it grows when it is too small.
constexpr ULONG FIRST_BUFFER_SIZE = 15000;
constexpr int MAX_TRIES = 4;

}  // namespace

bool list(std::vector<Adapter>& out, unsigned long& code) {
  out.clear();
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG size = FIRST_BUFFER_SIZE;
  std::unique_ptr<char[]> buffer;
  code = ERROR_BUFFER_OVERFLOW;
  for (int i = 0; i < MAX_TRIES && code == ERROR_BUFFER_OVERFLOW; ++i) {
    buffer.reset(new char[size]);
    code = ::GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
  }
  if (code == ERROR_NO_DATA) code = NO_ERROR;  // no adapter at all
  if (code != NO_ERROR) return false;
  if (size == 0) return true;
  unsigned int position = 0;
  for (const IP_ADAPTER_ADDRESSES* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get());
       a != nullptr; a = a->Next, ++position) {
    Adapter adapter;
    adapter.loopback = a->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
    if (adapter.loopback) {
      adapter.name = "lo";
    } else {
      char name[16];
      std::snprintf(name, sizeof name, "eth%u", position);
      adapter.name = name;
    }
    adapter.ipv4Index = a->IfIndex;
    // One index serves both families since Windows Vista; some systems
    // leave the IPv6 field empty even where the adapter has IPv6 addresses.
    adapter.ipv6Index = a->Ipv6IfIndex != 0 ? a->Ipv6IfIndex : a->IfIndex;
    adapter.up = a->OperStatus == IfOperStatusUp;
    adapter.multicast = (a->Flags & IP_ADAPTER_NO_MULTICAST) == 0;
    for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
      const SOCKET_ADDRESS& s = u->Address;
      if (s.lpSockaddr == nullptr || s.iSockaddrLength <= 0 ||
          s.iSockaddrLength > static_cast<int>(sizeof(sockaddr_storage)))
        continue;
      Address address = {};
      std::memcpy(&address.addr, s.lpSockaddr, static_cast<size_t>(s.iSockaddrLength));
      address.length = s.iSockaddrLength;
      address.prefixLength = u->OnLinkPrefixLength;
      adapter.addresses.push_back(address);
    }
    out.push_back(std::move(adapter));
  }
  return true;
}

const Adapter* find(const std::vector<Adapter>& adapters, const std::string& name) {
  const std::string base = name.substr(0, name.find(':'));
  for (const Adapter& adapter : adapters)
    if (adapter.name == base) return &adapter;
  return nullptr;
}

}  // namespace CoAdapterList
}  // namespace Kestrix
