// What makes an exe an update stub, and how the update exe presents itself: the stub marker
// resource, the version information (VS_VERSIONINFO) and the icon, rewritten from the package.
// Portable.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bootpack/package.h"
#include "bootpack/pe_image.h"

namespace boot {

// The longest text the version information takes for one value, in UTF-16 code units (its
// blocks have 16-bit lengths; Explorer shows far less).
inline constexpr std::size_t kMaxVersionText = 1024;

// Standard resource types the identity touches.
inline constexpr std::uint16_t kIconType = 3;  // RT_ICON
inline constexpr std::uint16_t kRcDataType = 10;  // RT_RCDATA
inline constexpr std::uint16_t kGroupIconType = 14;  // RT_GROUP_ICON
inline constexpr std::uint16_t kVersionType = 16;  // RT_VERSION

// True when `resources` hold the stub marker (an RCDATA resource of the stub's resource script,
// see bootstrapper/resources/stub_marker.h) with exactly its text.
bool HasStubMarker(const std::vector<PeResource>& resources);

// Why an exe without the marker is refused, for pack and inspect.
std::string NotAStubText();

// `version` as up to four dotted numbers of at most 65535 ("1.4" is 1.4.0.0). False when it is
// anything else ("1.4-beta", "2024.100000", "1..2").
[[nodiscard]] bool ParseNumericVersion(std::string_view version, std::array<std::uint16_t, 4>& parts);

// Returns a VS_VERSIONINFO resource: `old` (the stub's, possibly empty) with ProductName,
// CompanyName, FileDescription and LegalCopyright set from `identity` where given, FileVersion
// and ProductVersion set to `version` in every string table, and the fixed file and product
// version numbers set from it when it is numeric. Everything else of `old` is kept. When `old`
// is empty or does not parse, a new one is built (`rebuilt` is then set).
std::vector<std::uint8_t> RewriteVersionInfo(std::span<const std::uint8_t> old,
                                             std::string_view version,
                                             const PackageIdentity& identity, bool& rebuilt);

// One image of an icon file.
struct IconImage {
  std::uint8_t width = 0;  // as the directory stores them: 0 is 256
  std::uint8_t height = 0;
  std::uint8_t colors = 0;
  std::uint16_t planes = 0;
  std::uint16_t bit_count = 0;
  std::vector<std::uint8_t> data;  // a PNG file or a DIB (header, palette, XOR and AND masks)
};

// Reads an .ico file's images. False, with the reason in `why`, for anything but a well-formed
// icon: a bad header, no images or too many, images outside the file or overlapping its
// directory, and images that are neither a PNG nor a DIB whose size and masks fit the entry.
[[nodiscard]] bool ParseIconFile(std::span<const std::uint8_t> file, std::vector<IconImage>& images,
                                 std::string& why);

// Replaces the stub's icon with `images`: the stub's first RT_GROUP_ICON and the RT_ICON
// resources it names are removed, and a group of the new images takes its name and language
// (name 1, neutral language, when the stub had none). The new RT_ICON ids follow the highest one
// left.
void ReplaceIcon(std::vector<PeResource>& resources, const std::vector<IconImage>& images);

// Gives the stub's resources the package's identity: the version information is rewritten (a
// new one added when the stub has none) and, when the package names an icon, the icon is read
// and replaced. Every refusal goes to `problems` (a missing or malformed icon file, a text of
// more than kMaxVersionText UTF-16 units); a note that
// does not stop the pack goes to `warnings`; `stub_what` names the stub in them. True when
// nothing was refused.
[[nodiscard]] bool ApplyIdentity(const Package& package, const std::string& stub_what,
                                 std::vector<PeResource>& resources, std::vector<Problem>& problems,
                                 std::vector<Problem>& warnings);

}  // namespace boot
