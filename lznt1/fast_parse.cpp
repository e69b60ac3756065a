// The fast level: one candidate per position (the latest with the same first four bytes, or
// three near a miss) and the offset used last, a one-step lazy check, and quicker strides
// through data that keeps finding nothing.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "lznt1/bytes.h"
#include "lznt1/chunk_parse.h"

namespace lznt1 {

using namespace format;

namespace {

inline std::uint32_t Hash4(std::uint32_t four) { return (four * 2654435761u) >> (32 - FastScratch::kHashBits); }
inline std::uint32_t Hash8(std::uint64_t eight) {
  return static_cast<std::uint32_t>((eight * 0xCF1BBCDCB7A56463ull) >> (64 - FastScratch::kHashBits));
}
inline std::uint32_t Hash3(std::uint32_t four) {
  return ((four & 0xFFFFFF) * 2246822519u) >> (32 - FastScratch::kHash3Bits);
}

constexpr unsigned kSkipShift = 5;

class FastFinder {
 public:
  FastFinder(const std::uint8_t* chunk, std::size_t n, FastScratch& s) : chunk_(chunk), n_(n), s_(s) {
    // Entries are stamped with a base that grows by a chunk per chunk, so earlier chunks' entries
    // read as empty without clearing the tables, until the stamps would run out.
    if (s.base > UINT16_MAX - 2 * kChunk) {
      std::memset(s.head, 0, sizeof s.head);
      std::memset(s.head3, 0, sizeof s.head3);
      std::memset(s.head8, 0, sizeof s.head8);
      std::memset(s.head2, 0, sizeof s.head2);
      s.base = 0;
    }
    s.base += kChunk;
    base_ = s.base;
    // Keys are read four bytes at a time; positions whose key runs past the end are not added.
    key_end_ = n >= 4 ? n - 3 : 0;
    long_end_ = n >= 8 ? n - 7 : 0;
  }

  // Adds position p (which has a four-byte key) to the tables.
  void Insert(std::size_t p) {
    const std::uint32_t four = Load32(chunk_ + p);
    Push(Hash4(four), Stamp(p));
    s_.head3[Hash3(four)] = Stamp(p);
    if (p < long_end_) s_.head8[Hash8(Load64(chunk_ + p))] = Stamp(p);
  }

  // Adds positions [from, to) that have keys; of a long stretch (the inside of a long copy)
  // only the first and the last four, which is what later searches mostly meet.
  void InsertRange(std::size_t from, std::size_t to) {
    to = std::min(to, key_end_);
    if (to > from + 8) {
      Insert(from);
      from = to - 4;
    }
    for (std::size_t q = from; q < to; ++q) Insert(q);
  }

  // The longest match at p (0 < p, p + 4 <= n) among the candidates, then adds p. `at_least`:
  // only longer ones count.
  [[gnu::always_inline]] std::size_t Find(std::size_t p, std::size_t recent, std::size_t at_least, std::size_t& offset) {
    const std::uint8_t* here = chunk_ + p;
    const std::uint32_t four = Load32(here);
    const std::size_t limit = std::min(MaxLength(p), n_ - p);
    std::size_t best = std::max(at_least, kMinMatch - 1);  // shorter is no match
    const std::uint32_t h = Hash4(four), h3 = Hash3(four);
    const std::uint32_t e = s_.head[h], e2 = s_.head2[h], e3 = s_.head3[h3];
    Push(h, Stamp(p));
    s_.head3[h3] = Stamp(p);
    if (best >= limit) return 0;
    if (recent != 0 && recent <= p && here[best] == (here - recent)[best]) {
      const std::size_t len = CommonPrefix(here - recent, here, limit);
      if (len > best) {
        best = len;
        offset = recent;
      }
    }
    if (p < long_end_) {
      const std::uint32_t h8 = Hash8(Load64(here));
      const std::uint32_t e8 = s_.head8[h8];
      s_.head8[h8] = Stamp(p);
      if (e8 > base_ && e8 != e) {
        const std::uint8_t* there = chunk_ + (e8 - base_ - 1);
        if (best < limit && there[best] == here[best]) {
          const std::size_t len = CommonPrefix(there, here, limit);
          if (len > best) {
            best = len;
            offset = static_cast<std::size_t>(here - there);
          }
        }
      }
    }
    if (best < 8 && e > base_) {
      const std::uint8_t* there = chunk_ + (e - base_ - 1);
      if (best < limit && there[best] == here[best] && Load32(there) == four) {
        const std::size_t len = CommonPrefix(there, here, limit);
        if (len > best) {
          best = len;
          offset = static_cast<std::size_t>(here - there);
        }
      }
    }
    if (best < 8 && e2 > base_) {
      const std::uint8_t* there = chunk_ + (e2 - base_ - 1);
      if (best < limit && there[best] == here[best] && Load32(there) == four) {
        const std::size_t len = CommonPrefix(there, here, limit);
        if (len > best) {
          best = len;
          offset = static_cast<std::size_t>(here - there);
        }
      }
    }
    // In a run of one byte value the candidates above stop where the run stops; a place where
    // an equal run ends the same way shares the eight bytes straddling its end.
    if (best < limit && best >= 8 && p < long_end_) {
      const std::size_t run = 1 + CommonPrefix(here + 1, here, limit - 1);
      const std::size_t back = run - 4;
      if (run >= 8 && run < limit && best <= run + 1 && p + back < long_end_) {
        const std::uint32_t c = s_.head8[Hash8(Load64(here + back))];
        if (c > base_ && c - base_ - 1 >= back) {
          const std::uint8_t* there = chunk_ + (c - base_ - 1 - back);
          if (there[best] == here[best]) {
            const std::size_t len = CommonPrefix(there, here, limit);
            if (len > best) {
              best = len;
              offset = static_cast<std::size_t>(here - there);
            }
          }
        }
      }
    }
    if (best < kMinMatch && e3 > base_) {
      const std::uint8_t* there = chunk_ + (e3 - base_ - 1);
      if (((Load32(there) ^ four) & 0xFFFFFF) == 0) {
        best = kMinMatch;
        offset = static_cast<std::size_t>(here - there);
      }
    }
    return best > at_least && best >= kMinMatch ? best : 0;
  }

  std::size_t key_end() const { return key_end_; }

 private:
  // Table entry for position p.
  std::uint16_t Stamp(std::size_t p) const { return static_cast<std::uint16_t>(base_ + p + 1); }
  // Makes `entry` the latest of bucket h, the one before it the second.
  void Push(std::uint32_t h, std::uint16_t entry) {
    s_.head2[h] = s_.head[h];
    s_.head[h] = entry;
  }

 public:

 private:
  const std::uint8_t* chunk_;
  std::size_t n_;
  FastScratch& s_;
  std::uint32_t base_;
  std::size_t key_end_;
  std::size_t long_end_;
};

}  // namespace

std::size_t EncodeFast(const std::uint8_t* chunk, std::size_t n, std::uint8_t* out, FastScratch& scratch) {
  FastFinder finder(chunk, n, scratch);
  ItemWriter writer(out);
  const std::size_t key_end = finder.key_end();
  std::size_t recent = 0;
  std::size_t misses = 0;
  std::size_t p = 0;
  if (key_end > 0) finder.Insert(0);
  if (n > 0) {
    writer.Literal(chunk[0]);
    p = 1;
  }
  std::size_t offset = 0;
  std::size_t length = p < key_end ? finder.Find(p, recent, 0, offset) : 0;
  while (p < key_end) {
    if (length == 0) {
      // Long stretches without a match step faster, not adding what they skip.
      const std::size_t step = 1 + (misses >> kSkipShift);
      const std::size_t to = std::min(p + step, key_end);
      for (; p < to; ++p) writer.Literal(chunk[p]);
      ++misses;
      if (p < key_end) length = finder.Find(p, recent, 0, offset);
      continue;
    }
    misses = 0;
    if (p + 1 < key_end && length < MaxLength(p + 1)) {
      std::size_t next_offset = 0;
      const std::size_t next = finder.Find(p + 1, recent, length, next_offset);
      if (next > length) {
        writer.Literal(chunk[p]);
        ++p;
        length = next;
        offset = next_offset;
      }
    }
    writer.Token(EncodeToken(p, offset, length));
    recent = offset;
    finder.InsertRange(p + 2, p + length);
    p += length;
    if (p < key_end) length = finder.Find(p, recent, 0, offset);
  }
  for (; p < n; ++p) writer.Literal(chunk[p]);
  return writer.size();
}

}  // namespace lznt1
