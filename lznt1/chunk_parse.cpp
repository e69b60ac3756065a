#include "lznt1/chunk_parse.h"

#include <algorithm>

namespace lznt1 {

using namespace format;

void FindLongestMatches(const std::uint8_t* chunk, std::size_t size, ChunkMatches& matches,
                        ExactFinderScratch& s) {
  const std::int32_t n = static_cast<std::int32_t>(size);
  BuildSuffixArray(chunk, n, s.sa, s.sort);
  for (std::int32_t r = 0; r < n; ++r) s.rank[s.sa[r]] = r;
  // lcp[r]: common prefix of the suffixes ranked r - 1 and r (Kasai et al.).
  s.lcp[0] = 0;
  for (std::int32_t i = 0, h = 0; i < n; ++i) {
    const std::int32_t r = s.rank[i];
    if (r == 0) {
      h = 0;
      continue;
    }
    const std::int32_t j = s.sa[r - 1];
    while (i + h < n && j + h < n && chunk[i + h] == chunk[j + h]) ++h;
    s.lcp[r] = h;
    if (h > 0) --h;
  }
  // The longest earlier match of a suffix is with its nearest neighbour in rank order that
  // starts earlier, on either side; the common prefix with it is the smallest lcp in between.
  // A stack of ranks with increasing starts finds both neighbours in one pass each.
  std::int32_t top = 0;
  for (std::int32_t r = 0; r < n; ++r) {
    std::int32_t common = r > 0 ? s.lcp[r] : 0;
    while (top > 0 && s.sa[s.stack[top - 1]] > s.sa[r]) common = std::min(common, s.stack_min[--top]);
    const std::int32_t p = s.sa[r];
    matches.length[p] = static_cast<std::uint16_t>(top > 0 ? common : 0);
    matches.source[p] = static_cast<std::uint16_t>(top > 0 ? s.sa[s.stack[top - 1]] : 0);
    s.stack[top] = r;
    s.stack_min[top++] = common;
  }
  top = 0;
  for (std::int32_t r = n - 1; r >= 0; --r) {
    std::int32_t common = r + 1 < n ? s.lcp[r + 1] : 0;
    while (top > 0 && s.sa[s.stack[top - 1]] > s.sa[r]) common = std::min(common, s.stack_min[--top]);
    const std::int32_t p = s.sa[r];
    if (top > 0 && common > matches.length[p]) {
      matches.length[p] = static_cast<std::uint16_t>(common);
      matches.source[p] = static_cast<std::uint16_t>(s.sa[s.stack[top - 1]]);
    }
    s.stack[top] = r;
    s.stack_min[top++] = common;
  }
  for (std::int32_t p = 1; p < n; ++p) {
    std::size_t len = std::min<std::size_t>(matches.length[p], MaxLength(p));
    matches.length[p] = static_cast<std::uint16_t>(len >= kMinMatch ? len : 0);
  }
  matches.length[0] = 0;
}

namespace {

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
    Store16(at_, token);
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
