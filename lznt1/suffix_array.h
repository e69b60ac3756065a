// Suffix sorting for the exact match finder. Internal to the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lznt1 {

// Reusable memory for BuildSuffixArray, so sorting chunk after chunk does not allocate.
struct SuffixSortScratch {
  std::vector<std::int32_t> text;
  std::vector<std::int32_t> sa;
  std::vector<std::int32_t> buckets;
  std::vector<std::uint8_t> types;
};

// Sorts the suffixes of bytes[0, n): on return sa[r] is the start of the r-th smallest suffix
// (a proper prefix sorts before the longer string). `sa` has room for n entries.
void BuildSuffixArray(const std::uint8_t* bytes, std::int32_t n, std::int32_t* sa,
                      SuffixSortScratch& scratch);

}  // namespace lznt1
