// The packer's side of patch payloads: the body that rebuilds a new file from an old one
// (bootstrapper/payload/patch_stream.h has the format and the applier). Portable.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "bootstrapper/payload/patch_stream.h"

namespace boot {

// A patch body and the header that describes it, ready for the LZNT1 compressor.
struct PatchBody {
  PatchHeader header;
  std::vector<std::uint8_t> body;
};

// Makes the patch body that turns `old_file` into `new_file`, the way bsdiff does: ranges of the
// new file that match a range of the old one up to a few changed bytes become diff bytes (mostly
// zeros), what matches nothing becomes extra bytes. The result passes CheckPatchBody and
// ApplyPatch rebuilds `new_file` from it exactly; the same inputs give the same bytes on every
// platform. False, with `out` unchanged, only when `new_file` is empty or either file is larger
// than kMaxFileSize. Besides the body (the new file's size and 24 bytes per op) it needs an index
// of one to two times the old file's size.
[[nodiscard]] bool MakePatchBody(std::span<const std::uint8_t> old_file,
                                 std::span<const std::uint8_t> new_file, PatchBody& out);

}  // namespace boot
