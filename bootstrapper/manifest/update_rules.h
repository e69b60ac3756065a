// The rules the stub and the packer must agree on: where the manifest is, what a payload may be,
// the clean kinds and their names, the registry roots and how long a key path may be. The packer
// refuses what breaks them before it writes anything, and the stub refuses it when it reads (or
// acts on it exactly as described here). Portable; both sides include this header and nothing
// spells these values out again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace boot {

// The manifest is resource type 42, name 42.
inline constexpr std::uint16_t kManifestResourceType = 42;
inline constexpr std::uint16_t kManifestResourceName = 42;

// A payload is one LZNT1 stream whose byte count the manifest stores as a 32-bit signed "size".
inline constexpr std::uint64_t kMaxStreamSize = 0x7FFFFFFF;

// A stream decodes to at most four times its own size; anything longer is refused.
inline constexpr std::uint64_t kMaxExpansion = 4;

// LZNT1 splits content into chunks of 4096 bytes; each chunk followed by another decodes to
// exactly this many bytes.
inline constexpr std::uint64_t kChunkSize = 4096;

// The largest file whose stream fits kMaxStreamSize whatever its content: content that does not
// compress is stored in chunks of 4096 bytes behind a 2-byte header each, plus a 2-byte end.
// 2 GiB - 1 MiB.
inline constexpr std::uint64_t kMaxFileSize = 0x7FF00000;
static_assert(kMaxFileSize + 2 * (kMaxFileSize / kChunkSize) + 2 <= kMaxStreamSize);

// What a clean task removes; the values are stored as 32-bit integers.
enum class CleanKind : std::int32_t { File = 0, Dir = 1, Registry = 2 };

// The manifest's "type" of each clean kind, matched ignoring ASCII case, in this order.
struct CleanTypeName {
  const char* name;
  CleanKind kind;
};
inline constexpr CleanTypeName kCleanTypeNames[] = {
    {"file", CleanKind::File}, {"dir", CleanKind::Dir}, {"registry", CleanKind::Registry}};

// The predefined registry roots a registry clean may start with.
enum class RegistryRoot { LocalMachine, CurrentUser, ClassesRoot, CurrentConfig };

// The root names, compared in this order with the start of a registry clean path (ASCII letters
// case-insensitively). The classes root is known only as HKEY_CLASS_ROOT (not
// HKEY_CLASSES_ROOT); HKEY_USERS and abbreviations such as HKLM are not known.
struct RegistryRootName {
  std::u16string_view name;
  RegistryRoot root;
};
inline constexpr RegistryRootName kRegistryRootNames[] = {
    {u"HKEY_LOCAL_MACHINE", RegistryRoot::LocalMachine},
    {u"HKEY_CURRENT_USER", RegistryRoot::CurrentUser},
    {u"HKEY_CLASS_ROOT", RegistryRoot::ClassesRoot},
    {u"HKEY_CURRENT_CONFIG", RegistryRoot::CurrentConfig},
};

// The longest key path below its root (in UTF-16 code units) that a registry clean can name: the
// stub copies it into one buffer of this many characters and a terminator, shared by every level
// of the tree it deletes. A longer path would be cut short and name another key.
inline constexpr std::size_t kMaxKeyPathLength = 519;

}  // namespace boot
