#include "bootstrapper/payload/stream_blocks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace boot {
namespace {

// A stream written as pieces: a number n > 0 is a whole chunk with n bytes after its header,
// -1 an end mark, -2 a header promising 100 bytes with only 10 behind it, -3 one stray byte,
// -4 ten bytes of junk.
std::vector<std::uint8_t> MakeStream(const std::vector<int>& pieces) {
  std::vector<std::uint8_t> s;
  const auto header = [&](unsigned h) {
    s.push_back(static_cast<std::uint8_t>(h));
    s.push_back(static_cast<std::uint8_t>(h >> 8));
  };
  for (int p : pieces) {
    if (p > 0) {
      header(0xB000u | static_cast<unsigned>(p - 1));
      s.insert(s.end(), static_cast<std::size_t>(p), 0x5A);
    } else if (p == -1) {
      header(0);
    } else if (p == -2) {
      header(0xB000u | 99u);
      s.insert(s.end(), 10, 0x5A);
    } else if (p == -3) {
      s.push_back(0x11);
    } else {
      s.insert(s.end(), 10, 0x77);
    }
  }
  return s;
}

TEST(SplitStreamTest, CutsAtWholeChunksAndLeavesTheRestToTheLastBlock) {
  struct Row {
    const char* what;
    std::vector<int> pieces;
    std::size_t per_block;
    // Per block: source offset, source size, chunks. Output offsets follow from the chunks.
    std::vector<std::vector<std::size_t>> blocks;
    std::uint64_t chunks;
  };
  const Row rows[] = {
      {"empty", {}, 2, {{0, 0, 0}}, 0},
      {"one short chunk", {10}, 2, {{0, 12, 1}}, 1},
      {"three chunks, two a block", {100, 4096, 7}, 2, {{0, 4200, 2}, {4200, 9, 1}}, 3},
      {"no empty block after a full one", {1, 1, 1, 1}, 2, {{0, 6, 2}, {6, 6, 2}}, 4},
      {"end mark and junk go last", {5, 6, -1, -4, 9}, 1, {{0, 7, 1}, {7, 31, 1}}, 2},
      {"a chunk cut short goes last", {5, 6, -2}, 1, {{0, 7, 1}, {7, 20, 1}}, 2},
      {"a stray byte goes last", {5, -3}, 1, {{0, 8, 1}}, 1},
      {"an end mark first", {-1, 5}, 1, {{0, 9, 0}}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::vector<std::uint8_t> stream = MakeStream(row.pieces);
    const StreamBlocks split = SplitStream(stream.data(), stream.size(), row.per_block);
    EXPECT_EQ(split.chunks, row.chunks);
    ASSERT_EQ(split.blocks.size(), row.blocks.size());
    std::uint64_t chunks_before = 0;
    for (std::size_t i = 0; i < row.blocks.size(); ++i) {
      EXPECT_EQ(split.blocks[i].source_offset, row.blocks[i][0]) << "block " << i;
      EXPECT_EQ(split.blocks[i].source_size, row.blocks[i][1]) << "block " << i;
      EXPECT_EQ(split.blocks[i].chunks, row.blocks[i][2]) << "block " << i;
      EXPECT_EQ(split.blocks[i].output_offset, chunks_before * 4096) << "block " << i;
      chunks_before += split.blocks[i].chunks;
    }
  }
}

}  // namespace
}  // namespace boot
