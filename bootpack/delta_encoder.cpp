#include "bootpack/delta_encoder.h"

#include <algorithm>
#include <bit>
#include <cstddef>

#include "bootstrapper/manifest/update_rules.h"

namespace boot {
namespace {

using Bytes = std::span<const std::uint8_t>;

// Matches are found through the old file's 8-byte windows: shorter ones would not pay for an op.
constexpr std::size_t kWindow = 8;
// Old positions tried per lookup, beside the current alignment: enough to find the right one
// among a few repeats, and a bound on the work when the file repeats itself a lot.
constexpr int kMaxCandidates = 32;
// A match the scan does not switch to is passed over up to its last this many bytes, instead
// of being found again, one byte shorter, at each of its positions (which made long repeats
// quadratic).
constexpr std::int64_t kSkipTail = 32;
// A stretch that has fewer diff bytes than this joins the op before it as extra bytes: an op
// costs 24 bytes that compress little, and short exact matches, which text and tables of
// repeated words are full of, are left to the compressor, which finds them in the extra bytes
// as well.
constexpr std::int64_t kMinDiff = 48;
// How far ahead of the scan the index buckets are prefetched.
constexpr std::int64_t kLookAhead = 16;
constexpr std::uint32_t kNone = 0xFFFFFFFF;

// Eight bytes read as a little-endian number, on every platform.
std::uint64_t Load8(const std::uint8_t* at) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | at[i];
  return value;
}

// Bytes a and b have in common from their start, at most `limit`.
std::size_t MatchLength(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
  std::size_t n = 0;
  for (; n + 8 <= limit; n += 8) {
    const std::uint64_t differ = Load8(a + n) ^ Load8(b + n);
    if (differ != 0) return n + static_cast<std::size_t>(std::countr_zero(differ) >> 3);
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// Where the old file's anchor windows occur. An anchor is an 8-byte window whose hash has its
// low bits clear: about one window in kAnchorEvery, chosen by content alone, so a range the new
// file shares with the old one holds the same anchors in both and is found from its first
// anchor (the scan reaches back over the bytes before it). Indexing only those keeps the index
// at 2 x old size / kAnchorEvery words and spares most lookups, the costly part on data that
// matches nothing. Per bucket the positions are chained in ascending order, so a walk meets the
// earliest occurrences first.
constexpr std::uint64_t kAnchorEvery = 8;

struct OldIndex {
  int bits = 0;
  std::vector<std::uint32_t> head;       // per bucket, its first entry
  std::vector<std::uint32_t> positions;  // per entry, its old position
  std::vector<std::uint32_t> next;       // per entry, the next entry of its bucket
};

// The window's hash, mixed so that its low bits depend on the window too.
std::uint64_t WindowHash(const std::uint8_t* at) {
  const std::uint64_t h = Load8(at) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 32);
}

bool IsAnchor(std::uint64_t hash) { return (hash & (kAnchorEvery - 1)) == 0; }

// True when the window at `i` is one of the 8 before it again: inside a run of one byte or of a
// short pattern, which the run's first windows already stand for (they make the longest matches).
// Leaving such windows out keeps the index small on zero padding and other repeats.
bool RepeatsWindowBefore(Bytes old, std::size_t i) {
  const std::uint64_t window = Load8(old.data() + i);
  for (std::size_t back = 1; back <= kWindow && back <= i; ++back) {
    if (Load8(old.data() + i - back) == window) return true;
  }
  return false;
}

std::uint32_t Bucket(std::uint64_t hash, int bits) { return static_cast<std::uint32_t>(hash >> (64 - bits)); }

OldIndex IndexOldFile(Bytes old) {
  OldIndex index;
  if (old.size() < kWindow) return index;
  const std::size_t windows = old.size() - kWindow + 1;
  index.positions.reserve(windows / kAnchorEvery + windows / 64 + 16);
  for (std::size_t i = 0; i < windows; ++i) {
    if (IsAnchor(WindowHash(old.data() + i)) && !RepeatsWindowBefore(old, i)) {
      index.positions.push_back(static_cast<std::uint32_t>(i));
    }
  }
  index.bits = 10;
  while (index.bits < 24 && (std::size_t{1} << index.bits) < index.positions.size()) ++index.bits;
  index.head.assign(std::size_t{1} << index.bits, kNone);
  index.next.resize(index.positions.size());
  for (std::size_t e = index.positions.size(); e-- > 0;) {
    const std::uint32_t bucket = Bucket(WindowHash(old.data() + index.positions[e]), index.bits);
    index.next[e] = index.head[bucket];
    index.head[bucket] = static_cast<std::uint32_t>(e);
  }
  return index;
}

// Starts loading the bucket the window at `at` will be looked up in, when it is an anchor: on
// data that matches little the scan looks up one anchor after another, and waiting for each
// bucket to come from memory was most of its time.
void PrefetchBucket(const OldIndex& index, const std::uint8_t* at) {
  const std::uint64_t hash = WindowHash(at);
  if (IsAnchor(hash)) __builtin_prefetch(&index.head[Bucket(hash, index.bits)]);
}

// The length of the longest match found for new_file[scan...] in the old file, its start in
// `pos` (left as it is when there is none). The current alignment (old position scan + offset)
// is tried first and only a strictly longer match elsewhere replaces it.
std::int64_t FindMatch(const OldIndex& index, Bytes old, Bytes new_file, std::int64_t scan,
                       std::int64_t offset, std::int64_t& pos) {
  const std::uint8_t* want = new_file.data() + scan;
  const std::size_t left = new_file.size() - static_cast<std::size_t>(scan);
  std::size_t best = 0;
  const std::int64_t along = scan + offset;
  if (along >= 0 && along < static_cast<std::int64_t>(old.size())) {
    const std::size_t from = static_cast<std::size_t>(along);
    best = MatchLength(old.data() + from, want, std::min(left, old.size() - from));
    if (best > 0) pos = along;
  }
  if (left < kWindow || index.head.empty()) return static_cast<std::int64_t>(best);
  const std::uint64_t hash = WindowHash(want);
  if (!IsAnchor(hash)) return static_cast<std::int64_t>(best);
  std::uint32_t entry = index.head[Bucket(hash, index.bits)];
  for (int tried = 0; entry != kNone && tried < kMaxCandidates && best < left; ++tried, entry = index.next[entry]) {
    const std::size_t at = index.positions[entry];
    const std::size_t limit = std::min(left, old.size() - at);
    // Only a candidate that agrees at the byte the best match ends on can beat it.
    if (limit <= best || (best > 0 && old[at + best] != want[best])) continue;
    const std::size_t length = MatchLength(old.data() + at, want, limit);
    if (length > best) {
      best = length;
      pos = at;
    }
  }
  return static_cast<std::int64_t>(best);
}

// A stretch of the new file: `diff` bytes made from the old file at `old_start`, then `extra`
// literal bytes. Stretches follow each other in the new file.
struct Stretch {
  std::int64_t old_start = 0;
  std::int64_t diff = 0;
  std::int64_t extra = 0;
};

// bsdiff's scan: it walks the new file keeping an alignment with the old one (an offset) and
// scores how many bytes that alignment gets right; where an exact match is found that beats the
// alignment by more than 8 bytes, the stretch since the last switch is closed. Its diff part
// reaches forward from the last match as far as the old alignment gets more than half of the
// bytes right, the new match reaches backward the same way, and what lies between becomes
// extra bytes.
std::vector<Stretch> AlignFiles(Bytes old, Bytes new_file) {
  const OldIndex index = IndexOldFile(old);
  const std::int64_t old_size = static_cast<std::int64_t>(old.size());
  const std::int64_t new_size = static_cast<std::int64_t>(new_file.size());
  std::vector<Stretch> stretches;
  std::int64_t scan = 0, len = 0, pos = 0, last_scan = 0, last_pos = 0, last_offset = 0;
  const auto aligned = [&](std::int64_t at) {
    const std::int64_t o = at + last_offset;
    return o >= 0 && o < old_size && old[static_cast<std::size_t>(o)] == new_file[static_cast<std::size_t>(at)];
  };
  while (scan < new_size) {
    std::int64_t old_score = 0;  // bytes of [scan, scsc) the current alignment gets right
    std::int64_t scsc = scan += len;
    while (scan < new_size) {
      if (!index.head.empty() && scan + kLookAhead + static_cast<std::int64_t>(kWindow) <= new_size) {
        PrefetchBucket(index, new_file.data() + scan + kLookAhead);
      }
      len = FindMatch(index, old, new_file, scan, last_offset, pos);
      for (; scsc < scan + len; ++scsc) {
        if (aligned(scsc)) ++old_score;
      }
      if ((len == old_score && len != 0) || len > old_score + 8) break;
      const std::int64_t next = len > kSkipTail ? scan + len - kSkipTail : scan + 1;
      for (; scan < next; ++scan) {
        if (aligned(scan)) --old_score;
      }
    }
    if (len == old_score && scan != new_size) continue;

    std::int64_t s = 0, best = 0, lenf = 0;
    for (std::int64_t i = 0; last_scan + i < scan && last_pos + i < old_size;) {
      if (old[static_cast<std::size_t>(last_pos + i)] == new_file[static_cast<std::size_t>(last_scan + i)]) ++s;
      ++i;
      if (s * 2 - i > best * 2 - lenf) {
        best = s;
        lenf = i;
      }
    }
    std::int64_t lenb = 0;
    if (scan < new_size) {
      s = 0;
      best = 0;
      for (std::int64_t i = 1; scan >= last_scan + i && pos >= i; ++i) {
        if (old[static_cast<std::size_t>(pos - i)] == new_file[static_cast<std::size_t>(scan - i)]) ++s;
        if (s * 2 - i > best * 2 - lenb) {
          best = s;
          lenb = i;
        }
      }
    }
    if (last_scan + lenf > scan - lenb) {
      // Both reach into the same bytes: split them where the old alignment stops doing better.
      const std::int64_t overlap = (last_scan + lenf) - (scan - lenb);
      s = 0;
      best = 0;
      std::int64_t lens = 0;
      for (std::int64_t i = 0; i < overlap; ++i) {
        const std::int64_t f = last_scan + lenf - overlap + i, b = scan - lenb + i;
        if (new_file[static_cast<std::size_t>(f)] == old[static_cast<std::size_t>(last_pos + lenf - overlap + i)]) ++s;
        if (new_file[static_cast<std::size_t>(b)] == old[static_cast<std::size_t>(pos - lenb + i)]) --s;
        if (s > best) {
          best = s;
          lens = i + 1;
        }
      }
      lenf += lens - overlap;
      lenb -= lens;
    }
    stretches.push_back({last_pos, lenf, (scan - lenb) - (last_scan + lenf)});
    last_scan = scan - lenb;
    last_pos = pos - lenb;
    last_offset = pos - scan;
  }
  return stretches;
}

// The stretches as the ops will carry them: none empty, none with fewer than kMinDiff diff bytes
// (those become extra bytes of the op before), neighbours on one alignment with only a few extra
// bytes between them joined (those become diff bytes), and the first diff starting at old
// position 0 (where an op list starts).
std::vector<Stretch> MergeStretches(const std::vector<Stretch>& stretches) {
  std::vector<Stretch> merged;
  for (Stretch next : stretches) {
    if (next.diff + next.extra == 0) continue;
    if (merged.empty()) {
      if (next.diff > 0 && next.old_start != 0) {
        // Nothing before it could seek there: its first byte goes as an extra byte instead.
        merged.push_back({0, 0, 1});
        next = {next.old_start + 1, next.diff - 1, next.extra};
        if (next.diff + next.extra == 0) continue;
      } else {
        merged.push_back(next);
        continue;
      }
    }
    Stretch& last = merged.back();
    if (next.diff > 0 && last.diff > 0 && last.extra < kMinDiff &&
        next.old_start == last.old_start + last.diff + last.extra) {
      last.diff += last.extra + next.diff;
      last.extra = next.extra;
    } else if (next.diff < kMinDiff) {
      last.extra += next.diff + next.extra;
    } else {
      merged.push_back(next);
    }
  }
  return merged;
}

}  // namespace

bool MakePatchBody(Bytes old_file, Bytes new_file, PatchBody& out) {
  if (new_file.empty() || old_file.size() > kMaxFileSize || new_file.size() > kMaxFileSize) return false;
  const std::vector<Stretch> ops = MergeStretches(AlignFiles(old_file, new_file));

  PatchBody made;
  made.header.op_count = static_cast<std::uint32_t>(ops.size());
  made.header.old_size = old_file.size();
  made.header.new_size = new_file.size();
  made.body.resize(static_cast<std::size_t>(PatchBodySize(made.header)));
  std::uint8_t* op_out = made.body.data();
  std::uint8_t* diff_out = op_out + ops.size() * kPatchOpSize;
  std::int64_t diff_total = 0;
  for (const Stretch& op : ops) diff_total += op.diff;
  std::uint8_t* extra_out = diff_out + diff_total;

  std::size_t new_at = 0;
  std::int64_t old_at = 0;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const Stretch& op = ops[i];
    if (op.diff > 0) old_at = op.old_start;
    const std::uint8_t* from = old_file.data() + old_at;
    for (std::int64_t k = 0; k < op.diff; ++k) {
      *diff_out++ = static_cast<std::uint8_t>(new_file[new_at++] - from[k]);
    }
    old_at += op.diff;
    extra_out = std::copy_n(new_file.data() + new_at, op.extra, extra_out);
    new_at += static_cast<std::size_t>(op.extra);
    // Every op after the first has diff bytes: the seek takes the position to where they start.
    const std::int64_t seek = i + 1 < ops.size() ? ops[i + 1].old_start - old_at : 0;
    WritePatchOp({static_cast<std::uint64_t>(op.diff), static_cast<std::uint64_t>(op.extra), seek}, op_out);
    op_out += kPatchOpSize;
  }
  out = std::move(made);
  return true;
}

}  // namespace boot
