#include "lznt1/lznt1.h"

#include <gtest/gtest.h>

#include <random>

namespace lznt1 {
namespace {

std::vector<std::uint8_t> RoundTrip(const std::vector<std::uint8_t>& input, Level level) {
  const std::vector<std::uint8_t> stream = Compress(input.data(), input.size(), level);
  std::vector<std::uint8_t> out(input.size() + 1);
  const DecodeResult r = Decompress(stream.data(), stream.size(), out.data(), out.size());
  EXPECT_EQ(r.status, DecodeStatus::Ok) << DescribeStatus(r.status);
  out.resize(r.size);
  return out;
}

TEST(Lznt1, CompressedStreamsDecodeToTheirInputAtEveryLevel) {
  std::mt19937 rng(7);
  for (std::size_t size : {1u, 4095u, 4096u, 4097u, 3u * 4096 + 5}) {
    std::vector<std::uint8_t> input(size);
    for (auto& b : input) b = static_cast<std::uint8_t>(rng() % 4);
    for (Level level : {Level::Fast, Level::Default, Level::Max}) {
      EXPECT_EQ(RoundTrip(input, level), input) << size;
    }
  }
}

}  // namespace
}  // namespace lznt1
