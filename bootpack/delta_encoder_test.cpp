#include "bootpack/delta_encoder.h"

#include <gtest/gtest.h>

#include <vector>

#include "lznt1/lznt1.h"
#include "bootpack/test_random.h"

namespace boot {
namespace {

using Bytes = std::vector<std::uint8_t>;

using Rng = boot::testutil::SplitMix64;

Bytes Random(std::uint64_t seed, std::size_t size) {
  Rng rng{seed};
  Bytes out(size);
  for (std::uint8_t& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

Bytes Slice(const Bytes& from, std::size_t at, std::size_t size) {
  return Bytes(from.begin() + static_cast<std::ptrdiff_t>(at), from.begin() + static_cast<std::ptrdiff_t>(at + size));
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes Repeat(const Bytes& pattern, std::size_t size) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = pattern[i % pattern.size()];
  return out;
}

// `from` with one byte changed every `every` bytes.
Bytes Scatter(Bytes from, std::size_t every) {
  for (std::size_t i = every / 2; i < from.size(); i += every) from[i] ^= 0x5A;
  return from;
}

// Code-like bytes of about `size`: short runs of a few opcode values, each followed by a 4-byte
// little-endian address into the image. With `inserted` > 0, the build after a change: that many
// new bytes appear at `insert_at`, and every address of a target behind them moves by as much.
Bytes MakeCode(std::uint64_t seed, std::size_t size, std::size_t insert_at, std::size_t inserted) {
  static constexpr std::uint8_t kOpcodes[] = {0x48, 0x89, 0x8B, 0xE8, 0xFF, 0x15, 0x0F, 0x84,
                                              0xC3, 0x90, 0x41, 0x5C, 0x24, 0x83, 0xEC, 0x00};
  Rng rng{seed};
  Bytes out;
  std::size_t old_at = 0;
  bool block_placed = inserted == 0;
  while (old_at < size) {
    if (!block_placed && old_at >= insert_at) {
      const Bytes block = Random(seed + 1, inserted);
      out.insert(out.end(), block.begin(), block.end());
      block_placed = true;
    }
    const std::size_t run = 2 + rng() % 11;
    for (std::size_t i = 0; i < run; ++i) out.push_back(kOpcodes[rng() % 16]);
    const std::uint64_t target = rng() % size;
    const std::uint64_t address = 0x140001000 + target + (target >= insert_at ? inserted : 0);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
    old_at += run + 4;
  }
  return out;
}

TEST(MakePatchBodyTest, BodyRebuildsTheNewFileExactly) {
  const Bytes base = Random(1, 20000);
  struct Row {
    const char* what;
    Bytes old_file, new_file;
    std::uint32_t max_ops;  // 0: no bound
  };
  const Row rows[] = {
      {"identical files", base, base, 1},
      {"empty old file", {}, Random(2, 5000), 1},
      {"old file shorter than a window", {1, 2, 3}, Join({{1, 2, 3}, Random(3, 40)}), 0},
      {"unrelated random files", Random(4, 8000), Random(5, 9000), 0},
      {"insertion at the start", base, Join({Random(6, 300), base}), 2},
      {"insertion in the middle", base, Join({Slice(base, 0, 10000), Random(7, 500), Slice(base, 10000, 10000)}), 2},
      {"insertion at the end", base, Join({base, Random(8, 700)}), 1},
      {"deletion", base, Join({Slice(base, 0, 5000), Slice(base, 9000, 11000)}), 2},
      {"block moved", base, Join({Slice(base, 0, 3000), Slice(base, 6000, 14000), Slice(base, 3000, 3000)}), 3},
      {"a byte changed every 50", base, Scatter(base, 50), 0},
      {"rebuild with shifted addresses", MakeCode(9, 60000, 0, 0), MakeCode(9, 60000, 20000, 1500), 0},
      {"all zeros", Bytes(30000, 0), Bytes(50000, 0), 0},
      {"zeros to a repeated byte", Bytes(30000, 0), Repeat({0xAB}, 12345), 0},
      {"repeated 4-byte pattern, other phase", Repeat({1, 2, 3, 4}, 40000), Repeat({2, 3, 4, 1}, 50001), 0},
      {"new file much larger", Slice(base, 0, 1000), Join({base, base, Random(10, 3000)}), 0},
      {"new file much smaller", base, Slice(base, 7000, 300), 2},
      {"one byte new file", base, {base[5]}, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    PatchBody patch;
    ASSERT_TRUE(MakePatchBody(row.old_file, row.new_file, patch));
    std::uint8_t header_bytes[kPatchHeaderSize];
    WritePatchHeader(patch.header, header_bytes);
    PatchHeader header;
    ASSERT_TRUE(ReadPatchHeader(header_bytes, header));
    EXPECT_EQ(header.old_size, row.old_file.size());
    EXPECT_EQ(header.new_size, row.new_file.size());
    ASSERT_TRUE(CheckPatchBody(header, patch.body));
    CollectingPatchSink sink;
    ASSERT_TRUE(ApplyPatch(header, row.old_file, patch.body, sink));
    EXPECT_TRUE(sink.bytes == row.new_file);
    if (row.max_ops != 0) {
      EXPECT_LE(header.op_count, row.max_ops);
    }
  }
}

TEST(MakePatchBodyTest, RefusesAnEmptyNewFile) {
  PatchBody patch;
  EXPECT_FALSE(MakePatchBody(Random(1, 100), {}, patch));
}

// The raw LZNT1 stream is compared, not the payload form: that one keeps every stream at least a
// quarter of its content, which would hide how far the body compresses.
TEST(MakePatchBodyTest, RebuildCompressesToAFractionOfTheNewFile) {
  const Bytes old_file = MakeCode(11, 400000, 0, 0);
  const Bytes new_file = MakeCode(11, 400000, 150000, 4000);
  PatchBody patch;
  ASSERT_TRUE(MakePatchBody(old_file, new_file, patch));
  const auto body_stream = lznt1::Compress(patch.body.data(), patch.body.size(), lznt1::Level::Default, 1);
  const auto new_stream = lznt1::Compress(new_file.data(), new_file.size(), lznt1::Level::Default, 1);
  EXPECT_LT(body_stream.size() * 100, new_stream.size() * 25)
      << body_stream.size() << " bytes against " << new_stream.size();
}

}  // namespace
}  // namespace boot
