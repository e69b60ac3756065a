// Where an LZNT1 stream can be cut so that its parts decode side by side. Every chunk stands
// alone (a copy never reaches into an earlier chunk), and every chunk followed by another
// decodes to exactly 4096 bytes, so the n-th chunk's content starts at n * 4096. Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace boot {

struct StreamBlock {
  std::size_t source_offset = 0;  // first byte of the block in the stream
  std::size_t source_size = 0;
  std::uint64_t output_offset = 0;  // where its content starts in the decoded whole
  std::uint64_t chunks = 0;  // whole chunks in it
};

struct StreamBlocks {
  // In stream order. Every block but the last holds exactly `chunks_per_block` whole chunks;
  // the last holds everything after them, whatever it is (more chunks, an end mark and what
  // follows it, a chunk cut short by the stream's end, a stray byte), so that it decodes, or
  // fails, just as that part of the stream would within one pass.
  std::vector<StreamBlock> blocks;
  // Whole chunks before the stream's end or its end mark: the content is at most this many
  // times 4096 bytes.
  std::uint64_t chunks = 0;
};

// Splits the `size` bytes at `data` by reading the chunk headers only. A stream of no bytes
// gives one empty block. `chunks_per_block` is at least 1.
StreamBlocks SplitStream(const std::uint8_t* data, std::size_t size,
                         std::size_t chunks_per_block);

}  // namespace boot
