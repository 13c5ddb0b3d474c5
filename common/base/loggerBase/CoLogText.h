#pragma once
// Text that came from a peer, made fit for a log line, and a bound on how
// often one peer can have a line written. A peer must not forge a line (a
// new line, a terminal escape, an escape that looks like one of ours), nor
// fill the disk by sending the same bad datagram in a loop.
//
//   static CoLogLimiter limiter("Bad datagrams");
//   if (limiter.admit(CoMsg::LEVEL_WARN, ip))
//     CO_POST_WARNING("Bad datagram from '%s': %s", ip.c_str(), CoLogText::escape(text).c_str());

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "common/base/loggerBase/CoMsg.h"

namespace Kestrix {
namespace CoLogText {

// Enough of a peer's text to recognise it; too little to make big lines.
constexpr size_t MAX_TEXT = 200;

// At most max bytes of text, followed by "..." when cut, never inside a
// character. Control bytes, bytes that are not well-formed UTF-8 and the
// characters that break or reorder a line on screen (C1 controls, line
// separators, direction marks) become \xNN per byte; a backslash is
// doubled, so every \x in the result is ours. Other UTF-8 passes as it is.
std::string escape(std::string_view text, size_t max = MAX_TEXT);

}  // namespace CoLogText

// Lets through a few lines a period per source (a peer's address) and a
// bound on all sources together. What it holds back it counts and reports
// as "<what>: N more lines from 'source' suppressed", before that source's
// next line or, for a source gone quiet, at the next period. The table of
// sources is bounded: sources beyond it, and lines over the bound on all
// sources, share one bucket reported as "other sources". Thread-safe.
class CoLogLimiter {
 public:
  struct Limits {
    unsigned linesPerSource = 1;
    // All sources together: forged addresses must not multiply the lines.
    unsigned maxLines = 20;
    size_t maxSources = 1024;
    int64_t periodMs = 1000;
  };

  explicit CoLogLimiter(std::string what) : CoLogLimiter(std::move(what), Limits{}) {}
  CoLogLimiter(std::string what, const Limits& limits) : what_(std::move(what)), limits_(limits) {}
  CoLogLimiter(const CoLogLimiter&) = delete;
  CoLogLimiter& operator=(const CoLogLimiter&) = delete;

  // Whether a line at level about source may be posted now; a summary of
  // what was held back is posted first, at the same level. Lines the
  // message filter would drop are neither let through nor counted.
  bool admit(CoMsg::Level level, std::string_view source);
  // The same at a time of the caller's (milliseconds of a monotonic clock).
  bool admit(CoMsg::Level level, std::string_view source, int64_t nowMs);
  size_t sourceCount() const;

 private:
  struct Bucket {
    int64_t startMs = 0;
    unsigned lines = 0;  // let through since startMs
    uint64_t suppressed = 0;
  };

  // Whether the bucket may let one more line through now; a bucket whose
  // period is over starts a new one.
  bool hasRoom(Bucket& bucket, unsigned perPeriod, int64_t nowMs);
  void sweep(CoMsg::Level level, int64_t nowMs);
  void reportOthers(CoMsg::Level level, int64_t nowMs);
  void postSummary(CoMsg::Level level, const std::string* source, uint64_t count) const;

  const std::string what_;
  const Limits limits_;
  mutable std::mutex mutex_;
  std::map<std::string, Bucket, std::less<>> sources_;
  Bucket others_;
  Bucket all_;
  int64_t sweptMs_ = 0;
  bool started_ = false;
};

}  // namespace Kestrix
