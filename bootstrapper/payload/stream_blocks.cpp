#include "bootstrapper/payload/stream_blocks.h"

#include "bootstrapper/manifest/update_rules.h"

namespace boot {

StreamBlocks SplitStream(const std::uint8_t* data, std::size_t size,
                         std::size_t chunks_per_block) {
  StreamBlocks result;
  StreamBlock current;
  std::size_t pos = 0;
  while (size - pos >= 2) {
    const unsigned header = data[pos] | (data[pos + 1] << 8);
    if (header == 0) break;  // the end mark
    const std::size_t chunk = 2 + (header & 0xFFF) + 1;
    if (chunk > size - pos) break;  // cut short: the decoder meets it in the last block
    if (current.chunks == chunks_per_block) {
      current.source_size = pos - current.source_offset;
      result.blocks.push_back(current);
      current = StreamBlock{pos, 0, result.chunks * kChunkSize, 0};
    }
    pos += chunk;
    ++current.chunks;
    ++result.chunks;
  }
  current.source_size = size - current.source_offset;
  result.blocks.push_back(current);
  return result;
}

}  // namespace boot
