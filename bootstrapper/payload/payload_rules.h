// The limits a payload must keep so that the stub can carry and decode it: the packer refuses
// what breaks them before it writes anything, and the stub refuses it when it reads. Portable.
#pragma once

#include <cstdint>

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

}  // namespace boot
