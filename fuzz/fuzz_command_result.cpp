// Parses arbitrary bytes as request and reply lines, byte by byte and in
// runs cut at an arbitrary point; both parsers must agree, and a parsed
// line must serialise and parse back to the same record.

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/base/rcApi/rcCommand.h"
#include "common/base/rcApi/rcResult.h"
#include "fuzz/FuzzSupport.h"

using namespace Kestrix;

namespace {

template <typename Record>
size_t byBytes(Record& r, const std::string& bytes, bool& done) {
  done = false;
  for (size_t i = 0; i < bytes.size(); ++i)
    if (r.parse(bytes[i])) {
      done = true;
      return i + 1;
    }
  return bytes.size();
}

template <typename Record>
size_t inRuns(Record& r, const std::string& bytes, size_t cut, bool& done) {
  size_t taken = r.parse(bytes.data(), cut, done);
  if (!done) taken += r.parse(bytes.data() + cut, bytes.size() - cut, done);
  return taken;
}

bool sameCommand(const rcCommand& a, const rcCommand& b) {
  return std::string(a.getKind()) == b.getKind() &&
         std::string(a.getObjectId()) == b.getObjectId() &&
         std::string(a.getMethod()) == b.getMethod() &&
         a.getParams().view() == b.getParams().view();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzSilentRouter::install();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const size_t cut = size == 0 ? 0 : data[0] % (size + 1);

  rcCommand c1, c2;
  bool d1, d2;
  const size_t n1 = byBytes(c1, bytes, d1);
  const size_t n2 = inRuns(c2, bytes, cut, d2);
  FUZZ_CHECK(n1 == n2 && d1 == d2);
  FUZZ_CHECK(sameCommand(c1, c2));
  if (d1 && c1.getState() == 3) {
    rcCommand back;
    bool done;
    const std::string line = c1.toString();
    FUZZ_CHECK(byBytes(back, line, done) == line.size() && done);
    FUZZ_CHECK(sameCommand(back, c1));
  }

  rcResult r1, r2;
  const size_t m1 = byBytes(r1, bytes, d1);
  const size_t m2 = inRuns(r2, bytes, cut, d2);
  FUZZ_CHECK(m1 == m2 && d1 == d2);
  FUZZ_CHECK(r1.getStatus() == r2.getStatus() && r1.getValue().view() == r2.getValue().view());
  if (d1) {
    rcResult back;
    bool done;
    const std::string line = r1.toString();
    FUZZ_CHECK(byBytes(back, line, done) == line.size() && done);
    FUZZ_CHECK(back.getStatus() == r1.getStatus());
    FUZZ_CHECK(back.getValue().view() == r1.getValue().view());
  }
  return 0;
}
