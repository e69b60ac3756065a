// SA-IS (induced sorting): linear time, and fast on the small, cache-resident texts of a chunk.
#include "lznt1/suffix_array.h"

#include <algorithm>

namespace lznt1 {
namespace {

// Symbol counts of s[0, n) over the alphabet [0, k).
void CountSymbols(const std::int32_t* s, std::int32_t n, std::int32_t k, std::int32_t* counts) {
  std::fill(counts, counts + k, 0);
  for (std::int32_t i = 0; i < n; ++i) ++counts[s[i]];
}

// Bucket starts (end = false) or ends (end = true) from the symbol counts.
void FillBuckets(const std::int32_t* counts, std::int32_t k, std::int32_t* bkt, bool end) {
  std::int32_t sum = 0;
  for (std::int32_t c = 0; c < k; ++c) {
    sum += counts[c];
    bkt[c] = end ? sum : sum - counts[c];
  }
}

// types[i]: bit 0 set when suffix i is S-type (smaller than suffix i + 1), clear for L-type;
// bit 1 set when it is also leftmost-S (LMS: an S-type suffix right after an L-type one).
constexpr std::uint8_t kS = 1;
constexpr std::uint8_t kLms = 2;

// The induce loops decide on every suffix by its type, which is as good as random; they choose
// where to store (a bucket or a dummy) instead of branching, which saves the mispredictions.
void InduceL(const std::int32_t* s, const std::uint8_t* types, std::int32_t* sa, std::int32_t n,
             std::int32_t k, const std::int32_t* counts, std::int32_t* bkt) {
  FillBuckets(counts, k, bkt, false);
  std::int32_t dummy;
  for (std::int32_t i = 0; i < n; ++i) {
    const std::int32_t j = sa[i] - 1;
    const bool valid = j >= 0;
    const std::int32_t at = valid ? j : 0;
    const std::int32_t c = s[at];
    const bool take = valid & !(types[at] & kS);
    std::int32_t* slot = take ? sa + bkt[c] : &dummy;
    *slot = j;
    bkt[c] += take;
  }
}

void InduceS(const std::int32_t* s, const std::uint8_t* types, std::int32_t* sa, std::int32_t n,
             std::int32_t k, const std::int32_t* counts, std::int32_t* bkt) {
  FillBuckets(counts, k, bkt, true);
  std::int32_t dummy;
  for (std::int32_t i = n - 1; i >= 0; --i) {
    const std::int32_t j = sa[i] - 1;
    const bool valid = j >= 0;
    const std::int32_t at = valid ? j : 0;
    const std::int32_t c = s[at];
    const bool take = valid & ((types[at] & kS) != 0);
    bkt[c] -= take;
    std::int32_t* slot = take ? sa + bkt[c] : &dummy;
    *slot = j;
  }
}

// s[0, n) over the alphabet [0, k), ending with a unique smallest symbol 0; `types` and
// `buckets` (room for two alphabets per level) are scratch areas, the deeper levels using their
// tails.
void SaIs(const std::int32_t* s, std::int32_t* sa, std::int32_t n, std::int32_t k,
          std::uint8_t* types, std::int32_t* buckets) {
  std::int32_t* const counts = buckets;
  std::int32_t* const bkt = buckets + k;
  CountSymbols(s, n, k, counts);
  // Types right to left, then the LMS mark; both without branches (the data decides them).
  types[n - 1] = kS;
  for (std::int32_t i = n - 2; i >= 0; --i)
    types[i] = static_cast<std::uint8_t>((s[i] < s[i + 1]) | ((s[i] == s[i + 1]) & types[i + 1]));
  for (std::int32_t i = n - 1; i > 0; --i)
    types[i] = static_cast<std::uint8_t>(types[i] | ((types[i] & ~types[i - 1] & kS) << 1));

  // Sort the LMS substrings: seed their buckets' ends with them (in text order), induce.
  FillBuckets(counts, k, bkt, true);
  std::fill(sa, sa + n, -1);
  for (std::int32_t i = n - 1; i > 0; --i)
    if (types[i] & kLms) sa[--bkt[s[i]]] = i;
  InduceL(s, types, sa, n, k, counts, bkt);
  InduceS(s, types, sa, n, k, counts, bkt);

  // Gather them in sorted order, name them by equality, and build the reduced string in the
  // tail of sa.
  std::int32_t n1 = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    const std::int32_t v = sa[i];
    sa[n1] = v;
    n1 += types[v] >> 1;
  }
  std::fill(sa + n1, sa + n, -1);
  std::int32_t names = 0;
  std::int32_t prev = -1;
  for (std::int32_t i = 0; i < n1; ++i) {
    const std::int32_t pos = sa[i];
    bool differs = prev < 0;
    for (std::int32_t d = 0; !differs; ++d) {
      if (s[pos + d] != s[prev + d] || types[pos + d] != types[prev + d]) {
        differs = true;
      } else if (d > 0 && (types[pos + d] & kLms)) {
        break;  // both substrings end here (equal types so far mean equal LMS marks)
      }
    }
    names += differs;
    if (differs) prev = pos;
    sa[n1 + pos / 2] = names - 1;
  }
  for (std::int32_t i = n - 1, j = n - 1; i >= n1; --i) {
    const std::int32_t v = sa[i];
    sa[j] = v;
    j -= v >= 0;
  }

  // Sort the reduced string (recursively unless all names differ).
  std::int32_t* s1 = sa + n - n1;
  if (names < n1) {
    SaIs(s1, sa, n1, names, types + n, buckets + 2 * k);
  } else {
    for (std::int32_t i = 0; i < n1; ++i) sa[s1[i]] = i;
  }

  // Place the sorted LMS suffixes at their buckets' ends and induce the rest from them.
  FillBuckets(counts, k, bkt, true);
  for (std::int32_t i = 1, j = 0; j < n1; ++i) {  // the last LMS suffix is the sentinel's
    s1[j] = i;
    j += types[i] >> 1;
  }
  for (std::int32_t i = 0; i < n1; ++i) sa[i] = s1[sa[i]];
  std::fill(sa + n1, sa + n, -1);
  for (std::int32_t i = n1 - 1; i >= 0; --i) {
    const std::int32_t j = sa[i];
    sa[i] = -1;
    sa[--bkt[s[j]]] = j;
  }
  InduceL(s, types, sa, n, k, counts, bkt);
  InduceS(s, types, sa, n, k, counts, bkt);
}

}  // namespace

void BuildSuffixArray(const std::uint8_t* bytes, std::int32_t n, std::int32_t* sa,
                      SuffixSortScratch& scratch) {
  if (n <= 0) return;
  const std::int32_t total = n + 1;  // with the sentinel
  scratch.text.resize(total);
  scratch.sa.resize(total);
  // Every level's types follow the previous ones; the reduced strings at most halve.
  scratch.types.resize(2 * static_cast<std::size_t>(total) + 64);
  scratch.buckets.resize(2 * (257 + static_cast<std::size_t>(total)) + 64);
  for (std::int32_t i = 0; i < n; ++i) scratch.text[i] = bytes[i] + 1;
  scratch.text[n] = 0;
  SaIs(scratch.text.data(), scratch.sa.data(), total, 257, scratch.types.data(),
       scratch.buckets.data());
  std::copy(scratch.sa.begin() + 1, scratch.sa.end(), sa);  // drop the sentinel's suffix
}

}  // namespace lznt1
