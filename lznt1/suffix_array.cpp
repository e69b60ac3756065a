// SA-IS (induced sorting): linear time, and fast on the small, cache-resident texts of a chunk.
#include "lznt1/suffix_array.h"

#include <algorithm>

namespace lznt1 {
namespace {

// Bucket starts (end = false) or ends (end = true) of every symbol of s[0, n).
void FillBuckets(const std::int32_t* s, std::int32_t n, std::int32_t k, std::int32_t* bkt, bool end) {
  std::fill(bkt, bkt + k, 0);
  for (std::int32_t i = 0; i < n; ++i) ++bkt[s[i]];
  std::int32_t sum = 0;
  for (std::int32_t c = 0; c < k; ++c) {
    sum += bkt[c];
    bkt[c] = end ? sum : sum - bkt[c];
  }
}

// types[i]: 1 when suffix i is S-type (smaller than suffix i + 1), 0 for L-type.
inline bool IsLms(const std::uint8_t* types, std::int32_t i) {
  return i > 0 && types[i] && !types[i - 1];
}

void InduceL(const std::int32_t* s, const std::uint8_t* types, std::int32_t* sa, std::int32_t n,
             std::int32_t k, std::int32_t* bkt) {
  FillBuckets(s, n, k, bkt, false);
  for (std::int32_t i = 0; i < n; ++i) {
    const std::int32_t j = sa[i] - 1;
    if (j >= 0 && !types[j]) sa[bkt[s[j]]++] = j;
  }
}

void InduceS(const std::int32_t* s, const std::uint8_t* types, std::int32_t* sa, std::int32_t n,
             std::int32_t k, std::int32_t* bkt) {
  FillBuckets(s, n, k, bkt, true);
  for (std::int32_t i = n - 1; i >= 0; --i) {
    const std::int32_t j = sa[i] - 1;
    if (j >= 0 && types[j]) sa[--bkt[s[j]]] = j;
  }
}

// s[0, n) over the alphabet [0, k), ending with a unique smallest symbol 0; `types` and
// `buckets` are scratch areas, the deeper levels using their tails.
void SaIs(const std::int32_t* s, std::int32_t* sa, std::int32_t n, std::int32_t k,
          std::uint8_t* types, std::int32_t* bkt) {
  types[n - 1] = 1;
  for (std::int32_t i = n - 2; i >= 0; --i)
    types[i] = s[i] < s[i + 1] || (s[i] == s[i + 1] && types[i + 1]);

  // Sort the LMS substrings.
  FillBuckets(s, n, k, bkt, true);
  std::fill(sa, sa + n, -1);
  for (std::int32_t i = 1; i < n; ++i)
    if (IsLms(types, i)) sa[--bkt[s[i]]] = i;
  InduceL(s, types, sa, n, k, bkt);
  InduceS(s, types, sa, n, k, bkt);

  // Gather them, name them by equality, and build the reduced string in the tail of sa.
  std::int32_t n1 = 0;
  for (std::int32_t i = 0; i < n; ++i)
    if (IsLms(types, sa[i])) sa[n1++] = sa[i];
  std::fill(sa + n1, sa + n, -1);
  std::int32_t names = 0;
  std::int32_t prev = -1;
  for (std::int32_t i = 0; i < n1; ++i) {
    const std::int32_t pos = sa[i];
    bool differs = prev < 0;
    for (std::int32_t d = 0; !differs; ++d) {
      if (s[pos + d] != s[prev + d] || types[pos + d] != types[prev + d]) {
        differs = true;
      } else if (d > 0 && (IsLms(types, pos + d) || IsLms(types, prev + d))) {
        break;
      }
    }
    if (differs) {
      ++names;
      prev = pos;
    }
    sa[n1 + pos / 2] = names - 1;
  }
  for (std::int32_t i = n - 1, j = n - 1; i >= n1; --i)
    if (sa[i] >= 0) sa[j--] = sa[i];

  // Sort the reduced string (recursively unless all names differ).
  std::int32_t* s1 = sa + n - n1;
  if (names < n1) {
    SaIs(s1, sa, n1, names, types + n, bkt + k);
  } else {
    for (std::int32_t i = 0; i < n1; ++i) sa[s1[i]] = i;
  }

  // Place the sorted LMS suffixes and induce the rest from them.
  FillBuckets(s, n, k, bkt, true);
  for (std::int32_t i = 1, j = 0; i < n; ++i)
    if (IsLms(types, i)) s1[j++] = i;
  for (std::int32_t i = 0; i < n1; ++i) sa[i] = s1[sa[i]];
  std::fill(sa + n1, sa + n, -1);
  for (std::int32_t i = n1 - 1; i >= 0; --i) {
    const std::int32_t j = sa[i];
    sa[i] = -1;
    sa[--bkt[s[j]]] = j;
  }
  InduceL(s, types, sa, n, k, bkt);
  InduceS(s, types, sa, n, k, bkt);
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
  scratch.buckets.resize(257 + static_cast<std::size_t>(total) + 64);
  for (std::int32_t i = 0; i < n; ++i) scratch.text[i] = bytes[i] + 1;
  scratch.text[n] = 0;
  SaIs(scratch.text.data(), scratch.sa.data(), total, 257, scratch.types.data(),
       scratch.buckets.data());
  std::copy(scratch.sa.begin() + 1, scratch.sa.end(), sa);  // drop the sentinel's suffix
}

}  // namespace lznt1
