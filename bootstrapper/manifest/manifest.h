// The update manifest: the model the stub acts on, and the reader that fills it from the JSON
// text embedded in the stub (resource type 42, name 42). Portable: the packer uses the same
// reader, so a package it accepts is exactly one the stub accepts.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bootstrapper/manifest/update_rules.h"
#include "bootstrapper/payload/byte_buffer.h"

namespace boot {

struct CleanTask {
  std::u16string path;  // relative to the install directory, or a registry key path
  CleanKind kind = CleanKind::File;
  bool fail_ok = false;  // true: a failure of this task does not stop the run
};

// A SHA-256 digest, as the manifest carries it for every file and as both the stub and the
// packer compute it.
using Sha256Digest = std::array<std::uint8_t, 32>;

struct UpdateTask {
  std::u16string path;  // relative to the install directory
  std::int64_t size = 0;  // exact byte count of the payload resource as stored
  std::int32_t rtype = 0;  // integer resource type of the payload (low 16 bits used)
  std::int32_t rid = 0;  // integer resource name of the payload (low 16 bits used)
  ByteBuffer payload;  // decompressed content, filled by staging
  // SHA-256 of the decompressed content, from the optional "sha256" member (64 hex digits).
  // When present, staging refuses content that does not match it.
  bool has_sha256 = false;
  Sha256Digest sha256{};
  // Safe manifests only: the payload is a patch (see patch_stream.h) against the file installed
  // at `path`, which must hold exactly the bytes of this SHA-256 ("from_sha256").
  bool is_patch = false;
  Sha256Digest from_sha256{};
};

// A file the update leaves as it is but was made against ("unchanged", safe manifests only):
// the installation must hold exactly these bytes at `path` before anything is touched.
struct UnchangedFile {
  std::u16string path;  // relative to the install directory
  Sha256Digest sha256{};
};

struct UpdateManifest {
  std::u16string version;
  std::u16string launcher;  // empty when the manifest names none
  std::vector<CleanTask> cleans;
  std::vector<UpdateTask> updates;
  std::vector<UnchangedFile> unchanged;
  // "safe": true asks for the transactional run: staged on disk, verified, undone on failure.
  // A safe manifest has a sha256 on every update and a size of at least 0; a size of 0 delivers
  // an empty file and names no resource. Only a safe manifest is read for patches and unchanged
  // files; the compatible run knows neither.
  bool safe = false;
  bool valid = false;  // false: every other field is empty
};

// Reads the manifest from UTF-8 JSON text (exactly text.size() bytes, no terminator needed).
// All or nothing: on any broken rule the result is empty with valid == false. String values are
// decoded from UTF-8 to UTF-16, malformed sequences becoming U+FFFD.
UpdateManifest ReadUpdateManifest(std::string_view text);

// Decodes UTF-8 to UTF-16. Every malformed, overlong, surrogate or out-of-range sequence becomes
// one U+FFFD per maximal invalid subpart, the way Windows' UTF-8 decoder substitutes; it never
// fails.
std::u16string Utf8ToUtf16(std::string_view text);

// Reads exactly 64 hexadecimal digits (either case) into `out`; false for anything else.
bool ParseSha256Hex(std::string_view text, Sha256Digest& out);

// Encodes UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace boot
