// Small PE32+ images for the packer's tests, laid out by hand (not by the packer's writer), so
// the reader and writer are checked against an independent picture of the format. Portable.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace boot::testutil {

struct TestSection {
  std::string name;
  std::vector<std::uint8_t> data;  // raw data (padded to the file alignment in the image)
  std::uint32_t virtual_size = 0;  // 0: data.size()
  std::uint32_t characteristics = 0x40000040;  // initialized data, readable
};

// A data directory entry pointing `offset` bytes into section `section`.
struct TestDirectory {
  std::size_t index;
  std::size_t section;
  std::uint32_t offset;
  std::uint32_t size;
};

struct TestImageSpec {
  std::vector<TestSection> sections;
  std::vector<TestDirectory> directories;
  std::vector<std::uint8_t> certificate;  // appended (8-aligned) and named by directory 4
  std::vector<std::uint8_t> overlay;  // appended right after the last section
  bool crowded_headers = false;  // no zero bytes left after the section table
};

// File alignment 0x200, section alignment 0x1000, headers 0x400 bytes, sections placed in
// order from RVA 0x1000; the checksum is filled in.
std::vector<std::uint8_t> BuildTestImage(const TestImageSpec& spec);

// RVA at which BuildTestImage places section `index`.
std::uint32_t TestSectionRva(const TestImageSpec& spec, std::size_t index);

// A resource leaf with integer type and name.
struct TestLeaf {
  std::uint16_t type;
  std::uint16_t name;
  std::uint16_t language;
  std::vector<std::uint8_t> data;
};

// A resource tree for a section at `section_rva`. `leaves` must be sorted by type, name and
// language; every type and name is an integer.
std::vector<std::uint8_t> BuildResourceTree(std::uint32_t section_rva,
                                            const std::vector<TestLeaf>& leaves);

// A base relocation table with one block for page `page_rva` and two DIR64 entries.
std::vector<std::uint8_t> BuildRelocations(std::uint32_t page_rva);

std::vector<std::uint8_t> Bytes(std::string_view text);

// Little-endian field access for tests that inspect or patch headers.
std::uint32_t Read32(const std::vector<std::uint8_t>& b, std::size_t at);
std::uint16_t Read16(const std::vector<std::uint8_t>& b, std::size_t at);
void Write32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v);

// Offsets in images made by BuildTestImage.
inline constexpr std::size_t kTestPeOffset = 0x80;
inline constexpr std::size_t kTestOptionalHeader = kTestPeOffset + 24;
inline constexpr std::size_t kTestSectionTable = kTestOptionalHeader + 240;

}  // namespace boot::testutil
