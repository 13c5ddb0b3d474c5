#include "common/base/rcApi/rcAttrStream.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/osal/StringUtil.h"
#include "common/base/rcApi/rcNumberText.h"

namespace Kestrix {
namespace {

struct Entry {
  uint32_t start;  // where the entry (its name) begins
  uint32_t nameLength;
  uint32_t valueStart;
  uint32_t valueLength;
};

enum class WalkEnd { END, NO_SPACE, BAD_LENGTH, NEGATIVE, TRUNCATED };

// One step of the walk: the next entry, live or removed, from pos. On
// success pos moves past the value; a value claiming more bytes than remain
// gets the bytes that exist and leaves pos at the end (reported through
// end as TRUNCATED so that callers can tell a clean end).
bool step(std::string_view text, uint32_t& pos, Entry& e, WalkEnd& end, bool quiet) {
  const size_t n = text.size();
  if (pos >= n) {
    end = WalkEnd::END;
    return false;
  }
  const size_t nameEnd = text.find(' ', pos);
  if (nameEnd == std::string_view::npos) {
    end = WalkEnd::NO_SPACE;
    return false;
  }
  size_t field = nameEnd;
  while (field < n && text[field] == ' ') ++field;
  const size_t fieldEnd = field < n ? text.find(' ', field) : std::string_view::npos;
  if (fieldEnd == std::string_view::npos) {
    if (!quiet) CO_POST_ERROR("Error parsing attribute stream.");
    end = WalkEnd::BAD_LENGTH;
    return false;
  }
  const int32_t length = rcNumberText::toInt(text.data() + field, text.data() + fieldEnd);
  if (length < 0) {
    end = WalkEnd::NEGATIVE;
    return false;
  }
  e.start = pos;
  e.nameLength = static_cast<uint32_t>(nameEnd - pos);
  e.valueStart = static_cast<uint32_t>(fieldEnd + 1);
  const uint64_t valueEnd = uint64_t{e.valueStart} + static_cast<uint64_t>(length);
  if (valueEnd > n) {
    e.valueLength = static_cast<uint32_t>(n - e.valueStart);
    pos = static_cast<uint32_t>(n);
    end = WalkEnd::TRUNCATED;
  } else {
    e.valueLength = static_cast<uint32_t>(length);
    pos = static_cast<uint32_t>(valueEnd);
    end = WalkEnd::END;
  }
  return true;
}

// The next live entry.
bool nextLive(std::string_view text, uint32_t& pos, Entry& e, WalkEnd& end, bool quiet = false) {
  while (step(text, pos, e, end, quiet))
    if (e.nameLength != 0) return true;
  return false;
}

bool nameIs(std::string_view text, const Entry& e, const char* name, size_t nameLength) {
  return e.nameLength == nameLength && std::memcmp(text.data() + e.start, name, nameLength) == 0;
}

// Lookup from pos to the end, then from the start back up to where it began.
bool findFrom(std::string_view text, uint32_t& pos, const char* name, size_t nameLength,
              Entry& found) {
  const uint32_t start = pos;
  WalkEnd end;
  while (nextLive(text, pos, found, end))
    if (nameIs(text, found, name, nameLength)) return true;
  pos = 0;
  while (pos < start && nextLive(text, pos, found, end)) {
    if (found.start >= start) break;
    if (nameIs(text, found, name, nameLength)) return true;
  }
  pos = start;
  return false;
}

unsigned countLive(std::string_view text) {
  unsigned count = 0;
  uint32_t pos = 0;
  Entry e;
  WalkEnd end;
  while (nextLive(text, pos, e, end)) ++count;
  return count;
}

// "%.*s" stops at a NUL byte; the pretty form shows what printf would.
std::string_view upToNul(std::string_view s) {
  const size_t nul = s.find('\0');
  return nul == std::string_view::npos ? s : s.substr(0, nul);
}

}  // namespace

// ---------------------------------------------------------------- iterators

rcAttrStream::ConstIterator::ConstIterator(const rcAttrStream& stream) : data_(stream.stream_) {}

void rcAttrStream::ConstIterator::reset(const rcAttrStream& stream) {
  data_ = stream.stream_;
  pos_ = 0;
}

bool rcAttrStream::ConstIterator::next(unsigned& nameStart, unsigned& nameLength,
                                       unsigned& valueStart, unsigned& valueLength) {
  Entry e;
  WalkEnd end;
  if (!nextLive(data_, pos_, e, end)) return false;
  nameStart = e.start;
  nameLength = e.nameLength;
  valueStart = e.valueStart;
  valueLength = e.valueLength;
  return true;
}

bool rcAttrStream::ConstIterator::find(const char* name, unsigned& valueStart,
                                       unsigned& valueLength) {
  Entry e;
  if (name == nullptr || !findFrom(data_, pos_, name, std::strlen(name), e)) return false;
  valueStart = e.valueStart;
  valueLength = e.valueLength;
  return true;
}

unsigned rcAttrStream::ConstIterator::getSize() const {
  return countLive(data_);
}

rcAttrStream::Iterator::Iterator(rcAttrStream& stream) : ConstIterator(stream), stream_(&stream) {}

void rcAttrStream::Iterator::reset(const rcAttrStream& stream) {
  ConstIterator::reset(stream);
  stream_ = const_cast<rcAttrStream*>(&stream);
}

void rcAttrStream::Iterator::remove(const char* name) {
  if (name == nullptr) return;
  reset(*stream_);
  const size_t nameLength = std::strlen(name);
  Entry e;
  WalkEnd end;
  while (nextLive(data_, pos_, e, end)) {
    if (!nameIs(data_, e, name, nameLength)) continue;
    stream_->stream_.replace(e.start, e.nameLength, e.nameLength, ' ');
    stream_->forgetIndex();
    reset(*stream_);
    stream_->cursor_ = 0;
    return;
  }
}

// ------------------------------------------------------------------- stream

rcAttrStream::rcAttrStream(const char* text) : stream_(text != nullptr ? text : "") {}

rcAttrStream::rcAttrStream(const std::string& text) : stream_(text) {}

rcAttrStream::rcAttrStream(const rcAttrStream& other) : stream_(other.stream_) {}

rcAttrStream& rcAttrStream::operator=(const rcAttrStream& other) {
  if (this == &other) return *this;
  stream_ = other.stream_;
  cursor_ = 0;
  forgetIndex();
  return *this;
}

void rcAttrStream::setStream(const std::string& text) {
  stream_ = text;
  cursor_ = 0;
  forgetIndex();
}

void rcAttrStream::forgetIndex() {
  indexState_ = IndexState::NONE;
  index_.clear();
}

void rcAttrStream::buildIndex() {
  index_.clear();
  indexState_ = IndexState::VALID;
  uint32_t pos = 0;
  Entry e;
  WalkEnd end = WalkEnd::END;
  // Removed entries count too: a truncated one would swallow what follows.
  while (step(stream_, pos, e, end, true)) {
    if (end == WalkEnd::TRUNCATED) break;
    if (e.nameLength == 0) continue;
    if (!index_.emplace(stream_.substr(e.start, e.nameLength), e.start).second) {
      end = WalkEnd::TRUNCATED;  // a name twice: first-match order needs the walk
      break;
    }
  }
  if (end != WalkEnd::END) {
    indexState_ = IndexState::UNUSABLE;
    index_.clear();
  }
}

void rcAttrStream::removeFirst(const char* name) {
  if (indexState_ == IndexState::NONE) buildIndex();
  if (indexState_ == IndexState::VALID) {
    const auto it = index_.find(name);
    if (it == index_.end()) return;
    std::memset(&stream_[it->second], ' ', it->first.size());
    index_.erase(it);
    return;
  }
  // The same walk as Iterator::remove, without copying the text.
  const size_t nameLength = std::strlen(name);
  uint32_t pos = 0;
  Entry e;
  WalkEnd end;
  while (nextLive(stream_, pos, e, end)) {
    if (!nameIs(stream_, e, name, nameLength)) continue;
    std::memset(&stream_[e.start], ' ', e.nameLength);
    return;
  }
}

void rcAttrStream::addStringValue(const char* name, const char* value) {
  QV_ASSERT(name != nullptr && value != nullptr);
  if (name == nullptr || value == nullptr) return;
  addStringValue(name, std::string(value));
}

void rcAttrStream::addStringValue(const char* name, const std::string& value) {
  QV_ASSERT(name != nullptr);
  if (name == nullptr) return;
  if (const char* space = std::strchr(name, ' ')) {
    CO_POST_ERROR("Illegal character: '%c' in attribute '%s'.", *space, name);
    QV_ASSERT(!"Illegal character in attribute name");
    return;
  }
  removeFirst(name);
  const uint32_t start = static_cast<uint32_t>(stream_.size());
  char length[16];
  const int n = std::snprintf(length, sizeof length, " %d ", static_cast<int>(value.size()));
  stream_.append(name);
  stream_.append(length, static_cast<size_t>(n));
  stream_.append(value);
  if (indexState_ == IndexState::VALID) index_.emplace(name, start);
  cursor_ = 0;
}

void rcAttrStream::addIntValue(const char* name, int value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d", value);
  addStringValue(name, buf);
}

void rcAttrStream::addUInt32Value(const char* name, uint32_t value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "0x%" PRIx32, value);
  addStringValue(name, buf);
}

void rcAttrStream::addUInt64Value(const char* name, uint64_t value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "0x%" PRIx64, value);
  addStringValue(name, buf);
}

void rcAttrStream::addFloatValue(const char* name, float value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", static_cast<double>(value));
  addStringValue(name, buf);
}

void rcAttrStream::addBoolValue(const char* name, bool value) {
  addStringValue(name, value ? "1" : "0");
}

bool rcAttrStream::findValue(const char* name, uint32_t& valueStart, uint32_t& valueLength) const {
  return name != nullptr && findValue(name, std::strlen(name), valueStart, valueLength);
}

bool rcAttrStream::findValue(const char* name, size_t nameLength, uint32_t& valueStart,
                             uint32_t& valueLength) const {
  Entry e;
  if (!findFrom(stream_, cursor_, name, nameLength, e)) return false;
  valueStart = e.valueStart;
  valueLength = e.valueLength;
  return true;
}

bool rcAttrStream::getStringValue(const char* name, std::string& out) const {
  uint32_t start = 0;
  uint32_t length = 0;
  if (!findValue(name, start, length)) return false;
  out.assign(stream_, start, length);
  return true;
}

bool rcAttrStream::getStringValue(const char* name, char* buf, unsigned size) const {
  QV_ASSERT(buf != nullptr && size >= 1);
  if (buf == nullptr || size < 1) return false;
  uint32_t start = 0;
  uint32_t length = 0;
  if (!findValue(name, start, length)) return false;
  const uint32_t n = length < size - 1 ? length : size - 1;
  std::memcpy(buf, stream_.data() + start, n);
  buf[n] = '\0';
  return true;
}

bool rcAttrStream::getShortValue(const char* name, char (&buf)[64]) const {
  return getStringValue(name, buf, sizeof buf);
}

bool rcAttrStream::getIntValue(const char* name, int& out) const {
  char buf[64];
  if (!getShortValue(name, buf)) return false;
  out = rcNumberText::toInt(buf);
  return true;
}

bool rcAttrStream::getUIntValue(const char* name, unsigned& out) const {
  char buf[64];
  if (!getShortValue(name, buf)) return false;
  out = static_cast<unsigned>(rcNumberText::toInt(buf));
  return true;
}

bool rcAttrStream::getUInt32Value(const char* name, uint32_t& out) const {
  char buf[64];
  if (!getShortValue(name, buf)) return false;
  out = rcNumberText::toUInt32Hex(buf);
  return true;
}

bool rcAttrStream::getUInt64Value(const char* name, uint64_t& out) const {
  char buf[64];
  if (!getShortValue(name, buf)) return false;
  out = rcNumberText::toUInt64Hex(buf);
  return true;
}

bool rcAttrStream::getUCharValue(const char* name, unsigned char& out) const {
  char buf[64];
  if (!getShortValue(name, buf)) return false;
  out = static_cast<unsigned char>(rcNumberText::toInt(buf));
  return true;
}

bool rcAttrStream::getFloatValue(const char* name, float& out) const {
  char buf[64];
  if (!getShortValue(name, buf)) return false;
  out = static_cast<float>(rcNumberText::toDouble(buf));
  return true;
}

bool rcAttrStream::getBoolValue(const char* name, bool& out) const {
  char buf[64];
  if (!getShortValue(name, buf)) return false;
  out = StringUtil::strToBool(buf);
  return true;
}

bool rcAttrStream::isEmpty() const {
  uint32_t pos = 0;
  Entry e;
  WalkEnd end;
  return !nextLive(stream_, pos, e, end);
}

bool rcAttrStream::operator==(const rcAttrStream& other) const {
  if (stream_ == other.stream_) return true;
  if (countLive(stream_) != countLive(other.stream_)) return false;
  uint32_t pos = 0;
  Entry e;
  WalkEnd end;
  while (nextLive(stream_, pos, e, end)) {
    uint32_t start = 0;
    uint32_t length = 0;
    if (!other.findValue(stream_.data() + e.start, e.nameLength, start, length)) return false;
    if (length != e.valueLength ||
        std::memcmp(other.stream_.data() + start, stream_.data() + e.valueStart, length) != 0)
      return false;
  }
  return true;
}

void rcAttrStream::dump() const {
  CO_POST_USER("Attribute Stream Dump");
  uint32_t pos = 0;
  Entry e;
  WalkEnd end;
  while (nextLive(stream_, pos, e, end))
    CO_POST_USER("'%.*s': '%.*s'", static_cast<int>(e.nameLength), stream_.data() + e.start,
                 static_cast<int>(e.valueLength), stream_.data() + e.valueStart);
  CO_POST_USER("Attribute Stream Dump Done");
}

std::string rcAttrStream::toPrettyString(int maxValueLength) const {
  const size_t width = maxValueLength < 3 ? 3 : static_cast<size_t>(maxValueLength);
  std::string out;
  std::string shown;
  uint32_t pos = 0;
  Entry e;
  WalkEnd end;
  while (nextLive(stream_, pos, e, end)) {
    const std::string_view text(stream_);
    const std::string_view name = upToNul(text.substr(e.start, e.nameLength));
    const std::string_view value = upToNul(text.substr(e.valueStart, e.valueLength));
    shown.assign(name);
    shown += "='";
    if (value.size() <= width) {
      shown.append(value);
      shown += '\'';
    } else {
      shown.append(value.substr(0, width - 3));
      shown += "...'";
    }
    for (char& c : shown)
      if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    if (!out.empty()) out += ' ';
    out += shown;
  }
  return out;
}

void rcAttrStream::prettyDump(int maxValueLength) const {
  CO_POST_USER("Attribute Stream Pretty Dump");
  CO_POST_USER("%s", toPrettyString(maxValueLength).c_str());
  CO_POST_USER("Attribute Stream Pretty Dump Done");
}

}  // namespace Kestrix
