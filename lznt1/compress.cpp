// Stream assembly: splits the input into 4096-byte chunks, encodes each with the parser of the
// chosen level, and stores a chunk as it is when encoding does not make it smaller. Also the
// payload form, which bounds how far a stream may expand.
#include <algorithm>
#include <cstring>
#include <cstdint>
#include <memory>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "lznt1/chunk_parse.h"
#include "lznt1/format.h"
#include "lznt1/lznt1.h"
#include "lznt1/parallel.h"

namespace lznt1 {
namespace {

using namespace format;

// Worst case of a compressed chunk's data: every byte a literal, plus its flag bytes.
constexpr std::size_t kMaxChunkData = kChunk + kChunk / 8;

// How the default level searches: up to 32 entries of a chain, on the 8-byte chain first.
// (The fast level has a parser of its own, with one candidate per key.)
constexpr LazyOptions kDefaultOptions{32, true};

// Everything the levels need to encode chunk after chunk without allocating.
struct Workspace {
  ChunkMatches matches;
  ExactFinderScratch exact;
  ParseScratch parse;
  LazyScratch lazy;
  FastScratch fast;
  std::uint8_t data[kMaxChunkData];
};

// Encodes the chunk in[start, start + n) into work.data; returns the data's size.
std::size_t EncodeChunk(const std::uint8_t* in, std::size_t start, std::size_t n, Level level,
                        Workspace& work) {
  if (level == Level::Max) {
    FindLongestMatches(in + start, n, work.matches, work.exact);
    return EncodeOptimal(in + start, n, work.matches, work.data, work.parse);
  }
  if (level == Level::Default) return EncodeLazy(in + start, n, kDefaultOptions, work.data, work.lazy);
  return EncodeFast(in + start, n, work.data, work.fast);
}

void Append(std::vector<std::uint8_t>& out, const std::uint8_t* bytes, std::size_t size) {
  out.insert(out.end(), bytes, bytes + size);
}

// A chunk as it is: 4096 bytes, or fewer for the last one. (Short stored chunks are what
// Windows itself writes for an incompressible tail; a short compressed one may not fit the
// header's 12-bit size, since literals and their flag bytes outgrow the bytes they carry.)
// Returns the bytes written to `to`.
std::size_t WriteRaw(std::uint8_t* to, const std::uint8_t* chunk, std::size_t n) {
  Store16(to, static_cast<std::uint16_t>(kSignature | (n - 1)));
  std::memcpy(to + 2, chunk, n);
  return 2 + n;
}

// Room the encodings of the first `chunks` chunks may take: every one stored as it is.
std::size_t WorstCase(std::size_t chunks) { return chunks * (2 + kChunk); }

// Writes the encodings of chunks [first, end) of in[0, size) to `to`, which has room for them
// all stored, and each one's size to sizes[c]; returns the bytes written.
std::size_t EncodeChunks(const std::uint8_t* in, std::size_t size, std::size_t first, std::size_t end, Level level,
                         Workspace& work, std::uint8_t* to, std::uint16_t* sizes) {
  std::uint8_t* at = to;
  for (std::size_t c = first; c < end; ++c) {
    const std::size_t start = c * kChunk;
    const std::size_t n = std::min(kChunk, size - start);
    const std::size_t data = EncodeChunk(in, start, n, level, work);
    std::size_t written;
    if (data >= n) {
      written = WriteRaw(at, in + start, n);
    } else {
      Store16(at, CompressedHeader(data));
      std::memcpy(at + 2, work.data, data);
      written = 2 + data;
    }
    sizes[c] = static_cast<std::uint16_t>(written);
    at += written;
  }
  return static_cast<std::size_t>(at - to);
}

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Asks the system to back the whole 2 MiB pages inside [p, p + n) with huge pages, where it
// offers them on request (Linux's transparent huge pages). Fresh memory faulted in 4 KiB at a
// time is slow on virtual machines: about 10 us a page on the one we measure on, which for a
// stream of megabytes came to an eighth of the time spent compressing it.
void PreferHugePages(const void* p, std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}

// Compresses in[0, size) to `out`, recording where each chunk's encoding starts in it (and
// where the last ends). Chunks encode on their own, so blocks of them go to up to `threads`
// threads, each block to its worst-case place in `out`, and the blocks then move down in order
// to join up: the stream is the same for any count, and no second buffer of the stream's size
// is needed (for content that does not compress, that buffer would be as large as the input).
void CompressInto(const std::uint8_t* in, std::size_t size, Level level, unsigned threads,
                  std::vector<std::uint8_t>& out, std::vector<std::size_t>* chunk_starts) {
  const std::size_t chunks = (size + kChunk - 1) / kChunk;
  const std::size_t blocks = (chunks + kChunksPerBlock - 1) / kChunksPerBlock;
  const unsigned workers = std::max(WorkerCount(threads, blocks), 1u);
  // Everything the threads write to is allocated here, so they cannot fail. The caller's own
  // workspace is kept for its next call: clearing half a megabyte of tables for every small
  // file cost more than compressing it (the tables need no clearing between inputs, as they
  // need none between chunks).
  thread_local std::unique_ptr<Workspace> callers;
  if (!callers) callers = std::make_unique<Workspace>();
  std::vector<std::unique_ptr<Workspace>> others(workers - 1);
  for (auto& space : others) space = std::make_unique<Workspace>();
  const auto workspace = [&](unsigned worker) -> Workspace& { return worker == 0 ? *callers : *others[worker - 1]; };
  std::vector<std::uint8_t>().swap(out);
  out.reserve(WorstCase(chunks));
  PreferHugePages(out.data(), WorstCase(chunks));
  out.resize(WorstCase(chunks));
  std::vector<std::uint16_t> sizes(chunks);
  std::vector<std::size_t> written(blocks);
  RunBlocks(blocks, workers, [&](unsigned worker, std::size_t b) {
    const std::size_t first = b * kChunksPerBlock, end = std::min(chunks, first + kChunksPerBlock);
    written[b] = EncodeChunks(in, size, first, end, level, workspace(worker), out.data() + WorstCase(first), sizes.data());
  });
  // Block b starts at or beyond where it belongs, so moving the blocks in order never
  // overwrites one that has not moved yet.
  std::size_t total = 0;
  for (std::size_t b = 0; b < blocks; ++b) {
    std::memmove(out.data() + total, out.data() + WorstCase(b * kChunksPerBlock), written[b]);
    total += written[b];
  }
  out.resize(total);
  if (chunk_starts) {
    std::size_t at = 0;
    for (std::uint16_t bytes : sizes) {
      chunk_starts->push_back(at);
      at += bytes;
    }
    chunk_starts->push_back(at);
  }
}

}  // namespace

std::vector<std::uint8_t> Compress(const std::uint8_t* in, std::size_t size, Level level, unsigned threads) {
  std::vector<std::uint8_t> out;
  CompressInto(in, size, level, threads, out, nullptr);
  return out;
}

bool CompressPayload(const std::uint8_t* in, std::size_t size, Level level,
                     std::vector<std::uint8_t>& out, std::string& error, unsigned threads) {
  if (size == 0) {
    error = "the input is empty; a payload must hold at least one byte";
    return false;
  }
  std::vector<std::uint8_t> stream;
  std::vector<std::size_t> starts;
  CompressInto(in, size, level, threads, stream, &starts);
  const std::size_t needed = (size + 3) / 4;  // content <= 4 x stream
  if (stream.size() >= needed) {
    out = std::move(stream);
    return true;
  }

  // Too compressible: store the most compressible chunks as they are, largest gain first, until
  // the stream is long enough; then swap the last pick for the smallest one that still
  // suffices, so the stream overshoots as little as that allows.
  struct Candidate {
    std::size_t chunk;
    std::size_t gain;
  };
  const std::size_t chunks = starts.size() - 1;
  std::vector<Candidate> candidates;
  for (std::size_t c = 0; c < chunks; ++c) {
    const std::size_t n = std::min(kChunk, size - c * kChunk);
    const std::size_t encoded = starts[c + 1] - starts[c];
    if (2 + n > encoded) candidates.push_back({c, 2 + n - encoded});
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& a, const Candidate& b) { return a.gain > b.gain || (a.gain == b.gain && a.chunk < b.chunk); });
  std::size_t missing = needed - stream.size();
  std::size_t taken = 0;
  while (taken < candidates.size() && missing > candidates[taken].gain) missing -= candidates[taken++].gain;
  // candidates[taken] closes the gap (its gain is at least what is missing); so may a smaller one.
  std::size_t last = taken;
  for (std::size_t i = taken + 1; i < candidates.size() && candidates[i].gain >= missing; ++i) last = i;
  std::vector<bool> expand(chunks, false);
  for (std::size_t i = 0; i < taken; ++i) expand[candidates[i].chunk] = true;
  if (last < candidates.size()) expand[candidates[last].chunk] = true;

  std::vector<std::uint8_t> bounded;
  bounded.reserve(needed + 2 * kChunk);
  for (std::size_t c = 0; c < chunks; ++c) {
    const std::size_t n = std::min(kChunk, size - c * kChunk);
    if (expand[c]) {
      const std::size_t at = bounded.size();
      bounded.resize(at + 2 + n);
      WriteRaw(bounded.data() + at, in + c * kChunk, n);
    } else {
      Append(bounded, stream.data() + starts[c], starts[c + 1] - starts[c]);
    }
  }
  out = std::move(bounded);
  return true;
}

bool ParseLevel(std::string_view name, Level& level) {
  if (name == "fast") {
    level = Level::Fast;
  } else if (name == "default") {
    level = Level::Default;
  } else if (name == "max") {
    level = Level::Max;
  } else {
    return false;
  }
  return true;
}

const char* LevelName(Level level) {
  switch (level) {
    case Level::Fast: return "fast";
    case Level::Default: return "default";
    case Level::Max: return "max";
  }
  return "default";
}

}  // namespace lznt1

