// The payloads an update exe carries: finding one among the image's resources, reading it from
// the image file, and decoding LZNT1 streams with the system's decompressor on every processor.
// Shared by the compatible staging in memory and the safe staging to disk. Win32 only.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "bootstrapper/manifest/manifest.h"  // Sha256Digest
#include "bootstrapper/payload/byte_buffer.h"
#include "bootstrapper/payload/stream_blocks.h"

namespace boot {

// One payload stream: its bytes where the image holds them and, when known, where they lie in
// the image file.
struct PayloadStream {
  const std::uint8_t* bytes = nullptr;
  std::size_t size = 0;
  std::uint64_t file_offset = 0;
  bool in_file = false;
};

// Reads payload streams. Bytes read through the image stay in the process's memory until it
// ends, so the reader maps the parts it needs from the image file and lets each view go once it
// is decoded (or, through a Window, once the reading has moved past it); where the file cannot
// be mapped it reads the image itself.
class PayloadReader {
 public:
  // Reads the resources of `module`; a null module reads nothing but in-memory streams.
  explicit PayloadReader(HMODULE module);
  ~PayloadReader();
  PayloadReader(const PayloadReader&) = delete;
  PayloadReader& operator=(const PayloadReader&) = delete;

  // The resource (type, name) of the module (low 16 bits of each, as integer ids). False when
  // it is missing, empty, or cannot be loaded or locked.
  [[nodiscard]] bool Find(std::int32_t type, std::int32_t name, PayloadStream& stream) const;

  // `size` bytes at `offset` of `stream`, readable while the view lives (the image's own bytes
  // where the system cannot map them).
  class View {
   public:
    View() = default;
    View(const std::uint8_t* bytes, void* base) : bytes_(bytes), base_(base) {}
    View(View&& other) noexcept;
    View& operator=(View&&) = delete;
    ~View();
    const std::uint8_t* bytes() const { return bytes_; }

   private:
    const std::uint8_t* bytes_ = nullptr;
    void* base_ = nullptr;  // the mapped view to unmap, or null for the image's own bytes
  };
  View Map(const PayloadStream& stream, std::size_t offset, std::size_t size) const;

  // For one thread that reads many ranges in file order (the blocks of the streams, one after
  // the other): a range inside the view the window holds comes from it, any other maps a new
  // view from that range on, of kWindowSize bytes or the range's size if larger. Mapping and
  // unmapping a view is a trip to the system (under Wine to its server as well); one view per
  // block of a few hundred KiB cost a sixth of the time an update of 64 MiB took to apply.
  // The pages of a view are let go when the window moves on, so memory stays at a window per
  // thread.
  class Window {
   public:
    explicit Window(const PayloadReader& reader) : reader_(&reader) {}
    Window(Window&& other) noexcept;
    Window& operator=(Window&&) = delete;
    ~Window();
    // `size` bytes at `offset` of `stream`, readable until the next call.
    const std::uint8_t* Bytes(const PayloadStream& stream, std::size_t offset, std::size_t size);

   private:
    const PayloadReader* reader_;
    void* base_ = nullptr;  // the view held, or null
    std::uint64_t start_ = 0, end_ = 0;  // the part of the file it shows
  };
  static constexpr std::uint64_t kWindowSize = std::uint64_t{2} << 20;

 private:
  // Maps the image file from the allocation boundary at or before file offset `at` up to `end`:
  // the view's base, and in `start` the offset it begins at; null when the system refuses.
  void* MapFrom(std::uint64_t at, std::uint64_t end, std::uint64_t& start) const;

  HMODULE module_;
  HANDLE mapping_ = nullptr;  // of the image file, read-only; null: read the image in place
  std::uint64_t file_size_ = 0;
};

// One stream to decode and, when asked, check.
struct DecodeJob {
  PayloadStream stream;
  bool check_sha256 = false;
  Sha256Digest sha256{};
  // Set by DecodePayloads. `decoded`: `content` holds what one RtlDecompressBuffer call over
  // the whole stream with room for 4 * size + 1 bytes produces, when that call succeeds with 1
  // to 4 * size bytes (never a cut-off file). `verified`: decoded, and the content's SHA-256 is
  // the one asked for (or none was asked for).
  bool decoded = false;
  bool verified = false;
  ByteBuffer content;
};

// Decodes every job, all of them side by side on every processor: each stream is cut at chunk
// boundaries into blocks that decode into their own parts of the content. A job whose pages
// cannot be had, whose stream the decompressor rejects, or that expands beyond four times its
// size is left undecoded. Allocations made here that fail leave their jobs undecoded.
void DecodePayloads(const PayloadReader& reader, std::span<DecodeJob> jobs);

// Decodes `size` bytes at `offset` of `stream` into exactly `expected` bytes, its blocks side by
// side as DecodePayloads does (a stream whose chunks do not keep to 4096 bytes each is decoded
// in one pass). False when the system's decompressor rejects it, it decodes to any other
// length, or the memory cannot be had. For content whose length is known beforehand (a patch's
// body), which is why no limit on its expansion applies.
[[nodiscard]] bool DecodeExactly(const PayloadReader& reader, const PayloadStream& stream,
                                 std::size_t offset, std::uint64_t expected, ByteBuffer& out);

// The same for one stream in memory.
[[nodiscard]] bool DecodePayload(const std::uint8_t* data, std::size_t size, ByteBuffer& out);

// Decodes streams block by block on worker threads, a fixed number of blocks ahead of the
// reader, hashes them in order on whichever worker is free, and hands the blocks over in order
// on the calling thread, so that memory stays at a
// few megabytes whatever the files' sizes. Every chunk but a stream's last must decode to 4096
// bytes, as LZNT1 asks; a stream that breaks that is refused rather than decoded in one pass.
class BlockPipeline {
 public:
  struct Piece {
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    bool ok = false;  // false: the stream is refused (rejected by the decompressor, or too long)
    bool last = false;  // the stream's last piece
    Sha256Digest digest{};  // the SHA-256 of the stream's content, in its last piece
  };

  // Splits every stream and starts the workers. The streams must outlive the pipeline.
  BlockPipeline(const PayloadReader& reader, std::span<const PayloadStream> streams);
  ~BlockPipeline();  // stops the workers and waits for them
  BlockPipeline(const BlockPipeline&) = delete;
  BlockPipeline& operator=(const BlockPipeline&) = delete;

  // False when the pipeline could not get its memory.
  bool ready() const;
  // The next piece: of the current stream, or the first of the next one once the current one
  // has given its last piece. Valid until the next call.
  Piece Next();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace boot
