// Checks an update exe's manifest and payloads exactly as the stub stages them: the manifest
// resource (kManifestResourceType/Name) is read by the stub's own reader, and every entry's resource must exist,
// have the manifest's size, and decode within four times its size to a non-empty file whose
// SHA-256 is the manifest's (when it gives one). In a safe manifest an entry of size 0 is an
// empty file and needs no resource. Portable.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "bootpack/pe_image.h"
#include "bootstrapper/manifest/manifest.h"

namespace boot {

struct EntryCheck {
  std::string path;  // UTF-8, as the manifest writes it
  std::int64_t size = 0;  // the manifest's size
  std::int32_t rtype = 0;
  std::int32_t rid = 0;
  std::uint64_t stored = 0;  // bytes of the resource found (0 when none)
  std::uint64_t expanded = 0;  // bytes it decodes to (0 when it does not)
  bool has_resource = true;  // false for an empty file of a safe manifest, which names none
  std::string sha256;  // the manifest's digest as 64 lowercase hex digits; empty when none
  std::string problem;  // empty when the stub would stage this entry
  // A patch: the installed file it expects (its digest, as sha256 is, and its size), and whether
  // it was rebuilt from that file and its digest checked (only with a previous release).
  bool patch = false;
  std::string from_sha256;
  std::uint64_t old_size = 0;
  bool rebuilt = false;
};

struct UpdateCheck {
  std::string manifest_text;  // the manifest resource's bytes; empty when there is none
  UpdateManifest manifest;  // what the stub's reader makes of them
  std::vector<EntryCheck> entries;  // one per manifest update, in order
  std::vector<std::string> problems;  // every problem found, one sentence each
};

// Called with each entry's decoded content once it has passed every check. Returning false
// stops the walk (the callback's own problem is the caller's to report).
using PayloadVisitor = std::function<bool(std::size_t index, std::span<const std::uint8_t>)>;

// Gives the installed release's file at update path `path` (UTF-8, as the manifest writes it)
// into `bytes`; false when the release has none or it cannot be read (`why` says which).
using PreviousFileSource =
    std::function<bool(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& why)>;

// Fills `check` from `resources` and returns true when the stub would stage every entry.
// Entries are decoded one at a time, and only piece by piece into their digest unless `visit`
// (optional) is given: it sees each good entry's whole content. A patch is checked to decode to
// a body that fits the old file's size; with `previous` it is also rebuilt from that file (which
// must have the digest the patch expects) and the result checked like any other entry. Without
// `previous`, visiting a patch is a problem: there is no content to hand over.
[[nodiscard]] bool CheckUpdate(const std::vector<PeResource>& resources, UpdateCheck& check,
                               const PayloadVisitor& visit = {},
                               const PreviousFileSource& previous = {});

}  // namespace boot
