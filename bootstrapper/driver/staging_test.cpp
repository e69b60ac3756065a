#include "bootstrapper/driver/staging.h"
#include "bootstrapper/payload/payload.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bootstrapper/diag/debug_log.h"
#include "tests/support/artifacts.h"
#include "tests/support/scratch_dir.h"

namespace boot {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testutil::ScratchDir;

// Hand-made LZNT1 chunks. A chunk starts with a 16-bit header: bit 15 set for a compressed
// chunk, signature 3 in bits 12-14, and the chunk's length (header included) minus 3 below.

// A stored chunk: the bytes as they are (1 to 4096 of them).
Bytes StoredChunk(const std::string& text) {
  const unsigned header = 0x3000u | static_cast<unsigned>(text.size() - 1);
  Bytes chunk(text.size() + 2);
  chunk[0] = static_cast<std::uint8_t>(header);
  chunk[1] = static_cast<std::uint8_t>(header >> 8);
  std::copy(text.begin(), text.end(), chunk.begin() + 2);
  return chunk;
}

// A compressed chunk of 6 bytes that expands to `length` (4 to 4096) copies of `c`: one literal,
// then one copy of length - 1 bytes from one byte back (at position 1 the copy token has 4
// offset bits and 12 length bits, length stored minus 3).
Bytes RunChunk(char c, unsigned length) {
  const unsigned token = length - 1 - 3;
  return {0x03, 0xB0, 0x02, static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(token),
          static_cast<std::uint8_t>(token >> 8)};
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

struct DecompressRow {
  const char* name;
  Bytes stream;
  bool staged;
  Bytes expected;  // when staged
};

class DecompressPayloadTest : public testing::TestWithParam<DecompressRow> {};

TEST_P(DecompressPayloadTest, StagesOnlyWholeStreamsWithinFourTimesTheirSize) {
  const DecompressRow& row = GetParam();
  ByteBuffer out = ByteBuffer::CopyOf("\x55", 1);
  ASSERT_EQ(DecodePayload(row.stream.data(), row.stream.size(), out), row.staged);
  if (row.staged) {
    EXPECT_EQ(Bytes(out.begin(), out.end()), row.expected);
  } else {
    EXPECT_EQ(Bytes(out.begin(), out.end()), Bytes{0x55}) << "a refused stream leaves the output alone";
  }
}

const std::string kBlock(4096, 'x');

INSTANTIATE_TEST_SUITE_P(
    Rows, DecompressPayloadTest,
    testing::Values(
        DecompressRow{"StoredChunk", StoredChunk("hello"), true, ToBytes("hello")},
        DecompressRow{"ExactlyFourTimes", RunChunk('a', 24), true, ToBytes(std::string(24, 'a'))},
        DecompressRow{"OneByteBeyondFourTimes", RunChunk('a', 25), false, {}},
        DecompressRow{"FullBlockThenARun", Join({StoredChunk(kBlock), RunChunk('b', 30)}), true,
                      ToBytes(kBlock + std::string(30, 'b'))},
        DecompressRow{"FarBeyondFourTimes",
                      Join({RunChunk('z', 4096), RunChunk('z', 4096), RunChunk('z', 4096)}),
                      false, {}},
        // Copy token first: it points before the start of the chunk.
        DecompressRow{"CopyBeforeTheStart", {0x03, 0xB0, 0x01, 0x14, 0x00, 'a'}, false, {}},
        DecompressRow{"CutOffChunk", {0x03, 0xB0, 0x02, 'a'}, false, {}},
        DecompressRow{"Junk", {0xFF, 0xFF, 0xFF}, false, {}},
        // An end marker alone decodes to nothing: no file is ever staged empty.
        DecompressRow{"EndMarkerOnly", {0x00, 0x00}, false, {}}),
    [](const testing::TestParamInfo<DecompressRow>& param) { return param.param.name; });

struct PageDeleter {
  void operator()(std::uint8_t* p) const { ::VirtualFree(p, 0, MEM_RELEASE); }
};

TEST(DecompressPayloadLimitTest, AStreamOfOneGibibyteOrMoreDecodesWithoutWrappingACount) {
  // A first chunk and then zero pages (an end mark). Four times the size no longer fits the
  // decompressor's 32-bit count; the room is sized by the chunks instead.
  constexpr std::size_t kSize = (std::size_t{1} << 30) + 5;
  std::unique_ptr<std::uint8_t, PageDeleter> huge(static_cast<std::uint8_t*>(
      ::VirtualAlloc(nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)));
  ASSERT_TRUE(huge) << "no 1 GiB of address space";
  const Bytes chunk = StoredChunk("first");
  std::copy(chunk.begin(), chunk.end(), huge.get());
  ByteBuffer out;
  ASSERT_TRUE(DecodePayload(huge.get(), kSize, out));
  EXPECT_EQ(Bytes(out.begin(), out.end()), ToBytes("first"));
}

// Streams of many blocks decode side by side; the outcome and the bytes must be those of one
// RtlDecompressBuffer call over the whole stream with room for four times it and one byte.
TEST(DecompressPayloadBlocksTest, DecodesLikeOnePassOverTheWholeStream) {
  using Fn = LONG(NTAPI*)(USHORT, PUCHAR, ULONG, PUCHAR, ULONG, PULONG);
  const auto one_pass = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlDecompressBuffer")));
  ASSERT_NE(one_pass, nullptr);
  std::string text(4096, ' ');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i * 7 % 26);
  const auto chunks = [&](int n, char c) {
    Bytes all;
    for (int i = 0; i < n; ++i) {
      const Bytes chunk = i % 3 == 0 ? StoredChunk(text) : RunChunk(static_cast<char>(c + i % 5), 4096);
      all.insert(all.end(), chunk.begin(), chunk.end());
    }
    return all;
  };
  const auto runs = [](int n) {
    Bytes all;
    for (int i = 0; i < n; ++i) {
      const Bytes chunk = RunChunk('r', 4096);
      all.insert(all.end(), chunk.begin(), chunk.end());
    }
    return all;
  };
  const Bytes many = Join({chunks(200, 'a'), StoredChunk("tail")});
  struct Row {
    const char* name;
    Bytes stream;
  };
  const Row rows[] = {
      {"two hundred chunks and a short last one", many},
      {"a short chunk inside the first block", Join({chunks(10, 'a'), StoredChunk("short"), chunks(150, 'k')})},
      {"a broken chunk in a later block", Join({chunks(150, 'a'), Bytes{0x03, 0xB0, 0x01, 0x14, 0x00, 'a'}, chunks(20, 'b')})},
      {"an end mark between blocks, junk after it", Join({chunks(128, 'a'), Bytes{0, 0}, chunks(30, 'z')})},
      {"a chunk cut short at the end", Join({chunks(130, 'a'), Bytes{0x03, 0xB0, 0x02, 'a'}})},
      {"far beyond four times", Join({chunks(3, 'a'), Bytes(6 * 300, 0)}) },
      {"far beyond four times over many blocks", runs(200)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Bytes reference(4 * row.stream.size() + 1);
    Bytes input = row.stream;
    ULONG produced = 0;
    const bool reference_ok =
        one_pass(2, reference.data(), static_cast<ULONG>(reference.size()), input.data(),
                 static_cast<ULONG>(input.size()), &produced) == 0 &&
        produced != 0 && produced <= 4 * row.stream.size();
    ByteBuffer out;
    ASSERT_EQ(DecodePayload(row.stream.data(), row.stream.size(), out), reference_ok);
    if (reference_ok) {
      ASSERT_EQ(out.size(), produced);
      EXPECT_TRUE(std::equal(out.begin(), out.end(), reference.begin()));
    }
  }
}

// A copy of the test application carrying payload resources, loaded as a data file.
class PayloadModule {
 public:
  PayloadModule() {
    const std::vector<testutil::TestResource> resources = {
        {144, 101, AsString(RunChunk('a', 24))},   // 6 bytes -> 24 x 'a'
        {144, 102, AsString(StoredChunk("hello"))},  // 7 bytes
        {144, 103, "\xFF\xFF\xFF"},                 // rejected by the decompressor
        {144, 104, AsString(RunChunk('b', 25))},    // 6 bytes -> 25: beyond four times
        {145, 101, AsString(StoredChunk("other type"))},  // 12 bytes
    };
    path_ = dir_ / L"payloads.exe";
    if (!testutil::StampResources(testutil::TestAppPath(), path_, resources)) {
      return;
    }
    module_ = ::LoadLibraryExW(path_.c_str(), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  }
  ~PayloadModule() {
    if (module_ != nullptr) ::FreeLibrary(module_);
  }
  HMODULE get() const { return module_; }

 private:
  static std::string AsString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
  ScratchDir dir_;
  std::wstring path_;
  HMODULE module_ = nullptr;
};

struct EntrySpec {
  const char16_t* path;
  std::int64_t size;
  std::int32_t rtype;
  std::int32_t rid;
};

EntrySpec Entry(const char16_t* path, std::int64_t size, std::int32_t rtype, std::int32_t rid) {
  return {path, size, rtype, rid};
}

struct StageRow {
  const char* name;
  std::vector<EntrySpec> entries;
  bool staged;
  std::vector<std::u16string> lines;
  std::vector<std::string> payloads;  // per entry, empty when not staged
};

class StagePayloadsTest : public testing::TestWithParam<StageRow> {
 protected:
  static void SetUpTestSuite() { module_ = new PayloadModule; }
  static void TearDownTestSuite() {
    delete module_;
    module_ = nullptr;
  }
  void TearDown() override { CloseDebugLogForTesting(); }

  static PayloadModule* module_;
  ScratchDir run_dir_{/*make_current=*/true};
};
PayloadModule* StagePayloadsTest::module_ = nullptr;

TEST_P(StagePayloadsTest, StagesInOrderAndStopsAtTheFirstBadEntry) {
  const StageRow& row = GetParam();
  ASSERT_NE(module_->get(), nullptr);
  OpenDebugLog();
  std::vector<UpdateTask> entries(row.entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    entries[i].path = row.entries[i].path;
    entries[i].size = row.entries[i].size;
    entries[i].rtype = row.entries[i].rtype;
    entries[i].rid = row.entries[i].rid;
  }
  EXPECT_EQ(StagePayloads(module_->get(), entries), row.staged);
  CloseDebugLogForTesting();

  EXPECT_EQ(testutil::ReadLogLines(testutil::FindOnlyLog(run_dir_.path())), row.lines);
  ASSERT_EQ(entries.size(), row.payloads.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(std::string(entries[i].payload.begin(), entries[i].payload.end()), row.payloads[i])
        << "entry " << i;
  }
}

const std::string kRunOfA(24, 'a');

INSTANTIATE_TEST_SUITE_P(
    Rows, StagePayloadsTest,
    testing::Values(
        StageRow{"EmptyList", {}, true, {}, {}},
        StageRow{"OneEntry", {Entry(u"bin\\app.exe", 6, 144, 101)}, true,
                 {u"--- bin\\app.exe --- CHECK"}, {kRunOfA}},
        // The same resource twice, once through a type of 65680 (only the low 16 bits count),
        // and another type with the same name.
        StageRow{"SharedResourceAndLowSixteenBits",
                 {Entry(u"a.dll", 6, 144, 101), Entry(u"b.dll", 6, 65680, 101),
                  Entry(u"c/d.txt", 12, 145, 101)},
                 true,
                 {u"--- a.dll --- CHECK", u"--- b.dll --- CHECK", u"--- c/d.txt --- CHECK"},
                 {kRunOfA, kRunOfA, "other type"}},
        StageRow{"SizeOneLarger", {Entry(u"app.exe", 7, 144, 101)}, false,
                 {u"Invalid update entry: app.exe"}, {""}},
        StageRow{"SizeOneSmaller", {Entry(u"app.exe", 6, 144, 102)}, false,
                 {u"Invalid update entry: app.exe"}, {""}},
        StageRow{"NegativeSize", {Entry(u"app.exe", -6, 144, 101)}, false,
                 {u"Invalid update entry: app.exe"}, {""}},
        StageRow{"NoSuchName", {Entry(u"app.exe", 6, 144, 999)}, false,
                 {u"Invalid update entry: app.exe"}, {""}},
        StageRow{"NoSuchType", {Entry(u"app.exe", 6, 146, 101)}, false,
                 {u"Invalid update entry: app.exe"}, {""}},
        StageRow{"RejectedStream", {Entry(u"app.exe", 3, 144, 103)}, false,
                 {u"Unable to decompress entry: app.exe"}, {""}},
        StageRow{"TooMuchExpansion", {Entry(u"app.exe", 6, 144, 104)}, false,
                 {u"Unable to decompress entry: app.exe"}, {""}},
        // The first entry stays staged; the third is never looked at.
        StageRow{"SecondEntryFails",
                 {Entry(u"one.dll", 7, 144, 102), Entry(u"two.dll", 3, 144, 103),
                  Entry(u"three.dll", 6, 144, 101)},
                 false,
                 {u"--- one.dll --- CHECK", u"Unable to decompress entry: two.dll"},
                 {"hello", "", ""}}),
    [](const testing::TestParamInfo<StageRow>& param) { return param.param.name; });

}  // namespace
}  // namespace boot
