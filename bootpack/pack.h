// The pack command's work: package description + stub -> a verified update exe. Portable.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bootpack/package.h"
#include "lznt1/lznt1.h"

namespace boot {

// Resource type of the payloads: outside the standard RT_* range (1..24) and away from the
// manifest's 42 and the types frameworks are known to use. The next free type is taken if the
// stub itself already has resources of this one.
inline constexpr std::uint16_t kPayloadType = 256;

struct PackOptions {
  std::string stub;  // UTF-8 paths
  std::string package;
  std::string output;
  std::string from;  // empty: no folder is added
  // The installed release's folder: what it has and this one not is cleaned, and in a safe
  // update its files are what the new ones are delivered against (unchanged ones not carried,
  // changed ones as patches where that is smaller), unless `full`.
  std::string previous;
  bool full = false;  // --full: with --previous, every file carried whole
  std::vector<std::string> excludes;  // --exclude globs for the --from folder (see FolderFilter)
  lznt1::Level level = lznt1::Level::Default;
  bool allow_outside = false;
  bool allow_broad_clean = false;  // a registry clean of a shared key is only a warning
  UpdateMode mode = UpdateMode::Safe;  // --compat: Compatible
  std::string sign;  // --sign: a command naming the file to sign as {file}; empty: not signed
};

struct PackedEntry {
  std::string path;
  std::uint64_t expanded = 0;
  std::uint64_t stored = 0;  // 0: an empty file, stored as no resource at all
  std::uint16_t rid = 0;
  bool patch = false;  // stored as a patch against the installed release's file
  std::uint64_t full_stored = 0;  // a patch: what the whole file would have taken
};

struct PackResult {
  std::string version;
  std::string launcher;
  std::size_t cleans = 0;
  std::vector<PackageClean> previous_cleans;  // the cleans --previous added
  std::vector<PackedEntry> entries;
  std::vector<PackageUnchanged> unchanged;  // not carried: the installed release has them
  std::uint16_t payload_type = 0;
  std::uint64_t input_bytes = 0;
  std::uint64_t stored_bytes = 0;
  std::uint64_t output_bytes = 0;
  std::size_t stub_resources_kept = 0;
  std::size_t old_payloads_replaced = 0;  // payloads of an earlier pack that were dropped
  bool section_appended = false;
  bool icon_replaced = false;  // the package named an icon
  bool signed_by_command = false;  // --sign ran and the signed exe passed the check
};

// Where a pack has got to, handed to the progress callback before each file is read and
// compressed.
struct PackProgressStep {
  std::size_t index = 0;  // the file starting now, from 0
  std::size_t count = 0;  // files in the package
  std::string path;  // its update path
  std::uint64_t bytes = 0;  // its size
  std::uint64_t done_bytes = 0;  // bytes of the files finished so far
  std::uint64_t total_bytes = 0;  // bytes of all files
};

// Called before each file is read and compressed. Small files are packed side by side, so calls
// may come a little out of order and from other threads than the caller's, but never two at
// once.
using PackProgress = std::function<void(const PackProgressStep&)>;

// Reads and checks the description (and --from folder), compresses every file, builds the
// manifest and the new image (with the package's version information and icon), writes it to a
// temporary file beside the output, runs the signing command on it (when given), re-reads and
// checks every resource, and only then renames it onto the output. A stub without the stub
// marker is refused. True on success. Every
// refusal goes to `problems`; notes that do not stop the pack (a signature removed, an old
// manifest that could not be read) go to `warnings`. Nothing is left at the output path or
// beside it on failure.
[[nodiscard]] bool PackUpdate(const PackOptions& options, const PackProgress& progress,
                              PackResult& result, std::vector<Problem>& problems,
                              std::vector<Problem>& warnings);

}  // namespace boot
