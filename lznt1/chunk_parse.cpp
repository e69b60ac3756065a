#include "lznt1/chunk_parse.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace lznt1 {

using namespace format;

namespace {

// Length of the common prefix of chunk[from, n) and chunk[at, n) (from < at), known to be at
// least `known`; compares eight bytes at a time while both fit.
inline std::int32_t ExtendMatch(const std::uint8_t* chunk, std::int32_t from, std::int32_t at,
                                std::int32_t known, std::int32_t n) {
  std::int32_t len = known;
  while (at + len + 8 <= n) {
    std::uint64_t x, y;
    std::memcpy(&x, chunk + from + len, 8);
    std::memcpy(&y, chunk + at + len, 8);
    if (x != y) {
      const std::uint64_t diff = x ^ y;
      const int bits = std::endian::native == std::endian::little ? std::countr_zero(diff) : std::countl_zero(diff);
      return len + bits / 8;
    }
    len += 8;
  }
  while (at + len < n && chunk[from + len] == chunk[at + len]) ++len;
  return len;
}

}  // namespace

void FindLongestMatches(const std::uint8_t* chunk, std::size_t size, ChunkMatches& matches,
                        ExactFinderScratch& s) {
  const std::int32_t n = static_cast<std::int32_t>(size);
  BuildSuffixArray(chunk, n, s.sa, s.sort);
  // The longest earlier match of a suffix is with its nearest neighbour in sorted order, on
  // either side, among the suffixes that start earlier. One pass with a stack of ranks whose
  // starts increase finds both: the element under a new rank is its neighbour below, and the
  // rank that pops an element is that element's neighbour above.
  std::int32_t* const below = s.below;
  std::int32_t* const above = s.above;
  std::int32_t top = 0;
  for (std::int32_t r = 0; r < n; ++r) {
    const std::int32_t p = s.sa[r];
    while (top > 0 && s.stack[top - 1] > p) above[s.stack[--top]] = p;
    below[p] = top > 0 ? s.stack[top - 1] : -1;
    s.stack[top++] = p;
  }
  while (top > 0) above[s.stack[--top]] = -1;
  // Common prefixes in text order: moving one byte on keeps each neighbour's match less one
  // byte (the neighbours of p + 1 lie at least as close as those of p, shifted), so each side
  // only ever extends what the previous position found.
  std::int32_t common_below = 0, common_above = 0;
  for (std::int32_t p = 0; p < n; ++p) {
    std::int32_t best = 0, source = 0;
    if (below[p] >= 0) {
      common_below = ExtendMatch(chunk, below[p], p, common_below, n);
      best = common_below;
      source = below[p];
    } else {
      common_below = 0;
    }
    if (above[p] >= 0) {
      common_above = ExtendMatch(chunk, above[p], p, common_above, n);
      if (common_above > best) {
        best = common_above;
        source = above[p];
      }
    } else {
      common_above = 0;
    }
    const std::int32_t len = p > 0 ? std::min(best, static_cast<std::int32_t>(MaxLength(p))) : 0;
    matches.length[p] = static_cast<std::uint16_t>(len >= static_cast<std::int32_t>(kMinMatch) ? len : 0);
    matches.source[p] = static_cast<std::uint16_t>(source);
    common_below -= common_below > 0;
    common_above -= common_above > 0;
  }
}


namespace {

// Weights in eighths of a byte: an item costs its own bytes plus an eighth of a flag byte. A
// parse of least weight is also one of least size: the size is the weight plus the rounding of
// the last flag byte, which is under one byte, and sizes are whole.
constexpr std::int32_t kLiteralWeight = 9;
constexpr std::int32_t kTokenWeight = 17;

}  // namespace

std::size_t EncodeOptimal(const std::uint8_t* chunk, std::size_t size, const ChunkMatches& matches,
                          std::uint8_t* out, ParseScratch& s) {
  const std::int32_t n = static_cast<std::int32_t>(size);
  // cost[p]: least weight of encoding chunk[p, n). A token at p may end anywhere in the window
  // [p + 3, p + length[p]]. While the token limit stays the same, the window's right end never
  // moves right as p falls (a match at p leaves one a byte shorter at p + 1), so a monotone
  // queue holds its minimum: positions in increasing order with strictly falling costs, the
  // minimum at the back. Where the limit changes the queue is filled afresh.
  std::int32_t* cost = s.cost;
  // The queue grows to the left from the end of its array; it starts afresh there whenever it is
  // refilled, so it never holds more than a window (4098) plus one entry per position.
  std::uint16_t* const q = s.window;
  constexpr std::int32_t kEnd = ParseScratch::kWindowEntries;
  std::int32_t head = kEnd, tail = kEnd;  // the queue is q[head, tail), q[head] the newest
  std::int32_t covered = n;  // right end of the window the queue stands for
  cost[n] = 0;
  auto push_left = [&](std::int32_t pos) {
    while (tail > head && cost[q[head]] >= cost[pos]) ++head;
    q[--head] = static_cast<std::uint16_t>(pos);
  };
  for (std::int32_t p = n - 1; p >= 0; --p) {
    std::int32_t best = cost[p + 1] + kLiteralWeight;
    std::int32_t choice = p + 1;
    const std::int32_t len = matches.length[p];
    const std::int32_t right = p + len;
    if (right > covered) {
      head = tail = kEnd;
      for (std::int32_t pos = right; pos >= p + 3; --pos) push_left(pos);
    } else if (p + 3 <= n) {
      push_left(p + 3);
    }
    while (tail > head && q[tail - 1] > right) --tail;
    covered = right;
    if (len >= static_cast<std::int32_t>(kMinMatch) && tail > head) {
      const std::int32_t target = q[tail - 1];
      if (cost[target] + kTokenWeight < best) {
        best = cost[target] + kTokenWeight;
        choice = target;
      }
    }
    cost[p] = best;
    s.next[p] = static_cast<std::uint16_t>(choice);
  }

  ItemWriter writer(out);
  for (std::int32_t p = 0; p < n;) {
    const std::int32_t to = s.next[p];
    if (to == p + 1) {
      writer.Literal(chunk[p]);
    } else {
      writer.Token(EncodeToken(p, p - matches.source[p], to - p));
    }
    p = to;
  }
  return writer.size();
}

}  // namespace lznt1
