#include "bootstrapper/payload/patch_stream.h"

#include <algorithm>
#include <cstring>

#include "bootstrapper/manifest/update_rules.h"

namespace boot {
namespace {

std::uint64_t ReadLe(const std::uint8_t* at, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
  return value;
}

void WriteLe(std::uint64_t value, std::uint8_t* at, int bytes) {
  for (int i = 0; i < bytes; ++i, value >>= 8) at[i] = static_cast<std::uint8_t>(value);
}

// The new bytes an op makes, or false when they overflow.
bool OpLength(const PatchOp& op, std::uint64_t& length) {
  length = op.diff + op.extra;
  return length >= op.diff;
}

}  // namespace

bool ReadPatchHeader(std::span<const std::uint8_t> resource, PatchHeader& header) {
  if (resource.size() < kPatchHeaderSize ||
      std::memcmp(resource.data(), kPatchMagic, sizeof kPatchMagic) != 0) {
    return false;
  }
  PatchHeader read;
  read.op_count = static_cast<std::uint32_t>(ReadLe(resource.data() + 4, 4));
  read.old_size = ReadLe(resource.data() + 8, 8);
  read.new_size = ReadLe(resource.data() + 16, 8);
  if (read.old_size > kMaxFileSize || read.new_size > kMaxFileSize || read.new_size == 0 ||
      read.op_count == 0 || read.op_count > read.new_size) {
    return false;
  }
  header = read;
  return true;
}

std::uint64_t PatchBodySize(const PatchHeader& header) {
  return std::uint64_t{header.op_count} * kPatchOpSize + header.new_size;
}

void WritePatchHeader(const PatchHeader& header, std::uint8_t out[kPatchHeaderSize]) {
  std::memcpy(out, kPatchMagic, sizeof kPatchMagic);
  WriteLe(header.op_count, out + 4, 4);
  WriteLe(header.old_size, out + 8, 8);
  WriteLe(header.new_size, out + 16, 8);
}

PatchOp ReadPatchOp(std::span<const std::uint8_t> body, std::uint32_t index) {
  const std::uint8_t* at = body.data() + std::size_t{index} * kPatchOpSize;
  return {ReadLe(at, 8), ReadLe(at + 8, 8), static_cast<std::int64_t>(ReadLe(at + 16, 8))};
}

void WritePatchOp(const PatchOp& op, std::uint8_t out[kPatchOpSize]) {
  WriteLe(op.diff, out, 8);
  WriteLe(op.extra, out + 8, 8);
  WriteLe(static_cast<std::uint64_t>(op.seek), out + 16, 8);
}

bool CheckPatchBody(const PatchHeader& header, std::span<const std::uint8_t> body) {
  if (body.size() != PatchBodySize(header)) return false;
  std::uint64_t made = 0, old_at = 0;
  for (std::uint32_t i = 0; i < header.op_count; ++i) {
    const PatchOp op = ReadPatchOp(body, i);
    std::uint64_t length = 0;
    if (!OpLength(op, length) || length == 0 || length > header.new_size - made ||
        op.diff > header.old_size - old_at) {
      return false;
    }
    made += length;
    old_at += op.diff;
    // The position stays within the old file (its end included) after every seek.
    if (op.seek < 0 ? static_cast<std::uint64_t>(-(op.seek + 1)) + 1 > old_at
                    : static_cast<std::uint64_t>(op.seek) > header.old_size - old_at) {
      return false;
    }
    old_at = static_cast<std::uint64_t>(static_cast<std::int64_t>(old_at) + op.seek);
  }
  return made == header.new_size;
}

bool ApplyPatch(const PatchHeader& header, std::span<const std::uint8_t> old,
                std::span<const std::uint8_t> body, PatchSink& sink) {
  if (old.size() != header.old_size || !CheckPatchBody(header, body)) return false;
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  std::uint8_t piece[std::size_t{64} << 10];
  const std::uint8_t* diff = body.data() + std::size_t{header.op_count} * kPatchOpSize;
  std::uint64_t diff_total = 0;
  for (std::uint32_t i = 0; i < header.op_count; ++i) diff_total += ReadPatchOp(body, i).diff;
  const std::uint8_t* extra = diff + diff_total;
  std::uint64_t old_at = 0;
  for (std::uint32_t i = 0; i < header.op_count; ++i) {
    const PatchOp op = ReadPatchOp(body, i);
    // Diff bytes are added into a small buffer and handed over from there; extra bytes are
    // handed over where the body holds them.
    for (std::uint64_t done = 0; done < op.diff;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(op.diff - done, sizeof piece));
      const std::uint8_t* from = old.data() + old_at + done;
      for (std::size_t k = 0; k < n; ++k) piece[k] = static_cast<std::uint8_t>(from[k] + diff[k]);
      if (!sink.Write(piece, n)) return false;
      diff += n;
      done += n;
    }
    for (std::uint64_t done = 0; done < op.extra;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(op.extra - done, kPiece));
      if (!sink.Write(extra, n)) return false;
      extra += n;
      done += n;
    }
    old_at = static_cast<std::uint64_t>(static_cast<std::int64_t>(old_at + op.diff) + op.seek);
  }
  return true;
}

}  // namespace boot
