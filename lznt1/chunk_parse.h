// Per-chunk encoding: match finders and parsers. Internal to the library.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lznt1/format.h"
#include "lznt1/suffix_array.h"

namespace lznt1 {

// For each position p of a chunk: the longest copy a token at p can make (`length`, 0 when
// below the 3-byte minimum) and where it copies from (`source`, a position before p). Lengths
// already respect the token's limit at p and the chunk end.
struct ChunkMatches {
  std::uint16_t length[format::kChunk];
  std::uint16_t source[format::kChunk];
};

// Reusable memory for the exact match finder.
struct ExactFinderScratch {
  SuffixSortScratch sort;
  std::int32_t sa[format::kChunk];
  std::int32_t rank[format::kChunk];
  std::int32_t lcp[format::kChunk];
  std::int32_t stack[format::kChunk];
  std::int32_t stack_min[format::kChunk];
};

// Exact: the longest previous match at every position of chunk[0, n), n <= 4096.
void FindLongestMatches(const std::uint8_t* chunk, std::size_t n, ChunkMatches& matches,
                        ExactFinderScratch& scratch);

// Reusable memory for the parser.
struct ParseScratch {
  std::int32_t cost[format::kChunk + 1];
  std::uint16_t next[format::kChunk + 1];
  static constexpr std::int32_t kWindowEntries = 3 * format::kChunk;
  std::uint16_t window[kWindowEntries];
};

// Chooses the smallest encoding of chunk[0, n) that the given matches allow (every token length
// from 3 up to matches.length[p] is open at p) and writes its compressed data (flag bytes,
// literals, tokens; no header) to out, which has room for n + n / 8 + 1 bytes. Returns the
// data's size.
std::size_t EncodeOptimal(const std::uint8_t* chunk, std::size_t n, const ChunkMatches& matches,
                          std::uint8_t* out, ParseScratch& scratch);

}  // namespace lznt1
