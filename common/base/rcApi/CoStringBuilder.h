#pragma once
// A growable byte buffer for the protocol's request and reply texts. One
// byte of the capacity is always kept for the terminating NUL that c_str()
// writes. Appending grows the capacity by a whole factor, so a text built
// byte by byte costs amortised constant time per byte. Allocation failures
// throw CoException.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/base/loggerBase/qvAssert.h"

namespace Kestrix {

class CoStringBuilder {
 public:
  explicit CoStringBuilder(uint64_t size = 256);
  CoStringBuilder(const CoStringBuilder& other);
  CoStringBuilder& operator=(const CoStringBuilder& other);
  virtual ~CoStringBuilder();

  CoStringBuilder& operator=(const char* text) {
    setValue(text);
    return *this;
  }
  void setValue(const char* text);
  void setValue(const std::string& text) { setValue(text.data(), text.size()); }
  void setValue(const char* data, size_t n);

  void append(const char* data, size_t n) {
    if (n == 0) return;
    if (_len + n > _size - 1) grow((n + 1 + _size) / _size + 1);
    std::char_traits<char>::copy(_buf + _len, data, n);
    _len += n;
  }
  CoStringBuilder& operator+=(char c) {
    if (_len + 1 > _size - 1) grow(2);
    _buf[_len++] = c;
    return *this;
  }
  CoStringBuilder& operator+=(const std::string& text) {
    append(text.data(), text.size());
    return *this;
  }
  void clear() { _len = 0; }

  // Room for n more bytes after the text: write at most n bytes at the
  // returned pointer, then extend() by the number written.
  char* appendSpace(size_t n) {
    if (_len + n > _size - 1) grow((n + 1 + _size) / _size + 1);
    return _buf + _len;
  }
  void extend(size_t n) { _len += n; }

  const char* c_str() const {
    QV_ASSERT(_len < _size);
    _buf[_len] = '\0';
    return _buf;
  }
  operator const char*() const { return c_str(); }
  uint64_t length() const { return _len; }
  uint64_t capacity() const { return _size; }
  const char* data() const { return _buf; }
  std::string_view view() const { return std::string_view(_buf, _len); }

 private:
  // Multiplies the capacity by factor; 1 or less changes nothing.
  void grow(uint64_t factor);

  uint64_t _size;
  char* _buf;
  uint64_t _len = 0;
};

}  // namespace Kestrix
