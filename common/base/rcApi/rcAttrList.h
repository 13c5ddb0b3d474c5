#pragma once
// Single values as text (rcAttrList_private) and counted lists of values
// carried as one string (rcAttrList). A list is its item count, a space,
// then per item its byte length, a space and the item bytes:
//   ("ab", "c")   ->   "2 2 ab1 c"

#include <cstdint>
#include <string>
#include <vector>

namespace Kestrix {

namespace rcAttrList_private {

// int "%d", unsigned "0x%x", float "%g", 64-bit "0x%llx", bool "1"/"0",
// strings unchanged.
template <typename T>
std::string toString(const T& value);
// int as atoi, unsigned and 64-bit as hexadecimal ("0x" optional), float
// as atof, bool by the boolean text rule, strings unchanged. Always true.
template <typename T>
bool fromString(const std::string& text, T& value);

template <>
std::string toString<int>(const int& value);
template <>
std::string toString<unsigned int>(const unsigned int& value);
template <>
std::string toString<float>(const float& value);
template <>
std::string toString<unsigned long>(const unsigned long& value);
template <>
std::string toString<unsigned long long>(const unsigned long long& value);
template <>
std::string toString<bool>(const bool& value);
template <>
std::string toString<std::string>(const std::string& value);
template <>
bool fromString<int>(const std::string& text, int& value);
template <>
bool fromString<unsigned int>(const std::string& text, unsigned int& value);
template <>
bool fromString<float>(const std::string& text, float& value);
template <>
bool fromString<unsigned long>(const std::string& text, unsigned long& value);
template <>
bool fromString<unsigned long long>(const std::string& text, unsigned long long& value);
template <>
bool fromString<bool>(const std::string& text, bool& value);
template <>
bool fromString<std::string>(const std::string& text, std::string& value);

std::string encodeList(const std::vector<std::string>& items);
// False when the text is not a list of at least one item with exactly the
// count it announces; items parsed before a failure stay in items.
bool decodeList(const std::string& text, std::vector<std::string>& items);

}  // namespace rcAttrList_private

template <typename T>
class rcAttrList {
 public:
  rcAttrList() = default;
  explicit rcAttrList(const std::string& text) : text_(text) {}
  explicit rcAttrList(const std::vector<T>& values) {
    std::vector<std::string> items;
    items.reserve(values.size());
    for (const T& v : values) items.push_back(rcAttrList_private::toString<T>(v));
    text_ = rcAttrList_private::encodeList(items);
  }
  virtual ~rcAttrList() = default;

  const std::string& getString() const { return text_; }
  void setString(const std::string& text) { text_ = text; }

  // Clears values, then decodes into it.
  bool getValues(std::vector<T>& values) const {
    values.clear();
    std::vector<std::string> items;
    const bool ok = rcAttrList_private::decodeList(text_, items);
    values.resize(items.size());
    for (size_t i = 0; i < items.size(); ++i)
      rcAttrList_private::fromString<T>(items[i], values[i]);
    return ok;
  }

 private:
  std::string text_;
};

template <>
inline bool rcAttrList<std::string>::getValues(std::vector<std::string>& values) const {
  values.clear();
  return rcAttrList_private::decodeList(text_, values);
}

}  // namespace Kestrix
