#include "kestrix/client/api/KestrixNodeEvent.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "common/base/rcApi/rcAttrStream.h"

using Kestrix::rcAttrStream;

namespace {

bool stringValue(const KestrixStr& text, const char* name, std::string& value) {
  return name != nullptr && rcAttrStream(text.c_str()).getStringValue(name, value);
}

// Whole-text numbers only: "12x" or "" is no number.
template <typename T, typename Parse>
bool numberValue(const KestrixStr& text, const char* name, T& value, Parse parse) {
  std::string digits;
  if (!stringValue(text, name, digits) || digits.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const auto parsed = parse(digits.c_str(), &end);
  if (*end != '\0' || errno != 0 || parsed != static_cast<decltype(parsed)>(static_cast<T>(parsed)))
    return false;
  value = static_cast<T>(parsed);
  return true;
}

}  // namespace

unsigned int KestrixDictionary::size() const {
  return rcAttrStream::ConstIterator(rcAttrStream(text_.c_str())).getSize();
}

bool KestrixDictionary::getEntry(unsigned int i, KestrixStr& name, KestrixStr& value) const {
  rcAttrStream::ConstIterator it{rcAttrStream(text_.c_str())};
  unsigned nameStart, nameLength, valueStart, valueLength;
  for (unsigned int n = 0; it.next(nameStart, nameLength, valueStart, valueLength); ++n) {
    if (n < i) continue;
    const std::string& data = it.getData();
    name = KestrixStr(data.data() + nameStart, nameLength);
    value = KestrixStr(data.data() + valueStart, valueLength);
    return true;
  }
  return false;
}

bool KestrixDictionary::has(const char* name) const {
  std::string value;
  return stringValue(text_, name, value);
}

bool KestrixDictionary::getString(const char* name, KestrixStr& value) const {
  std::string text;
  if (!stringValue(text_, name, text)) return false;
  value = KestrixStr(text.data(), static_cast<unsigned int>(text.size()));
  return true;
}

bool KestrixDictionary::getInt(const char* name, int& value) const {
  return numberValue(text_, name, value,
                     [](const char* s, char** end) { return std::strtoll(s, end, 10); });
}

bool KestrixDictionary::getUInt64(const char* name, uint64_t& value) const {
  // strtoull takes "-1" as the largest value: a sign is no unsigned number.
  std::string text;
  if (!stringValue(text_, name, text) || text.find('-') != std::string::npos) return false;
  return numberValue(text_, name, value,
                     [](const char* s, char** end) { return std::strtoull(s, end, 10); });
}

bool KestrixDictionary::getBool(const char* name, bool& value) const {
  return name != nullptr && rcAttrStream(text_.c_str()).getBoolValue(name, value);
}

void KestrixDictionary::setString(const char* name, const char* value) {
  rcAttrStream stream(text_.c_str());
  stream.addStringValue(name, value != nullptr ? value : "");
  text_ = KestrixStr(stream.getStream(), static_cast<unsigned int>(stream.getStreamStr().size()));
}

void KestrixDictionary::setInt(const char* name, int value) {
  setString(name, std::to_string(value).c_str());
}

void KestrixDictionary::setBool(const char* name, bool value) {
  setString(name, value ? "1" : "0");
}
