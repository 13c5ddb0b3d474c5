#pragma once
// Shared by the fuzz targets: a router that drops every message (the
// parsers report malformed input, which is the fuzzer's daily bread), and
// a check that stops the run when an invariant breaks.

#include <cstdio>
#include <cstdlib>

#include "common/base/loggerBase/CoMsg.h"

namespace Kestrix {

class FuzzSilentRouter : public CoMsg::Router {
 public:
  void post(const CoMsg::Msg&) const override {}
  static void install() {
    static const FuzzSilentRouter router;
    CoMsg::setRouter(&router);
  }
};

}  // namespace Kestrix

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)
