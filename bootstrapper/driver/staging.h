// Payload staging: every new file is decompressed into memory before anything on disk is
// touched, so a broken update stops before it has deleted or written a single file. Win32 only.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bootstrapper/manifest/manifest.h"

namespace boot {

// For each entry in list order: finds the resource of integer type `rtype` and name `rid` (low
// 16 bits of each) in `module`, checks that its length equals `size`, decompresses it (LZNT1)
// into `payload` and writes "--- " + path + " --- CHECK". Returns true when every entry is
// staged (at once for an empty list). Returns false after writing, for the first entry that
// fails, "Invalid update entry: " + path (resource missing, empty, unloadable, or of another
// size) or "Unable to decompress entry: " + path (see DecompressPayload); later entries are not
// looked at, and payloads staged before stay in their entries.
[[nodiscard]] bool StagePayloads(HMODULE module, std::vector<UpdateTask>& updates);

// Decompresses one LZNT1 stream of `size` bytes at `data` with the system's RtlDecompressBuffer
// (looked up in ntdll once per process). True with `out` replaced by the decompressed bytes
// when the system reports success with 1 to 4 * size bytes. False, with `out` unchanged, when
// the decompressor is missing, the stream is rejected or yields nothing, expands beyond
// 4 * size, or is 1 GiB or longer (refused before anything is read or allocated).
[[nodiscard]] bool DecompressPayload(const std::uint8_t* data, std::size_t size,
                                     std::vector<std::uint8_t>& out);

}  // namespace boot
