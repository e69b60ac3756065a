#include "bootpack/stub_identity.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

#include "bootpack/file_io.h"
#include "bootstrapper/resources/stub_marker.h"

namespace boot {
namespace {

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(Get16(p)) | (static_cast<std::uint32_t>(Get16(p + 2)) << 16);
}
std::uint32_t GetBig32(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}
void Append16(std::vector<std::uint8_t>& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Append32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  Append16(b, static_cast<std::uint16_t>(v));
  Append16(b, static_cast<std::uint16_t>(v >> 16));
}
void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  Put16(b, at, static_cast<std::uint16_t>(v));
  Put16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}
void PadTo4(std::vector<std::uint8_t>& b) {
  while (b.size() % 4 != 0) b.push_back(0);
}

// --- Version information -------------------------------------------------------------------

// One block of a VS_VERSIONINFO tree: wLength, wValueLength, wType, a key, a value, children.
struct VersionNode {
  std::u16string key;
  bool text = false;  // wType 1: the value is UTF-16 text, its length counted in code units
  std::vector<std::uint8_t> value;
  std::vector<VersionNode> children;
};

constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::size_t kFixedInfoSize = 52;
constexpr int kMaxVersionDepth = 4;  // root, StringFileInfo, a table, a string

// Parses the block at `at` that may take up to `end`; `at` is 4-aligned from the resource's
// start. Sets `next` to where the block ends.
bool ParseVersionNode(std::span<const std::uint8_t> b, std::size_t at, std::size_t end, int depth,
                      VersionNode& node, std::size_t& next) {
  if (depth > kMaxVersionDepth || at % 4 != 0 || end < at || end - at < 6) return false;
  const std::size_t length = Get16(b.data() + at);
  const std::size_t value_length = Get16(b.data() + at + 2);
  const std::uint16_t type = Get16(b.data() + at + 4);
  if (length < 6 || length > end - at || type > 1) return false;
  const std::size_t stop = at + length;
  std::size_t p = at + 6;
  for (;;) {
    if (stop - p < 2) return false;
    const char16_t c = Get16(b.data() + p);
    p += 2;
    if (c == 0) break;
    node.key.push_back(c);
  }
  p = (p + 3) & ~std::size_t{3};
  node.text = type == 1;
  const std::size_t value_bytes = node.text ? 2 * value_length : value_length;
  if (value_bytes > 0) {
    if (p > stop || value_bytes > stop - p) return false;
    node.value.assign(b.begin() + static_cast<std::ptrdiff_t>(p),
                      b.begin() + static_cast<std::ptrdiff_t>(p + value_bytes));
    p += value_bytes;
  }
  for (p = (p + 3) & ~std::size_t{3}; p < stop; p = (p + 3) & ~std::size_t{3}) {
    std::size_t child_end = 0;
    if (!ParseVersionNode(b, p, stop, depth + 1, node.children.emplace_back(), child_end)) {
      return false;
    }
    p = child_end;
  }
  next = stop;
  return true;
}

// Appends `node` at a 4-aligned offset of `out`.
void WriteVersionNode(const VersionNode& node, std::vector<std::uint8_t>& out) {
  const std::size_t at = out.size();
  Append16(out, 0);
  Append16(out, static_cast<std::uint16_t>(node.text ? node.value.size() / 2 : node.value.size()));
  Append16(out, node.text ? 1 : 0);
  for (char16_t c : node.key) Append16(out, c);
  Append16(out, 0);
  PadTo4(out);
  out.insert(out.end(), node.value.begin(), node.value.end());
  for (const VersionNode& child : node.children) {
    PadTo4(out);
    WriteVersionNode(child, out);
  }
  Put16(out, at, static_cast<std::uint16_t>(out.size() - at));
}

VersionNode* FindChild(VersionNode& node, std::u16string_view key) {
  for (VersionNode& child : node.children) {
    if (child.key == key) return &child;
  }
  return nullptr;
}

std::vector<std::uint8_t> TextValue(std::string_view utf8) {
  std::vector<std::uint8_t> value;
  for (char16_t c : Utf8ToUtf16(utf8)) Append16(value, c);
  Append16(value, 0);
  return value;
}

void SetString(VersionNode& table, std::u16string_view key, std::string_view utf8) {
  VersionNode* found = FindChild(table, key);
  if (found == nullptr) {
    found = &table.children.emplace_back();
    found->key = key;
  }
  found->text = true;
  found->value = TextValue(utf8);
  found->children.clear();
}

// VS_FIXEDFILEINFO of an application for Windows NT, version 0.0.0.0.
std::vector<std::uint8_t> NewFixedInfo() {
  std::vector<std::uint8_t> v;
  Append32(v, kFixedInfoSignature);
  Append32(v, 0x00010000);  // dwStrucVersion
  for (int i = 0; i < 4; ++i) Append32(v, 0);  // file and product versions
  Append32(v, 0x3F);  // dwFileFlagsMask: VS_FFI_FILEFLAGSMASK
  Append32(v, 0);  // dwFileFlags
  Append32(v, 0x00040004);  // dwFileOS: VOS_NT_WINDOWS32
  Append32(v, 1);  // dwFileType: VFT_APP
  for (int i = 0; i < 3; ++i) Append32(v, 0);  // subtype, date
  return v;
}

// A tree with the fixed information, one US English Unicode string table and its translation.
VersionNode NewVersionTree() {
  VersionNode root;
  root.key = u"VS_VERSION_INFO";
  root.value = NewFixedInfo();
  VersionNode& strings = root.children.emplace_back();
  strings.key = u"StringFileInfo";
  strings.text = true;
  strings.children.emplace_back().key = u"040904B0";
  strings.children.back().text = true;
  VersionNode& var = root.children.emplace_back();
  var.key = u"VarFileInfo";
  var.text = true;
  VersionNode& translation = var.children.emplace_back();
  translation.key = u"Translation";
  Append16(translation.value, 0x0409);
  Append16(translation.value, 1200);
  return root;
}

// --- Icons ---------------------------------------------------------------------------------

constexpr std::size_t kMaxIconImages = 64;
constexpr std::size_t kMaxIconFileSize = std::size_t{4} << 20;

// Checks that `data` is the image a directory entry of `width` x `height` (0: 256) describes.
bool CheckIconImage(std::span<const std::uint8_t> data, IconImage& image, std::string& why) {
  const std::uint32_t width = image.width ? image.width : 256;
  const std::uint32_t height = image.height ? image.height : 256;
  static const std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (data.size() >= 8 && std::memcmp(data.data(), kPng, 8) == 0) {
    if (data.size() < 33 || GetBig32(data.data() + 8) != 13 ||
        std::memcmp(data.data() + 12, "IHDR", 4) != 0) {
      why = "a PNG image without its header";
      return false;
    }
    if (GetBig32(data.data() + 16) != width || GetBig32(data.data() + 20) != height) {
      why = "a PNG image of another size than its entry says";
      return false;
    }
    if (image.planes == 0) image.planes = 1;
    if (image.bit_count == 0) image.bit_count = 32;
    return true;
  }
  if (data.size() < 40) {
    why = "neither a PNG image nor a bitmap";
    return false;
  }
  const std::uint32_t header = Get32(data.data());
  const std::int32_t dib_width = static_cast<std::int32_t>(Get32(data.data() + 4));
  const std::int32_t dib_height = static_cast<std::int32_t>(Get32(data.data() + 8));
  const std::uint16_t planes = Get16(data.data() + 12);
  const std::uint16_t bits = Get16(data.data() + 14);
  const std::uint32_t compression = Get32(data.data() + 16);
  const std::uint32_t colors_used = Get32(data.data() + 32);
  if (header != 40 && header != 108 && header != 124) {
    why = "neither a PNG image nor a bitmap";
    return false;
  }
  if (dib_width != static_cast<std::int32_t>(width) ||
      dib_height != 2 * static_cast<std::int32_t>(height)) {
    why = "a bitmap of another size than its entry says";
    return false;
  }
  if (planes != 1 || (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) ||
      compression != 0) {
    why = "a bitmap of an unsupported format (planes, bit count or compression)";
    return false;
  }
  const std::uint64_t palette_entries = bits <= 8 ? (colors_used ? colors_used : 1u << bits) : colors_used;
  if (bits <= 8 && palette_entries > (1u << bits)) {
    why = "a bitmap with more palette entries than its bit count allows";
    return false;
  }
  const std::uint64_t xor_row = (static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4;
  const std::uint64_t and_row = (static_cast<std::uint64_t>(width) + 31) / 32 * 4;
  const std::uint64_t needed = header + 4 * palette_entries + (xor_row + and_row) * height;
  if (data.size() < needed) {
    why = "a bitmap shorter than its size and format need (" + std::to_string(data.size()) +
          " of " + std::to_string(needed) + " bytes)";
    return false;
  }
  image.planes = 1;
  image.bit_count = bits;
  return true;
}

// The RT_ICON ids the RT_GROUP_ICON data `group` names (nothing when it is malformed).
std::vector<std::uint16_t> GroupIconIds(const std::vector<std::uint8_t>& group) {
  std::vector<std::uint16_t> ids;
  if (group.size() < 6) return ids;
  const std::size_t count = Get16(group.data() + 4);
  for (std::size_t i = 0; i < count && 6 + 14 * (i + 1) <= group.size(); ++i) {
    ids.push_back(Get16(group.data() + 6 + 14 * i + 12));
  }
  return ids;
}

}  // namespace

bool HasStubMarker(const std::vector<PeResource>& resources) {
  const PeResource* marker = FindPeResource(resources, kRcDataType, BOOT_STUB_MARKER_ID);
  const std::string_view text = BOOT_STUB_MARKER_TEXT;
  return marker != nullptr && marker->data.size() == text.size() &&
         std::equal(text.begin(), text.end(), marker->data.begin());
}

std::string NotAStubText() {
  return "not an update stub (it lacks the stub marker, RCDATA resource " +
         std::to_string(BOOT_STUB_MARKER_ID) + "); use the bootstrapper.exe built with bootpack";
}

bool ParseNumericVersion(std::string_view version, std::array<std::uint16_t, 4>& parts) {
  parts = {};
  std::size_t count = 0;
  std::size_t at = 0;
  for (;;) {
    if (count == 4) return false;
    std::uint32_t value = 0;
    std::size_t digits = 0;
    while (at < version.size() && version[at] >= '0' && version[at] <= '9') {
      value = value * 10 + static_cast<std::uint32_t>(version[at] - '0');
      if (value > 0xFFFF) return false;
      ++digits;
      ++at;
    }
    if (digits == 0) return false;
    parts[count++] = static_cast<std::uint16_t>(value);
    if (at == version.size()) return true;
    if (version[at] != '.') return false;
    ++at;
  }
}

std::vector<std::uint8_t> RewriteVersionInfo(std::span<const std::uint8_t> old,
                                             std::string_view version,
                                             const PackageIdentity& identity, bool& rebuilt) {
  VersionNode root;
  std::size_t end = 0;
  rebuilt = old.empty() || !ParseVersionNode(old, 0, old.size(), 0, root, end) ||
            root.key != u"VS_VERSION_INFO";
  if (rebuilt) root = NewVersionTree();
  if (root.value.size() != kFixedInfoSize || Get32(root.value.data()) != kFixedInfoSignature) {
    root.text = false;
    root.value = NewFixedInfo();
  }
  std::array<std::uint16_t, 4> numbers{};
  if (ParseNumericVersion(version, numbers)) {
    const std::uint32_t ms = (static_cast<std::uint32_t>(numbers[0]) << 16) | numbers[1];
    const std::uint32_t ls = (static_cast<std::uint32_t>(numbers[2]) << 16) | numbers[3];
    Put32(root.value, 8, ms);
    Put32(root.value, 12, ls);
    Put32(root.value, 16, ms);
    Put32(root.value, 20, ls);
  }
  VersionNode* strings = FindChild(root, u"StringFileInfo");
  if (strings == nullptr) {
    strings = &*root.children.insert(root.children.begin(), NewVersionTree().children[0]);
  }
  if (strings->children.empty()) strings->children.push_back(NewVersionTree().children[0].children[0]);
  for (VersionNode& table : strings->children) {
    const std::pair<std::u16string_view, const std::string*> given[] = {
        {u"CompanyName", &identity.company},
        {u"FileDescription", &identity.description},
        {u"LegalCopyright", &identity.copyright},
        {u"ProductName", &identity.product},
    };
    for (const auto& [key, text] : given) {
      if (!text->empty()) SetString(table, key, *text);
    }
    SetString(table, u"FileVersion", version);
    SetString(table, u"ProductVersion", version);
  }
  std::vector<std::uint8_t> out;
  WriteVersionNode(root, out);
  return out;
}

bool ParseIconFile(std::span<const std::uint8_t> file, std::vector<IconImage>& images,
                   std::string& why) {
  images.clear();
  if (file.size() < 6 || Get16(file.data()) != 0 || Get16(file.data() + 2) != 1) {
    why = "not an icon file (no icon header)";
    return false;
  }
  const std::size_t count = Get16(file.data() + 4);
  if (count == 0 || count > kMaxIconImages) {
    why = "holds " + std::to_string(count) + " images; an icon has 1 to " +
          std::to_string(kMaxIconImages);
    return false;
  }
  const std::size_t directory_end = 6 + 16 * count;
  if (file.size() < directory_end) {
    why = "the icon directory is cut short";
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* e = file.data() + 6 + 16 * i;
    IconImage image;
    image.width = e[0];
    image.height = e[1];
    image.colors = e[2];
    image.planes = Get16(e + 4);
    image.bit_count = Get16(e + 6);
    const std::uint64_t size = Get32(e + 8);
    const std::uint64_t offset = Get32(e + 12);
    const std::string what = "image " + std::to_string(i + 1) + ": ";
    if (offset < directory_end || offset > file.size() || size > file.size() - offset || size == 0) {
      why = what + "its " + std::to_string(size) + " bytes at " + std::to_string(offset) +
            " lie outside the file's images";
      return false;
    }
    const std::span<const std::uint8_t> data = file.subspan(offset, size);
    if (!CheckIconImage(data, image, why)) {
      why = what + why;
      return false;
    }
    image.data.assign(data.begin(), data.end());
    images.push_back(std::move(image));
  }
  return true;
}

void ReplaceIcon(std::vector<PeResource>& resources, const std::vector<IconImage>& images) {
  ResourceKey group_name;
  group_name.id = 1;
  std::uint16_t language = 0;
  const auto group = std::find_if(resources.begin(), resources.end(), [](const PeResource& r) {
    return r.type.text.empty() && r.type.id == kGroupIconType;
  });
  if (group != resources.end()) {
    group_name = group->name;
    language = group->language;
    const std::vector<std::uint16_t> ids = GroupIconIds(group->data);
    const std::uint16_t group_language = group->language;
    resources.erase(group);
    std::erase_if(resources, [&](const PeResource& r) {
      return r.type.text.empty() && r.type.id == kIconType && r.name.text.empty() &&
             r.language == group_language &&
             std::find(ids.begin(), ids.end(), r.name.id) != ids.end();
    });
  }
  std::uint16_t next_id = 1;
  for (const PeResource& r : resources) {
    if (r.type.text.empty() && r.type.id == kIconType && r.name.text.empty() && r.name.id >= next_id) {
      next_id = static_cast<std::uint16_t>(r.name.id + 1);
    }
  }
  PeResource directory;
  directory.type.id = kGroupIconType;
  directory.name = group_name;
  directory.language = language;
  Append16(directory.data, 0);
  Append16(directory.data, 1);
  Append16(directory.data, static_cast<std::uint16_t>(images.size()));
  for (const IconImage& image : images) {
    PeResource icon;
    icon.type.id = kIconType;
    icon.name.id = next_id++;
    icon.language = language;
    icon.data = image.data;
    directory.data.push_back(image.width);
    directory.data.push_back(image.height);
    directory.data.push_back(image.colors);
    directory.data.push_back(0);
    Append16(directory.data, image.planes);
    Append16(directory.data, image.bit_count);
    Append32(directory.data, static_cast<std::uint32_t>(image.data.size()));
    Append16(directory.data, icon.name.id);
    resources.push_back(std::move(icon));
  }
  resources.push_back(std::move(directory));
}

bool ApplyIdentity(const Package& package, const std::string& stub_what,
                   std::vector<PeResource>& resources, std::vector<Problem>& problems,
                   std::vector<Problem>& warnings) {
  const PackageIdentity& identity = package.identity;
  const std::pair<const char*, const std::string*> texts[] = {
      {"version", &package.version},        {"product", &identity.product},
      {"company", &identity.company},       {"description", &identity.description},
      {"copyright", &identity.copyright},
  };
  for (const auto& [name, text] : texts) {
    if (Utf8ToUtf16(*text).size() > kMaxVersionText) {
      problems.push_back({name, "longer than the " + std::to_string(kMaxVersionText) +
                                    " characters version information can hold"});
      return false;
    }
  }
  if (!identity.icon.empty()) {
    const std::string what = "icon \"" + PathToUtf8(identity.icon) + "\"";
    std::error_code ec;
    const std::uint64_t size = std::filesystem::file_size(identity.icon, ec);
    std::vector<std::uint8_t> bytes;
    std::string why;
    if (ec) {
      problems.push_back({what, ec.message()});
      return false;
    }
    if (size > kMaxIconFileSize) {
      problems.push_back({what, std::to_string(size) + " bytes; an icon file can be at most " +
                                    std::to_string(kMaxIconFileSize)});
      return false;
    }
    std::vector<IconImage> images;
    if (!ReadWholeFile(identity.icon, bytes, why) || !ParseIconFile(bytes, images, why)) {
      problems.push_back({what, why});
      return false;
    }
    ReplaceIcon(resources, images);
  }
  PeResource* version = nullptr;
  for (PeResource& r : resources) {
    if (r.type.text.empty() && r.type.id == kVersionType) {
      version = &r;
      break;
    }
  }
  if (version == nullptr) {
    version = &resources.emplace_back();
    version->type.id = kVersionType;
    version->name.id = 1;
  }
  bool rebuilt = false;
  const bool had = !version->data.empty();
  version->data = RewriteVersionInfo(version->data, package.version, identity, rebuilt);
  if (rebuilt && had) {
    warnings.push_back({stub_what, "its version information does not parse; a new one replaces it"});
  }
  return true;
}

}  // namespace boot
