#pragma once
// Windows only: the host's network adapters with their unicast addresses, as
// the IP Helper lists them, under the names the library gives them: "lo"
// for the loopback adapter, "eth<n>" for the others, n being the adapter's
// position in the system's list. Multicast membership by interface name and
// the network dispatcher both read this one list, so a name means the same
// adapter to both.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>
#include <vector>

namespace Kestrix {
namespace CoAdapterList {

struct Address {
  sockaddr_storage addr;
  int length;
  unsigned int prefixLength;  // bits of the on-link prefix
};

struct Adapter {
  std::string name;
  unsigned int ipv4Index = 0;
  unsigned int ipv6Index = 0;
  bool up = false;
  bool loopback = false;
  bool multicast = false;
  std::vector<Address> addresses;
};

// False with the system's error code in code.
bool list(std::vector<Adapter>& out, unsigned long& code);
// The adapter of that name ("eth0:1" counts as "eth0"); null when none.
const Adapter* find(const std::vector<Adapter>& adapters, const std::string& name);

}  // namespace CoAdapterList
}  // namespace Kestrix
