// Interop with Windows' own LZNT1 codec in ntdll, looked up at run time as the bootstrapper does
// (under Wine in these tests): it must decode every stream we write, and we must decode what it
// writes. Windows only.
#include <windows.h>

#include <gtest/gtest.h>

#include "lznt1/lznt1.h"
#include "lznt1/test_inputs.h"

namespace lznt1 {
namespace {

using testutil::Bytes;
using testutil::TestInput;

constexpr USHORT kFormatLznt1 = 2;        // COMPRESSION_FORMAT_LZNT1
constexpr USHORT kEngineStandard = 0;     // COMPRESSION_ENGINE_STANDARD

using RtlDecompressBufferFn = LONG(NTAPI*)(USHORT format, PUCHAR out, ULONG out_size, PUCHAR in,
                                           ULONG in_size, PULONG final_size);
using RtlCompressBufferFn = LONG(NTAPI*)(USHORT format, PUCHAR in, ULONG in_size, PUCHAR out,
                                         ULONG out_size, ULONG chunk_size, PULONG final_size,
                                         PVOID workspace);
using RtlGetCompressionWorkSpaceSizeFn = LONG(NTAPI*)(USHORT format, PULONG workspace_size,
                                                      PULONG fragment_workspace_size);

template <typename Fn>
Fn NtdllFunction(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

struct WindowsResult {
  LONG status;
  Bytes content;
};

// RtlDecompressBuffer of `stream` into a buffer of `capacity` bytes.
WindowsResult WindowsDecompress(const Bytes& stream, std::size_t capacity) {
  static const auto decompress = NtdllFunction<RtlDecompressBufferFn>("RtlDecompressBuffer");
  if (decompress == nullptr) return {-1, {}};
  Bytes in = stream;
  Bytes out(capacity);
  ULONG final_size = 0;
  const LONG status = decompress(kFormatLznt1, out.data(), static_cast<ULONG>(out.size()), in.data(),
                                 static_cast<ULONG>(in.size()), &final_size);
  out.resize(status == 0 ? final_size : 0);
  return {status, out};
}

std::vector<TestInput> Inputs() {
  std::vector<TestInput> inputs = testutil::GeneratedInputs();
  for (TestInput& sample : testutil::PeSamples(256 * 1024)) inputs.push_back(std::move(sample));
  return inputs;
}

TEST(Interop, WindowsDecodesEveryStreamOfEveryLevelExactly) {
  ASSERT_NE(NtdllFunction<RtlDecompressBufferFn>("RtlDecompressBuffer"), nullptr);
  for (const TestInput& input : Inputs()) {
    for (Level level : {Level::Fast, Level::Default, Level::Max}) {
      const Bytes stream = Compress(input.bytes.data(), input.bytes.size(), level);
      const WindowsResult result = WindowsDecompress(stream, input.bytes.size());
      EXPECT_EQ(result.status, 0) << input.name << " at " << LevelName(level);
      EXPECT_TRUE(result.content == input.bytes) << input.name << " at " << LevelName(level);
    }
  }
}

TEST(Interop, WindowsDecodesPayloadsIntoFourTimesTheirSize) {
  // Exactly the stub's call: a zero-filled buffer of four times the stream.
  std::vector<TestInput> inputs = Inputs();
  inputs.push_back({"zeros/1MiB", Bytes(1 << 20, 0)});
  for (const TestInput& input : inputs) {
    Bytes payload;
    std::string error;
    ASSERT_TRUE(CompressPayload(input.bytes.data(), input.bytes.size(), Level::Max, payload, error)) << error;
    const WindowsResult result = WindowsDecompress(payload, 4 * payload.size());
    EXPECT_EQ(result.status, 0) << input.name;
    EXPECT_TRUE(result.content == input.bytes) << input.name;
  }
}

TEST(Interop, WeDecodeWhatWindowsCompresses) {
  const auto compress = NtdllFunction<RtlCompressBufferFn>("RtlCompressBuffer");
  const auto workspace_size = NtdllFunction<RtlGetCompressionWorkSpaceSizeFn>("RtlGetCompressionWorkSpaceSize");
  ASSERT_NE(compress, nullptr);
  ASSERT_NE(workspace_size, nullptr);
  ULONG buffer_workspace = 0, fragment_workspace = 0;
  ASSERT_EQ(workspace_size(kFormatLznt1 | kEngineStandard, &buffer_workspace, &fragment_workspace), 0);
  Bytes workspace(buffer_workspace + 1);
  for (const TestInput& input : Inputs()) {
    Bytes in = input.bytes;
    Bytes stream(in.size() + in.size() / 8 + 4096);
    ULONG stream_size = 0;
    const LONG status = compress(kFormatLznt1 | kEngineStandard, in.data(), static_cast<ULONG>(in.size()),
                                 stream.data(), static_cast<ULONG>(stream.size()), 4096, &stream_size,
                                 workspace.data());
    ASSERT_EQ(status, 0) << input.name;
    stream.resize(stream_size);
    Bytes out(in.size());
    const DecodeResult r = Decompress(stream.data(), stream.size(), out.data(), out.size());
    ASSERT_EQ(r.status, DecodeStatus::Ok) << input.name << ": " << DescribeStatus(r.status);
    out.resize(r.size);
    EXPECT_TRUE(out == in) << input.name;
  }
}

TEST(Interop, BothDecodersAgreeOnShortChunksAndTheEndMarker) {
  // A short compressed chunk, a short stored chunk, a zero header with bytes after it.
  const Bytes stream = {0x02, 0xB0, 0x00, 'a', 'b',     // compressed: "ab"
                        0x02, 0x30, 'x', 'y', 'z',      // stored: "xyz"
                        0x01, 0xB0, 0x00, 'q',          // compressed: "q"
                        0x00, 0x00, 0x55, 0x66};        // end of stream, then junk
  Bytes ours(3 * 4096);
  const DecodeResult r = Decompress(stream.data(), stream.size(), ours.data(), ours.size());
  ASSERT_EQ(r.status, DecodeStatus::Ok);
  ours.resize(r.size);
  const WindowsResult windows = WindowsDecompress(stream, 3 * 4096);
  ASSERT_EQ(windows.status, 0);
  EXPECT_EQ(ours.size(), 2 * 4096u + 1);
  EXPECT_TRUE(ours == windows.content);
}

}  // namespace
}  // namespace lznt1
