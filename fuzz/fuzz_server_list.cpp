// Decodes arbitrary bytes as a server list (the reply of "GetDaemonList"),
// with and without a database filter. The filter keeps its database only,
// no server comes out with node port 0, and a list encoded from what was
// decoded decodes to as many servers again.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <list>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "kestrix/client/api/KestrixMulticastProtocol.h"

using namespace Kestrix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzSilentRouter::install();
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::list<KestrixDaemonInfo> servers;
  KestrixMulticastProtocol::decode(text, servers, nullptr);
  FUZZ_CHECK(servers.size() <= size / 4);

  std::list<KestrixDaemonInfo> filtered;
  KestrixMulticastProtocol::decode(text, filtered, "GRYNN");
  FUZZ_CHECK(filtered.size() <= servers.size());
  for (const KestrixDaemonInfo& info : filtered)
    FUZZ_CHECK(std::strcmp(info.getDatabase(), "GRYNN") == 0);

  std::string encoded;
  KestrixMulticastProtocol::encode(servers, encoded);
  std::list<KestrixDaemonInfo> again;
  KestrixMulticastProtocol::decode(encoded, again, nullptr);
  FUZZ_CHECK(again.size() == servers.size());
  for (const KestrixDaemonInfo& info : again) FUZZ_CHECK(info.getNodePort() != 0);
  return 0;
}
