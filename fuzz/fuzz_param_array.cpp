// Splits arbitrary parameter text for arbitrary signatures, and checks
// that client quoting and unquoting are inverse on any text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/base/rcApi/rcParam.h"
#include "fuzz/FuzzSupport.h"

using namespace Kestrix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzSilentRouter::install();
  if (size == 0) return 0;
  // The first byte picks the signature: up to 7 parameters, 2 bits of type
  // each taken from the same byte and its neighbour.
  static const rcParam::Type* const types[] = {&rcParamString::getType(), &rcParamInt::getType(),
                                               &rcParamFloat::getType(), &rcParamBool::getType()};
  const unsigned count = data[0] % 8;
  const unsigned typeBits = data[0] | (size > 1 ? data[1] << 8 : 0);
  std::vector<rcParam::Info> list;
  for (unsigned i = 0; i < count; ++i) list.push_back({types[(typeBits >> (2 * i)) & 3], "p"});
  list.push_back({nullptr, nullptr});
  // Parameter text is NUL-terminated on the wire side of the server.
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string cText(text.c_str());

  const rcParam::Array array(list.data(), cText.c_str());
  FUZZ_CHECK(array.size() == static_cast<int>(count));
  for (int i = 0; i < array.size(); ++i) {
    const rcParam& p = array[i];
    // A parameter's text is a piece of the parameter text.
    if (list[static_cast<size_t>(i)].type == &rcParamString::getType())
      FUZZ_CHECK(p.stringValue().size() <= cText.size());
    (void)p.intValue();
    (void)p.floatValue();
    (void)p.boolValue();
  }
  if (count == 1 && list[0].type == &rcParamString::getType())
    FUZZ_CHECK(array[0].stringValue() == cText);

  const rcParamStringToEscapedString quoted(cText.c_str());
  const rcParamEscapedStringToString plain(quoted.getEscapedString().c_str());
  FUZZ_CHECK(plain.getString() == cText);
  (void)rcParamEscapedStringToString(cText.c_str()).getString();
  return 0;
}
