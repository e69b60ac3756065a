// The payloads an update exe carries: finding one among the image's resources, decoding its
// LZNT1 stream with the system's decompressor, and checking the result's SHA-256 with the
// system's hashing (CNG). Shared by the compatible staging in memory and the safe staging to
// disk. Win32 only.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bootstrapper/manifest/manifest.h"  // Sha256Digest

namespace boot {

// The bytes of resource (type, name) in `module` (low 16 bits of each, as integer ids), read in
// place. False when it is missing, empty, or cannot be loaded or locked.
[[nodiscard]] bool FindPayloadResource(HMODULE module, std::int32_t type, std::int32_t name,
                                       const std::uint8_t*& bytes, std::size_t& size);

// Decompresses one LZNT1 stream of `size` bytes at `data` with the system's RtlDecompressBuffer
// (looked up in ntdll once per process). True with `out` replaced by the decompressed bytes
// when the system reports success with 1 to 4 * size bytes. False, with `out` unchanged, when
// the decompressor is missing, the stream is rejected or yields nothing, expands beyond
// 4 * size, or is 1 GiB or longer (refused before anything is read or allocated).
[[nodiscard]] bool DecompressPayload(const std::uint8_t* data, std::size_t size,
                                     std::vector<std::uint8_t>& out);

// SHA-256 of `size` bytes at `data` through bcrypt.dll. False (last error set) when the system
// cannot hash.
[[nodiscard]] bool ComputeSha256(const std::uint8_t* data, std::size_t size, Sha256Digest& out);

}  // namespace boot
