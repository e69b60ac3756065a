// Stream assembly: splits the input into 4096-byte chunks, encodes each with the parser of the
// chosen level, and stores a chunk as it is when encoding does not make it smaller.
#include <algorithm>
#include <cstring>
#include <memory>

#include "lznt1/chunk_parse.h"
#include "lznt1/format.h"
#include "lznt1/lznt1.h"

namespace lznt1 {
namespace {

using namespace format;

// Greedy parse: the longest match found along a hash chain, else a literal.
std::size_t EncodeChunkGreedy(const std::uint8_t* chunk, std::size_t n, std::uint8_t* out) {
  constexpr unsigned kHashBits = 12;
  std::int16_t head[1u << kHashBits];
  std::int16_t prev[kChunk];
  std::fill(std::begin(head), std::end(head), std::int16_t{-1});
  auto hash = [&](std::size_t p) {
    const std::uint32_t v = chunk[p] | (chunk[p + 1] << 8) | (chunk[p + 2] << 16);
    return (v * 2654435761u) >> (32 - kHashBits);
  };
  auto insert = [&](std::size_t p) {
    if (p + kMinMatch > n) return;
    const auto h = hash(p);
    prev[p] = head[h];
    head[h] = static_cast<std::int16_t>(p);
  };

  std::uint8_t* flag_byte = nullptr;
  std::uint8_t* o = out;
  unsigned items = 0;
  std::size_t pos = 0;
  while (pos < n) {
    if (items % 8 == 0) {
      flag_byte = o++;
      *flag_byte = 0;
    }
    std::size_t best_len = 0, best_off = 0;
    if (pos > 0 && pos + kMinMatch <= n) {
      const std::size_t limit = std::min(MaxLength(pos), n - pos);
      int depth = 64;
      for (int cand = head[hash(pos)]; cand >= 0 && depth-- > 0; cand = prev[cand]) {
        std::size_t len = 0;
        while (len < limit && chunk[cand + len] == chunk[pos + len]) ++len;
        if (len > best_len) {
          best_len = len;
          best_off = pos - cand;
          if (len == limit) break;
        }
      }
    }
    if (best_len >= kMinMatch) {
      *flag_byte |= static_cast<std::uint8_t>(1u << (items % 8));
      Store16(o, EncodeToken(pos, best_off, best_len));
      o += 2;
      for (std::size_t i = 0; i < best_len; ++i) insert(pos + i);
      pos += best_len;
    } else {
      *o++ = chunk[pos];
      insert(pos);
      ++pos;
    }
    ++items;
  }
  return static_cast<std::size_t>(o - out);
}

// Worst case of a compressed chunk's data: every byte a literal, plus its flag bytes.
constexpr std::size_t kMaxChunkData = kChunk + kChunk / 8;

// Everything a level needs to encode chunk after chunk without allocating.
struct Workspace {
  ChunkMatches matches;
  ExactFinderScratch exact;
  ParseScratch parse;
};

}  // namespace

std::vector<std::uint8_t> Compress(const std::uint8_t* in, std::size_t size, Level level) {
  auto work = std::make_unique<Workspace>();
  std::vector<std::uint8_t> out;
  const std::size_t chunks = (size + kChunk - 1) / kChunk;
  out.resize(chunks * (2 + kMaxChunkData));
  std::size_t at = 0;
  for (std::size_t start = 0; start < size; start += kChunk) {
    const std::size_t n = std::min(kChunk, size - start);
    std::size_t data;
    if (level == Level::Max) {
      FindLongestMatches(in + start, n, work->matches, work->exact);
      data = EncodeOptimal(in + start, n, work->matches, out.data() + at + 2, work->parse);
    } else {
      data = EncodeChunkGreedy(in + start, n, out.data() + at + 2);
    }
    if (n == kChunk && data >= kChunk) {
      Store16(out.data() + at, kRawChunkHeader);
      std::memcpy(out.data() + at + 2, in + start, kChunk);
      at += 2 + kChunk;
    } else {
      Store16(out.data() + at, CompressedHeader(data));
      at += 2 + data;
    }
  }
  out.resize(at);
  return out;
}

bool CompressPayload(const std::uint8_t* in, std::size_t size, Level level,
                     std::vector<std::uint8_t>& out, std::string& error) {
  if (size == 0) {
    error = "the input is empty; a payload must hold at least one byte";
    return false;
  }
  std::vector<std::uint8_t> stream = Compress(in, size, level);
  if (size / 4 <= stream.size()) {
    out = std::move(stream);
    return true;
  }
  const std::size_t chunks = (size + kChunk - 1) / kChunk;
  stream.resize(chunks * (2 + kMaxChunkData));
  std::size_t at = 0;
  // Simple first form: every chunk that would expand past four times is stored as it is or
  // as literals only.
  for (std::size_t start = 0; start < size; start += kChunk) {
    const std::size_t n = std::min(kChunk, size - start);
    if (n == kChunk) {
      Store16(stream.data() + at, kRawChunkHeader);
      std::memcpy(stream.data() + at + 2, in + start, kChunk);
      at += 2 + kChunk;
    } else {
      std::uint8_t* o = stream.data() + at + 2;
      for (std::size_t i = 0; i < n; ++i) {
        if (i % 8 == 0) *o++ = 0;
        *o++ = in[start + i];
      }
      const std::size_t data = static_cast<std::size_t>(o - (stream.data() + at + 2));
      Store16(stream.data() + at, CompressedHeader(data));
      at += 2 + data;
    }
  }
  stream.resize(at);
  out = std::move(stream);
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
