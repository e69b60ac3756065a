// Makes a release's next build for bench/delta.sh: changes files the way a rebuild changes a
// program (a 4-byte address moved every 32 bytes, and three blocks of new code, each 3 % of the
// file and as random as compressed data, inserted at a quarter, a half and three quarters,
// everything behind them shifted) until the bytes changed or inserted reach a given share of the
// whole release. Deterministic: the same input gives the same release.
//
// usage: rebuild_release PERCENT RELEASE_BYTES FILE...
//   rewrites FILEs in place, in the order given, stopping once PERCENT of RELEASE_BYTES is
//   changed; prints the files changed and the bytes changed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include "bootpack/test_random.h"

namespace {

using Rng = boot::testutil::SplitMix64;

// Rebuilds `bytes`; returns how many bytes of the result differ from, or were not in, the
// original: every `stride` bytes a little-endian 32-bit value moves by 0x40, and three blocks
// of new bytes, each `insert_percent` of the file, go in at a quarter, a half and three quarters.
std::uint64_t Rebuild(std::vector<std::uint8_t>& bytes, std::size_t stride, double insert_percent, Rng& rng) {
  const auto insert = static_cast<std::size_t>(bytes.size() * insert_percent / 100);
  std::uint64_t changed = 0;
  for (std::size_t at = stride / 2; at + 4 <= bytes.size(); at += stride) {
    std::uint32_t value = 0;
    for (int k = 3; k >= 0; --k) value = value << 8 | bytes[at + k];
    const std::uint32_t moved = value + 0x40;
    for (int k = 0; k < 4; ++k) {
      const auto b = static_cast<std::uint8_t>(moved >> (8 * k));
      changed += b != bytes[at + k];
      bytes[at + k] = b;
    }
  }
  for (int quarter = 3; quarter >= 1; --quarter) {
    std::vector<std::uint8_t> block(insert);
    for (std::uint8_t& b : block) b = static_cast<std::uint8_t>(rng());
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 4 * quarter), block.begin(), block.end());
    changed += insert;
  }
  return changed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: rebuild_release PERCENT RELEASE_BYTES FILE...\n");
    return 2;
  }
  const double percent = std::atof(argv[1]);
  const auto target = static_cast<std::uint64_t>(std::strtoull(argv[2], nullptr, 10) * percent / 100);
  Rng rng{42};
  std::uint64_t changed = 0;
  int files = 0;
  for (int i = 3; i < argc && changed < target; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    if (bytes.size() < 4096) continue;
    changed += Rebuild(bytes, 32, 3, rng);
    std::ofstream(argv[i], std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ++files;
  }
  std::printf("%d %llu\n", files, static_cast<unsigned long long>(changed));
  return 0;
}
