// The default level: hash-chain matches, searched only where the parse has to decide, and a
// lazy parse (a literal instead of a token when the next position starts a longer match). With
// exact matches that parse lands within about 0.3 % of the optimal size; how close the matches
// come to exact is what the depth of the search trades for speed.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "lznt1/bytes.h"
#include "lznt1/chunk_parse.h"

namespace lznt1 {

using namespace format;

namespace {

struct Match {
  std::size_t length = 0;
  std::size_t offset = 0;
};

// Hashes of the keys the chains are built on: the first 3 and the first 8 bytes.
inline std::uint32_t Hash3Of(std::uint32_t three_bytes) {
  return (three_bytes * 2246822519u) >> (32 - LazyScratch::kHash3Bits);
}
inline std::uint32_t Hash8Of(std::uint64_t eight_bytes) {
  return static_cast<std::uint32_t>((eight_bytes * 0xCF1BBCDCB7A56463ull) >> (64 - LazyScratch::kHashBits));
}

// Bytes in common at the start of two 8-byte words read from memory (8 when they are equal).
inline std::size_t SharedBytes(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t diff = a ^ b;
  if (diff == 0) return 8;
  return static_cast<std::size_t>(
      (std::endian::native == std::endian::little ? std::countr_zero(diff) : std::countl_zero(diff)) / 8);
}

// Match candidates of a chunk. Before the parse starts, every position is linked to the latest
// earlier one with the same first 3 bytes (hashed) and, with kLong, to the latest with the same
// first 8 bytes: two chains, built in one tight pass over the chunk. A search at p starts from
// p's own links, which reach only positions before p. A copy of 8 bytes or more is on p's
// 8-byte chain, which is far shorter than the 3-byte one, so a search tries that first and
// walks the 3-byte chain only for shorter copies, which one 8-byte comparison measures.
template <bool kLong>
class Candidates {
 public:
  Candidates(const std::uint8_t* chunk, std::size_t n, int depth, LazyScratch& s)
      : chunk_(chunk), n_(n), depth_(depth), s_(s) {
    // Entries are stamped with a base that grows by a chunk for every chunk, so the entries of
    // earlier chunks read as empty without clearing the heads; they are cleared only when the
    // stamps would run out.
    if (s.base > UINT16_MAX - 2 * kChunk) {
      std::memset(s.head3, 0, sizeof s.head3);
      std::memset(s.head8, 0, sizeof s.head8);
      s.base = 0;
    }
    s.base += kChunk;
    base_ = s.base;
    Link();
  }

  // Longest match at p longer than `at_least` that the chains offer (a length below 3: none).
  [[gnu::always_inline]] Match Find(std::size_t p, std::size_t at_least) {
    if (p == 0 || p + kMinMatch > n_) return {};
    if (p + 8 > n_) return FindNearEnd(p, at_least);
    const std::size_t limit = std::min(MaxLength(p), n_ - p);  // at least 8 here
    if (at_least >= limit) return {};
    const std::uint8_t* const here = chunk_ + p;
    // Shorter than a token is no match.
    Match best{std::max(at_least, kMinMatch - 1), 0};
    // The offset used last comes back in structured data (records, tables) and where a long
    // copy was split at the token's length limit.
    if (recent_ != 0 && recent_ <= p) {
      const std::size_t len = CommonPrefix(here - recent_, here, limit);
      if (len > best.length) {
        best = {len, recent_};
        if (len >= limit) return best;
      }
    }
    bool walked = false;
    if (kLong) walked = WalkLong(s_.prev8[p], here, limit, best);
    // A copy of eight bytes or more shares the 8-byte key, so with that chain walked the 3-byte
    // chain only has shorter ones to offer: once one of seven is found (or none was on the
    // 8-byte chain but seven are in hand) it has nothing better.
    const std::size_t enough = kLong ? 7 : limit;
    if (!walked && best.length < enough) WalkShort(s_.prev3[p], here, limit, enough, best);
    // (A place that copies across a run of eight or more shares this position's first eight
    // bytes, so without a match of eight there is no such place.)
    if (kLong && best.length >= 8 && best.length < limit) FindAcrossRun(p, here, limit, best);
    if (best.offset == 0) return {};
    return best;
  }

  // False when no copy at p + 1 can be longer than `length`: the three bytes that would end
  // such a copy occur nowhere before. Most lazy searches find nothing, and this answers many
  // of them with one lookup.
  bool MayExtend(std::size_t p, std::size_t length) const {
    const std::size_t key = p + length - 1;
    return key + kMinMatch > n_ || s_.prev3[key] > base_;
  }

  // False when no search at p can find a copy: neither the latest earlier position with p's
  // hashed 3-byte key nor the offset used last shares p's first three bytes. (Any copy's
  // source shares them, so only a position whose key collides with p's and hides an older
  // real one is missed.) Most literals are answered with this, without branches.
  bool MayMatch(std::size_t p) const {
    if (p + 8 > n_) return true;
    const std::uint32_t here = Load32(chunk_ + p) & 0xFFFFFF;
    const std::uint32_t e = s_.prev3[p];
    const std::size_t c = e > base_ ? e - base_ - 1 : 0;
    const std::size_t r = recent_ <= p ? p - recent_ : 0;
    const bool linked = (e > base_) & ((Load32(chunk_ + c) & 0xFFFFFF) == here);
    const bool repeated = (recent_ != 0) & (recent_ <= p) & ((Load32(chunk_ + r) & 0xFFFFFF) == here);
    return linked | repeated;
  }

  // Remembers the offset of a token just written.
  void NoteOffset(std::size_t offset) { recent_ = offset; }

 private:
  // Links every position of the chunk to the latest earlier one with the same key. Keys are
  // read eight bytes at a time; near the chunk's end only the keys that fit are linked.
  void Link() {
    const std::size_t long_end = n_ >= 8 ? n_ - 7 : 0;
    std::size_t p = 0;
    for (; p < long_end; ++p) {
      const std::uint64_t v = Load64(chunk_ + p);
      const auto entry = static_cast<std::uint16_t>(base_ + p + 1);
      std::uint16_t& h3 = s_.head3[Hash3Of(static_cast<std::uint32_t>(v) & 0xFFFFFF)];
      s_.prev3[p] = h3;
      h3 = entry;
      if (kLong) {
        std::uint16_t& h8 = s_.head8[Hash8Of(v)];
        s_.prev8[p] = h8;
        h8 = entry;
      }
    }
    for (; p + kMinMatch <= n_; ++p) {
      const std::uint32_t v = chunk_[p] | chunk_[p + 1] << 8 | chunk_[p + 2] << 16;
      std::uint16_t& h3 = s_.head3[Hash3Of(v)];
      s_.prev3[p] = h3;
      h3 = static_cast<std::uint16_t>(base_ + p + 1);
    }
  }

  // Walks p's 8-byte chain from entry `e`, improving `best`; true when some entry shared the
  // key (so the 3-byte chain cannot offer anything longer).
  bool WalkLong(std::uint32_t e, const std::uint8_t* here, std::size_t limit, Match& best) const {
    bool shared = false;
    for (int left = depth_; e > base_ && left-- > 0; e = s_.prev8[e - base_ - 1]) {
      const std::uint8_t* there = chunk_ + (e - base_ - 1);
      // Only a candidate that also matches the byte that would make it longer is worth comparing.
      if (there[best.length] != here[best.length]) continue;
      const std::size_t len = CommonPrefix(there, here, limit);
      shared |= len >= 8;
      if (len > best.length) {
        best = {len, static_cast<std::size_t>(here - there)};
        if (len >= limit) return true;
      }
    }
    return shared;
  }

  // Walks p's 3-byte chain from entry `e`, improving `best` and stopping once it is `enough`
  // long. Here (8 bytes or more before the chunk's end) one 8-byte comparison gives the length
  // of a candidate up to 8, which is all that most of them share.
  void WalkShort(std::uint32_t e, const std::uint8_t* here, std::size_t limit, std::size_t enough,
                 Match& best) const {
    const std::uint64_t head = Load64(here);
    for (int left = depth_; e > base_ && left-- > 0; e = s_.prev3[e - base_ - 1]) {
      const std::uint8_t* there = chunk_ + (e - base_ - 1);
      std::size_t len = SharedBytes(Load64(there), head);
      if (len == 8) len += CommonPrefix(there + 8, here + 8, limit - 8);
      if (len > best.length) {
        best = {len, static_cast<std::size_t>(here - there)};
        if (len >= enough) return;
      }
    }
  }

  // Inside a run of one byte value the chains offer the latest positions of the run, whose
  // copies all stop where this run stops. A longer copy comes from a place where an equal run
  // ends the same way: such places share the eight bytes that straddle the end of the run, so
  // their chain is walked, each entry stepped back by the run's length.
  void FindAcrossRun(std::size_t p, const std::uint8_t* here, std::size_t limit, Match& best) const {
    const std::size_t run = 1 + CommonPrefix(here + 1, here, limit - 1);
    if (run < 8 || run >= limit || best.length > run + 1) return;
    const std::size_t back = run - 4;  // the straddling key starts four bytes before the run's end
    if (p + back + 8 > n_) return;
    int left = depth_;
    for (std::uint32_t e = s_.prev8[p + back]; e > base_ && left-- > 0; e = s_.prev8[e - base_ - 1]) {
      const std::uint32_t at = e - base_ - 1;
      if (at < back) continue;
      const std::uint8_t* there = chunk_ + (at - back);
      if (there[best.length] != here[best.length]) continue;
      const std::size_t len = CommonPrefix(there, here, limit);
      if (len > best.length) {
        best = {len, static_cast<std::size_t>(here - there)};
        if (len >= limit) return;
      }
    }
  }

  // The last seven positions of the chunk have no 8-byte key, nor room for an 8-byte read: their
  // 3-byte chain is walked with bytewise comparisons.
  Match FindNearEnd(std::size_t p, std::size_t at_least) const {
    const std::size_t limit = n_ - p;  // below any token's limit
    if (at_least >= limit) return {};
    const std::uint8_t* here = chunk_ + p;
    Match best{std::max(at_least, kMinMatch - 1), 0};
    if (recent_ != 0 && recent_ <= p) {
      const std::size_t len = CommonPrefix(here - recent_, here, limit);
      if (len > best.length) best = {len, recent_};
    }
    std::uint32_t e = s_.prev3[p];
    for (int left = depth_; e > base_ && left-- > 0 && best.length < limit; e = s_.prev3[e - base_ - 1]) {
      const std::uint8_t* there = chunk_ + (e - base_ - 1);
      const std::size_t len = CommonPrefix(there, here, limit);
      if (len > best.length) best = {len, static_cast<std::size_t>(here - there)};
    }
    if (best.offset == 0) return {};
    return best;
  }

  const std::uint8_t* chunk_;
  std::size_t n_;
  int depth_;
  LazyScratch& s_;
  std::uint32_t base_;
  std::size_t recent_ = 0;
};

// After 2^kSkipShift fruitless searches in a row the parse strides two bytes, then three, ...
constexpr unsigned kSkipShift = 7;

template <bool kLong>
std::size_t Encode(const std::uint8_t* chunk, std::size_t n, int depth, std::uint8_t* out,
                   LazyScratch& scratch) {
  Candidates<kLong> candidates(chunk, n, depth, scratch);
  ItemWriter writer(out);
  std::size_t p = 0;
  std::size_t misses = 0;  // searches in a row that found nothing
  Match match;
  while (p < n) {
    if (match.length < kMinMatch) {
      // Data that keeps offering nothing (compressed or random) is crossed in longer strides.
      const std::size_t to = std::min(n, p + 1 + (misses++ >> kSkipShift));
      for (; p < to; ++p) writer.Literal(chunk[p]);
      match = candidates.MayMatch(p) ? candidates.Find(p, 0) : Match{};
      continue;
    }
    misses = 0;
    // A longer match one byte on is worth a literal now (no use looking when this one is as
    // long as a token at p + 1 could be).
    if (match.length < MaxLength(p + 1) && candidates.MayExtend(p, match.length)) {
      const Match next = candidates.Find(p + 1, match.length);
      if (next.length > match.length) {
        writer.Literal(chunk[p]);
        ++p;
        match = next;
        continue;
      }
    }
    writer.Token(EncodeToken(p, match.offset, match.length));
    candidates.NoteOffset(match.offset);
    p += match.length;
    match = candidates.MayMatch(p) ? candidates.Find(p, 0) : Match{};
  }
  return writer.size();
}

}  // namespace

std::size_t EncodeLazy(const std::uint8_t* chunk, std::size_t n, const LazyOptions& options,
                       std::uint8_t* out, LazyScratch& scratch) {
  return options.long_keys ? Encode<true>(chunk, n, options.depth, out, scratch)
                           : Encode<false>(chunk, n, options.depth, out, scratch);
}

}  // namespace lznt1
