// Writes the update manifest the stub reads (resource 42/42): UTF-8 JSON with the package's
// version, launcher and cleans, "safe":true for the safe run, and for every update the stored
// payload's size, type and id and the file's SHA-256. Portable.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bootpack/package.h"
#include "bootstrapper/payload/sha256.h"

namespace boot {

// Where update i of the package is stored: its resource and the stream's exact length (0 with
// no resource for an empty file in the safe run), and the digest of the file's content.
struct StoredPayload {
  std::int64_t size = 0;
  std::int32_t rtype = 0;
  std::int32_t rid = 0;
  Sha256Digest sha256{};
  bool is_patch = false;  // the resource is a patch against the installed file of that digest
  Sha256Digest from_sha256{};
};

// The manifest text for `package`, whose update i is stored as `payloads[i]` (the two lists
// have the same length). One clean or update entry per line, so `bootpack inspect` output reads
// well. The launcher key is left out when the package names none; "safe":true is written only
// for `mode` Safe, the digests always (stubs without the safe run ignore them). A safe update
// also gets each patch's "from_sha256" and the package's "unchanged" files.
std::string WriteManifestText(const Package& package, const std::vector<StoredPayload>& payloads,
                              UpdateMode mode);

// Text of a clean kind as the manifest writes it: "file", "dir" or "registry".
const char* CleanKindName(CleanKind kind);

}  // namespace boot
