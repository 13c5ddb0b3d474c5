#include "common/base/rcApi/CoStringBuilder.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "common/base/loggerBase/CoException.h"
#include "common/base/osal/CoMemory.h"

namespace Kestrix {
namespace {

char* allocate(uint64_t size, const char* expertFormat) {
  char* buf =
      size <= SIZE_MAX ? static_cast<char*>(std::malloc(static_cast<size_t>(size))) : nullptr;
  if (buf == nullptr) CO_THROW(std::strerror(ENOMEM), expertFormat, static_cast<int64_t>(size));
  return buf;
}

}  // namespace

CoStringBuilder::CoStringBuilder(uint64_t size) : _size(size) {
  QV_ASSERT(_size > 0);
  // Off-site the check passes; a zero capacity would leave no room for the NUL.
  if (_size == 0) _size = 1;
  _buf = allocate(_size, "Unable to allocate %" PRId64 " bytes.");
}

CoStringBuilder::CoStringBuilder(const CoStringBuilder& other)
    : _size(other._size),
      _buf(allocate(other._size, "Unable to allocate %" PRId64 " bytes.")),
      _len(other._len) {
  std::memcpy(_buf, other._buf, _len);
}

CoStringBuilder& CoStringBuilder::operator=(const CoStringBuilder& other) {
  if (this != &other) setValue(other._buf, other._len);
  return *this;
}

CoStringBuilder::~CoStringBuilder() {
  std::free(_buf);
}

void CoStringBuilder::setValue(const char* text) {
  setValue(text != nullptr ? text : "", text != nullptr ? std::strlen(text) : 0);
}

void CoStringBuilder::setValue(const char* data, size_t n) {
  if (n > _size - 1) {
    const uint64_t size = ((n + 1) / _size + 1) * _size;
    char* buf = allocate(size, "Unable to allocate buffer of %" PRId64 " bytes.");
    std::memcpy(buf, data, n);  // data may point into the old buffer
    std::free(_buf);
    _buf = buf;
    _size = size;
  } else if (n != 0) {
    std::memmove(_buf, data, n);
  }
  _buf[n] = '\0';
  _len = n;
}

void CoStringBuilder::grow(uint64_t factor) {
  if (factor <= 1) return;
  const uint64_t size = _size * factor;
  char* buf = size <= SIZE_MAX ? static_cast<char*>(std::realloc(_buf, static_cast<size_t>(size)))
                               : nullptr;
  if (buf == nullptr)
    CO_THROW(std::strerror(ENOMEM), "Unable to grow string buffer to %" PRId64 " bytes.",
             static_cast<int64_t>(size));
  _buf = buf;
  _size = size;
  CoMemory::adviseLarge(_buf, static_cast<size_t>(_size));
}

}  // namespace Kestrix
