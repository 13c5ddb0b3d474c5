#pragma once
// What this host calls itself on the network: its name as the system gives
// it (never shortened), the name to show users, and its host UUID. Each
// answer comes through the string argument; false means "no answer", and the
// string is then left as it was.

#include <string>

namespace Kestrix {
namespace CoNetworkLocal {

// The system's host name, or "localhost" (after an error message) when the
// system cannot tell. Always true.
bool getHostName(std::string& name);
// As getHostName; networking must be started (CoNetwork::init).
bool getDisplayName(std::string& name);
// This host's UUID. No host UUID is known on this platform: false.
bool getUUID(std::string& uuid);
// Exported-directory host prefixes do not exist on this platform: false.
bool pathPrependHostForExportedDirectory(std::string& path);
bool removeHostPath(std::string& path);

}  // namespace CoNetworkLocal
}  // namespace Kestrix
