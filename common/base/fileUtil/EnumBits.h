#pragma once
// A set of flags of one enumeration, kept as the bit values of its
// enumerators, so that option sets are typed but still combine with "|".

#include <cstdint>

namespace Kestrix {

template <typename E>
class EnumBits {
 public:
  constexpr EnumBits() = default;
  constexpr EnumBits(E bit) : bits_(static_cast<uint32_t>(bit)) {}
  constexpr explicit EnumBits(uint32_t bits) : bits_(bits) {}

  constexpr bool isSet(E bit) const {
    return (bits_ & static_cast<uint32_t>(bit)) == static_cast<uint32_t>(bit);
  }
  constexpr EnumBits& set(E bit) {
    bits_ |= static_cast<uint32_t>(bit);
    return *this;
  }
  constexpr EnumBits& clear(E bit) {
    bits_ &= ~static_cast<uint32_t>(bit);
    return *this;
  }
  constexpr uint32_t bits() const { return bits_; }

  constexpr EnumBits operator|(EnumBits other) const { return EnumBits(bits_ | other.bits_); }
  constexpr bool operator==(const EnumBits& other) const = default;

 private:
  uint32_t bits_ = 0;
};

}  // namespace Kestrix
