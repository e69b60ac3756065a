// Bit layout of LZNT1 chunk headers and copy tokens, shared by the encoder and the decoder.
// Internal to the library.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace lznt1::format {

inline constexpr std::size_t kChunk = 4096;
inline constexpr std::uint16_t kSignature = 0x3000;
inline constexpr std::uint16_t kSignatureMask = 0x7000;
inline constexpr std::uint16_t kCompressed = 0x8000;
inline constexpr std::size_t kMinMatch = 3;

// Header of a compressed chunk with `data_size` bytes (1..4096) after the header.
constexpr std::uint16_t CompressedHeader(std::size_t data_size) {
  return static_cast<std::uint16_t>(kCompressed | kSignature | (data_size - 1));
}

// Length bits of a copy token written when `pos` bytes (1..4095) of the chunk are decoded: the
// offset takes as many bits as it needs to reach the chunk start, at least 4, the length the rest.
constexpr unsigned LengthBits(std::size_t pos) {
  return 16 - static_cast<unsigned>(std::bit_width((pos - 1) | 15));
}

// Longest copy a token can express at `pos`.
constexpr std::size_t MaxLength(std::size_t pos) {
  return (std::size_t{1} << LengthBits(pos)) + kMinMatch - 1;
}

// Token for a copy of `length` (3..MaxLength(pos)) bytes from `offset` (1..pos) bytes back.
constexpr std::uint16_t EncodeToken(std::size_t pos, std::size_t offset, std::size_t length) {
  return static_cast<std::uint16_t>(((offset - 1) << LengthBits(pos)) | (length - kMinMatch));
}

inline void Store16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline std::uint16_t Load16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace lznt1::format
