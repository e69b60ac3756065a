// LZNT1: the chunked LZ77 format of Windows' COMPRESSION_FORMAT_LZNT1 (RtlCompressBuffer,
// RtlDecompressBuffer). Portable; no platform headers.
//
// A stream is a run of chunks. Each chunk starts with a little-endian 16-bit header: the low 12
// bits hold the number of data bytes after the header minus one, bits 12-14 the signature 3,
// bit 15 whether the data is compressed. Uncompressed data is copied as it is. Compressed data
// is a series of groups: one flag byte, then up to eight items, a literal byte for each clear
// bit (lowest bit first) and a 16-bit copy token for each set bit. A token's split between
// offset and length bits depends on how much of the chunk has been decoded so far. Every chunk
// decodes on its own (no token reaches into an earlier chunk) to at most 4096 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace lznt1 {

// Bytes a chunk decodes to at most; every chunk but the last of a stream our compressor writes
// decodes to exactly this many.
inline constexpr std::size_t kChunkSize = 4096;

// Compression effort. Max is an optimal parse: no valid encoding of any chunk is smaller.
enum class Level { Fast, Default, Max };

enum class DecodeStatus { Ok, BadChunkHeader, TruncatedChunk, BadOffset, ChunkTooLarge, OutputTooSmall };

// Outcome of Decompress: `size` is the number of bytes produced when `status` is Ok, else 0.
struct DecodeResult {
  DecodeStatus status;
  std::size_t size;
};

// Decodes the whole stream in[0, in_size) into out[0, capacity). The stream ends at the end of
// the input or at a zero chunk header. A chunk that decodes to fewer than 4096 bytes and is
// followed by another chunk is padded with zero bytes to 4096, as Windows 7 and later and Wine
// do. Never writes past out + capacity; never returns a cut-off result: output that does not
// fit is OutputTooSmall. Threads as for Compress: the result is the same whatever the count.
// After an error `out` holds what was decoded before it, and with more than one thread perhaps
// some of what follows it.
DecodeResult Decompress(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out,
                        std::size_t capacity, unsigned threads = 0);

// Decodes the stream as Decompress does into a buffer of `capacity` bytes (same statuses, same
// size), but hands the content to `consume` in order, a few hundred KiB at a time, instead of
// keeping all of it: memory stays small however large the content. Every piece but the last
// is a whole number of 4096-byte chunks. After an error `consume` has seen some of what came
// before it, and nothing after it. Threads as for Decompress.
DecodeResult DecompressInPieces(const std::uint8_t* in, std::size_t in_size, std::size_t capacity,
                                const std::function<void(const std::uint8_t*, std::size_t)>& consume,
                                unsigned threads = 0);

// An upper bound of what Decompress can produce from this stream (4096 per chunk header met
// while walking the chunks), for sizing an output buffer when the real size is not known.
std::size_t DecodedSizeBound(const std::uint8_t* in, std::size_t in_size);

// Short human text for a status, e.g. "copy token reaches before the chunk".
const char* DescribeStatus(DecodeStatus status);

// Compresses in[0, size) into one stream (empty input gives an empty stream). Every chunk holds
// 4096 input bytes except the last; a chunk is stored uncompressed when compressing it would
// not make it smaller. Runs on up to `threads` threads (0: one per processor; 1: only the
// caller's); the stream is the same whatever the count. The chunks are encoded in the returned
// vector itself, which keeps the capacity of the input stored as it is (about its size plus
// 0.05 %): a caller that keeps a well-compressed stream for long can shrink_to_fit it once it
// has freed the input.
std::vector<std::uint8_t> Compress(const std::uint8_t* in, std::size_t size, Level level, unsigned threads = 0);

// Compresses a payload for the bootstrapper: like Compress, but the content is at most four
// times as long as the stream (the stub decodes into a buffer of 4 x the stream's length), so
// the most compressible chunks are stored uncompressed where needed. False with `error` set for
// empty input, which the stub cannot deliver. `out` is replaced on success. Threads as for
// Compress.
[[nodiscard]] bool CompressPayload(const std::uint8_t* in, std::size_t size, Level level,
                                   std::vector<std::uint8_t>& out, std::string& error, unsigned threads = 0);

// Reads a level name: "fast", "default" or "max". False (level unchanged) for anything else.
[[nodiscard]] bool ParseLevel(std::string_view name, Level& level);

// The name ParseLevel reads for `level`.
const char* LevelName(Level level);

}  // namespace lznt1
