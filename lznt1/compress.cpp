// Stream assembly: splits the input into 4096-byte chunks, encodes each with the parser of the
// chosen level, and stores a chunk as it is when encoding does not make it smaller. Also the
// payload form, which bounds how far a stream may expand.
#include <algorithm>
#include <cstring>
#include <memory>

#include "lznt1/chunk_parse.h"
#include "lznt1/format.h"
#include "lznt1/lznt1.h"

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

void AppendHeader(std::vector<std::uint8_t>& out, std::uint16_t header) {
  std::uint8_t bytes[2];
  Store16(bytes, header);
  Append(out, bytes, 2);
}

// A chunk as it is: 4096 bytes, or fewer for the last one. (Short stored chunks are what
// Windows itself writes for an incompressible tail; a short compressed one may not fit the
// header's 12-bit size, since literals and their flag bytes outgrow the bytes they carry.)
void AppendRaw(std::vector<std::uint8_t>& out, const std::uint8_t* chunk, std::size_t n) {
  AppendHeader(out, static_cast<std::uint16_t>(kSignature | (n - 1)));
  Append(out, chunk, n);
}

// Compresses in[0, size) to `out`, recording where each chunk's encoding starts in it.
void CompressInto(const std::uint8_t* in, std::size_t size, Level level,
                  std::vector<std::uint8_t>& out, std::vector<std::size_t>* chunk_starts) {
  auto work = std::make_unique<Workspace>();
  const std::size_t chunks = (size + kChunk - 1) / kChunk;
  // The worst case is reserved, not touched: pages are only used as the stream fills them.
  out.clear();
  out.reserve(size + 2 * chunks + kChunk / 8 + 1);
  for (std::size_t start = 0; start < size; start += kChunk) {
    if (chunk_starts) chunk_starts->push_back(out.size());
    const std::size_t n = std::min(kChunk, size - start);
    const std::size_t data = EncodeChunk(in, start, n, level, *work);
    if (data >= n) {
      AppendRaw(out, in + start, n);
    } else {
      AppendHeader(out, CompressedHeader(data));
      Append(out, work->data, data);
    }
  }
  if (chunk_starts) chunk_starts->push_back(out.size());
}

}  // namespace

std::vector<std::uint8_t> Compress(const std::uint8_t* in, std::size_t size, Level level) {
  std::vector<std::uint8_t> out;
  CompressInto(in, size, level, out, nullptr);
  return out;
}

bool CompressPayload(const std::uint8_t* in, std::size_t size, Level level,
                     std::vector<std::uint8_t>& out, std::string& error) {
  if (size == 0) {
    error = "the input is empty; a payload must hold at least one byte";
    return false;
  }
  std::vector<std::uint8_t> stream;
  std::vector<std::size_t> starts;
  CompressInto(in, size, level, stream, &starts);
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
      AppendRaw(bounded, in + c * kChunk, n);
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

