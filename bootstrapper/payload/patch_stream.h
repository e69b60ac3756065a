// A patch payload: how a changed file is rebuilt from the version installed before it.
//
// The resource holds a 24-byte header and then one LZNT1 stream (decoded by the system's
// decompressor, like any payload) whose content, the patch body, is exactly
// BodySize(header) bytes:
//
//   header  00 00 'P' '1'       a zero chunk header first: an LZNT1 end mark, so that a reader
//                               that takes the resource for a file's stream finds no content
//           u32 op_count        little-endian, like everything here
//           u64 old_size        the installed file's size
//           u64 new_size        the rebuilt file's size
//   body    op_count ops of 24 bytes: u64 diff, u64 extra, i64 seek
//           the diff bytes of every op, in op order
//           the extra bytes of every op, in op order
//
// The new file is made op by op, with a position in the old file starting at 0: `diff` bytes,
// each the old file's byte at the position plus the diff byte (modulo 256), with both moving
// on; then `extra` bytes taken as they are; then the old position moves by `seek`. Ranges that
// are the same in both files are runs of zero diff bytes, and code moved by a rebuild differs
// in a few bytes of each instruction that names an address, so both compress to little.
// Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bootstrapper/payload/sha256.h"

namespace boot {

inline constexpr std::size_t kPatchHeaderSize = 24;
inline constexpr std::size_t kPatchOpSize = 24;
inline constexpr std::uint8_t kPatchMagic[4] = {0x00, 0x00, 'P', '1'};

struct PatchHeader {
  std::uint32_t op_count = 0;
  std::uint64_t old_size = 0;
  std::uint64_t new_size = 0;
};

struct PatchOp {
  std::uint64_t diff = 0;
  std::uint64_t extra = 0;
  std::int64_t seek = 0;
};

// Reads the header at the start of `resource`. False when it is shorter than a header, has
// another magic, or states sizes no update carries: a file of more than kMaxFileSize bytes, an
// empty new file, or more ops than new bytes (every op makes at least one).
[[nodiscard]] bool ReadPatchHeader(std::span<const std::uint8_t> resource, PatchHeader& header);

// The bytes of the header's body: its ops, then one diff or extra byte per new byte.
std::uint64_t PatchBodySize(const PatchHeader& header);

// Writes `header` in its 24 bytes.
void WritePatchHeader(const PatchHeader& header, std::uint8_t out[kPatchHeaderSize]);

// Op `index` of `body` (index < op_count; body as long as PatchBodySize says).
PatchOp ReadPatchOp(std::span<const std::uint8_t> body, std::uint32_t index);

// Writes `op` in its 24 bytes.
void WritePatchOp(const PatchOp& op, std::uint8_t out[kPatchOpSize]);

// True when `body` (exactly PatchBodySize(header) bytes) is a patch that can be applied to an
// old file of header.old_size bytes: every op makes at least one byte, together they make
// exactly new_size bytes, no diff range reaches outside the old file and no seek leaves it.
[[nodiscard]] bool CheckPatchBody(const PatchHeader& header, std::span<const std::uint8_t> body);

// Receives the new file in pieces, in order; false stops the patch.
class PatchSink {
 public:
  virtual bool Write(const std::uint8_t* bytes, std::size_t size) = 0;

 protected:
  ~PatchSink() = default;
};

// A sink that keeps everything it is handed, in `bytes`.
class CollectingPatchSink final : public PatchSink {
 public:
  bool Write(const std::uint8_t* data, std::size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  std::vector<std::uint8_t> bytes;
};

// A sink that feeds what it is handed into a SHA-256 in progress, counts it, and keeps it in
// `content` too when one is given.
class HashingPatchSink final : public PatchSink {
 public:
  explicit HashingPatchSink(Sha256State& digest, std::vector<std::uint8_t>* content = nullptr)
      : digest_(digest), content_(content) {}
  bool Write(const std::uint8_t* data, std::size_t size) override {
    Sha256Update(digest_, {data, size});
    if (content_ != nullptr) content_->insert(content_->end(), data, data + size);
    made_ += size;
    return true;
  }
  std::uint64_t made() const { return made_; }

 private:
  Sha256State& digest_;
  std::vector<std::uint8_t>* content_;
  std::uint64_t made_ = 0;
};

// Rebuilds the new file from `old` (header.old_size bytes) and `body`, handing it to `sink` in
// pieces of at most 1 MiB. False, with nothing handed over, when `old` has another size or the
// body fails CheckPatchBody; false as well when the sink says stop. The caller checks the
// result's digest.
[[nodiscard]] bool ApplyPatch(const PatchHeader& header, std::span<const std::uint8_t> old,
                              std::span<const std::uint8_t> body, PatchSink& sink);

}  // namespace boot
