#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "lznt1/lznt1.h"
#include "lznt1/test_inputs.h"

namespace lznt1 {
namespace {

using testutil::Bytes;
using testutil::TestInput;

constexpr Level kLevels[] = {Level::Fast, Level::Default, Level::Max};

// Decodes into a buffer of exactly `expected_size` bytes (so a decoder that needs slack, or
// produces more, fails).
Bytes Decode(const Bytes& stream, std::size_t expected_size, DecodeStatus& status) {
  Bytes out(expected_size);
  const DecodeResult r = Decompress(stream.data(), stream.size(), out.data(), out.size());
  status = r.status;
  out.resize(r.size);
  return out;
}

struct Chunk {
  std::size_t offset;  // of the header in the stream
  std::size_t size;    // header included
  bool compressed;
};

// The chunks of a stream, by their headers.
std::vector<Chunk> SplitChunks(const Bytes& stream) {
  std::vector<Chunk> chunks;
  for (std::size_t at = 0; at + 2 <= stream.size();) {
    const unsigned header = stream[at] | stream[at + 1] << 8;
    const std::size_t size = 2 + (header & 0xFFF) + 1;
    chunks.push_back({at, size, (header & 0x8000) != 0});
    at += size;
  }
  return chunks;
}

void ExpectRoundTrip(const TestInput& input, Level level) {
  const Bytes stream = Compress(input.bytes.data(), input.bytes.size(), level);
  DecodeStatus status;
  const Bytes decoded = Decode(stream, input.bytes.size(), status);
  ASSERT_EQ(status, DecodeStatus::Ok) << input.name << " at " << LevelName(level) << ": " << DescribeStatus(status);
  ASSERT_TRUE(decoded == input.bytes) << input.name << " at " << LevelName(level);

  // Each chunk decodes on its own, to 4096 bytes except the last.
  const std::vector<Chunk> chunks = SplitChunks(stream);
  ASSERT_EQ(chunks.size(), (input.bytes.size() + 4095) / 4096) << input.name;
  std::size_t covered = 0;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const Bytes one(stream.begin() + static_cast<std::ptrdiff_t>(chunks[i].offset),
                    stream.begin() + static_cast<std::ptrdiff_t>(chunks[i].offset + chunks[i].size));
    Bytes out(4096);
    const DecodeResult r = Decompress(one.data(), one.size(), out.data(), out.size());
    ASSERT_EQ(r.status, DecodeStatus::Ok);
    const std::size_t expected = i + 1 < chunks.size() ? 4096 : input.bytes.size() - covered;
    ASSERT_EQ(r.size, expected) << input.name << " chunk " << i;
    covered += r.size;
  }
}

TEST(Compress, EveryLevelRoundTripsRunsRandomTextAndSparseDataAroundChunkSizes) {
  for (const TestInput& input : testutil::GeneratedInputs())
    for (Level level : kLevels) ExpectRoundTrip(input, level);
}

TEST(Compress, EveryLevelRoundTripsPeFiles) {
  const std::vector<TestInput> samples = testutil::PeSamples(192 * 1024);
  if (samples.empty()) GTEST_SKIP() << "no Wine or MinGW PE files on this machine";
  for (const TestInput& input : samples)
    for (Level level : kLevels) ExpectRoundTrip(input, level);
}

TEST(Compress, EmptyInputGivesAnEmptyStream) {
  for (Level level : kLevels) EXPECT_TRUE(Compress(nullptr, 0, level).empty());
}

TEST(Compress, IncompressibleChunksAreStoredAsTheyAreEvenTheShortLastOne) {
  Bytes random;
  for (const TestInput& input : testutil::GeneratedInputs())
    if (input.name == "random/" + std::to_string(3 * 4096 + 1000)) random = input.bytes;
  ASSERT_FALSE(random.empty());
  for (Level level : kLevels) {
    const Bytes stream = Compress(random.data(), random.size(), level);
    ASSERT_EQ(stream.size(), random.size() + 4 * 2);
    const std::vector<Chunk> chunks = SplitChunks(stream);
    ASSERT_EQ(chunks.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_FALSE(chunks[i].compressed);
      EXPECT_EQ(stream[chunks[i].offset + 1] & 0x70, 0x30) << "signature";
      EXPECT_EQ(chunks[i].size, i < 3 ? 4098u : 1002u);
    }
  }
}

// The hash levels stride through data that keeps offering nothing. A compressible chunk after
// incompressible ones must still compress about as well as it does on its own: a stride carried
// into the new chunk would leave its tables too sparse to find anything (tried: 10-13 % worse).
TEST(Compress, AChunkAfterIncompressibleOnesCompressesAsWellAsAlone) {
  Bytes random, text;
  for (const TestInput& input : testutil::GeneratedInputs()) {
    if (input.name == "random/" + std::to_string(3 * 4096 + 1000)) random = input.bytes;
    if (input.name == "text/4096") text = input.bytes;
  }
  ASSERT_FALSE(random.empty());
  ASSERT_FALSE(text.empty());
  random.resize(3 * 4096);
  Bytes mixed = random;
  mixed.insert(mixed.end(), text.begin(), text.end());
  for (Level level : {Level::Fast, Level::Default}) {
    const Bytes alone = Compress(text.data(), text.size(), level);
    const std::vector<Chunk> chunks = SplitChunks(Compress(mixed.data(), mixed.size(), level));
    ASSERT_EQ(chunks.size(), 4u);
    ASSERT_TRUE(chunks[3].compressed);
    EXPECT_LE(chunks[3].size, alone.size() + alone.size() / 100) << LevelName(level);
  }
}

// Chunks are spread over threads in blocks; the stream must not depend on how many there are,
// nor on which thread got which block (for the payload form either, which reorders nothing but
// stores the most compressible chunks as they are).
TEST(Compress, TheStreamIsTheSameOnAnyNumberOfThreads) {
  const TestInput inputs[] = {{"mixture", testutil::Mixture(150 * 4096 + 123)}, {"zeros", Bytes(130 * 4096, 0)}};
  for (const TestInput& input : inputs) {
    for (Level level : kLevels) {
      const Bytes one = Compress(input.bytes.data(), input.bytes.size(), level, 1);
      DecodeStatus status;
      ASSERT_TRUE(Decode(one, input.bytes.size(), status) == input.bytes) << input.name << " at " << LevelName(level);
      Bytes payload_one;
      std::string error;
      ASSERT_TRUE(CompressPayload(input.bytes.data(), input.bytes.size(), level, payload_one, error, 1)) << error;
      for (unsigned threads : {0u, 2u, 3u, 8u}) {
        EXPECT_TRUE(Compress(input.bytes.data(), input.bytes.size(), level, threads) == one)
            << input.name << " at " << LevelName(level) << " on " << threads << " threads";
        Bytes payload;
        ASSERT_TRUE(CompressPayload(input.bytes.data(), input.bytes.size(), level, payload, error, threads)) << error;
        EXPECT_TRUE(payload == payload_one) << input.name << " at " << LevelName(level) << " on " << threads << " threads";
      }
    }
  }
}

TEST(Compress, MaxIsNeverLargerThanTheOtherLevels) {
  std::vector<TestInput> inputs = testutil::GeneratedInputs();
  for (TestInput& sample : testutil::PeSamples(64 * 1024)) inputs.push_back(std::move(sample));
  for (const TestInput& input : inputs) {
    const std::size_t max = Compress(input.bytes.data(), input.bytes.size(), Level::Max).size();
    EXPECT_LE(max, Compress(input.bytes.data(), input.bytes.size(), Level::Default).size()) << input.name;
    EXPECT_LE(max, Compress(input.bytes.data(), input.bytes.size(), Level::Fast).size()) << input.name;
  }
}

TEST(Compress, ParseLevelReadsExactlyTheThreeNames) {
  struct Row {
    const char* name;
    bool ok;
    Level level;
  };
  const Row rows[] = {{"fast", true, Level::Fast},      {"default", true, Level::Default},
                      {"max", true, Level::Max},        {"Max", false, Level::Fast},
                      {"", false, Level::Fast},         {"fastest", false, Level::Fast},
                      {"max ", false, Level::Fast}};
  for (const Row& row : rows) {
    Level level = Level::Fast;
    EXPECT_EQ(ParseLevel(row.name, level), row.ok) << '"' << row.name << '"';
    EXPECT_EQ(level, row.level) << '"' << row.name << '"';
    if (row.ok) {
      EXPECT_STREQ(LevelName(level), row.name);
    }
  }
}

TEST(CompressPayload, ContentStaysWithinFourTimesTheStreamAndStillDecodes) {
  std::vector<TestInput> inputs = testutil::GeneratedInputs();
  inputs.push_back({"zeros/1MiB", Bytes(1 << 20, 0)});
  Bytes one_chunk_of_zeros_then_text(4096, 0);
  for (int i = 0; i < 3000; ++i) one_chunk_of_zeros_then_text.push_back(static_cast<std::uint8_t>("text "[i % 5]));
  inputs.push_back({"zeros then text", one_chunk_of_zeros_then_text});
  for (const TestInput& input : inputs) {
    for (Level level : kLevels) {
      Bytes payload{1, 2, 3};
      std::string error;
      ASSERT_TRUE(CompressPayload(input.bytes.data(), input.bytes.size(), level, payload, error)) << error;
      EXPECT_LE(input.bytes.size(), 4 * payload.size()) << input.name;
      DecodeStatus status;
      EXPECT_TRUE(Decode(payload, input.bytes.size(), status) == input.bytes) << input.name;
      EXPECT_EQ(status, DecodeStatus::Ok);
      // It expands only as far as it has to: the plain stream when that is long enough, and
      // otherwise no more than one stored chunk beyond the shortest length allowed.
      const Bytes plain = Compress(input.bytes.data(), input.bytes.size(), level);
      if (4 * plain.size() >= input.bytes.size()) {
        EXPECT_TRUE(payload == plain) << input.name;
      } else {
        EXPECT_LT(payload.size(), (input.bytes.size() + 3) / 4 + 4098) << input.name;
      }
    }
  }
}

TEST(CompressPayload, EmptyInputIsRefusedWithAReason) {
  Bytes payload{7};
  std::string error;
  EXPECT_FALSE(CompressPayload(nullptr, 0, Level::Default, payload, error));
  EXPECT_NE(error.find("empty"), std::string::npos) << error;
  EXPECT_EQ(payload, Bytes{7});
}

}  // namespace
}  // namespace lznt1
