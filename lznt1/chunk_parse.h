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

// Writes items to a chunk's compressed data, opening a flag byte every eight items.
class ItemWriter {
 public:
  explicit ItemWriter(std::uint8_t* out) : out_(out), at_(out) {}
  void Literal(std::uint8_t byte) {
    OpenGroup();
    *at_++ = byte;
    ++items_;
  }
  void Token(std::uint16_t token) {
    OpenGroup();
    *flags_ |= static_cast<std::uint8_t>(1u << (items_ % 8));
    format::Store16(at_, token);
    at_ += 2;
    ++items_;
  }
  std::size_t size() const { return static_cast<std::size_t>(at_ - out_); }

 private:
  void OpenGroup() {
    if (items_ % 8 == 0) {
      flags_ = at_++;
      *flags_ = 0;
    }
  }
  std::uint8_t* out_;
  std::uint8_t* at_;
  std::uint8_t* flags_ = nullptr;
  unsigned items_ = 0;
};

// Reusable memory for the exact match finder.
struct ExactFinderScratch {
  SuffixSortScratch sort;
  std::int32_t sa[format::kChunk];
  std::int32_t below[format::kChunk];  // nearest earlier-starting suffix sorted below, or -1
  std::int32_t above[format::kChunk];  // the same above
  std::int32_t stack[format::kChunk];
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

// Reusable memory for the hash-chain parser.
struct LazyScratch {
  static constexpr unsigned kHashBits = 14;
  static constexpr unsigned kHash3Bits = 16;
  // Latest position per hashed key while a chunk's chains are built: a per-chunk base plus the
  // chunk position plus one, so anything not above the base is from an earlier chunk, or empty
  // (the tables start zeroed). Sixteen bits hold fifteen chunks' stamps, after which the heads
  // are cleared.
  std::uint16_t head3[1u << kHash3Bits] = {};  // 3-byte keys
  std::uint16_t head8[1u << kHashBits] = {};   // 8-byte keys
  // For each chunk position, the stamped entry of the latest earlier position with the same
  // hashed key: the chains.
  std::uint16_t prev3[format::kChunk];
  std::uint16_t prev8[format::kChunk];
  std::uint32_t base = 0;
};

// How hard the hash-chain parser looks for matches.
struct LazyOptions {
  int depth;       // chain entries tried per search
  bool long_keys;  // also chain positions on their first 8 bytes
};

// Lazy parse of chunk[0, n) over hash-chain matches; writes the compressed data to out like
// EncodeOptimal and returns its size.
std::size_t EncodeLazy(const std::uint8_t* chunk, std::size_t n, const LazyOptions& options,
                       std::uint8_t* out, LazyScratch& scratch);

// Reusable memory for the fast parser: the latest positions per hashed 3-, 4- and 8-byte key,
// stamped in 16 bits like the hash-chain parser's (zero reads as empty).
struct FastScratch {
  static constexpr unsigned kHashBits = 13;
  static constexpr unsigned kHash3Bits = 16;
  std::uint16_t head[1u << kHashBits] = {};
  std::uint16_t head3[1u << kHash3Bits] = {};
  std::uint16_t head8[1u << kHashBits] = {};
  std::uint16_t head2[1u << kHashBits] = {};
  std::uint32_t base = 0;
};

// Single-candidate parse of chunk[0, n) (the fast level); writes the compressed data to out like
// EncodeOptimal and returns its size.
std::size_t EncodeFast(const std::uint8_t* chunk, std::size_t n, std::uint8_t* out, FastScratch& scratch);

}  // namespace lznt1
