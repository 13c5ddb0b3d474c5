#pragma once
// The addresses of this host's interfaces, as the system reports them now.
// Stands in for the network dispatcher's interface list until discovery
// brings that dispatcher.

#include <string>
#include <vector>

namespace Kestrix {
namespace KestrixLocalInterfaces {

// Numeric IPv4 and IPv6 addresses of every interface; empty when the
// system cannot list them.
std::vector<std::string> addresses();

}  // namespace KestrixLocalInterfaces
}  // namespace Kestrix
