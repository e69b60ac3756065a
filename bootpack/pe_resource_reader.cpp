// Reading an image's resource tree: ReadPeResources and FindPeResource of pe_image.h.
#include <set>
#include <span>

#include "bootpack/pe_image.h"
#include "bootpack/pe_image_internal.h"

namespace boot {

using namespace pe;

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
}  // namespace boot
