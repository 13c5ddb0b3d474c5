// Lists the host's interfaces with getifaddrs: one entry per IPv4 or IPv6
// address of an interface that is up, under the system's interface name.

#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "common/base/network/CoNetworkDispatcher.h"
#include "common/base/tcp/CoSocketError.h"

namespace Kestrix {
namespace {

// Every interface that a usable default route (IPv4 or IPv6) leaves by.
std::vector<std::string> defaultRouteInterfaces() {
  std::vector<std::string> names;
  auto closeFile = [](FILE* f) { std::fclose(f); };
  char line[512];
  char name[IF_NAMESIZE + 1];
  if (std::unique_ptr<FILE, decltype(closeFile)> f{std::fopen("/proc/net/route", "re")}; f) {
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ..., hexadecimal.
    unsigned long destination, gateway, flags, mask;
    while (std::fgets(line, sizeof(line), f.get())) {
      if (std::sscanf(line, "%16s %lx %lx %lx %*u %*u %*u %lx", name, &destination, &gateway,
                      &flags, &mask) == 5 &&
          destination == 0 && mask == 0 && (flags & RTF_UP))
        names.push_back(name);
    }
  }
  if (std::unique_ptr<FILE, decltype(closeFile)> f{std::fopen("/proc/net/ipv6_route", "re")}; f) {
    // Destination, its prefix length, source, its prefix length, next hop,
    // metric, use and reference counts, flags, interface. The kernel keeps a
    // rejecting ::/0 on lo when there is no IPv6 default route.
    char destination[33];
    unsigned int prefix, flags;
    while (std::fgets(line, sizeof(line), f.get())) {
      if (std::sscanf(line, "%32s %x %*s %*x %*s %*x %*x %*x %x %16s", destination, &prefix, &flags,
                      name) == 4 &&
          std::strspn(destination, "0") == 32 && prefix == 0 && (flags & RTF_UP) &&
          !(flags & RTF_REJECT))
        names.push_back(name);
    }
  }
  return names;
}

bool contains(const std::vector<std::string>& names, const char* name) {
  for (const std::string& n : names) {
    if (n == name) return true;
  }
  return false;
}

// Interfaces report no usable speed here; one figure keeps the orders'
// throughput step neutral.
const unsigned int kThroughput = 1000;

}  // namespace

bool CoNetworkDispatcher::enumerate(const Names& names) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    setModule(__FILE__, __LINE__)
        .postError("Could not retrieve interfaces list: %s", CoSocketError::lastText().c_str());
    return false;
  }
  std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, ::freeifaddrs);
  const std::vector<std::string> gateways = defaultRouteInterfaces();

  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (!(entry->ifa_flags & IFF_UP) || !entry->ifa_addr || !entry->ifa_netmask) continue;
    const int family = entry->ifa_addr->sa_family;
    if ((family != AF_INET && family != AF_INET6) || entry->ifa_netmask->sa_family != family)
      continue;
    uint32_t attributes =
        family == AF_INET ? CoNetworkInterface::ATTR_IPV4 : CoNetworkInterface::ATTR_IPV6;
    if (entry->ifa_flags & IFF_LOOPBACK) attributes |= CoNetworkInterface::ATTR_LOOPBACK;
    if (contains(gateways, entry->ifa_name)) attributes |= CoNetworkInterface::ATTR_GATEWAY;
    if ((entry->ifa_flags & IFF_MULTICAST) &&
        (names.multicast.empty() || contains(names.multicast, entry->ifa_name)))
      attributes |= CoNetworkInterface::ATTR_MULTICAST;

    const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    char ip[65];
    char netmask[65];
    int error = ::getnameinfo(entry->ifa_addr, length, ip, sizeof(ip), nullptr, 0, NI_NUMERICHOST);
    if (error == 0)
      error = ::getnameinfo(entry->ifa_netmask, length, netmask, sizeof(netmask), nullptr, 0,
                            NI_NUMERICHOST);
    if (error != 0) {
      setModule(__FILE__, __LINE__).postError("%s", CoSocketError::resolverText(error).c_str());
      continue;
    }
    file(CoNetworkInterface(entry->ifa_name, attributes, ip, netmask, kThroughput), names);
  }
  return true;
}

}  // namespace Kestrix
