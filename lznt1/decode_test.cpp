#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "lznt1/lznt1.h"
#include "lznt1/test_inputs.h"

namespace lznt1 {
namespace {

using testutil::Bytes;

// Token for a copy at `pos` of a chunk, worked out here from the published layout (offset bits:
// enough to reach the chunk start, at least 4) rather than from the library's own helpers.
std::uint16_t Token(std::size_t pos, std::size_t offset, std::size_t length) {
  unsigned offset_bits = 4;
  while ((std::size_t{1} << offset_bits) < pos) ++offset_bits;
  return static_cast<std::uint16_t>(((offset - 1) << (16 - offset_bits)) | (length - 3));
}

// A chunk: its header (`flags` = compressed bit and signature, in the high byte) and data.
Bytes WithHeader(std::uint8_t flags, const Bytes& data) {
  Bytes out(2 + data.size());
  out[0] = static_cast<std::uint8_t>((data.size() - 1) & 0xFF);
  out[1] = static_cast<std::uint8_t>(flags | ((data.size() - 1) >> 8));
  std::copy(data.begin(), data.end(), out.begin() + 2);
  return out;
}

// Builds one chunk's compressed data item by item.
class ChunkBuilder {
 public:
  ChunkBuilder& Literals(const std::string& text) {
    for (char c : text) Item(false, {static_cast<std::uint8_t>(c)});
    return *this;
  }
  ChunkBuilder& Copy(std::size_t offset, std::size_t length) {
    const std::uint16_t token = Token(pos_, offset, length);
    Item(true, {static_cast<std::uint8_t>(token), static_cast<std::uint8_t>(token >> 8)});
    pos_ += length - 1;
    return *this;
  }
  // Raw bytes appended to the data as they are (to cut a token short).
  ChunkBuilder& Bytes_(const Bytes& bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  ChunkBuilder& FlagByte(std::uint8_t flags) {
    data_.push_back(flags);
    items_ = 8;  // a fresh group starts after whatever follows
    return *this;
  }
  // The chunk: header (compressed, signature 3) and data.
  Bytes Chunk() const { return WithHeader(0xB0, data_); }

 private:
  void Item(bool token, std::initializer_list<std::uint8_t> bytes) {
    if (items_ % 8 == 0) {
      flag_at_ = data_.size();
      data_.push_back(0);
      items_ = 0;
    }
    if (token) data_[flag_at_] |= static_cast<std::uint8_t>(1u << items_);
    data_.insert(data_.end(), bytes);
    ++items_;
    ++pos_;
  }
  Bytes data_;
  std::size_t flag_at_ = 0;
  unsigned items_ = 0;
  std::size_t pos_ = 0;
};

Bytes StoredChunk(const Bytes& bytes) { return WithHeader(0x30, bytes); }

Bytes Join(std::initializer_list<Bytes> parts) {
  std::size_t size = 0;
  for (const Bytes& part : parts) size += part.size();
  Bytes out(size);
  auto at = out.begin();
  for (const Bytes& part : parts) at = std::copy(part.begin(), part.end(), at);
  return out;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

struct Malformed {
  const char* name;
  Bytes stream;
  std::size_t capacity;
  DecodeStatus expected;
};

TEST(Decompress, RejectsEachKindOfMalformedStream) {
  // Long variants put the fault mid-chunk with plenty of room, where the wide path decodes.
  const std::string filler = Repeat('f', 40);
  const Malformed cases[] = {
      {"signature 0", Join({{0x02, 0x80}, {0x00, 'a', 'b'}}), 64, DecodeStatus::BadChunkHeader},
      {"signature 7", Join({{0x02, 0xF0}, {0x00, 'a', 'b'}}), 64, DecodeStatus::BadChunkHeader},
      {"second chunk has signature 2", Join({ChunkBuilder().Literals("ab").Chunk(), {0x00, 0x20, 'x'}}),
       8192, DecodeStatus::BadChunkHeader},
      {"chunk longer than the input", Join({{0x09, 0xB0}, {0x00, 'a'}}), 64, DecodeStatus::TruncatedChunk},
      {"one byte after the last chunk", Join({ChunkBuilder().Literals("ab").Chunk(), {0x41}}), 64,
       DecodeStatus::TruncatedChunk},
      {"token cut in half", ChunkBuilder().FlagByte(0x02).Bytes_({'a', 0x10}).Chunk(), 64,
       DecodeStatus::TruncatedChunk},
      {"token as the first item", ChunkBuilder().Copy(1, 3).Chunk(), 64, DecodeStatus::BadOffset},
      {"token reaching before the chunk", ChunkBuilder().Literals("abc").Copy(4, 3).Chunk(), 64,
       DecodeStatus::BadOffset},
      {"token reaching before the chunk, mid-chunk",
       ChunkBuilder().Literals(filler).Copy(41, 5).Literals(filler).Chunk(), 65536, DecodeStatus::BadOffset},
      {"copy past 4096 bytes", ChunkBuilder().Literals("a").Copy(1, 4098).Chunk(), 65536,
       DecodeStatus::ChunkTooLarge},
      {"literal past 4096 bytes", ChunkBuilder().Literals("a").Copy(1, 4095).Literals("b").Chunk(), 8192,
       DecodeStatus::ChunkTooLarge},
      {"literal past 4096 bytes, mid-chunk",
       ChunkBuilder().Literals("a").Copy(1, 4095).Literals(filler).Chunk(), 65536, DecodeStatus::ChunkTooLarge},
      {"copy past 4096 bytes, mid-chunk",
       ChunkBuilder().Literals("a").Copy(1, 4090).Copy(10, 10).Literals(filler).Chunk(), 65536,
       DecodeStatus::ChunkTooLarge},
      {"no room for a literal", ChunkBuilder().Literals("abc").Chunk(), 2, DecodeStatus::OutputTooSmall},
      {"no room for a copy", ChunkBuilder().Literals("ab").Copy(2, 10).Chunk(), 11,
       DecodeStatus::OutputTooSmall},
      {"no room for a stored chunk", StoredChunk(Text("0123456789")), 9, DecodeStatus::OutputTooSmall},
      {"no room for the padding", Join({ChunkBuilder().Literals("ab").Chunk(), ChunkBuilder().Literals("c").Chunk()}),
       4096, DecodeStatus::OutputTooSmall},
  };
  for (const Malformed& c : cases) {
    Bytes out(c.capacity);
    const DecodeResult r = Decompress(c.stream.data(), c.stream.size(), out.data(), out.size());
    EXPECT_EQ(r.status, c.expected) << c.name << ": " << DescribeStatus(r.status);
    EXPECT_EQ(r.size, 0u) << c.name;
  }
}

struct WellFormed {
  const char* name;
  Bytes stream;
  Bytes expected;
};

TEST(Decompress, ReadsWhatTheFormatAllows) {
  const WellFormed cases[] = {
      {"nothing", {}, {}},
      {"only a zero header", {0x00, 0x00}, {}},
      {"zero header ends the stream", Join({ChunkBuilder().Literals("ab").Chunk(), {0x00, 0x00, 0xFF, 0xFF, 0x07}}),
       Text("ab")},
      {"short chunk followed by another is padded with zeros",
       Join({ChunkBuilder().Literals("ab").Chunk(), ChunkBuilder().Literals("c").Chunk()}),
       Join({Text("ab"), Bytes(4094, 0), Text("c")})},
      {"short stored chunk", StoredChunk(Text("xyz")), Text("xyz")},
      {"short stored chunk followed by another is padded",
       Join({StoredChunk(Text("xyz")), StoredChunk(Text("w"))}), Join({Text("xyz"), Bytes(4093, 0), Text("w")})},
      {"overlapping copy repeats a period", ChunkBuilder().Literals("abc").Copy(3, 9).Chunk(), Text("abcabcabcabc")},
      {"copy of a run", ChunkBuilder().Literals("z").Copy(1, 20).Chunk(), Text(Repeat('z', 21))},
      {"groups of eight items", ChunkBuilder().Literals("0123456789").Copy(10, 10).Literals("!").Chunk(),
       Text("01234567890123456789!")},
      {"a chunk that ends inside a group", ChunkBuilder().FlagByte(0x00).Bytes_({'q'}).Chunk(), Text("q")},
  };
  for (const WellFormed& c : cases) {
    for (std::size_t spare : {std::size_t{0}, std::size_t{65536}}) {  // the careful and the wide path
      Bytes out(c.expected.size() + spare);
      const DecodeResult r = Decompress(c.stream.data(), c.stream.size(), out.data(), out.size());
      ASSERT_EQ(r.status, DecodeStatus::Ok) << c.name << ": " << DescribeStatus(r.status);
      out.resize(r.size);
      EXPECT_TRUE(out == c.expected) << c.name << " with " << spare << " spare bytes";
    }
  }
}

TEST(Decompress, SplitsTokensByHowMuchOfTheChunkIsDecoded) {
  // At each position, a copy from the chunk's first byte, as long as the token can say (the
  // literals before it keep the chunk's data within 4096 bytes up to position 3640).
  for (std::size_t pos : {1, 2, 15, 16, 17, 31, 32, 33, 64, 65, 129, 1024, 1025, 2048, 2049, 3000, 3600}) {
    std::string literals;
    for (std::size_t i = 0; i < pos; ++i) literals.push_back(static_cast<char>('A' + i * 7 % 26));
    unsigned offset_bits = 4;
    while ((std::size_t{1} << offset_bits) < pos) ++offset_bits;
    const std::size_t length = std::min<std::size_t>((std::size_t{1} << (16 - offset_bits)) + 2, 4096 - pos);
    const Bytes stream = ChunkBuilder().Literals(literals).Copy(pos, length).Chunk();
    std::string expected = literals;
    for (std::size_t i = 0; i < length; ++i) expected.push_back(expected[i]);
    for (std::size_t spare : {std::size_t{0}, std::size_t{65536}}) {
      Bytes out(expected.size() + spare);
      const DecodeResult r = Decompress(stream.data(), stream.size(), out.data(), out.size());
      ASSERT_EQ(r.status, DecodeStatus::Ok) << "at " << pos;
      out.resize(r.size);
      EXPECT_TRUE(out == Text(expected)) << "at " << pos;
    }
  }
}

TEST(Decompress, ReportsOutputThatDoesNotFitInsteadOfCuttingItShort) {
  for (const testutil::TestInput& input : testutil::GeneratedInputs()) {
    const Bytes stream = Compress(input.bytes.data(), input.bytes.size(), Level::Default);
    const std::size_t size = input.bytes.size();
    for (std::size_t capacity : {size - 1, size, size + 15, size + 4112, size + 65536}) {
      Bytes out(capacity);
      const DecodeResult r = Decompress(stream.data(), stream.size(), out.data(), out.size());
      if (capacity < size) {
        EXPECT_EQ(r.status, DecodeStatus::OutputTooSmall) << input.name;
        continue;
      }
      ASSERT_EQ(r.status, DecodeStatus::Ok) << input.name << " in " << capacity;
      ASSERT_EQ(r.size, size);
      EXPECT_TRUE(std::equal(input.bytes.begin(), input.bytes.end(), out.begin())) << input.name;
    }
    EXPECT_GE(DecodedSizeBound(stream.data(), stream.size()), size);
    EXPECT_LT(DecodedSizeBound(stream.data(), stream.size()), size + 4096);
  }
}

// Threads decode blocks of chunks side by side, each chunk at 4096 times its index, and
// DecompressInPieces hands blocks over a few at a time. Whatever the stream holds and wherever
// it goes wrong, they must give what one pass gives: the same status and size, the same bytes up
// to the chunk that fails, and nothing past the capacity.
TEST(Decompress, AnyNumberOfThreadsAndPiecesGiveWhatOnePassGives) {
  constexpr std::size_t kChunks = 330;  // a little over five blocks of 64: more than one round of pieces
  const Bytes content = testutil::Mixture(kChunks * 4096);
  std::vector<Bytes> chunks;
  for (std::size_t c = 0; c < kChunks; ++c) chunks.push_back(Compress(content.data() + c * 4096, 4096, Level::Fast));
  chunks[10] = ChunkBuilder().Literals("short, so padded").Chunk();
  chunks[64] = StoredChunk(Text("stored and short"));
  const Bytes last_whole = chunks.back();

  struct Fault {
    const char* name;
    std::size_t chunk;  // where it goes wrong (kChunks: nowhere)
    Bytes replacement;  // of that chunk
  };
  const Bytes bad_header = {0x02, 0x20, 'a', 'b', 'c'};
  const Bytes bad_offset = ChunkBuilder().Literals("abc").Copy(4, 3).Chunk();
  const Bytes too_large = ChunkBuilder().Literals("a").Copy(1, 4098).Chunk();
  const Bytes cut_short(last_whole.begin(), last_whole.end() - 1);
  Bytes trailing_byte = last_whole;
  trailing_byte.push_back(0x41);
  const Fault faults[] = {
      {"none", kChunks, {}},
      {"bad header first", 0, bad_header},
      {"bad header ending a block", 63, bad_header},
      {"bad header starting a block", 64, bad_header},
      {"bad header in the last block", 325, bad_header},
      {"bad offset in a later block", 290, bad_offset},
      {"bad offset starting a block", 128, bad_offset},
      {"bad offset mid-block", 100, bad_offset},
      {"too large ending a block", 127, too_large},
      {"zero header ends the stream early", 90, {0x00, 0x00}},
      {"last chunk cut short", kChunks - 1, cut_short},
      {"a byte after the last chunk", kChunks - 1, trailing_byte},
  };
  const std::size_t full = (kChunks - 1) * 4096 + 4096;
  for (const Fault& fault : faults) {
    std::vector<Bytes> parts = chunks;
    if (fault.chunk < kChunks) parts[fault.chunk] = fault.replacement;
    Bytes stream;
    for (const Bytes& part : parts) stream.insert(stream.end(), part.begin(), part.end());
    for (std::size_t capacity : {full, full - 1, 64 * std::size_t{4096}, 64 * std::size_t{4096} + 5, 2 * full}) {
      constexpr std::size_t kGuard = 64;
      Bytes one(capacity + kGuard, 0xEE);
      const DecodeResult expected = Decompress(stream.data(), stream.size(), one.data(), capacity, 1);
      // Everything before the chunk that fails, or the chunk that does not fit, was written.
      const std::size_t written = expected.status == DecodeStatus::Ok
                                      ? expected.size
                                      : std::min(fault.chunk, capacity / 4096) * 4096;
      for (unsigned threads : {0u, 2u, 3u, 7u}) {
        Bytes out(capacity + kGuard, 0xEE);
        const DecodeResult r = Decompress(stream.data(), stream.size(), out.data(), capacity, threads);
        const std::string where = std::string(fault.name) + ", capacity " + std::to_string(capacity) + ", " +
                                  std::to_string(threads) + " threads";
        EXPECT_EQ(r.status, expected.status) << where << ": " << DescribeStatus(r.status);
        EXPECT_EQ(r.size, expected.size) << where;
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(written), one.begin())) << where;
        EXPECT_TRUE(std::all_of(out.end() - kGuard, out.end(), [](std::uint8_t b) { return b == 0xEE; })) << where;
      }
      for (unsigned threads : {1u, 2u, 3u}) {
        Bytes joined;
        const DecodeResult r = DecompressInPieces(
            stream.data(), stream.size(), capacity,
            [&](const std::uint8_t* piece, std::size_t n) { joined.insert(joined.end(), piece, piece + n); }, threads);
        const std::string where = std::string(fault.name) + ", capacity " + std::to_string(capacity) + ", " +
                                  std::to_string(threads) + " threads, in pieces";
        EXPECT_EQ(r.status, expected.status) << where << ": " << DescribeStatus(r.status);
        EXPECT_EQ(r.size, expected.size) << where;
        if (expected.status == DecodeStatus::Ok) {
          EXPECT_EQ(joined.size(), expected.size) << where;
        }
        ASSERT_LE(joined.size(), written) << where;
        EXPECT_TRUE(std::equal(joined.begin(), joined.end(), one.begin())) << where;
      }
    }
  }
}

TEST(Decompress, DescribesEveryStatusDifferently) {
  const DecodeStatus all[] = {DecodeStatus::Ok, DecodeStatus::BadChunkHeader, DecodeStatus::TruncatedChunk,
                              DecodeStatus::BadOffset, DecodeStatus::ChunkTooLarge, DecodeStatus::OutputTooSmall};
  std::set<std::string> texts;
  for (DecodeStatus status : all) texts.insert(DescribeStatus(status));
  EXPECT_EQ(texts.size(), std::size(all));
  EXPECT_STREQ(DescribeStatus(DecodeStatus::BadOffset), "copy token reaches before the chunk");
}

}  // namespace
}  // namespace lznt1
