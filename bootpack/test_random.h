// Reproducible pseudo-random bytes for the packer's tests and benchmarks: splitmix64, the same
// numbers on every platform and compiler. Portable.
#pragma once

#include <cstdint>

namespace boot::testutil {

struct SplitMix64 {
  std::uint64_t state;
  std::uint64_t operator()() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
};

}  // namespace boot::testutil
