// Opens arbitrary bytes as a discovery datagram, read as a receiver reads
// one (at most 1023 bytes, then a terminating zero), and builds a server
// description from what it carries. An accepted request must survive being
// made again, and a description read back from its own stream must settle
// after one round.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "kestrix/client/api/KestrixMulticastProtocol.h"

using namespace Kestrix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzSilentRouter::install();
  const size_t length = size < KestrixMulticastProtocol::MAX_DATAGRAM
                            ? size
                            : size_t{KestrixMulticastProtocol::MAX_DATAGRAM};
  const std::string datagram(reinterpret_cast<const char*>(data), length);
  KestrixMulticastProtocol::RequestType type = KestrixMulticastProtocol::INVALID;
  rcAttrStream request;
  if (!KestrixMulticastProtocol::parseRequest(datagram.c_str(), type, request)) return 0;
  FUZZ_CHECK(type >= KestrixMulticastProtocol::START_OF_SERVICES &&
             type <= KestrixMulticastProtocol::END_OF_SERVICES);
  (void)KestrixMulticastProtocol::getRequestTypeStr(type);

  KestrixMulticastProtocol::RequestType again = KestrixMulticastProtocol::INVALID;
  rcAttrStream reopened;
  const std::string made = KestrixMulticastProtocol::create(type, request);
  FUZZ_CHECK(KestrixMulticastProtocol::parseRequest(made.c_str(), again, reopened));
  FUZZ_CHECK(again == type);
  FUZZ_CHECK(reopened.getStreamStr() == request.getStreamStr());

  const KestrixDaemonInfo info(request);
  const KestrixDaemonInfo once(info.toAttrStream());
  const KestrixDaemonInfo twice(once.toAttrStream());
  FUZZ_CHECK(twice == once);
  (void)info.getServerId();
  return 0;
}
