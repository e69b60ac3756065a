// PE32+ images as plain bytes: the header fields and section table the packer needs, the
// resource tree (read and rebuilt), and the image checksum. Portable: no <windows.h>; every read
// from the file is bounds-checked, so arbitrary bytes only ever produce an error message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace boot {

// One section header, as stored.
struct PeSection {
  std::string name;  // up to 8 bytes, trailing zeros removed
  std::uint32_t virtual_size = 0;
  std::uint32_t virtual_address = 0;
  std::uint32_t raw_size = 0;  // SizeOfRawData
  std::uint32_t raw_offset = 0;  // PointerToRawData
  std::uint32_t characteristics = 0;
};

// An RVA and size from the optional header's data directory.
struct PeDirectory {
  std::uint32_t rva = 0;  // a file offset for the certificate table
  std::uint32_t size = 0;
};

// Index of the data directory entries the packer touches.
inline constexpr std::size_t kResourceDirectory = 2;
inline constexpr std::size_t kCertificateDirectory = 4;
inline constexpr std::size_t kRelocationDirectory = 5;

// A parsed PE32+ file. `bytes` is the whole file; the other fields are validated copies of what
// it says about itself.
struct PeImage {
  std::vector<std::uint8_t> bytes;
  std::uint32_t optional_header_offset = 0;  // first byte of the optional header
  std::uint32_t section_table_offset = 0;
  std::uint32_t section_alignment = 0;
  std::uint32_t file_alignment = 0;
  std::uint32_t size_of_headers = 0;
  std::uint32_t checksum = 0;  // as stored
  std::vector<PeDirectory> directories;  // NumberOfRvaAndSizes entries
  std::vector<PeSection> sections;
  std::uint32_t sections_end = 0;  // end of the last section's raw data (or of the headers)
};

// Parses `bytes` as a PE32+ image and takes ownership of them. False, with `error` set, when
// the headers or section table are malformed, truncated or inconsistent.
[[nodiscard]] bool ParsePeImage(std::vector<std::uint8_t> bytes, PeImage& image,
                                std::string& error);

// The image checksum as the Windows loader and signing tools compute it: 16-bit one's
// complement-style sum of the file with the CheckSum field taken as zero, plus the file length.
// `checksum_offset` is the file offset of that field.
std::uint32_t ComputePeChecksum(std::span<const std::uint8_t> file, std::uint32_t checksum_offset);
// The same for the file made of `pieces`, one after the other.
std::uint32_t ComputePeChecksum(const std::vector<std::span<const std::uint8_t>>& pieces,
                                std::uint32_t checksum_offset);

// A resource type or name: a string when `text` is non-empty, else the integer `id`.
struct ResourceKey {
  std::u16string text;
  std::uint16_t id = 0;
};
bool operator==(const ResourceKey& a, const ResourceKey& b);
// Directory order: strings first (by code unit), then integers ascending.
bool operator<(const ResourceKey& a, const ResourceKey& b);

// One leaf of the resource tree with its own copy of the data.
struct PeResource {
  ResourceKey type;
  ResourceKey name;
  std::uint16_t language = 0;
  std::uint32_t codepage = 0;
  std::vector<std::uint8_t> data;
  std::uint64_t file_offset = 0;  // where the data lies in the image file (when read from one)
  std::uint64_t size = 0;  // the data's length as the directory states it
};

// Reads every resource of the image, in directory order. An image without a resource directory
// gives an empty list. False, with `error` set, when the tree is malformed: out of bounds, not
// three levels deep, shared or cyclic subdirectories, or data outside the image's sections.
// With `copy_data` false the data is left empty: `file_offset` and `size` say where it is.
[[nodiscard]] bool ReadPeResources(const PeImage& image, std::vector<PeResource>& resources,
                                   std::string& error, bool copy_data = true);

// What WritePeResources did besides replacing the resources.
struct PeWriteReport {
  bool certificate_removed = false;  // the input was signed; the output is not
  bool section_appended = false;  // a new resource section was added at the end
};

// Builds a new image: `image` with its resource tree replaced by `resources` (which must not
// hold two leaves with the same type, name and language). The resource section is rebuilt in
// place when it is last or followed only by the relocation section (which then moves up);
// otherwise a new resource section is appended. Section table, data directory, SizeOfImage,
// SizeOfInitializedData and CheckSum are updated; a certificate table is dropped. False, with
// `error` set, when the image cannot take the new tree (no room for a section header, data
// after the last section, sizes beyond 32 bits).
[[nodiscard]] bool WritePeResources(const PeImage& image, const std::vector<PeResource>& resources,
                                    std::vector<std::uint8_t>& out, PeWriteReport& report,
                                    std::string& error);

// An image as WritePeResources makes it, without the resources' data copied into it: `pieces`
// are the file in order, bytes of its own (held in `own`) and the data of the resources it was
// made from, which must outlive it.
struct PeImagePieces {
  std::vector<std::vector<std::uint8_t>> own;
  std::vector<std::span<const std::uint8_t>> pieces;
};

// WritePeResources, the image left in pieces: written out piece by piece, a large update never
// has its data in memory twice.
[[nodiscard]] bool WritePeResourcesInPieces(const PeImage& image,
                                            const std::vector<PeResource>& resources,
                                            PeImagePieces& out, PeWriteReport& report,
                                            std::string& error);

// The first leaf with this integer type and name, neutral language preferred, else the lowest
// language; nullptr when there is none.
const PeResource* FindPeResource(const std::vector<PeResource>& resources, std::uint16_t type,
                                 std::uint16_t name);

// Text for a type or name in messages: "42" or "\"NAME\"".
std::string DescribeResourceKey(const ResourceKey& key);

}  // namespace boot
