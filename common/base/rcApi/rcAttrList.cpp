#include "common/base/rcApi/rcAttrList.h"

#include <cinttypes>
#include <cstdio>

#include "common/base/osal/StringUtil.h"
#include "common/base/rcApi/rcNumberText.h"

namespace Kestrix {
namespace rcAttrList_private {
namespace {

template <typename... Args>
std::string format(const char* fmt, Args... args) {
  char buf[64];
  const int n = std::snprintf(buf, sizeof buf, fmt, args...);
  return std::string(buf, n < 0 ? 0 : static_cast<size_t>(n));
}

}  // namespace

template <>
std::string toString<int>(const int& value) {
  return format("%d", value);
}
template <>
std::string toString<unsigned int>(const unsigned int& value) {
  return format("0x%x", value);
}
template <>
std::string toString<float>(const float& value) {
  return format("%g", static_cast<double>(value));
}
template <>
std::string toString<unsigned long>(const unsigned long& value) {
  return format("0x%lx", value);
}
template <>
std::string toString<unsigned long long>(const unsigned long long& value) {
  return format("0x%llx", value);
}
template <>
std::string toString<bool>(const bool& value) {
  return value ? "1" : "0";
}
template <>
std::string toString<std::string>(const std::string& value) {
  return value;
}

template <>
bool fromString<int>(const std::string& text, int& value) {
  value = rcNumberText::toInt(text.c_str());
  return true;
}
template <>
bool fromString<unsigned int>(const std::string& text, unsigned int& value) {
  value = rcNumberText::toUInt32Hex(text.c_str());
  return true;
}
template <>
bool fromString<float>(const std::string& text, float& value) {
  value = static_cast<float>(rcNumberText::toDouble(text.c_str()));
  return true;
}
template <>
bool fromString<unsigned long>(const std::string& text, unsigned long& value) {
  value = rcNumberText::toUInt64Hex(text.c_str());
  return true;
}
template <>
bool fromString<unsigned long long>(const std::string& text, unsigned long long& value) {
  value = rcNumberText::toUInt64Hex(text.c_str());
  return true;
}
template <>
bool fromString<bool>(const std::string& text, bool& value) {
  value = StringUtil::strToBool(text.c_str());
  return true;
}
template <>
bool fromString<std::string>(const std::string& text, std::string& value) {
  value = text;
  return true;
}

std::string encodeList(const std::vector<std::string>& items) {
  size_t total = 24;
  for (const std::string& item : items) total += item.size() + 12;
  std::string text;
  text.reserve(total);
  text += format("%" PRId64 " ", static_cast<int64_t>(items.size()));
  for (const std::string& item : items) {
    text += format("%d ", static_cast<int>(item.size()));
    text += item;
  }
  return text;
}

bool decodeList(const std::string& text, std::vector<std::string>& items) {
  items.clear();
  const size_t n = text.size();
  size_t space = text.find(' ');
  if (space == std::string::npos) return false;
  const int64_t count = rcNumberText::toInt64(text.data(), text.data() + space);
  if (count == 0) return false;
  int64_t found = 0;
  size_t pos = space + 1;
  while (pos < n) {
    space = text.find(' ', pos);
    if (space == std::string::npos) return false;
    const int32_t length = rcNumberText::toInt(text.data() + pos, text.data() + space);
    if (length < 0) return false;
    const size_t start = space + 1;
    const size_t available = n - start;
    const size_t take =
        static_cast<size_t>(length) < available ? static_cast<size_t>(length) : available;
    items.emplace_back(text, start, take);
    ++found;
    pos = start + take;
  }
  return found == count;
}

}  // namespace rcAttrList_private
}  // namespace Kestrix
