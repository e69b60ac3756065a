// Unaligned little loads and a word-at-a-time common-prefix scan, shared by the parsers and the
// decoder. Internal to the codec.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace lznt1 {

inline std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline std::uint64_t Load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Common prefix of a[0, limit) and b[0, limit), eight bytes at a time while they fit.
inline std::size_t CommonPrefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
  std::size_t len = 0;
  while (len + 8 <= limit) {
    const std::uint64_t diff = Load64(a + len) ^ Load64(b + len);
    if (diff != 0) {
      const int bits = std::endian::native == std::endian::little ? std::countr_zero(diff)
                                                                    : std::countl_zero(diff);
      return len + static_cast<std::size_t>(bits / 8);
    }
    len += 8;
  }
  while (len < limit && a[len] == b[len]) ++len;
  return len;
}

}  // namespace lznt1
