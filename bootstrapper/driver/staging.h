// Payload staging: every new file is decompressed into memory before anything on disk is
// touched, so a broken update stops before it has deleted or written a single file. Win32 only.
#pragma once

#include <windows.h>

#include <vector>

#include "bootstrapper/manifest/manifest.h"

namespace boot {

// For each entry in list order: finds the resource of integer type `rtype` and name `rid` (low
// 16 bits of each) in `module`, checks that its length equals `size`, decompresses it (LZNT1)
// into `payload` and writes "--- " + path + " --- CHECK". Returns true when every entry is
// staged (at once for an empty list). Returns false after writing, for the first entry that
// fails, "Invalid update entry: " + path (resource missing, empty, unloadable, or of another
// size), "Unable to decompress entry: " + path (see DecodePayloads; also when its memory cannot
// be had), or, for an entry with a sha256, "Checksum failed for entry: " + path; payloads staged
// before stay in their entries. The entries are decoded side by side on every processor, but the
// lines and the outcome are those of one entry after the other.
[[nodiscard]] bool StagePayloads(HMODULE module, std::vector<UpdateTask>& updates);

}  // namespace boot
