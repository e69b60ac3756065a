#include "bootstrapper/payload/patch_stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "bootstrapper/manifest/update_rules.h"

namespace boot {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes HeaderBytes(std::uint32_t op_count, std::uint64_t old_size, std::uint64_t new_size) {
  Bytes out(kPatchHeaderSize);
  WritePatchHeader({op_count, old_size, new_size}, out.data());
  return out;
}

// A body with `ops`, then as many diff and extra bytes (1, 2, 3, ...) as PatchBodySize asks.
Bytes MakeBody(const PatchHeader& header, const std::vector<PatchOp>& ops) {
  Bytes body(static_cast<std::size_t>(PatchBodySize(header)));
  for (std::size_t i = 0; i < ops.size(); ++i) WritePatchOp(ops[i], body.data() + i * kPatchOpSize);
  for (std::size_t i = ops.size() * kPatchOpSize, n = 1; i < body.size(); ++i, ++n) body[i] = static_cast<std::uint8_t>(n);
  return body;
}

TEST(ReadPatchHeaderTest, RefusesHeadersNoUpdateCarries) {
  Bytes wrong_magic = HeaderBytes(1, 10, 10);
  wrong_magic[2] = 'Q';
  Bytes short_header = HeaderBytes(1, 10, 10);
  short_header.pop_back();
  struct Row {
    const char* what;
    Bytes bytes;
    bool accepted;
  };
  const Row rows[] = {
      {"a plain header", HeaderBytes(2, 10, 12), true},
      {"the largest sizes", HeaderBytes(3, kMaxFileSize, kMaxFileSize), true},
      {"another magic", wrong_magic, false},
      {"a header one byte short", short_header, false},
      {"an empty new file", HeaderBytes(1, 10, 0), false},
      {"an old file above the largest size", HeaderBytes(1, kMaxFileSize + 1, 10), false},
      {"a new file above the largest size", HeaderBytes(1, 10, kMaxFileSize + 1), false},
      {"no ops", HeaderBytes(0, 10, 10), false},
      {"more ops than new bytes", HeaderBytes(11, 10, 10), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    PatchHeader header;
    EXPECT_EQ(ReadPatchHeader(row.bytes, header), row.accepted);
  }
}

TEST(CheckPatchBodyTest, AcceptsOnlyOpsThatStayInTheOldFileAndMakeTheNewOne) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  struct Row {
    const char* what;
    std::vector<PatchOp> ops;  // on an old file of 10 bytes, for a new one of 12
    int size_change;           // of the body, against PatchBodySize
    bool accepted;
  };
  const Row rows[] = {
      {"two ops that seek forward and back", {{4, 2, 2}, {4, 2, -10}}, 0, true},
      {"a seek to the old file's end", {{4, 2, 6}, {0, 6, 0}}, 0, true},
      {"an op making no byte", {{0, 0, 0}, {4, 8, 0}}, 0, false},
      {"a diff reaching past the old end", {{11, 1, 0}}, 0, false},
      {"a diff after a seek reaching past the end", {{4, 0, 4}, {3, 5, 0}}, 0, false},
      {"a seek before the start", {{4, 8, -5}}, 0, false},
      {"the lowest seek", {{4, 8, kMin}}, 0, false},
      {"a seek past the end", {{4, 8, 7}}, 0, false},
      {"ops making fewer bytes than the new file", {{4, 7, 0}}, 0, false},
      {"ops making more bytes than the new file", {{4, 2, 0}, {4, 3, 0}}, 0, false},
      {"an op whose length overflows", {{kMax, 2, 0}}, 0, false},
      {"a body one byte short", {{4, 8, 0}}, -1, false},
      {"a body one byte long", {{4, 8, 0}}, 1, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const PatchHeader header{static_cast<std::uint32_t>(row.ops.size()), 10, 12};
    Bytes body = MakeBody(header, row.ops);
    body.resize(body.size() + static_cast<std::size_t>(row.size_change));
    EXPECT_EQ(CheckPatchBody(header, body), row.accepted);
  }
}

TEST(ApplyPatchTest, AddsDiffBytesToTheOldFileAndCopiesExtraBytes) {
  const PatchHeader header{2, 10, 12};
  const Bytes old_file = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
  // Diff bytes 1..8, then extra bytes 9..12.
  const Bytes body = MakeBody(header, {{4, 2, 2}, {4, 2, -10}});
  CollectingPatchSink sink;
  ASSERT_TRUE(ApplyPatch(header, old_file, body, sink));
  EXPECT_EQ(sink.bytes, (Bytes{11, 13, 15, 17, 9, 10, 21, 23, 25, 27, 11, 12}));
}

TEST(ApplyPatchTest, RefusesAnOldFileOfAnotherSizeAndHandsOverNothing) {
  const PatchHeader header{1, 10, 12};
  const Bytes body = MakeBody(header, {{4, 8, 0}});
  for (std::size_t old_size : {9, 11}) {
    CollectingPatchSink sink;
    EXPECT_FALSE(ApplyPatch(header, Bytes(old_size, 7), body, sink));
    EXPECT_TRUE(sink.bytes.empty());
  }
}

}  // namespace
}  // namespace boot
