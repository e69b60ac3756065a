// Writing an image with a new resource tree: WritePeResources of pe_image.h.
#include <cstring>
#include <map>
#include <span>
#include <utility>

#include "bootpack/pe_image.h"
#include "bootpack/pe_image_internal.h"

namespace boot {

using namespace pe;

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

// The new image while it is built. Its headers and resource tree are bytes of its own, which
// the builder patches in place; a resource's data is copied in, or, when `splice` is set, only
// referenced where it goes, so that writing the image out never needs a copy of the data.
// Everything after the first referenced data is appended, never patched.
class ImageOut {
 public:
  explicit ImageOut(bool splice) : splice_(splice), parts_(1) {}

  std::uint64_t size() const { return size_; }
  // The bytes before the first referenced data: headers, sections and the resource tree.
  std::vector<std::uint8_t>& head() { return parts_.front().own; }
  // Room for the whole image, which is all head unless the data is referenced.
  void reserve(std::uint64_t bytes) {
    if (!splice_) head().reserve(static_cast<std::size_t>(bytes));
  }

  void Append(const std::uint8_t* bytes, std::size_t n) {
    std::vector<std::uint8_t>& last = parts_.back().own;
    last.insert(last.end(), bytes, bytes + n);
    size_ += n;
  }
  // Zeros up to `end`, which is not below the size.
  void PadTo(std::uint64_t end) {
    std::vector<std::uint8_t>& last = parts_.back().own;
    last.resize(last.size() + static_cast<std::size_t>(end - size_), 0);
    size_ = end;
  }
  void AppendData(const std::vector<std::uint8_t>& data) {
    if (!splice_) return Append(data.data(), data.size());
    parts_.push_back({{}, &data});
    parts_.push_back({});
    size_ += data.size();
  }

  // The image in file order.
  std::vector<std::span<const std::uint8_t>> Pieces() const {
    std::vector<std::span<const std::uint8_t>> pieces;
    for (const Part& part : parts_) {
      const std::vector<std::uint8_t>& bytes = part.data != nullptr ? *part.data : part.own;
      if (!bytes.empty()) pieces.emplace_back(bytes.data(), bytes.size());
    }
    return pieces;
  }
  // Hands over the bytes of its own, in file order.
  std::vector<std::vector<std::uint8_t>> TakeOwn() {
    std::vector<std::vector<std::uint8_t>> own;
    for (Part& part : parts_) {
      if (part.data == nullptr) own.push_back(std::move(part.own));
    }
    return own;
  }

 private:
  struct Part {
    std::vector<std::uint8_t> own;
    const std::vector<std::uint8_t>* data = nullptr;  // referenced data instead
  };
  bool splice_;
  std::vector<Part> parts_;
  std::uint64_t size_ = 0;
};

// Lays out a resource section for `resources` at `section_rva` and appends it to `out`: every
// directory first, then the data entries, then the name strings, then the data, each blob
// 8-byte aligned. Offsets below are from the section's start, `base` in `out`. The data is
// appended blob by blob, never zero-filled first, so that the pages of a large image are
// touched only as they are written.
bool BuildResourceSection(const std::vector<PeResource>& resources, std::uint32_t section_rva,
                          ImageOut& out, std::string& error) {
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

  out.PadTo(base + data_at);
  // Every write below is at an offset within the section, before its data: in the head.
  const auto put16 = [&](std::uint64_t at, std::uint16_t v) { Put16(out.head(), base + at, v); };
  const auto put32 = [&](std::uint64_t at, std::uint32_t v) { Put32(out.head(), base + at, v); };
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
        out.PadTo(base + data_at);  // the padding before it
        out.AppendData(resource->data);
        data_at = AlignUp(data_at + resource->data.size(), 8);
      }
    }
  }
  out.PadTo(base + size);
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

// The new image's section table and data directory while it is built, and which section takes
// the resource tree.
struct NewLayout {
  std::vector<PeSection> sections;
  std::vector<PeDirectory> directories;
  std::size_t rsrc = 0;  // index of the resource section in `sections`
  bool appended = false;  // that section is new
  std::uint32_t old_raw_size = 0;  // its raw size in the input (0 when new)
};

// Bytes after the last section other than zero padding and a certificate table cannot be kept
// in place: symbol tables and appended archives would end up in the middle of the file. Sets
// `certificate_removed` when there is a certificate table (it is dropped).
bool CheckNothingAfterSections(const PeImage& image, bool& certificate_removed,
                               std::string& error) {
  const std::vector<std::uint8_t>& in = image.bytes;
  std::uint64_t content_end = in.size();
  if (image.directories.size() > kCertificateDirectory &&
      image.directories[kCertificateDirectory].size != 0) {
    certificate_removed = true;
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
  return true;
}

// True when section `r`, the old resource section, can be rebuilt where it is: it starts with
// the tree, holds nothing else, no relocation patches it, and it is followed by nothing but the
// relocation table.
bool CanRebuildInPlace(const PeImage& image, std::size_t r) {
  const std::vector<PeSection>& sections = image.sections;
  const PeSection& s = sections[r];
  bool in_place =
      image.directories[kResourceDirectory].rva == s.virtual_address && s.raw_size != 0 &&
      DirectoriesInSection(image, r) == std::vector<std::size_t>{kResourceDirectory} &&
      !RelocationsTouch(image, s.virtual_address,
                        AlignUp(static_cast<std::uint64_t>(s.virtual_address) + Extent(s),
                                image.section_alignment));
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
  return in_place;
}

// Adds an empty ".rsrc" section after the last one, when the headers have a free, zeroed slot
// for its header that no data directory points into.
bool AppendResourceSection(const PeImage& image, NewLayout& layout, std::string& error) {
  std::vector<PeSection>& sections = layout.sections;
  const std::uint64_t table_end =
      image.section_table_offset + static_cast<std::uint64_t>(sections.size()) * kSectionHeaderSize;
  std::uint64_t first_raw = image.size_of_headers;
  for (const PeSection& s : sections) {
    if (s.raw_size != 0) first_raw = std::min<std::uint64_t>(first_raw, s.raw_offset);
  }
  bool room = sections.size() < kMaxSections && table_end + kSectionHeaderSize <= first_raw;
  for (std::uint64_t i = table_end; room && i < table_end + kSectionHeaderSize; ++i) {
    room = image.bytes[i] == 0;
  }
  for (std::size_t i = 0; room && i < layout.directories.size(); ++i) {
    const PeDirectory& d = layout.directories[i];
    room = i == kCertificateDirectory || d.size == 0 || d.rva >= table_end + kSectionHeaderSize ||
           d.rva + static_cast<std::uint64_t>(d.size) <= table_end;
  }
  if (!room) {
    error = "no room in the headers for another section header";
    return false;
  }
  const PeSection& last = sections.back();
  PeSection added;
  added.name = ".rsrc";
  added.virtual_address = static_cast<std::uint32_t>(
      AlignUp(static_cast<std::uint64_t>(last.virtual_address) + Extent(last), image.section_alignment));
  added.raw_offset = static_cast<std::uint32_t>(AlignUp(image.sections_end, image.file_alignment));
  added.characteristics = kScnInitializedData | kScnMemRead;
  sections.push_back(added);
  layout.rsrc = sections.size() - 1;
  layout.appended = true;
  return true;
}

// Writes `out` up to the end of the resource section: the input up to where that section
// starts, then the new tree at the start of a file page, padded to the file alignment. The
// output is allocated once, at its largest: the resources can be most of it, and a second copy
// of them (or a reallocation) would double the memory a big update takes.
bool WriteResourceSection(const PeImage& image, const std::vector<PeResource>& resources,
                          NewLayout& layout, ImageOut& out, std::string& error) {
  const std::uint32_t fa = image.file_alignment;
  const std::vector<std::uint8_t>& in = image.bytes;
  PeSection& rsrc = layout.sections[layout.rsrc];
  const std::uint64_t copied = layout.appended ? image.sections_end : rsrc.raw_offset;
  // The resources start on a page of the file. A loader can then map them straight from the
  // file, read only where they are used; Wine reads a section that starts inside a page into
  // private memory as a whole when the image is loaded, which put every compressed payload in
  // the update's memory at once.
  rsrc.raw_offset = static_cast<std::uint32_t>(AlignUp(rsrc.raw_offset, std::max<std::uint32_t>(fa, 4096)));
  std::uint64_t tail = 0;  // the sections that move behind the rebuilt one
  for (std::size_t i = layout.rsrc + 1; i < layout.sections.size(); ++i) {
    tail += AlignUp(layout.sections[i].raw_size, fa);
  }
  const std::uint64_t bound = rsrc.raw_offset + AlignUp(ResourceSectionBound(resources), fa) + tail;
  if (bound <= 0xFFFFFFFFull) out.reserve(static_cast<std::size_t>(bound));  // else it cannot fit
  out.Append(in.data(), static_cast<std::size_t>(copied));
  out.PadTo(rsrc.raw_offset);
  if (!BuildResourceSection(resources, rsrc.virtual_address, out, error)) {
    return false;
  }
  const std::uint64_t tree_size = out.size() - rsrc.raw_offset;
  if (tree_size > 0xFFFFFFFFull) {
    error = "resources too large for a PE image";
    return false;
  }
  layout.old_raw_size = rsrc.raw_size;
  rsrc.virtual_size = static_cast<std::uint32_t>(tree_size);
  const std::uint64_t new_raw_size = AlignUp(tree_size, fa);
  const std::uint64_t next_va = AlignUp(rsrc.virtual_address + tree_size, image.section_alignment);
  const std::uint64_t next_raw = rsrc.raw_offset + new_raw_size;
  if (next_va > 0xFFFFFFFFull || next_raw > 0xFFFFFFFFull) {
    error = "the image would grow beyond 4 GiB";
    return false;
  }
  rsrc.raw_size = static_cast<std::uint32_t>(new_raw_size);
  out.PadTo(next_raw);
  layout.directories[kResourceDirectory] = {rsrc.virtual_address,
                                            static_cast<std::uint32_t>(tree_size)};
  return true;
}

// Appends the sections behind the resource section (only the relocation table) to `out`,
// moved up or down as a whole, and points the relocation directory at their new place.
bool MoveTrailingSections(const PeImage& image, NewLayout& layout, ImageOut& out, std::string& error) {
  const std::uint32_t fa = image.file_alignment;
  const std::uint32_t sa = image.section_alignment;
  const PeSection& rsrc = layout.sections[layout.rsrc];
  std::uint64_t next_va = AlignUp(static_cast<std::uint64_t>(rsrc.virtual_address) + rsrc.virtual_size, sa);
  std::uint64_t next_raw = out.size();
  for (std::size_t i = layout.rsrc + 1; i < layout.sections.size(); ++i) {
    PeSection& s = layout.sections[i];
    const std::int64_t delta = static_cast<std::int64_t>(next_va) - s.virtual_address;
    PeDirectory& relocations = layout.directories[kRelocationDirectory];
    relocations.rva = static_cast<std::uint32_t>(relocations.rva + delta);
    s.virtual_address = static_cast<std::uint32_t>(next_va);
    if (s.raw_size != 0) {
      const std::uint8_t* from = image.bytes.data() + s.raw_offset;
      s.raw_offset = static_cast<std::uint32_t>(next_raw);
      out.Append(from, s.raw_size);
      next_raw = AlignUp(next_raw + s.raw_size, fa);
      out.PadTo(next_raw);
    }
    next_va = AlignUp(static_cast<std::uint64_t>(s.virtual_address) + Extent(s), sa);
    if (next_va > 0xFFFFFFFFull || next_raw > 0xFFFFFFFFull) {
      error = "the image would grow beyond 4 GiB";
      return false;
    }
  }
  return true;
}

// Writes the headers of `out` from the layout: section count and table, SizeOfImage,
// SizeOfInitializedData, the data directory without a certificate table, and the checksum last.
void WriteHeaders(const PeImage& image, NewLayout& layout, ImageOut& image_out) {
  std::vector<std::uint8_t>& out = image_out.head();
  const std::uint32_t opt = image.optional_header_offset;
  const std::vector<PeSection>& sections = layout.sections;
  Put16(out, opt - 20 + 2, static_cast<std::uint16_t>(sections.size()));
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const PeSection& s = sections[i];
    const std::size_t at = image.section_table_offset + i * kSectionHeaderSize;
    if (i == layout.rsrc && layout.appended) {
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
    image_end = std::max<std::uint64_t>(
        image_end, AlignUp(s.virtual_address + static_cast<std::uint64_t>(Extent(s)), image.section_alignment));
  }
  Put32(out, opt + kOptSizeOfImage, static_cast<std::uint32_t>(image_end));
  const PeSection& rsrc = sections[layout.rsrc];
  if (rsrc.characteristics & kScnInitializedData) {
    const std::uint32_t initialized = Get32(out.data() + opt + kOptSizeOfInitializedData);
    Put32(out, opt + kOptSizeOfInitializedData,
          static_cast<std::uint32_t>(initialized - layout.old_raw_size + rsrc.raw_size));
  }
  std::vector<PeDirectory>& directories = layout.directories;
  if (directories.size() > kCertificateDirectory) directories[kCertificateDirectory] = {};
  for (std::size_t i = 0; i < directories.size(); ++i) {
    Put32(out, opt + kOptDataDirectory + 8 * i, directories[i].rva);
    Put32(out, opt + kOptDataDirectory + 8 * i + 4, directories[i].size);
  }
  Put32(out, opt + kOptCheckSum, 0);
  Put32(out, opt + kOptCheckSum, ComputePeChecksum(image_out.Pieces(), opt + kOptCheckSum));
}

// WritePeResources into `out`, copying the resources' data or (`splice`) referencing it.
bool BuildImage(const PeImage& image, const std::vector<PeResource>& resources, ImageOut& out,
                PeWriteReport& report, std::string& error) {
  report = PeWriteReport{};
  if (image.directories.size() <= kResourceDirectory) {
    error = "the image's data directory has no resource entry";
    return false;
  }
  if (!CheckNothingAfterSections(image, report.certificate_removed, error)) return false;
  NewLayout layout{image.sections, image.directories};
  const PeDirectory& old_dir = image.directories[kResourceDirectory];
  const int found = (old_dir.rva != 0 || old_dir.size != 0) ? FindSection(image, old_dir.rva) : -1;
  if (found >= 0 && CanRebuildInPlace(image, static_cast<std::size_t>(found))) {
    layout.rsrc = static_cast<std::size_t>(found);
  } else if (!AppendResourceSection(image, layout, error)) {
    return false;
  }
  report.section_appended = layout.appended;
  if (!WriteResourceSection(image, resources, layout, out, error) ||
      !MoveTrailingSections(image, layout, out, error)) {
    return false;
  }
  WriteHeaders(image, layout, out);
  return true;
}

}  // namespace

bool WritePeResources(const PeImage& image, const std::vector<PeResource>& resources,
                      std::vector<std::uint8_t>& out, PeWriteReport& report, std::string& error) {
  out.clear();
  ImageOut built(/*splice=*/false);
  if (!BuildImage(image, resources, built, report, error)) return false;
  out = std::move(built.head());
  return true;
}

bool WritePeResourcesInPieces(const PeImage& image, const std::vector<PeResource>& resources,
                              PeImagePieces& out, PeWriteReport& report, std::string& error) {
  out = PeImagePieces{};
  ImageOut built(/*splice=*/true);
  if (!BuildImage(image, resources, built, report, error)) return false;
  out.pieces = built.Pieces();
  out.own = built.TakeOwn();  // moving the vectors keeps their bytes where the pieces point
  return true;
}

}  // namespace boot
