// The optimal parse against references that share none of its machinery: a flag-byte-exact
// dynamic program over brute-force matches, and on tiny chunks a search through every parse.
#include "lznt1/chunk_parse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <random>
#include <vector>

#include "lznt1/lznt1.h"

namespace lznt1 {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Longest copy at p by trying every offset (copies may overlap their own output).
std::size_t BruteLongestMatch(const Bytes& chunk, std::size_t p) {
  if (p == 0) return 0;
  const std::size_t limit = std::min(format::MaxLength(p), chunk.size() - p);
  std::size_t best = 0;
  for (std::size_t offset = 1; offset <= p; ++offset) {
    std::size_t len = 0;
    while (len < limit && chunk[p + len] == chunk[p + len - offset]) ++len;
    best = std::max(best, len);
  }
  return best >= format::kMinMatch ? best : 0;
}

// Smallest compressed data of a chunk, counting flag bytes exactly: the state is the position
// and how many items the open flag byte already covers.
std::size_t ReferenceOptimalSize(const Bytes& chunk) {
  const std::size_t n = chunk.size();
  constexpr std::size_t kInf = ~std::size_t{0} / 2;
  std::vector<std::array<std::size_t, 8>> cost(n + 1);
  for (auto& c : cost) c.fill(kInf);
  cost[0][0] = 0;
  for (std::size_t p = 0; p < n; ++p) {
    const std::size_t longest = BruteLongestMatch(chunk, p);
    for (std::size_t k = 0; k < 8; ++k) {
      if (cost[p][k] == kInf) continue;
      const std::size_t base = cost[p][k] + (k == 0 ? 1 : 0);
      const std::size_t next = (k + 1) % 8;
      cost[p + 1][next] = std::min(cost[p + 1][next], base + 1);
      for (std::size_t len = format::kMinMatch; len <= longest; ++len)
        cost[p + len][next] = std::min(cost[p + len][next], base + 2);
    }
  }
  return *std::min_element(cost[n].begin(), cost[n].end());
}

// Smallest compressed data found by walking every parse (every item choice at every position).
std::size_t ExhaustiveOptimalSize(const Bytes& chunk) {
  std::size_t best = ~std::size_t{0};
  auto walk = [&](auto&& self, std::size_t p, std::size_t items, std::size_t bytes) -> void {
    if (p == chunk.size()) {
      best = std::min(best, bytes + (items + 7) / 8);
      return;
    }
    self(self, p + 1, items + 1, bytes + 1);
    for (std::size_t len = format::kMinMatch; p + len <= chunk.size(); ++len) {
      bool any = false;
      for (std::size_t offset = 1; offset <= p && !any; ++offset) {
        any = true;
        for (std::size_t i = 0; i < len && any; ++i) any = chunk[p + i] == chunk[p + i - offset];
      }
      if (any) self(self, p + len, items + 1, bytes + 2);
    }
  };
  walk(walk, 0, 0, 0);
  return best;
}

std::size_t OurSize(const Bytes& chunk) {
  auto matches = std::make_unique<ChunkMatches>();
  auto exact = std::make_unique<ExactFinderScratch>();
  auto parse = std::make_unique<ParseScratch>();
  FindLongestMatches(chunk.data(), chunk.size(), *matches, *exact);
  std::vector<std::uint8_t> out(chunk.size() + chunk.size() / 8 + 1);
  return EncodeOptimal(chunk.data(), chunk.size(), *matches, out.data(), *parse);
}

TEST(OptimalParse, EqualsAnExhaustiveSearchOnEverySmallChunkOfTwoSymbols) {
  // All 2^12 chunks of 12 bytes over {a, b}, and a spread of 14-byte ones.
  for (std::uint32_t bits = 0; bits < (1u << 12); ++bits) {
    Bytes chunk(12);
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = (bits >> i) & 1 ? 'b' : 'a';
    ASSERT_EQ(OurSize(chunk), ExhaustiveOptimalSize(chunk)) << "pattern " << bits;
  }
  std::mt19937 rng(12);
  for (int round = 0; round < 300; ++round) {
    Bytes chunk(14);
    for (auto& b : chunk) b = static_cast<std::uint8_t>('a' + rng() % 3);
    ASSERT_EQ(OurSize(chunk), ExhaustiveOptimalSize(chunk));
  }
}

// Whole chunks whose matches cross every token-limit boundary (16, 32, ... 2048 bytes).
std::vector<Bytes> VariedChunks() {
  std::mt19937 rng(99);
  std::vector<Bytes> chunks;
  for (int alphabet : {2, 3, 4, 8, 64, 256}) {
    for (std::size_t size : {std::size_t{17}, std::size_t{700}, std::size_t{4096}}) {
      Bytes chunk(size);
      for (auto& b : chunk) b = static_cast<std::uint8_t>(rng() % alphabet);
      chunks.push_back(chunk);
    }
  }
  // Runs of one byte with rare changes; repeats with mutations at a range of periods.
  for (std::size_t period : {1, 2, 5, 13, 40, 300, 1500}) {
    Bytes chunk(4096);
    for (std::size_t i = 0; i < chunk.size(); ++i)
      chunk[i] = i < period ? static_cast<std::uint8_t>(rng()) : chunk[i - period];
    for (int k = 0; k < 30; ++k) chunk[rng() % chunk.size()] = static_cast<std::uint8_t>(rng());
    chunks.push_back(chunk);
  }
  Bytes text;
  const char* words[] = {"the ", "chunk ", "token ", "offset ", "length ", "of ", "a ", "\n"};
  while (text.size() < 4096) {
    const char* w = words[rng() % 8];
    text.insert(text.end(), w, w + std::char_traits<char>::length(w));
  }
  text.resize(4096);
  chunks.push_back(text);
  return chunks;
}

TEST(OptimalParse, EqualsAFlagExactDynamicProgramOnWholeChunks) {
  for (const Bytes& chunk : VariedChunks())
    EXPECT_EQ(OurSize(chunk), ReferenceOptimalSize(chunk)) << "chunk of " << chunk.size();
}

TEST(OptimalParse, FindsTheLongestMatchAtEveryPosition) {
  auto matches = std::make_unique<ChunkMatches>();
  auto exact = std::make_unique<ExactFinderScratch>();
  for (const Bytes& chunk : VariedChunks()) {
    FindLongestMatches(chunk.data(), chunk.size(), *matches, *exact);
    for (std::size_t p = 0; p < chunk.size(); ++p) {
      ASSERT_EQ(matches->length[p], BruteLongestMatch(chunk, p)) << "at " << p << " of " << chunk.size();
      for (std::size_t i = 0; i < matches->length[p]; ++i)
        ASSERT_EQ(chunk[matches->source[p] + i], chunk[p + i]) << "source of " << p;
      if (matches->length[p]) {
        ASSERT_LT(matches->source[p], p);
      }
    }
  }
}

}  // namespace
}  // namespace lznt1

namespace lznt1 {
namespace {

// Chunks of text that repeat one another across chunk boundaries, so a hash table entry left
// from an earlier chunk would name a position with matching bytes.
std::vector<Bytes> RelatedChunks() {
  std::mt19937 rng(7);
  const char* words[] = {"copy ", "token ", "offset ", "chunk ", "length ", "flag ", "byte ", "\n"};
  std::vector<Bytes> chunks;
  for (int c = 0; c < 6; ++c) {
    Bytes chunk;
    while (chunk.size() < 4096) {
      const char* w = words[rng() % 8];
      chunk.insert(chunk.end(), w, w + std::char_traits<char>::length(w));
    }
    chunk.resize(c == 5 ? 1000 : 4096);
    chunks.push_back(chunk);
  }
  return chunks;
}

// Encodes a chunk with `encode`, checks that it decodes back, and returns the data.
template <typename Encode>
Bytes EncodeAndCheck(const Bytes& chunk, Encode&& encode) {
  Bytes data(chunk.size() + chunk.size() / 8 + 1);
  const std::size_t size = encode(chunk.data(), chunk.size(), data.data());
  EXPECT_LE(size, data.size());
  // Shrinks only (erase, not resize, which GCC cannot prove never grows and warns about).
  data.erase(data.begin() + static_cast<std::ptrdiff_t>(std::min(size, data.size())), data.end());
  Bytes stream = {0, 0};
  format::Store16(stream.data(), format::CompressedHeader(data.size()));
  stream.insert(stream.end(), data.begin(), data.end());
  Bytes out(chunk.size());
  const DecodeResult r = Decompress(stream.data(), stream.size(), out.data(), out.size());
  EXPECT_EQ(r.status, DecodeStatus::Ok);
  EXPECT_TRUE(out == chunk);
  return data;
}

// The hash levels keep their tables from chunk to chunk, stamped per chunk instead of cleared;
// what an earlier chunk left in them must change nothing, also when the stamps run out and start
// over.
TEST(HashParse, EncodesEachChunkAsWithFreshTablesAcrossStampWrap) {
  const std::vector<Bytes> chunks = RelatedChunks();
  // Each level's stamps run out at its own limit: 16 bits for the default level, 32 for fast.
  for (int near_end : {0, 3, 1}) {
    auto lazy = std::make_unique<LazyScratch>();
    auto fast = std::make_unique<FastScratch>();
    lazy->base = near_end == 0 ? 0u : UINT16_MAX - near_end * 4096u;
    fast->base = near_end == 0 ? 0u : UINT32_MAX - near_end * 4096u;
    for (const Bytes& chunk : chunks) {
      auto fresh_lazy = std::make_unique<LazyScratch>();
      auto fresh_fast = std::make_unique<FastScratch>();
      const LazyOptions options{16, true};
      const Bytes kept_data = EncodeAndCheck(chunk, [&](const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
        return EncodeLazy(in, n, options, out, *lazy);
      });
      const Bytes fresh_data = EncodeAndCheck(chunk, [&](const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
        return EncodeLazy(in, n, options, out, *fresh_lazy);
      });
      EXPECT_TRUE(kept_data == fresh_data) << "default, stamps " << near_end << " chunks from their end";
      const Bytes kept_fast = EncodeAndCheck(chunk, [&](const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
        return EncodeFast(in, n, out, *fast);
      });
      const Bytes fresh_fast_data = EncodeAndCheck(chunk, [&](const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
        return EncodeFast(in, n, out, *fresh_fast);
      });
      EXPECT_TRUE(kept_fast == fresh_fast_data) << "fast, stamps " << near_end << " chunks from their end";
      EXPECT_LT(kept_fast.size(), chunk.size());
    }
  }
}

// The hash-chain parser with and without its 8-byte chain walks past a recent short copy to an
// older long one: a block, a decoy holding its first twelve bytes, noise, and the block again.
// Each search has one best answer here, so the lazy parse comes out as small as the optimal one.
TEST(HashParse, WalksPastARecentShortCopyToAnOlderLongOne) {
  std::mt19937 rng(11);
  Bytes block(300), noise(50);
  for (auto& b : block) b = static_cast<std::uint8_t>(rng());
  for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
  Bytes chunk = block;
  chunk.insert(chunk.end(), block.begin(), block.begin() + 12);
  chunk.insert(chunk.end(), noise.begin(), noise.end());
  chunk.insert(chunk.end(), block.begin(), block.end());

  auto matches = std::make_unique<ChunkMatches>();
  auto exact = std::make_unique<ExactFinderScratch>();
  auto parse = std::make_unique<ParseScratch>();
  const Bytes optimal = EncodeAndCheck(chunk, [&](const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
    FindLongestMatches(in, n, *matches, *exact);
    return EncodeOptimal(in, n, *matches, out, *parse);
  });
  for (const bool long_keys : {true, false}) {
    auto lazy = std::make_unique<LazyScratch>();
    const Bytes data = EncodeAndCheck(chunk, [&](const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
      return EncodeLazy(in, n, LazyOptions{16, long_keys}, out, *lazy);
    });
    EXPECT_EQ(data.size(), optimal.size()) << "long keys " << long_keys;
  }
}

}  // namespace
}  // namespace lznt1
