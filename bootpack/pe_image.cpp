#include "bootpack/pe_image.h"

#include <bit>
#include <cstring>
#include <utility>

#include "bootpack/pe_image_internal.h"

namespace boot {

using namespace pe;

bool ParsePeImage(std::vector<std::uint8_t> bytes, PeImage& image, std::string& error) {
  image = PeImage{};
  const std::uint64_t size = bytes.size();
  const std::uint8_t* b = bytes.data();
  if (size < 64 || b[0] != 'M' || b[1] != 'Z') {
    error = "not a PE image (no MZ header)";
    return false;
  }
  const std::uint32_t pe = Get32(b + 0x3C);
  if (!InRange(size, pe, 24) || std::memcmp(b + pe, "PE\0\0", 4) != 0) {
    error = "not a PE image (no PE signature at " + Hex(pe) + ")";
    return false;
  }
  const std::uint32_t file_header = pe + 4;
  const std::uint32_t section_count = Get16(b + file_header + 2);
  const std::uint32_t optional_size = Get16(b + file_header + 16);
  const std::uint32_t opt = file_header + 20;
  if (optional_size < kOptDataDirectory || !InRange(size, opt, optional_size)) {
    error = "optional header truncated";
    return false;
  }
  const std::uint16_t magic = Get16(b + opt);
  if (magic == 0x10B) {
    error = "a 32-bit (PE32) image; a 64-bit PE32+ image is needed";
    return false;
  }
  if (magic != 0x20B) {
    error = "unknown optional header magic " + Hex(magic);
    return false;
  }
  image.optional_header_offset = opt;
  image.section_alignment = Get32(b + opt + kOptSectionAlignment);
  image.file_alignment = Get32(b + opt + kOptFileAlignment);
  image.size_of_headers = Get32(b + opt + kOptSizeOfHeaders);
  image.checksum = Get32(b + opt + kOptCheckSum);
  const std::uint32_t directory_count = Get32(b + opt + kOptNumberOfRvaAndSizes);
  if (directory_count > 16 ||
      kOptDataDirectory + 8ull * directory_count > optional_size) {
    error = "bad data directory count " + std::to_string(directory_count);
    return false;
  }
  if (!IsPowerOfTwo(image.file_alignment) || !IsPowerOfTwo(image.section_alignment) ||
      image.file_alignment > 0x10000 || image.section_alignment > 0x10000000 ||
      image.file_alignment > image.section_alignment) {
    error = "bad alignment (file " + Hex(image.file_alignment) + ", section " +
            Hex(image.section_alignment) + ")";
    return false;
  }
  if (section_count == 0 || section_count > kMaxSections) {
    error = "bad section count " + std::to_string(section_count);
    return false;
  }
  image.section_table_offset = opt + optional_size;
  const std::uint64_t table_end =
      image.section_table_offset + static_cast<std::uint64_t>(section_count) * kSectionHeaderSize;
  if (table_end > size || image.size_of_headers < table_end || image.size_of_headers > size) {
    error = "section table or SizeOfHeaders out of bounds";
    return false;
  }
  for (std::uint32_t i = 0; i < directory_count; ++i) {
    const std::uint8_t* d = b + opt + kOptDataDirectory + 8 * i;
    image.directories.push_back({Get32(d), Get32(d + 4)});
  }

  std::uint64_t next_va = image.size_of_headers;
  image.sections_end = image.size_of_headers;
  for (std::uint32_t i = 0; i < section_count; ++i) {
    const std::uint8_t* h = b + image.section_table_offset + i * kSectionHeaderSize;
    PeSection s;
    s.name.assign(reinterpret_cast<const char*>(h), 8);
    s.name.resize(std::strlen(s.name.c_str()));
    s.virtual_size = Get32(h + 8);
    s.virtual_address = Get32(h + 12);
    s.raw_size = Get32(h + 16);
    s.raw_offset = Get32(h + 20);
    s.characteristics = Get32(h + 36);
    const std::string what = "section " + std::to_string(i) + " (" + s.name + ")";
    if (s.raw_size != 0) {
      if (!InRange(size, s.raw_offset, s.raw_size)) {
        error = what + ": raw data beyond the end of the file";
        return false;
      }
      if (s.raw_offset < image.size_of_headers) {
        error = what + ": raw data overlaps the headers";
        return false;
      }
      image.sections_end = std::max(image.sections_end, s.raw_offset + s.raw_size);
    }
    if (s.virtual_address % image.section_alignment != 0 || s.virtual_address < next_va ||
        Extent(s) == 0) {
      error = what + ": misplaced or empty in memory";
      return false;
    }
    next_va = AlignUp(static_cast<std::uint64_t>(s.virtual_address) + Extent(s),
                      image.section_alignment);
    if (next_va > 0xFFFFFFFFull) {
      error = what + ": ends beyond 4 GiB";
      return false;
    }
    image.sections.push_back(std::move(s));
  }
  if (image.directories.size() > kCertificateDirectory) {
    const PeDirectory& cert = image.directories[kCertificateDirectory];
    if (cert.size != 0 &&
        (cert.rva < image.sections_end || !InRange(size, cert.rva, cert.size))) {
      error = "certificate table out of bounds";
      return false;
    }
  }
  image.bytes = std::move(bytes);
  return true;
}

namespace {

// The plain total of the little-endian 16-bit words of p[0, n), which starts at an even offset
// of its file (a last odd byte is the low byte of its word).
std::uint64_t WordTotal(const std::uint8_t* p, std::size_t n) {
  // The definition adds the words one at a time with an end-around carry (sum = low 16 bits +
  // carry after each word). That sum depends only on the plain total of the words: it is 0 when
  // the total is, else the number in 1..0xFFFF equal to the total modulo 0xFFFF. So the words
  // are totalled eight bytes at a time, in two 32-bit lanes that are emptied before they can
  // overflow.
  std::uint64_t total = 0;
  std::size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kLanes = 0x0000FFFF0000FFFFull;
    while (n - i >= 8) {
      const std::size_t stop = std::min(n - (n - i) % 8, i + 8 * 16384);
      std::uint64_t lanes = 0;
      for (; i < stop; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        lanes += (w & kLanes) + ((w >> 16) & kLanes);
      }
      total += (lanes & 0xFFFFFFFF) + (lanes >> 32);
    }
  }
  for (; i < n; i += 2) total += p[i] | (i + 1 < n ? p[i + 1] << 8 : 0);
  return total;
}

}  // namespace

std::uint32_t ComputePeChecksum(std::span<const std::uint8_t> file,
                                std::uint32_t checksum_offset) {
  return ComputePeChecksum(std::vector<std::span<const std::uint8_t>>{file}, checksum_offset);
}

std::uint32_t ComputePeChecksum(const std::vector<std::span<const std::uint8_t>>& pieces,
                                std::uint32_t checksum_offset) {
  std::uint64_t total = 0;
  std::uint64_t at = 0;  // the file offset of the piece
  for (const std::span<const std::uint8_t> piece : pieces) {
    const std::uint8_t* p = piece.data();
    std::size_t n = piece.size();
    if (n > 0 && at % 2 == 1) {  // the high byte of a word that began in the piece before
      total += static_cast<std::uint64_t>(p[0]) << 8;
      total += WordTotal(p + 1, n - 1);
    } else {
      total += WordTotal(p, n);
    }
    // The field's four bytes count as zero wherever they sit (an odd PE header offset puts them
    // across word boundaries).
    for (std::uint64_t f = checksum_offset; f < checksum_offset + 4ull; ++f) {
      if (f >= at && f < at + n) total -= static_cast<std::uint64_t>(p[f - at]) << (8 * (f & 1));
    }
    at += n;
  }
  const std::uint64_t sum = total == 0 ? 0 : (total - 1) % 0xFFFF + 1;
  return static_cast<std::uint32_t>(sum + at);
}

bool operator==(const ResourceKey& a, const ResourceKey& b) {
  return a.text == b.text && (!a.text.empty() || a.id == b.id);
}

bool operator<(const ResourceKey& a, const ResourceKey& b) {
  const bool a_named = !a.text.empty(), b_named = !b.text.empty();
  if (a_named != b_named) return a_named;
  if (a_named) return a.text < b.text;
  return a.id < b.id;
}

std::string DescribeResourceKey(const ResourceKey& key) {
  if (key.text.empty()) return std::to_string(key.id);
  std::string s = "\"";
  for (char16_t c : key.text) s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  return s + "\"";
}

}  // namespace boot
