// Lists the host's interfaces with the IP Helper: one entry per IPv4 or IPv6
// address of an adapter that is up, named "lo" for loopback and "eth<n>" for
// the others (CoAdapterListWin.h). No interface is the gateway one here.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/base/network/CoNetworkDispatcher.h"
#include "common/base/tcp/CoAdapterListWin.h"
#include "common/base/tcp/CoSocketError.h"

namespace Kestrix {
namespace {

bool contains(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& n : names) {
    if (n == name) return true;
  }
  return false;
}

// The netmask of a prefix length, as numeric text; false when it cannot be
// written.
bool netmaskText(int family, unsigned int prefixLength, char* out, size_t size) {
  unsigned char bytes[16] = {};
  const unsigned int bits = family == AF_INET ? 32 : 128;
  if (prefixLength > bits) prefixLength = bits;
  for (unsigned int i = 0; i < prefixLength; ++i) bytes[i / 8] |= 0x80 >> (i % 8);
  return ::inet_ntop(family, bytes, out, size) != nullptr;
}

// Interfaces report no usable speed here; one figure keeps the orders'
// throughput step neutral.
const unsigned int kThroughput = 1000;

}  // namespace

bool CoNetworkDispatcher::enumerate(const Names& names) {
  std::vector<CoAdapterList::Adapter> adapters;
  unsigned long code = 0;
  if (!CoAdapterList::list(adapters, code)) {
    setModule(__FILE__, __LINE__)
        .postError("Could not retrieve interfaces list: %s",
                   CoSocketError::text(static_cast<int>(code)).c_str());
    return false;
  }
  for (const CoAdapterList::Adapter& adapter : adapters) {
    if (!adapter.up) continue;
    for (const CoAdapterList::Address& address : adapter.addresses) {
      const int family = address.addr.ss_family;
      if (family != AF_INET && family != AF_INET6) continue;
      uint32_t attributes =
          family == AF_INET ? CoNetworkInterface::ATTR_IPV4 : CoNetworkInterface::ATTR_IPV6;
      if (adapter.loopback) attributes |= CoNetworkInterface::ATTR_LOOPBACK;
      if (adapter.multicast && (names.multicast.empty() || contains(names.multicast, adapter.name)))
        attributes |= CoNetworkInterface::ATTR_MULTICAST;
      char ip[65];
      char netmask[65];
      const int error = ::getnameinfo(reinterpret_cast<const sockaddr*>(&address.addr),
                                      address.length, ip, sizeof ip, nullptr, 0, NI_NUMERICHOST);
      if (error != 0) {
        setModule(__FILE__, __LINE__).postError("%s", CoSocketError::resolverText(error).c_str());
        continue;
      }
      if (!netmaskText(family, address.prefixLength, netmask, sizeof netmask)) {
        setModule(__FILE__, __LINE__).postError("%s", CoSocketError::lastText().c_str());
        continue;
      }
      file(CoNetworkInterface(adapter.name.c_str(), attributes, ip, netmask, kThroughput), names);
    }
  }
  return true;
}

}  // namespace Kestrix
