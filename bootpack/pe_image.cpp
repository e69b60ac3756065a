#include "bootpack/pe_image.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <set>
#include <utility>

namespace boot {
namespace {

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

std::uint16_t Get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// True when [offset, offset + length) lies inside a buffer of `size` bytes.
bool InRange(std::uint64_t size, std::uint64_t offset, std::uint64_t length) {
  return offset <= size && length <= size - offset;
}

bool IsPowerOfTwo(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

std::uint64_t AlignUp(std::uint64_t v, std::uint32_t alignment) {
  return (v + alignment - 1) / alignment * alignment;
}

std::string Hex(std::uint64_t v) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  do {
    s.insert(s.begin(), digits[v & 15]);
    v >>= 4;
  } while (v != 0);
  return "0x" + s;
}

// The size a section occupies in memory: VirtualSize, or the raw size when a linker left it 0.
std::uint32_t Extent(const PeSection& s) { return s.virtual_size ? s.virtual_size : s.raw_size; }

// Bytes of the section that are backed by the file, counted from its start.
std::uint32_t MappedLength(const PeSection& s) {
  return s.virtual_size ? std::min(s.virtual_size, s.raw_size) : s.raw_size;
}

// The section whose memory range holds `rva`, or -1.
int FindSection(const PeImage& image, std::uint32_t rva) {
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
bool MapRva(const PeImage& image, std::uint32_t rva, std::uint32_t length, std::uint64_t& offset) {
  for (const PeSection& s : image.sections) {
    if (rva >= s.virtual_address && InRange(MappedLength(s), rva - s.virtual_address, length)) {
      offset = static_cast<std::uint64_t>(s.raw_offset) + (rva - s.virtual_address);
      return true;
    }
  }
  return false;
}

}  // namespace

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

std::uint32_t ComputePeChecksum(std::span<const std::uint8_t> file,
                                std::uint32_t checksum_offset) {
  // The definition adds the little-endian 16-bit words one at a time with an end-around carry
  // (sum = low 16 bits + carry after each word). That sum depends only on the plain total of
  // the words: it is 0 when the total is, else the number in 1..0xFFFF equal to the total
  // modulo 0xFFFF. So the words are totalled eight bytes at a time, in two 32-bit lanes that
  // are emptied before they can overflow.
  const std::size_t n = file.size();
  const std::uint8_t* p = file.data();
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
  // The field's four bytes count as zero wherever they sit (an odd PE header offset puts them
  // across word boundaries).
  for (std::size_t at = checksum_offset; at < n && at - checksum_offset < 4; ++at) {
    total -= static_cast<std::uint64_t>(p[at]) << (8 * (at & 1));
  }
  const std::uint64_t sum = total == 0 ? 0 : (total - 1) % 0xFFFF + 1;
  return static_cast<std::uint32_t>(sum + n);
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

namespace {

// Walks the three levels (type, name, language) of a resource tree inside `window`, the part of
// the resource section from the root directory to the end of its raw data.
class ResourceTreeReader {
 public:
  ResourceTreeReader(const PeImage& image, std::span<const std::uint8_t> window, bool copy_data)
      : image_(image), window_(window), copy_data_(copy_data) {}

  bool Read(std::vector<PeResource>& out, std::string& error) {
    PeResource leaf;
    return ReadDirectory(0, 0, leaf, out, error);
  }

 private:
  bool ReadDirectory(std::uint32_t offset, int level, PeResource& leaf,
                     std::vector<PeResource>& out, std::string& error) {
    if (!InRange(window_.size(), offset, 16)) {
      error = "resource directory at " + Hex(offset) + " out of bounds";
      return false;
    }
    // A real tree never shares a subdirectory; refusing repeats also stops cycles and
    // exponential blow-ups from crafted files.
    if (!visited_.insert(offset).second) {
      error = "resource directory at " + Hex(offset) + " is reached twice";
      return false;
    }
    const std::uint8_t* d = window_.data() + offset;
    const std::uint32_t named = Get16(d + 12);
    const std::uint32_t count = named + Get16(d + 14);
    if (!InRange(window_.size(), offset + 16ull, 8ull * count)) {
      error = "resource directory at " + Hex(offset) + " has entries out of bounds";
      return false;
    }
    ResourceKey previous;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* e = d + 16 + 8 * i;
      const std::uint32_t name_field = Get32(e);
      const std::uint32_t data_field = Get32(e + 4);
      ResourceKey key;
      const bool is_named = (name_field & kHighBit) != 0;
      if (is_named != (i < named)) {
        error = "resource directory at " + Hex(offset) + ": named and numbered entries mixed";
        return false;
      }
      if (is_named) {
        if (level == 2) {
          error = "resource language given as a string";
          return false;
        }
        if (!ReadName(name_field & ~kHighBit, key.text, error)) return false;
      } else {
        if (name_field > 0xFFFF) {
          error = "resource id " + Hex(name_field) + " above 65535";
          return false;
        }
        key.id = static_cast<std::uint16_t>(name_field);
      }
      if (i > 0 && !(previous < key)) {
        error = "resource directory at " + Hex(offset) + ": entries unsorted or repeated";
        return false;
      }
      previous = key;
      const bool is_directory = (data_field & kHighBit) != 0;
      if (is_directory != (level < 2)) {
        error = "resource tree is not three levels deep";
        return false;
      }
      if (level == 0) {
        leaf.type = key;
      } else if (level == 1) {
        leaf.name = key;
      } else {
        leaf.language = key.id;
      }
      if (is_directory) {
        if (!ReadDirectory(data_field & ~kHighBit, level + 1, leaf, out, error)) return false;
      } else if (!ReadData(data_field, leaf, out, error)) {
        return false;
      }
    }
    return true;
  }

  bool ReadName(std::uint32_t offset, std::u16string& text, std::string& error) {
    if (!InRange(window_.size(), offset, 2)) {
      error = "resource name at " + Hex(offset) + " out of bounds";
      return false;
    }
    const std::uint32_t length = Get16(window_.data() + offset);
    if (length == 0 || !InRange(window_.size(), offset + 2ull, 2ull * length)) {
      error = "resource name at " + Hex(offset) + " empty or out of bounds";
      return false;
    }
    text.resize(length);
    for (std::uint32_t i = 0; i < length; ++i) {
      text[i] = static_cast<char16_t>(Get16(window_.data() + offset + 2 + 2 * i));
    }
    return true;
  }

  bool ReadData(std::uint32_t offset, PeResource& leaf, std::vector<PeResource>& out,
                std::string& error) {
    if (!InRange(window_.size(), offset, 16)) {
      error = "resource data entry at " + Hex(offset) + " out of bounds";
      return false;
    }
    const std::uint8_t* e = window_.data() + offset;
    const std::uint32_t rva = Get32(e);
    const std::uint32_t length = Get32(e + 4);
    std::uint64_t file_offset = 0;
    const std::string what = "resource " + DescribeResourceKey(leaf.type) + "/" +
                             DescribeResourceKey(leaf.name) + "/" + std::to_string(leaf.language);
    if (!MapRva(image_, rva, length, file_offset)) {
      error = what + ": data at " + Hex(rva) + " (" + std::to_string(length) +
              " bytes) is outside the image's sections";
      return false;
    }
    // Leaves may share data, but not so much that the copies outgrow the file many times over.
    total_ += length;
    if (total_ > image_.bytes.size()) {
      error = what + ": resource data adds up to more than the file holds";
      return false;
    }
    leaf.codepage = Get32(e + 8);
    // The keys are copied, the data only once (a payload can be most of the image).
    PeResource& found = out.emplace_back();
    found.type = leaf.type;
    found.name = leaf.name;
    found.language = leaf.language;
    found.codepage = leaf.codepage;
    found.file_offset = file_offset;
    found.size = length;
    if (copy_data_) {
      found.data.assign(image_.bytes.begin() + static_cast<std::ptrdiff_t>(file_offset),
                        image_.bytes.begin() + static_cast<std::ptrdiff_t>(file_offset + length));
    }
    return true;
  }

  const PeImage& image_;
  std::span<const std::uint8_t> window_;
  bool copy_data_;
  std::set<std::uint32_t> visited_;
  std::uint64_t total_ = 0;
};

}  // namespace

bool ReadPeResources(const PeImage& image, std::vector<PeResource>& resources,
                     std::string& error, bool copy_data) {
  resources.clear();
  if (image.directories.size() <= kResourceDirectory) return true;
  const PeDirectory& dir = image.directories[kResourceDirectory];
  if (dir.rva == 0 && dir.size == 0) return true;
  const int index = FindSection(image, dir.rva);
  if (index < 0) {
    error = "resource directory at " + Hex(dir.rva) + " lies in no section";
    return false;
  }
  const PeSection& s = image.sections[static_cast<std::size_t>(index)];
  const std::uint32_t within = dir.rva - s.virtual_address;
  if (within >= MappedLength(s)) {
    error = "resource directory at " + Hex(dir.rva) + " is not backed by the file";
    return false;
  }
  const std::span<const std::uint8_t> window(image.bytes.data() + s.raw_offset + within,
                                             MappedLength(s) - within);
  ResourceTreeReader reader(image, window, copy_data);
  if (!reader.Read(resources, error)) {
    resources.clear();
    return false;
  }
  return true;
}

const PeResource* FindPeResource(const std::vector<PeResource>& resources, std::uint16_t type,
                                 std::uint16_t name) {
  const PeResource* found = nullptr;
  for (const PeResource& r : resources) {
    if (!r.type.text.empty() || !r.name.text.empty() || r.type.id != type || r.name.id != name) {
      continue;
    }
    if (r.language == 0) return &r;
    if (found == nullptr || r.language < found->language) found = &r;
  }
  return found;
}

namespace {

// Bytes the resource section for `resources` takes at most, so that the image it goes into can be
// allocated once: directories and data entries take at most 64 bytes per resource (plus the
// root), names their UTF-16 text and length, each blob its size rounded up to 8.
std::uint64_t ResourceSectionBound(const std::vector<PeResource>& resources) {
  std::uint64_t size = 64 * (resources.size() + 1) + 8;
  for (const PeResource& r : resources) {
    size += 4 + 2 * (r.type.text.size() + r.name.text.size()) + AlignUp(r.data.size(), 8);
  }
  return size;
}

// Lays out a resource section for `resources` at `section_rva` and appends it to `out`: every
// directory first, then the data entries, then the name strings, then the data, each blob
// 8-byte aligned. Offsets below are from the section's start, `base` in `out`. The data is
// appended blob by blob, never zero-filled first, so that the pages of a large image are
// touched only as they are written; with `release_data` each blob's own memory is freed once it
// is copied, and the image grows while the resources shrink.
bool BuildResourceSection(const std::vector<PeResource>& resources, std::uint32_t section_rva,
                          std::vector<std::uint8_t>& out, bool release_data, std::string& error) {
  const std::size_t base = out.size();
  using Languages = std::map<std::uint16_t, const PeResource*>;
  using Names = std::map<ResourceKey, Languages>;
  std::map<ResourceKey, Names> tree;
  for (const PeResource& r : resources) {
    const PeResource*& slot = tree[r.type][r.name][r.language];
    if (slot != nullptr) {
      error = "resource " + DescribeResourceKey(r.type) + "/" + DescribeResourceKey(r.name) +
              "/" + std::to_string(r.language) + " given twice";
      return false;
    }
    slot = &r;
  }

  auto directory_size = [](std::size_t entries) { return 16 + 8 * static_cast<std::uint64_t>(entries); };
  std::uint64_t size = directory_size(tree.size());
  std::map<const void*, std::uint64_t> directory_at;  // address of a tree node -> its offset
  for (auto& [type, names] : tree) {
    directory_at[&names] = size;
    size += directory_size(names.size());
  }
  for (auto& [type, names] : tree) {
    for (auto& [name, languages] : names) {
      directory_at[&languages] = size;
      size += directory_size(languages.size());
    }
  }
  const std::uint64_t data_entries_at = size;
  size += 16ull * resources.size();
  std::map<std::u16string, std::uint64_t> string_at;
  auto add_string = [&](const ResourceKey& key) {
    if (!key.text.empty() && string_at.emplace(key.text, size).second) {
      size += 2 + 2 * static_cast<std::uint64_t>(key.text.size());
    }
  };
  // Counts and name lengths are 16-bit fields.
  if (tree.size() > 0xFFFF) {
    error = "too many resource types";
    return false;
  }
  for (auto& [type, names] : tree) {
    add_string(type);
    if (names.size() > 0xFFFF || type.text.size() > 0xFFFF) {
      error = "too many resources of type " + DescribeResourceKey(type);
      return false;
    }
    for (auto& [name, languages] : names) {
      add_string(name);
      if (languages.size() > 0xFFFF || name.text.size() > 0xFFFF) {
        error = "too many languages or too long a name for resource " + DescribeResourceKey(name);
        return false;
      }
    }
  }
  std::uint64_t data_at = AlignUp(size, 8);
  size = data_at;
  for (const PeResource& r : resources) size = AlignUp(size + r.data.size(), 8);
  if (section_rva + size > 0xFFFFFFFFull) {
    error = "resources too large for a PE image (" + std::to_string(size) + " bytes)";
    return false;
  }

  out.resize(base + static_cast<std::size_t>(data_at), 0);
  // Every write below is at an offset within the section, before its data.
  const auto put16 = [&](std::uint64_t at, std::uint16_t v) { Put16(out, base + at, v); };
  const auto put32 = [&](std::uint64_t at, std::uint32_t v) { Put32(out, base + at, v); };
  auto put_header = [&](std::uint64_t at, std::size_t named, std::size_t ids) {
    put16(at + 12, static_cast<std::uint16_t>(named));
    put16(at + 14, static_cast<std::uint16_t>(ids));
  };
  auto key_field = [&](const ResourceKey& key) -> std::uint32_t {
    return key.text.empty() ? key.id : static_cast<std::uint32_t>(string_at[key.text]) | kHighBit;
  };
  auto count_named = [](const auto& map) {
    std::size_t n = 0;
    for (const auto& entry : map) n += entry.first.text.empty() ? 0 : 1;
    return n;
  };
  for (const auto& [text, at] : string_at) {
    put16(at, static_cast<std::uint16_t>(text.size()));
    for (std::size_t i = 0; i < text.size(); ++i) put16(at + 2 + 2 * i, text[i]);
  }
  put_header(0, count_named(tree), tree.size() - count_named(tree));
  std::uint64_t entry = 16;
  std::uint64_t next_data_entry = data_entries_at;
  for (auto& [type, names] : tree) {
    put32(entry, key_field(type));
    put32(entry + 4, static_cast<std::uint32_t>(directory_at[&names]) | kHighBit);
    entry += 8;
    const std::uint64_t names_at = directory_at[&names];
    put_header(names_at, count_named(names), names.size() - count_named(names));
    std::uint64_t name_entry = names_at + 16;
    for (auto& [name, languages] : names) {
      put32(name_entry, key_field(name));
      put32(name_entry + 4, static_cast<std::uint32_t>(directory_at[&languages]) | kHighBit);
      name_entry += 8;
      const std::uint64_t languages_at = directory_at[&languages];
      put_header(languages_at, 0, languages.size());
      std::uint64_t language_entry = languages_at + 16;
      for (const auto& [language, resource] : languages) {
        put32(language_entry, language);
        put32(language_entry + 4, static_cast<std::uint32_t>(next_data_entry));
        language_entry += 8;
        put32(next_data_entry, static_cast<std::uint32_t>(section_rva + data_at));
        put32(next_data_entry + 4, static_cast<std::uint32_t>(resource->data.size()));
        put32(next_data_entry + 8, resource->codepage);
        next_data_entry += 16;
        out.resize(base + static_cast<std::size_t>(data_at), 0);  // the padding before it
        out.insert(out.end(), resource->data.begin(), resource->data.end());
        data_at = AlignUp(data_at + resource->data.size(), 8);
        if (release_data) {
          // The caller's own resources (see WritePeResources): only their bytes go.
          std::vector<std::uint8_t>().swap(const_cast<PeResource*>(resource)->data);
        }
      }
    }
  }
  out.resize(base + static_cast<std::size_t>(size), 0);
  return true;
}

// Which data directories point into section `index` (the certificate table, a file offset, is
// never counted).
std::vector<std::size_t> DirectoriesInSection(const PeImage& image, std::size_t index) {
  std::vector<std::size_t> found;
  for (std::size_t i = 0; i < image.directories.size(); ++i) {
    const PeDirectory& d = image.directories[i];
    if (i == kCertificateDirectory || (d.rva == 0 && d.size == 0)) continue;
    if (FindSection(image, d.rva) == static_cast<int>(index)) found.push_back(i);
  }
  return found;
}

// True when section `index` holds the base relocation table and nothing else any directory
// points at, so it can move to another address: relocation blocks name pages of other
// sections, never their own.
bool IsRelocationOnly(const PeImage& image, std::size_t index) {
  const std::vector<std::size_t> in = DirectoriesInSection(image, index);
  if (in.size() != 1 || in[0] != kRelocationDirectory) return false;
  const PeDirectory& d = image.directories[kRelocationDirectory];
  const PeSection& s = image.sections[index];
  return InRange(MappedLength(s), d.rva - s.virtual_address, d.size);
}

// True when a base relocation block names a page inside [begin, end) of the image. Rebuilding a
// section that the loader patches would corrupt it.
bool RelocationsTouch(const PeImage& image, std::uint64_t begin, std::uint64_t end) {
  if (image.directories.size() <= kRelocationDirectory) return false;
  const PeDirectory& d = image.directories[kRelocationDirectory];
  std::uint64_t at = 0;
  if (d.size == 0 || !MapRva(image, d.rva, d.size, at)) return d.size != 0;
  const std::uint64_t stop = at + d.size;
  while (at + 8 <= stop) {
    const std::uint32_t page = Get32(image.bytes.data() + at);
    const std::uint32_t block = Get32(image.bytes.data() + at + 4);
    if (page + 0x1000ull > begin && page < end) return true;
    if (block < 8) break;
    at += block;
  }
  return false;
}

}  // namespace

bool WritePeResources(const PeImage& image, const std::vector<PeResource>& resources,
                      std::vector<std::uint8_t>& out, PeWriteReport& report, std::string& error,
                      bool release_data) {
  report = PeWriteReport{};
  out.clear();
  if (image.directories.size() <= kResourceDirectory) {
    error = "the image's data directory has no resource entry";
    return false;
  }
  const std::uint32_t fa = image.file_alignment;
  const std::uint32_t sa = image.section_alignment;
  const std::uint32_t opt = image.optional_header_offset;
  const std::vector<std::uint8_t>& in = image.bytes;

  // Bytes after the last section other than zero padding and a certificate table cannot be
  // kept in place: symbol tables and appended archives would end up in the middle of the file.
  std::uint64_t content_end = in.size();
  if (image.directories.size() > kCertificateDirectory &&
      image.directories[kCertificateDirectory].size != 0) {
    report.certificate_removed = true;
    const PeDirectory& cert = image.directories[kCertificateDirectory];
    content_end = cert.rva;
    for (std::uint64_t i = cert.rva + static_cast<std::uint64_t>(cert.size); i < in.size(); ++i) {
      if (in[i] != 0) {
        error = "the image has data after its certificate table";
        return false;
      }
    }
  }
  for (std::uint64_t i = image.sections_end; i < content_end; ++i) {
    if (in[i] != 0) {
      error = "the image has " + std::to_string(content_end - image.sections_end) +
              " bytes after its last section (symbols or appended data); strip it first";
      return false;
    }
  }

  std::vector<PeSection> sections = image.sections;
  std::vector<PeDirectory> directories = image.directories;
  const PeDirectory old_dir = directories[kResourceDirectory];
  const int found = (old_dir.rva != 0 || old_dir.size != 0) ? FindSection(image, old_dir.rva) : -1;

  // Rebuild in place when the old resource section starts with the tree, holds nothing else and
  // is followed by nothing but the relocation table.
  bool in_place = found >= 0;
  std::size_t r = in_place ? static_cast<std::size_t>(found) : 0;
  if (in_place) {
    const PeSection& s = sections[r];
    in_place = old_dir.rva == s.virtual_address && s.raw_size != 0 &&
               DirectoriesInSection(image, r) == std::vector<std::size_t>{kResourceDirectory} &&
               !RelocationsTouch(image, s.virtual_address,
                                 AlignUp(static_cast<std::uint64_t>(s.virtual_address) + Extent(s), sa));
    for (std::size_t i = 0; in_place && i < sections.size(); ++i) {
      if (i < r) {
        in_place = sections[i].raw_size == 0 ||
                   sections[i].raw_offset + static_cast<std::uint64_t>(sections[i].raw_size) <=
                       s.raw_offset;
      } else if (i > r) {
        in_place = IsRelocationOnly(image, i) &&
                   sections[i].raw_offset >= s.raw_offset + static_cast<std::uint64_t>(s.raw_size);
      }
    }
  }

  std::uint64_t rsrc_rva = 0;
  if (in_place) {
    rsrc_rva = sections[r].virtual_address;
  } else {
    const std::uint64_t table_end =
        image.section_table_offset + static_cast<std::uint64_t>(sections.size()) * kSectionHeaderSize;
    std::uint64_t first_raw = image.size_of_headers;
    for (const PeSection& s : sections) {
      if (s.raw_size != 0) first_raw = std::min<std::uint64_t>(first_raw, s.raw_offset);
    }
    bool room = sections.size() < kMaxSections && table_end + kSectionHeaderSize <= first_raw;
    for (std::uint64_t i = table_end; room && i < table_end + kSectionHeaderSize; ++i) {
      room = in[i] == 0;
    }
    for (std::size_t i = 0; room && i < directories.size(); ++i) {
      const PeDirectory& d = directories[i];
      room = i == kCertificateDirectory || d.size == 0 || d.rva >= table_end + kSectionHeaderSize ||
             d.rva + static_cast<std::uint64_t>(d.size) <= table_end;
    }
    if (!room) {
      error = "no room in the headers for another section header";
      return false;
    }
    const PeSection& last = sections.back();
    rsrc_rva = AlignUp(static_cast<std::uint64_t>(last.virtual_address) + Extent(last), sa);
    PeSection added;
    added.name = ".rsrc";
    added.virtual_address = static_cast<std::uint32_t>(rsrc_rva);
    added.raw_offset = static_cast<std::uint32_t>(AlignUp(image.sections_end, fa));
    added.characteristics = kScnInitializedData | kScnMemRead;
    sections.push_back(added);
    r = sections.size() - 1;
    report.section_appended = true;
  }

  // The output is allocated once, at its largest: the resources can be most of it, and a
  // second copy of them (or a reallocation) would double the memory a big update takes.
  PeSection& rsrc = sections[r];
  // The resources start on a page of the file. A loader can then map them straight from the
  // file, read only where they are used; Wine reads a section that starts inside a page into
  // private memory as a whole when the image is loaded, which put every compressed payload in
  // the update's memory at once.
  rsrc.raw_offset = static_cast<std::uint32_t>(AlignUp(rsrc.raw_offset, std::max<std::uint32_t>(fa, 4096)));
  std::uint64_t tail = 0;  // the sections that move behind the rebuilt one
  for (std::size_t i = r + 1; i < sections.size(); ++i) tail += AlignUp(sections[i].raw_size, fa);
  const std::uint64_t bound = rsrc.raw_offset + AlignUp(ResourceSectionBound(resources), fa) + tail;
  if (bound <= 0xFFFFFFFFull) out.reserve(static_cast<std::size_t>(bound));  // else it cannot fit
  out.assign(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(
                                          in_place ? image.sections[r].raw_offset : image.sections_end));
  out.resize(rsrc.raw_offset, 0);
  if (!BuildResourceSection(resources, static_cast<std::uint32_t>(rsrc_rva), out, release_data,
                            error)) {
    return false;
  }
  const std::uint64_t tree_size = out.size() - rsrc.raw_offset;
  if (tree_size > 0xFFFFFFFFull) {
    error = "resources too large for a PE image";
    return false;
  }

  const std::uint32_t old_raw_size = rsrc.raw_size;
  rsrc.virtual_size = static_cast<std::uint32_t>(tree_size);
  const std::uint64_t new_raw_size = AlignUp(tree_size, fa);
  std::uint64_t next_va = AlignUp(rsrc_rva + tree_size, sa);
  std::uint64_t next_raw = rsrc.raw_offset + new_raw_size;
  if (next_va > 0xFFFFFFFFull || next_raw > 0xFFFFFFFFull) {
    error = "the image would grow beyond 4 GiB";
    return false;
  }
  rsrc.raw_size = static_cast<std::uint32_t>(new_raw_size);
  out.resize(static_cast<std::size_t>(next_raw), 0);

  // Sections behind the rebuilt one (only the relocation table) move up or down as a whole.
  for (std::size_t i = r + 1; i < sections.size(); ++i) {
    PeSection& s = sections[i];
    const std::int64_t delta = static_cast<std::int64_t>(next_va) - s.virtual_address;
    directories[kRelocationDirectory].rva =
        static_cast<std::uint32_t>(directories[kRelocationDirectory].rva + delta);
    s.virtual_address = static_cast<std::uint32_t>(next_va);
    if (s.raw_size != 0) {
      const auto from = in.begin() + s.raw_offset;
      s.raw_offset = static_cast<std::uint32_t>(next_raw);
      out.insert(out.end(), from, from + s.raw_size);
      next_raw = AlignUp(next_raw + s.raw_size, fa);
      out.resize(static_cast<std::size_t>(next_raw), 0);
    }
    next_va = AlignUp(static_cast<std::uint64_t>(s.virtual_address) + Extent(s), sa);
    if (next_va > 0xFFFFFFFFull || next_raw > 0xFFFFFFFFull) {
      error = "the image would grow beyond 4 GiB";
      return false;
    }
  }

  // Headers: section table, sizes, data directory, checksum last.
  Put16(out, opt - 20 + 2, static_cast<std::uint16_t>(sections.size()));
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const PeSection& s = sections[i];
    const std::size_t at = image.section_table_offset + i * kSectionHeaderSize;
    if (i == r && report.section_appended) {
      std::fill(out.begin() + static_cast<std::ptrdiff_t>(at),
                out.begin() + static_cast<std::ptrdiff_t>(at + kSectionHeaderSize), 0);
      std::memcpy(out.data() + at, s.name.data(), s.name.size());
      Put32(out, at + 36, s.characteristics);
    }
    Put32(out, at + 8, s.virtual_size);
    Put32(out, at + 12, s.virtual_address);
    Put32(out, at + 16, s.raw_size);
    Put32(out, at + 20, s.raw_offset);
  }
  std::uint64_t image_end = 0;
  for (const PeSection& s : sections) {
    image_end = std::max<std::uint64_t>(image_end, AlignUp(s.virtual_address + static_cast<std::uint64_t>(Extent(s)), sa));
  }
  Put32(out, opt + kOptSizeOfImage, static_cast<std::uint32_t>(image_end));
  if (rsrc.characteristics & kScnInitializedData) {
    const std::uint32_t initialized = Get32(out.data() + opt + kOptSizeOfInitializedData);
    Put32(out, opt + kOptSizeOfInitializedData,
          static_cast<std::uint32_t>(initialized - old_raw_size + rsrc.raw_size));
  }
  directories[kResourceDirectory] = {static_cast<std::uint32_t>(rsrc_rva),
                                     static_cast<std::uint32_t>(tree_size)};
  if (directories.size() > kCertificateDirectory) directories[kCertificateDirectory] = {};
  for (std::size_t i = 0; i < directories.size(); ++i) {
    Put32(out, opt + kOptDataDirectory + 8 * i, directories[i].rva);
    Put32(out, opt + kOptDataDirectory + 8 * i + 4, directories[i].size);
  }
  Put32(out, opt + kOptCheckSum, 0);
  Put32(out, opt + kOptCheckSum, ComputePeChecksum(out, opt + kOptCheckSum));
  return true;
}

}  // namespace boot
