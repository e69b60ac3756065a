#include "bootpack/test_image.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace boot::testutil {
namespace {

constexpr std::uint32_t kFileAlignment = 0x200;
constexpr std::uint32_t kSectionAlignment = 0x1000;
constexpr std::uint32_t kHeaders = 0x400;

std::uint32_t Align(std::uint64_t v, std::uint32_t a) {
  return static_cast<std::uint32_t>((v + a - 1) / a * a);
}

void Write16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// The textbook checksum, written out independently of the packer's.
std::uint32_t Checksum(const std::vector<std::uint8_t>& b, std::size_t field) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < b.size(); i += 2) {
    std::uint32_t word = b[i] | (i + 1 < b.size() ? b[i + 1] << 8 : 0);
    if (i == field || i == field + 2) word = 0;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return sum + static_cast<std::uint32_t>(b.size());
}

}  // namespace

std::uint32_t Read32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint16_t Read16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
void Write32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::vector<std::uint8_t> Bytes(std::string_view text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::uint32_t TestSectionRva(const TestImageSpec& spec, std::size_t index) {
  std::uint32_t rva = kSectionAlignment;
  for (std::size_t i = 0; i < index; ++i) {
    const TestSection& s = spec.sections[i];
    rva = Align(rva + (s.virtual_size ? s.virtual_size : s.data.size()), kSectionAlignment);
  }
  return rva;
}

std::vector<std::uint8_t> BuildTestImage(const TestImageSpec& spec) {
  std::vector<std::uint8_t> b(kHeaders, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Write32(b, 0x3C, kTestPeOffset);
  std::memcpy(&b[kTestPeOffset], "PE\0\0", 4);
  const std::size_t fh = kTestPeOffset + 4;
  Write16(b, fh, 0x8664);
  Write16(b, fh + 2, static_cast<std::uint16_t>(spec.sections.size()));
  Write16(b, fh + 16, 240);
  Write16(b, fh + 18, 0x22);  // executable, large address aware
  const std::size_t opt = kTestOptionalHeader;
  Write16(b, opt, 0x20B);
  Write32(b, opt + 16, 0x1000);  // entry point
  Write32(b, opt + 24, 0x40000000);  // ImageBase 0x140000000
  Write32(b, opt + 28, 0x1);
  Write32(b, opt + 32, kSectionAlignment);
  Write32(b, opt + 36, kFileAlignment);
  Write16(b, opt + 48, 6);  // subsystem version 6.0
  Write32(b, opt + 60, kHeaders);
  Write16(b, opt + 68, 2);  // GUI
  Write16(b, opt + 70, 0x160);
  Write32(b, opt + 108, 16);

  std::uint32_t initialized = 0;
  std::uint32_t image_end = kSectionAlignment;
  for (std::size_t i = 0; i < spec.sections.size(); ++i) {
    const TestSection& s = spec.sections[i];
    const std::size_t h = kTestSectionTable + 40 * i;
    std::memcpy(&b[h], s.name.data(), std::min<std::size_t>(8, s.name.size()));
    const std::uint32_t rva = TestSectionRva(spec, i);
    const std::uint32_t vsize = s.virtual_size ? s.virtual_size : static_cast<std::uint32_t>(s.data.size());
    const std::uint32_t raw = Align(s.data.size(), kFileAlignment);
    Write32(b, h + 8, vsize);
    Write32(b, h + 12, rva);
    Write32(b, h + 16, raw);
    Write32(b, h + 20, raw ? static_cast<std::uint32_t>(b.size()) : 0);
    Write32(b, h + 36, s.characteristics);
    b.insert(b.end(), s.data.begin(), s.data.end());
    b.resize(b.size() + (raw - s.data.size()), 0);
    if (s.characteristics & 0x40) initialized += raw;
    image_end = Align(rva + vsize, kSectionAlignment);
  }
  Write32(b, opt + 8, initialized);
  Write32(b, opt + 56, image_end);
  for (const TestDirectory& d : spec.directories) {
    Write32(b, opt + 112 + 8 * d.index, TestSectionRva(spec, d.section) + d.offset);
    Write32(b, opt + 112 + 8 * d.index + 4, d.size);
  }
  if (spec.crowded_headers) {
    const std::size_t table_end = kTestSectionTable + 40 * spec.sections.size();
    std::fill(b.begin() + static_cast<std::ptrdiff_t>(table_end), b.begin() + kHeaders, 0xCC);
  }
  b.insert(b.end(), spec.overlay.begin(), spec.overlay.end());
  if (!spec.certificate.empty()) {
    b.resize(Align(b.size(), 8), 0);
    Write32(b, opt + 112 + 8 * 4, static_cast<std::uint32_t>(b.size()));
    Write32(b, opt + 112 + 8 * 4 + 4, static_cast<std::uint32_t>(spec.certificate.size()));
    b.insert(b.end(), spec.certificate.begin(), spec.certificate.end());
  }
  Write32(b, opt + 64, Checksum(b, opt + 64));
  return b;
}

std::vector<std::uint8_t> BuildResourceTree(std::uint32_t section_rva,
                                            const std::vector<TestLeaf>& leaves) {
  // Group the leaves: type -> name -> indices of leaves.
  std::map<std::uint16_t, std::map<std::uint16_t, std::vector<std::size_t>>> tree;
  for (std::size_t i = 0; i < leaves.size(); ++i) tree[leaves[i].type][leaves[i].name].push_back(i);

  // Sizes first: root, type directories, name directories, data entries, data.
  std::size_t size = 16 + 8 * tree.size();
  for (const auto& [type, names] : tree) size += 16 + 8 * names.size();
  for (const auto& [type, names] : tree) {
    for (const auto& [name, list] : names) size += 16 + 8 * list.size();
  }
  const std::size_t entries_at = size;
  size += 16 * leaves.size();
  std::size_t data_at = size;
  for (const TestLeaf& leaf : leaves) size = Align(size + leaf.data.size(), 4);

  std::vector<std::uint8_t> b(size, 0);
  std::size_t next_dir = 16 + 8 * tree.size();
  std::size_t next_entry = entries_at;
  Write16(b, 14, static_cast<std::uint16_t>(tree.size()));
  std::size_t type_slot = 16;
  // Name directories follow all type directories.
  std::size_t name_dir = next_dir;
  for (const auto& [type, names] : tree) name_dir += 16 + 8 * names.size();
  for (const auto& [type, names] : tree) {
    Write32(b, type_slot, type);
    Write32(b, type_slot + 4, 0x80000000u | static_cast<std::uint32_t>(next_dir));
    type_slot += 8;
    Write16(b, next_dir + 14, static_cast<std::uint16_t>(names.size()));
    std::size_t name_slot = next_dir + 16;
    next_dir += 16 + 8 * names.size();
    for (const auto& [name, list] : names) {
      Write32(b, name_slot, name);
      Write32(b, name_slot + 4, 0x80000000u | static_cast<std::uint32_t>(name_dir));
      name_slot += 8;
      Write16(b, name_dir + 14, static_cast<std::uint16_t>(list.size()));
      std::size_t language_slot = name_dir + 16;
      name_dir += 16 + 8 * list.size();
      for (const std::size_t index : list) {
        const TestLeaf& leaf = leaves[index];
        Write32(b, language_slot, leaf.language);
        Write32(b, language_slot + 4, static_cast<std::uint32_t>(next_entry));
        language_slot += 8;
        Write32(b, next_entry, section_rva + static_cast<std::uint32_t>(data_at));
        Write32(b, next_entry + 4, static_cast<std::uint32_t>(leaf.data.size()));
        next_entry += 16;
        std::copy(leaf.data.begin(), leaf.data.end(), b.begin() + static_cast<std::ptrdiff_t>(data_at));
        data_at = Align(data_at + leaf.data.size(), 4);
      }
    }
  }
  return b;
}

std::vector<std::uint8_t> BuildRelocations(std::uint32_t page_rva) {
  std::vector<std::uint8_t> b(12, 0);
  Write32(b, 0, page_rva);
  Write32(b, 4, 12);
  Write16(b, 8, 0xA010);  // DIR64 at page offset 0x10
  Write16(b, 10, 0x0000);  // padding entry
  return b;
}

}  // namespace boot::testutil
