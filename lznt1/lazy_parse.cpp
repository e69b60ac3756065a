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

// Hashes of the keys the chains are built on: the first 3, 4 and 8 bytes.
inline std::uint32_t Hash3Of(std::uint32_t three_bytes) {
  return (three_bytes * 2246822519u) >> (32 - LazyScratch::kHash3Bits);
}
inline std::uint32_t Hash3(const std::uint8_t* p) { return Hash3Of(Load32(p) & 0xFFFFFF); }
inline std::uint32_t Hash4(const std::uint8_t* p) {
  return (Load32(p) * 2654435761u) >> (32 - LazyScratch::kHashBits);
}
inline std::uint32_t Hash8(const std::uint8_t* p) {
  return static_cast<std::uint32_t>((Load64(p) * 0xCF1BBCDCB7A56463ull) >> (64 - LazyScratch::kHashBits));
}

// Match candidates of a chunk. Positions enter three tables as the parse passes them: the
// latest position for each 3-byte key (any occurrence serves a 3-byte copy equally well, since
// every token costs the same wherever it copies from), a chain of positions per 4-byte key, and,
// with kLong, a chain per 8-byte key. A match of 8 bytes or more is on p's 8-byte chain, which
// is far shorter than the 4-byte one, so a search tries that first and walks the 4-byte chain
// only when the long key is not there. Entries are stamped chunk positions plus one (see the
// constructor).
template <bool kLong>
class Candidates {
 public:
  Candidates(const std::uint8_t* chunk, std::size_t n, int depth, LazyScratch& s)
      : chunk_(chunk), n_(n), depth_(depth), s_(s) {
    // Head entries are stamped with a base that grows by a chunk for every chunk, so the
    // entries of earlier chunks read as empty without clearing the tables; they are cleared
    // only when the stamps would run out.
    if (s.base > UINT16_MAX - 2 * kChunk) {
      std::memset(s.head, 0, sizeof s.head);
      std::memset(s.head3, 0, sizeof s.head3);
      s.base = 0;
    }
    s.base += kChunk;
    base_ = s.base;
  }

  // Adds positions [next_, to) to the tables.
  [[gnu::always_inline]] void InsertUpTo(std::size_t to) {
    // Keys read up to 8 bytes; near the chunk's end only the keys that fit are added.
    const std::size_t bulk_end = std::min(to, n_ >= 8 ? n_ - 7 : 0);
    for (; next_ < bulk_end; ++next_) {
      const std::uint8_t* at = chunk_ + next_;
      const auto entry = static_cast<std::uint16_t>(next_ + 1);
      s_.head3[Hash3(at)] = static_cast<std::uint16_t>(base_ + entry);
      Link(0, Hash4(at), entry);
      if (kLong) Link(1, Hash8(at), entry);
    }
    const std::size_t end = std::min(to, n_ >= 4 ? n_ - 3 : 0);
    for (; next_ < end; ++next_) {
      const auto entry = static_cast<std::uint16_t>(next_ + 1);
      s_.head3[Hash3(chunk_ + next_)] = static_cast<std::uint16_t>(base_ + entry);
      Link(0, Hash4(chunk_ + next_), entry);
    }
    next_ = std::max(next_, std::min(to, n_));
  }

  // Longest match at p longer than `at_least` that the tables offer (a length below 3: none).
  [[gnu::always_inline]] Match Find(std::size_t p, std::size_t at_least) {
    InsertUpTo(p);
    if (p == 0 || p + kMinMatch > n_) return {};
    if (p + 4 > n_) return FindNearEnd(p, at_least);
    const std::size_t limit = std::min(MaxLength(p), n_ - p);
    if (at_least >= limit) return {};
    const std::uint8_t* const here = chunk_ + p;
    // Shorter than a token is no match: such a candidate must not hide the 3-byte lookup below.
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
    if (kLong && p + 8 <= n_) walked = Walk(1, Hash8(here), here, limit, 8, best, limit);
    // A copy of eight bytes or more shares the 8-byte key, so with that chain walked the 4-byte
    // chain only has shorter ones to offer: once one of seven is found (or none was on the
    // 8-byte chain but seven are in hand) it has nothing better.
    const std::size_t short_enough = kLong && p + 8 <= n_ ? std::min<std::size_t>(7, limit) : limit;
    if (!walked && best.length < short_enough) Walk(0, Hash4(here), here, limit, 4, best, short_enough);
    // (A place that copies across a run of eight or more shares this position's first eight
    // bytes, so without a match of eight there is no such place.)
    if (kLong && best.length >= 8 && best.length < limit) FindAcrossRun(p, here, limit, best);
    if (best.offset == 0 && at_least < kMinMatch) {
      const std::uint32_t c3 = Head3(Hash3(here));
      if (c3 != 0 && ((Load32(chunk_ + c3 - 1) ^ Load32(here)) & 0xFFFFFF) == 0)
        best = {kMinMatch, p + 1 - c3};
    }
    if (best.offset == 0) return {};
    return best;
  }

  // Leaves the positions before `to` that are not in the tables yet out of them.
  void SkipTo(std::size_t to) {
    if (to > next_ + 1) next_ = to - 1;
  }

  // False when no copy at p + 1 can be longer than `length`: the four bytes that would end
  // such a copy occur nowhere before. (A copy from fewer than length - 3 bytes back is not
  // seen, as its source's key is not in the tables yet; such short-period repeats are rare
  // where a lazy step could gain.) Most lazy searches find nothing, and this answers many of
  // them with one lookup.
  bool MayExtend(std::size_t p, std::size_t length) {
    const std::size_t key = p + length - 2;
    if (key + 4 > n_) return true;
    InsertUpTo(p + 1);
    return s_.head[0][Hash4(chunk_ + key)] > base_;
  }

  // Remembers the offset of a token just written.
  void NoteOffset(std::size_t offset) { recent_ = offset; }

 private:
  // Links are stored stamped, as the heads are: a walk stops at the first one not above this
  // chunk's base, which costs less there than unstamping at every insertion.
  void Link(int level, std::uint32_t h, std::uint16_t entry) {
    s_.prev[level][entry - 1] = s_.head[level][h];
    s_.head[level][h] = static_cast<std::uint16_t>(base_ + entry);
  }

  // This chunk's entry of the 3-byte table (chunk position plus one), or zero.
  std::uint32_t Head3(std::uint32_t h) const {
    const std::uint32_t e = s_.head3[h];
    return e > base_ ? e - base_ : 0;
  }

  // Walks the chain of `level` from head `h`, improving `best` and stopping once it is `enough`
  // long; true when some entry shared the key (so a shorter key cannot find anything longer).
  bool Walk(int level, std::uint32_t h, const std::uint8_t* here, std::size_t limit, std::size_t key,
            Match& best, std::size_t enough) {
    bool shared = false;
    int left = depth_;
    for (std::uint32_t e = s_.head[level][h]; e > base_ && left-- > 0; e = s_.prev[level][e - base_ - 1]) {
      const std::uint32_t cand = e - base_;
      const std::uint8_t* there = chunk_ + cand - 1;
      // Only a candidate that also matches the byte that would make it longer is worth comparing.
      if (there[best.length] != here[best.length]) continue;
      const std::size_t len = CommonPrefix(there, here, limit);
      shared |= len >= key;
      if (len > best.length) {
        best = {len, static_cast<std::size_t>(here - there)};
        if (len >= enough) return true;
      }
    }
    return shared;
  }

  // Inside a run of one byte value the chains offer the latest positions of the run, whose
  // copies all stop where this run stops. A longer copy comes from a place where an equal run
  // ends the same way: such places share the eight bytes that straddle the end of the run, so
  // their chain is walked, each entry stepped back by the run's length.
  void FindAcrossRun(std::size_t p, const std::uint8_t* here, std::size_t limit, Match& best) {
    const std::size_t run = 1 + CommonPrefix(here + 1, here, limit - 1);
    if (run < 8 || run >= limit || best.length > run + 1) return;
    const std::size_t back = run - 4;  // the straddling key starts four bytes before the run's end
    if (p + back + 8 > n_) return;
    int left = depth_;
    for (std::uint32_t e = s_.head[1][Hash8(here + back)]; e > base_ && left-- > 0; e = s_.prev[1][e - base_ - 1]) {
      const std::uint32_t cand = e - base_;
      if (cand - 1 < back) continue;
      const std::uint8_t* there = chunk_ + (cand - 1 - back);
      if (there[best.length] != here[best.length]) continue;
      const std::size_t len = CommonPrefix(there, here, limit);
      if (len > best.length) {
        best = {len, static_cast<std::size_t>(here - there)};
        if (len >= limit) return;
      }
    }
  }

  // Three bytes before the chunk's end only a 3-byte copy fits; the keys there cannot be read
  // four bytes at a time, so the 3-byte table is looked up with the bytes one by one.
  Match FindNearEnd(std::size_t p, std::size_t at_least) const {
    if (at_least >= kMinMatch || p + kMinMatch != n_) return {};
    const std::uint8_t* here = chunk_ + p;
    const std::uint32_t c3 = Head3(Hash3Of(here[0] | here[1] << 8 | here[2] << 16));
    if (c3 == 0) return {};
    const std::uint8_t* there = chunk_ + c3 - 1;
    if (there[0] != here[0] || there[1] != here[1] || there[2] != here[2]) return {};
    return {kMinMatch, p + 1 - c3};
  }

  const std::uint8_t* chunk_;
  std::size_t n_;
  int depth_;
  LazyScratch& s_;
  std::uint32_t base_;
  std::size_t next_ = 0;
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
  Match match = candidates.Find(0, 0);
  while (p < n) {
    if (match.length < kMinMatch) {
      // Data that keeps offering nothing (compressed or random) is crossed in longer strides,
      // the positions stepped over left out of the tables.
      const std::size_t to = std::min(n, p + 1 + (misses++ >> kSkipShift));
      for (; p < to; ++p) writer.Literal(chunk[p]);
      candidates.SkipTo(p);
      match = candidates.Find(p, 0);
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
    match = candidates.Find(p, 0);
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
