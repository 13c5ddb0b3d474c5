#include "common/base/loggerBase/CoLogText.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>

namespace Kestrix {
namespace {

// Sources are addresses; a longer key would only cost memory.
constexpr size_t MAX_SOURCE = 64;

// Code points that are valid but would let a peer break or reorder what a
// reader sees: C1 controls, line and paragraph separators, direction marks,
// embeddings, overrides and isolates.
bool isShown(uint32_t cp) {
  if (cp < 0xA0) return false;
  if (cp == 0x061C || cp == 0x200E || cp == 0x200F) return false;
  if (cp >= 0x2028 && cp <= 0x202E) return false;
  return cp < 0x2066 || cp > 0x2069;
}

// The length of the well-formed UTF-8 character at p (no overlong forms,
// no surrogates, nothing above U+10FFFF) that may be shown; 0 otherwise.
size_t shownCharLength(const unsigned char* p, size_t n) {
  const unsigned lead = p[0];
  size_t length = 0;
  uint32_t cp = 0;
  unsigned low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (n < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if (p[i] < (i == 1 ? low : 0x80) || p[i] > (i == 1 ? high : 0xBF)) return 0;
    cp = cp << 6 | (p[i] & 0x3F);
  }
  return isShown(cp) ? length : 0;
}

void appendEscaped(std::string& out, unsigned char byte) {
  static const char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0xF];
}

int64_t steadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void postAt(CoMsg::Level level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void postAt(CoMsg::Level level, const char* format, ...) {
  static constexpr CoMsg::PostFunction kPost[] = {
      CoMsg::postUser, CoMsg::postError, CoMsg::postWarning, CoMsg::postNotice, CoMsg::postDebug};
  if (level < CoMsg::LEVEL_USER || level > CoMsg::LEVEL_DEBUG) return;
  va_list args;
  va_start(args, format);
  kPost[level](__FILE__, __LINE__, "-", format, args);
  va_end(args);
}

}  // namespace

std::string CoLogText::escape(std::string_view text, size_t max) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  std::string out;
  out.reserve(std::min(n, max) + 8);
  size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    size_t length = 1;
    if (c >= 0x80) length = std::max<size_t>(shownCharLength(p + i, n - i), 1);
    if (i + length > max) break;
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && length == 1)) {
      appendEscaped(out, c);
    } else {
      if (c == '\\') out += '\\';
      out.append(text.data() + i, length);
    }
    i += length;
  }
  if (i < n) out += "...";
  return out;
}

bool CoLogLimiter::admit(CoMsg::Level level, std::string_view source) {
  return admit(level, source, steadyMs());
}

bool CoLogLimiter::admit(CoMsg::Level level, std::string_view source, int64_t nowMs) {
  if (level > CoMsg::filterLevel()) return false;
  source = source.substr(0, MAX_SOURCE);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!started_) {
    started_ = true;
    sweptMs_ = others_.startMs = all_.startMs = nowMs;
  }
  if (nowMs - sweptMs_ >= limits_.periodMs) sweep(level, nowMs);
  Bucket* bucket = &others_;
  const std::string* name = nullptr;
  auto found = sources_.find(source);
  if (found == sources_.end() && sources_.size() < limits_.maxSources)
    found = sources_.emplace(std::string(source), Bucket{nowMs, 0, 0}).first;
  if (found != sources_.end()) {
    bucket = &found->second;
    name = &found->first;
  }
  if (!hasRoom(*bucket, limits_.linesPerSource, nowMs)) {
    ++bucket->suppressed;
    return false;
  }
  if (!hasRoom(all_, limits_.maxLines, nowMs)) {
    ++others_.suppressed;
    return false;
  }
  ++bucket->lines;
  ++all_.lines;
  if (bucket->suppressed != 0) postSummary(level, name, bucket->suppressed);
  bucket->suppressed = 0;
  if (bucket != &others_) reportOthers(level, nowMs);
  return true;
}

size_t CoLogLimiter::sourceCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sources_.size();
}

bool CoLogLimiter::hasRoom(Bucket& bucket, unsigned perPeriod, int64_t nowMs) {
  if (nowMs - bucket.startMs >= limits_.periodMs || nowMs < bucket.startMs) {
    bucket.startMs = nowMs;
    bucket.lines = 0;
  }
  return bucket.lines < perPeriod;
}

// Sources whose period is over leave the table, so that a flood from
// forged addresses gives the room back; what they held back is said now.
void CoLogLimiter::sweep(CoMsg::Level level, int64_t nowMs) {
  sweptMs_ = nowMs;
  for (auto it = sources_.begin(); it != sources_.end();) {
    Bucket& bucket = it->second;
    if (nowMs - bucket.startMs < limits_.periodMs && nowMs >= bucket.startMs) {
      ++it;
      continue;
    }
    if (bucket.suppressed != 0 && hasRoom(all_, limits_.maxLines, nowMs)) {
      ++all_.lines;
      postSummary(level, &it->first, bucket.suppressed);
    } else {
      others_.suppressed += bucket.suppressed;
    }
    it = sources_.erase(it);
  }
  reportOthers(level, nowMs);
}

// The summary of the shared bucket takes the place of one of its lines.
void CoLogLimiter::reportOthers(CoMsg::Level level, int64_t nowMs) {
  if (others_.suppressed == 0 || !hasRoom(others_, limits_.linesPerSource, nowMs) ||
      !hasRoom(all_, limits_.maxLines, nowMs))
    return;
  ++others_.lines;
  ++all_.lines;
  postSummary(level, nullptr, others_.suppressed);
  others_.suppressed = 0;
}

void CoLogLimiter::postSummary(CoMsg::Level level, const std::string* source,
                               uint64_t count) const {
  const auto n = static_cast<unsigned long long>(count);
  const char* lines = count == 1 ? "line" : "lines";
  if (source == nullptr)
    postAt(level, "%s: %llu more %s from other sources suppressed", what_.c_str(), n, lines);
  else if (source->empty())
    postAt(level, "%s: %llu more %s suppressed", what_.c_str(), n, lines);
  else
    postAt(level, "%s: %llu more %s from '%s' suppressed", what_.c_str(), n, lines,
           CoLogText::escape(*source).c_str());
}

}  // namespace Kestrix
