// The LZNT1 decoder: strict about every bound, tolerant of what Windows itself writes (short
// uncompressed chunks, short non-final chunks that stand for 4096 bytes).
#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "lznt1/format.h"
#include "lznt1/lznt1.h"
#include "lznt1/parallel.h"

namespace lznt1 {
namespace {

using namespace format;

inline std::uint64_t Load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline void Store64(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, 8); }

// Copies `length` bytes to `to` from `offset` bytes before it (the copy may overlap its own
// output), writing up to 15 bytes beyond. The first sixteen bytes move unconditionally (most
// copies are no longer); far sources go on sixteen bytes at a time, nearer ones eight at a time
// from a distance of at least eight, which for a period shorter than eight is the smallest
// multiple of it that reaches eight (the same bytes repeat there).
inline void CopyMatchWide(std::uint8_t* to, std::size_t offset, std::size_t length) {
  const std::uint8_t* from = to - offset;
  if (offset >= 16) {
    std::memcpy(to, from, 16);
    for (std::size_t i = 16; i < length; i += 16) std::memcpy(to + i, from + i, 16);
    return;
  }
  if (offset < 8) {
    static constexpr std::uint8_t kRepeatDistance[8] = {0, 8, 8, 9, 8, 10, 12, 14};
    if (offset == 1) {
      const std::uint64_t run = from[0] * 0x0101010101010101ull;
      for (std::size_t i = 0; i < length; i += 8) Store64(to + i, run);
      return;
    }
    for (std::size_t i = 0; i < 8; ++i) to[i] = from[i];
    from = to - kRepeatDistance[offset];
    for (std::size_t i = 8; i < length; i += 8) Store64(to + i, Load64(from + i));
    return;
  }
  Store64(to, Load64(from));
  Store64(to + 8, Load64(from + 8));
  for (std::size_t i = 16; i < length; i += 8) Store64(to + i, Load64(from + i));
}

// Decodes the compressed data [src, end) of one chunk to dst. `room` is how much of the caller's
// buffer is left at dst. On Ok, `produced` is the chunk's decoded length.
//
// The wide path runs while a whole group (a flag byte and eight tokens, 17 bytes) and 8 more
// bytes are left in the input and the whole chunk fits the output with 16 bytes to spare, so
// items need no bound checks of their own and reads and copies may run over by a few bytes; the
// careful path checks every item. Kept out of line: inlined into the stream loop, its hot loop
// ran short of registers.
[[gnu::noinline]] DecodeStatus DecodeChunk(const std::uint8_t* src, const std::uint8_t* end,
                                           std::uint8_t* dst, std::size_t room, std::size_t& produced) {
  std::size_t pos = 0;
  const bool wide_output = room >= kChunk + 16;
  while (src < end) {
    if (wide_output && end - src >= 25) {
      // The literals before each token move as one 8-byte block (a bit above the flags marks
      // the group's end, so there are never more than eight), and only tokens cost a branch.
      // The loop keeps a write pointer rather than an index: with one register fewer the
      // compiler no longer spilled inside it.
      unsigned flags = *src++ | 0x100u;
      std::uint8_t* op = dst + pos;
      std::uint8_t* const chunk_end = dst + kChunk;
      for (;;) {
        const unsigned take = static_cast<unsigned>(std::countr_zero(flags));
        if (take > static_cast<std::size_t>(chunk_end - op)) return DecodeStatus::ChunkTooLarge;
        Store64(op, Load64(src));
        src += take;
        op += take;
        flags >>= take;
        if (flags == 1) break;
        flags >>= 1;
        const std::uint16_t token = Load16(src);
        src += 2;
        const std::size_t at = static_cast<std::size_t>(op - dst);
        if (at == 0) return DecodeStatus::BadOffset;
        const unsigned length_bits = LengthBits(at);
        const std::size_t length = (token & ((1u << length_bits) - 1)) + kMinMatch;
        const std::size_t offset = (token >> length_bits) + 1;
        if (offset > at) return DecodeStatus::BadOffset;
        if (length > static_cast<std::size_t>(chunk_end - op)) return DecodeStatus::ChunkTooLarge;
        CopyMatchWide(op, offset, length);
        op += length;
      }
      pos = static_cast<std::size_t>(op - dst);
      continue;
    }
    unsigned flags = *src++;
    for (int item = 0; item < 8 && src < end; ++item, flags >>= 1) {
      if ((flags & 1) == 0) {
        if (pos >= kChunk) return DecodeStatus::ChunkTooLarge;
        if (pos >= room) return DecodeStatus::OutputTooSmall;
        dst[pos++] = *src++;
        continue;
      }
      if (end - src < 2) return DecodeStatus::TruncatedChunk;
      const std::uint16_t token = Load16(src);
      src += 2;
      if (pos == 0) return DecodeStatus::BadOffset;
      const unsigned length_bits = LengthBits(pos);
      const std::size_t length = (token & ((1u << length_bits) - 1)) + kMinMatch;
      const std::size_t offset = (token >> length_bits) + 1;
      if (offset > pos) return DecodeStatus::BadOffset;
      if (length > kChunk - pos) return DecodeStatus::ChunkTooLarge;
      if (length > room - pos) return DecodeStatus::OutputTooSmall;
      if (wide_output) {
        CopyMatchWide(dst + pos, offset, length);
      } else {
        std::uint8_t* to = dst + pos;
        const std::uint8_t* from = to - offset;
        for (std::size_t i = 0; i < length; ++i) to[i] = from[i];
      }
      pos += length;
    }
  }
  produced = pos;
  return DecodeStatus::Ok;
}

// Decodes the chunks from src up to `stop` (a chunk start, or the stream's end) to out[size...],
// keeping inside out[0, limit); `end` is the stream's end, where a chunk looks for the next one.
// Advances `size` past what was decoded.
DecodeStatus DecodeChunks(const std::uint8_t* src, const std::uint8_t* stop, const std::uint8_t* end,
                          std::uint8_t* out, std::size_t limit, std::size_t& size) {
  while (src < stop && end - src >= 2) {
    const std::uint16_t header = Load16(src);
    if (header == 0) break;
    if ((header & kSignatureMask) != kSignature) return DecodeStatus::BadChunkHeader;
    const std::size_t data_size = (header & (kChunk - 1)) + 1;
    src += 2;
    if (static_cast<std::size_t>(end - src) < data_size) return DecodeStatus::TruncatedChunk;
    const std::size_t room = limit > size ? limit - size : 0;
    std::size_t produced = 0;
    if (header & kCompressed) {
      const DecodeStatus status = DecodeChunk(src, src + data_size, out + size, room, produced);
      if (status != DecodeStatus::Ok) return status;
    } else {
      if (data_size > room) return DecodeStatus::OutputTooSmall;
      std::memcpy(out + size, src, data_size);
      produced = data_size;
    }
    src += data_size;
    size += produced;
    // A short chunk in the middle of a stream stands for a whole one: the rest is zeros.
    const bool more = end - src >= 2 && Load16(src) != 0;
    if (more && produced < kChunk) {
      const std::size_t pad = kChunk - produced;
      if (pad > room - produced) return DecodeStatus::OutputTooSmall;
      std::memset(out + size, 0, pad);
      size += pad;
    }
  }
  if (stop == end && src != end && end - src < 2) return DecodeStatus::TruncatedChunk;
  return DecodeStatus::Ok;
}

// Where each chunk of the stream starts, up to the end of the input, a zero header, or a header
// that is bad or runs past the input (which the decoding then meets and reports).
std::vector<std::size_t> ChunkStarts(const std::uint8_t* in, std::size_t in_size) {
  std::vector<std::size_t> starts;
  starts.reserve(in_size / 1024 + 1);
  std::size_t at = 0;
  while (in_size - at >= 2) {
    const std::uint16_t header = Load16(in + at);
    if (header == 0 || (header & kSignatureMask) != kSignature) break;
    const std::size_t next = at + 2 + (header & (kChunk - 1)) + 1;
    if (next > in_size) break;
    starts.push_back(at);
    at = next;
  }
  return starts;
}

}  // namespace

DecodeResult Decompress(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out,
                        std::size_t capacity, unsigned threads) {
  const std::uint8_t* const end = in + in_size;
  // Threads need two blocks of chunks (of three bytes at least); the headers say where each
  // chunk starts.
  std::vector<std::size_t> starts;
  if (threads != 1 && in_size >= 2 * kChunksPerBlock * 3) starts = ChunkStarts(in, in_size);
  const std::size_t blocks = (starts.size() + kChunksPerBlock - 1) / kChunksPerBlock;
  const unsigned workers = WorkerCount(threads, blocks);
  if (workers <= 1) {
    std::size_t size = 0;
    const DecodeStatus status = DecodeChunks(in, end, end, out, capacity, size);
    return {status, status == DecodeStatus::Ok ? size : 0};
  }

  // Every chunk followed by another decodes to exactly 4096 bytes (padded, or it is an error),
  // so chunk c starts at c * 4096 and blocks of chunks decode on their own. A block stops at the
  // next one's output, so no thread writes where another does; the last block runs to the end
  // of the stream and meets whatever ends it. Each chunk gets the same outcome as in one pass,
  // so the earliest block's error is the one a single pass would have stopped at.
  std::vector<DecodeStatus> status(blocks, DecodeStatus::Ok);
  std::size_t size = 0;
  RunBlocks(blocks, workers, [&](unsigned, std::size_t b) {
    const std::size_t first = b * kChunksPerBlock;
    const bool last = b + 1 == blocks;
    const std::size_t stop_chunk = first + kChunksPerBlock;
    const std::uint8_t* const stop = last ? end : in + starts[stop_chunk];
    const std::size_t limit = last ? capacity : std::min(capacity, stop_chunk * kChunk);
    std::size_t at = first * kChunk;
    status[b] = DecodeChunks(in + starts[first], stop, end, out, limit, at);
    if (last) size = at;
  });
  for (DecodeStatus s : status)
    if (s != DecodeStatus::Ok) return {s, 0};
  return {DecodeStatus::Ok, size};
}

DecodeResult DecompressInPieces(const std::uint8_t* in, std::size_t in_size, std::size_t capacity,
                                const std::function<void(const std::uint8_t*, std::size_t)>& consume,
                                unsigned threads) {
  const std::uint8_t* const end = in + in_size;
  // Groups of chunks as Decompress's threads take them: group g starts at chunk g * 64, so at
  // content offset g * kGroupBytes when every group before it decoded. The last group runs to
  // the end of the stream and meets whatever ends it (a stream without a single well-formed
  // chunk is one group that starts at its first byte).
  constexpr std::size_t kGroupBytes = kChunksPerBlock * kChunk;
  const std::vector<std::size_t> starts = ChunkStarts(in, in_size);
  const std::size_t groups = std::max<std::size_t>(1, (starts.size() + kChunksPerBlock - 1) / kChunksPerBlock);
  const unsigned workers = std::max(WorkerCount(threads, groups), 1u);
  // Each round decodes a few groups per thread side by side, then hands them over in order.
  const std::size_t per_round = std::min<std::size_t>(groups, 4 * std::size_t{workers});
  // Sixteen bytes of slack behind each group keep the decoder on its wide path to the end. No
  // group can produce more than the capacity, so a small one needs no bigger room; the bytes
  // are left uninitialised (only what is decoded is touched, or handed over).
  const std::size_t slot = std::min(kGroupBytes, capacity) + 16;
  const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[per_round * slot]);
  std::vector<std::size_t> produced(per_round);
  std::vector<DecodeStatus> status(per_round);
  std::size_t total = 0;
  for (std::size_t first = 0; first < groups; first += per_round) {
    const std::size_t count = std::min(per_round, groups - first);
    const auto decode = [&](unsigned, std::size_t i) {
      const std::size_t g = first + i;
      const bool last = g + 1 == groups;
      const std::uint8_t* const from = starts.empty() ? in : in + starts[g * kChunksPerBlock];
      const std::uint8_t* const stop = last ? end : in + starts[(g + 1) * kChunksPerBlock];
      // What the caller's capacity leaves for this group; a group decodes to at most kGroupBytes.
      const std::size_t offset = g * kGroupBytes;
      const std::size_t room = capacity > offset ? std::min(capacity - offset, slot) : 0;
      produced[i] = 0;
      status[i] = DecodeChunks(from, stop, end, buffer.get() + i * slot, room, produced[i]);
    };
    if (workers > 1 && count > 1) {
      RunBlocks(count, std::min<unsigned>(workers, static_cast<unsigned>(count)), decode);
    } else {
      for (std::size_t i = 0; i < count; ++i) decode(0, i);
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (status[i] != DecodeStatus::Ok) return {status[i], 0};
      // (A group before the last that decodes ends at a chunk followed by another, so it
      // produced all its 64 chunks of 4096 bytes.)
      if (total + produced[i] > capacity) return {DecodeStatus::OutputTooSmall, 0};
      if (produced[i] != 0) consume(buffer.get() + i * slot, produced[i]);
      total += produced[i];
    }
  }
  return {DecodeStatus::Ok, total};
}

std::size_t DecodedSizeBound(const std::uint8_t* in, std::size_t in_size) {
  std::size_t bound = 0;
  std::size_t at = 0;
  while (in_size - at >= 2) {
    const std::uint16_t header = format::Load16(in + at);
    if (header == 0) break;
    bound += kChunkSize;
    at += 2 + std::min<std::size_t>((header & (kChunkSize - 1)) + 1, in_size - at - 2);
  }
  return bound;
}

const char* DescribeStatus(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::Ok: return "ok";
    case DecodeStatus::BadChunkHeader: return "chunk header has a bad signature";
    case DecodeStatus::TruncatedChunk: return "chunk runs past the end of the input";
    case DecodeStatus::BadOffset: return "copy token reaches before the chunk";
    case DecodeStatus::ChunkTooLarge: return "chunk decodes to more than 4096 bytes";
    case DecodeStatus::OutputTooSmall: return "output does not fit the capacity";
  }
  return "unknown status";
}

}  // namespace lznt1
