// Parses arbitrary bytes as a login record. Serialising what was parsed
// and parsing it again must give the same record and the same verdict.

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/base/rcApi/rcConnectionInfo.h"
#include "fuzz/FuzzSupport.h"

using namespace Kestrix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzSilentRouter::install();
  const std::string text(reinterpret_cast<const char*>(data), size);
  rcConnectionInfo info(text.c_str(), nullptr);
  (void)info.getConnectionStr();
  const std::string serialised = info.toAttrStream();
  rcConnectionInfo again(serialised.c_str(), nullptr);
  FUZZ_CHECK(again.isValid() == info.isValid());
  FUZZ_CHECK(again.getChecksum() == info.getChecksum());
  FUZZ_CHECK(again.toAttrStream() == serialised);
  info.setTimestamp(static_cast<unsigned>(size));
  FUZZ_CHECK(rcConnectionInfo(info.toAttrStream().c_str(), nullptr).isValid());
  return 0;
}
