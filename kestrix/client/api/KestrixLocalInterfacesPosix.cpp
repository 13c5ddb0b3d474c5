#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>

#include "kestrix/client/api/KestrixLocalInterfaces.h"

namespace Kestrix {
namespace KestrixLocalInterfaces {

std::vector<std::string> addresses() {
  std::vector<std::string> out;
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (const struct ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr) continue;
    const int family = it->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    const socklen_t size =
        family == AF_INET ? sizeof(struct sockaddr_in) : sizeof(struct sockaddr_in6);
    char host[NI_MAXHOST];
    if (::getnameinfo(it->ifa_addr, size, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
      continue;
    std::string text(host);
    // Scoped IPv6 addresses carry "%ifname"; compare the address alone.
    const size_t scope = text.find('%');
    if (scope != std::string::npos) text.resize(scope);
    out.push_back(text);
  }
  ::freeifaddrs(list);
  return out;
}

}  // namespace KestrixLocalInterfaces
}  // namespace Kestrix
