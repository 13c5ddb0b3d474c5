// Decodes arbitrary bytes as a counted list. A list that decodes must
// encode and decode again to the same items; the single-value readers
// must take any text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/base/rcApi/rcAttrList.h"
#include "fuzz/FuzzSupport.h"

using namespace Kestrix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzSilentRouter::install();
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> items;
  const bool ok = rcAttrList<std::string>(text).getValues(items);
  size_t total = 0;
  for (const std::string& item : items) total += item.size();
  FUZZ_CHECK(total <= size);
  if (ok) {
    const rcAttrList<std::string> again(items);
    std::vector<std::string> back;
    FUZZ_CHECK(again.getValues(back));
    FUZZ_CHECK(back == items);
  }

  int i;
  unsigned u;
  unsigned long l;
  float f;
  bool b;
  rcAttrList_private::fromString(text, i);
  rcAttrList_private::fromString(text, u);
  rcAttrList_private::fromString(text, l);
  rcAttrList_private::fromString(text, f);
  rcAttrList_private::fromString(text, b);
  unsigned back32;
  rcAttrList_private::fromString(rcAttrList_private::toString(u), back32);
  FUZZ_CHECK(back32 == u);
  return 0;
}
