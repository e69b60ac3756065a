// Byte access, alignment and section lookups shared by the PE image parser and the resource
// reader and writer. Internal to bootpack_pe: not part of the packer's interface.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bootpack/pe_image.h"

namespace boot::pe {

// Optional header (PE32+) field offsets.
constexpr std::uint32_t kOptSizeOfInitializedData = 8;
constexpr std::uint32_t kOptSectionAlignment = 32;
constexpr std::uint32_t kOptFileAlignment = 36;
constexpr std::uint32_t kOptSizeOfImage = 56;
constexpr std::uint32_t kOptSizeOfHeaders = 60;
constexpr std::uint32_t kOptCheckSum = 64;
constexpr std::uint32_t kOptNumberOfRvaAndSizes = 108;
constexpr std::uint32_t kOptDataDirectory = 112;

constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kMaxSections = 96;  // the Windows loader's limit
constexpr std::uint32_t kScnInitializedData = 0x00000040;
constexpr std::uint32_t kScnMemRead = 0x40000000;
constexpr std::uint32_t kHighBit = 0x80000000u;

inline std::uint16_t Get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// True when [offset, offset + length) lies inside a buffer of `size` bytes.
inline bool InRange(std::uint64_t size, std::uint64_t offset, std::uint64_t length) {
  return offset <= size && length <= size - offset;
}

inline bool IsPowerOfTwo(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

inline std::uint64_t AlignUp(std::uint64_t v, std::uint32_t alignment) {
  return (v + alignment - 1) / alignment * alignment;
}

inline std::string Hex(std::uint64_t v) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  do {
    s.insert(s.begin(), digits[v & 15]);
    v >>= 4;
  } while (v != 0);
  return "0x" + s;
}

// The size a section occupies in memory: VirtualSize, or the raw size when a linker left it 0.
inline std::uint32_t Extent(const PeSection& s) { return s.virtual_size ? s.virtual_size : s.raw_size; }

// Bytes of the section that are backed by the file, counted from its start.
inline std::uint32_t MappedLength(const PeSection& s) {
  return s.virtual_size ? std::min(s.virtual_size, s.raw_size) : s.raw_size;
}

// The section whose memory range holds `rva`, or -1.
inline int FindSection(const PeImage& image, std::uint32_t rva) {
  for (std::size_t i = 0; i < image.sections.size(); ++i) {
    const PeSection& s = image.sections[i];
    if (rva >= s.virtual_address && rva - s.virtual_address < Extent(s)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// File offset of `length` bytes at `rva`, all of them backed by one section's raw data. An
// empty range may sit right at the end of a section.
inline bool MapRva(const PeImage& image, std::uint32_t rva, std::uint32_t length, std::uint64_t& offset) {
  for (const PeSection& s : image.sections) {
    if (rva >= s.virtual_address && InRange(MappedLength(s), rva - s.virtual_address, length)) {
      offset = static_cast<std::uint64_t>(s.raw_offset) + (rva - s.virtual_address);
      return true;
    }
  }
  return false;
}

}  // namespace boot::pe
