// Walks, looks up, edits and compares attribute streams built from
// arbitrary bytes. Every offset the walk yields must lie inside the text,
// and edits must keep the entries they did not touch.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/base/rcApi/rcAttrStream.h"
#include "fuzz/FuzzSupport.h"

using namespace Kestrix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzSilentRouter::install();
  const std::string text(reinterpret_cast<const char*>(data), size);
  rcAttrStream stream(text);

  rcAttrStream::ConstIterator it(stream);
  std::vector<std::string> names;
  unsigned ns, nl, vs, vl;
  while (it.next(ns, nl, vs, vl)) {
    FUZZ_CHECK(nl > 0);
    FUZZ_CHECK(uint64_t{ns} + nl <= size && uint64_t{vs} + vl <= size && ns + nl < vs);
    names.push_back(text.substr(ns, nl));
  }
  FUZZ_CHECK(it.getSize() == names.size());
  FUZZ_CHECK(stream.isEmpty() == names.empty());

  // Every name the walk yields is found, whatever the cursor position.
  for (const std::string& name : names) {
    if (name.find('\0') != std::string::npos) continue;
    std::string value;
    FUZZ_CHECK(stream.getStringValue(name.c_str(), value));
    int i;
    unsigned u;
    uint32_t u32;
    uint64_t u64;
    unsigned char uc;
    float f;
    bool b;
    stream.getIntValue(name.c_str(), i);
    stream.getUIntValue(name.c_str(), u);
    stream.getUInt32Value(name.c_str(), u32);
    stream.getUInt64Value(name.c_str(), u64);
    stream.getUCharValue(name.c_str(), uc);
    stream.getFloatValue(name.c_str(), f);
    stream.getBoolValue(name.c_str(), b);
    char small[5];
    FUZZ_CHECK(stream.getStringValue(name.c_str(), small, sizeof small));
  }
  (void)stream.toPrettyString(static_cast<int>(size % 16) - 2);

  rcAttrStream copy(stream);
  FUZZ_CHECK(copy == stream);

  // Removing the first name and adding entries keeps the text's length
  // rule: blanking never shifts bytes.
  if (!names.empty() && names[0].find('\0') == std::string::npos) {
    rcAttrStream::Iterator editor(copy);
    editor.remove(names[0].c_str());
    FUZZ_CHECK(copy.getStreamStr().size() == size);
  }
  std::string name = names.empty() ? std::string("k") : names.back();
  for (char& c : name)
    if (c == ' ' || c == '\0') c = '_';
  copy.addStringValue(name.c_str(), text);
  copy.addStringValue(name.c_str(), "v");
  copy.addIntValue("n", static_cast<int>(size));
  return 0;
}
