#include "bootpack/codec_commands.h"
#include "bootpack/file_io.h"
#include "bootpack/package.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace boot {
namespace {

namespace fs = std::filesystem;

// A fresh folder under the temp directory, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    std::random_device random;
    path_ = fs::temp_directory_path() / ("codec_commands_" + std::to_string(random()));
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome RunCommand(int (*command)(const std::vector<std::string>&), const std::vector<std::string>& args) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = command(args);
  const std::string err = testing::internal::GetCapturedStderr();
  return {status, testing::internal::GetCapturedStdout(), err};
}

std::string SampleContent() {
  std::string content;
  std::mt19937 rng(3);
  while (content.size() < 30000) {
    content += "chunk " + std::to_string(rng() % 50) + " of the stream; ";
    if (rng() % 9 == 0) content.append(300, '\0');
  }
  return content;
}

TEST(CodecCommands, CompressThenDecompressGivesBackTheFileAtEveryLevel) {
  TempFolder dir;
  const std::string content = SampleContent();
  WriteAll(dir / "in.bin", content);
  const std::vector<std::vector<std::string>> forms = {
      {dir / "in.bin", dir / "packed"},
      {"--level", "fast", dir / "in.bin", dir / "packed"},
      {"--level=max", dir / "in.bin", dir / "packed"},
      {dir / "in.bin", "--level", "default", dir / "packed"},
  };
  for (const auto& args : forms) {
    const Outcome packed = RunCommand(RunCompressCommand, args);
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_LT(ReadAll(dir / "packed").size(), content.size());
    const Outcome unpacked = RunCommand(RunDecompressCommand, {dir / "packed", dir / "out.bin"});
    ASSERT_EQ(unpacked.status, 0) << unpacked.err;
    EXPECT_EQ(ReadAll(dir / "out.bin"), content);
    EXPECT_EQ(packed.err + unpacked.err, "");
  }
}

TEST(CodecCommands, EmptyFilesRoundTripToo) {
  TempFolder dir;
  WriteAll(dir / "empty", "");
  ASSERT_EQ(RunCommand(RunCompressCommand, {dir / "empty", dir / "packed"}).status, 0);
  EXPECT_EQ(ReadAll(dir / "packed"), "");
  ASSERT_EQ(RunCommand(RunDecompressCommand, {dir / "packed", dir / "out"}).status, 0);
  EXPECT_TRUE(fs::exists(dir / "out"));
  EXPECT_EQ(ReadAll(dir / "out"), "");
}

TEST(CodecCommands, BadUsageExitsWithTwoAndSaysWhy) {
  struct Row {
    bool compress;
    std::vector<std::string> args;
    std::string message;
  };
  const Row rows[] = {
      {true, {}, "bootpack: compress: expected IN and OUT\n"},
      {true, {"a"}, "bootpack: compress: expected IN and OUT\n"},
      {true, {"a", "b", "c"}, "bootpack: compress: expected IN and OUT\n"},
      {true, {"--level", "best", "a", "b"}, "bootpack: compress: unknown level best (fast, default or max)\n"},
      {true, {"a", "b", "--level"}, "bootpack: compress: --level needs a value (fast, default or max)\n"},
      {true, {"--fast", "a", "b"}, "bootpack: compress: unknown option --fast\n"},
      {false, {"a"}, "bootpack: decompress: expected IN and OUT\n"},
      {false, {"--level", "max", "a", "b"}, "bootpack: decompress: unknown option --level\n"},
  };
  for (const Row& row : rows) {
    const Outcome outcome = RunCommand(row.compress ? RunCompressCommand : RunDecompressCommand, row.args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err.substr(0, row.message.size()), row.message);
  }
}

TEST(CodecCommands, HelpGoesToStandardOutput) {
  const Outcome compress = RunCommand(RunCompressCommand, {"--help"});
  EXPECT_EQ(compress.status, 0);
  EXPECT_EQ(compress.out.rfind("usage: bootpack compress [--level fast|default|max] IN OUT\n", 0), 0u);
  const Outcome decompress = RunCommand(RunDecompressCommand, {"-h"});
  EXPECT_EQ(decompress.status, 0);
  EXPECT_EQ(decompress.out.rfind("usage: bootpack decompress IN OUT\n", 0), 0u);
}

TEST(CodecCommands, UnreadableInputFailsWithOneAndNamesTheFile) {
  TempFolder dir;
  const Outcome outcome = RunCommand(RunCompressCommand, {dir / "missing", dir / "packed"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err.rfind("bootpack: " + (dir / "missing") + ": ", 0), 0u) << outcome.err;
  EXPECT_FALSE(fs::exists(dir / "packed"));
}

TEST(CodecCommands, CorruptStreamFailsWithoutWritingAnything) {
  TempFolder dir;
  WriteAll(dir / "bad", std::string("\x09\xB0\x00" "a", 4));  // a chunk longer than the file
  const Outcome outcome = RunCommand(RunDecompressCommand, {dir / "bad", dir / "out"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err,
            "bootpack: " + (dir / "bad") + ": not a valid LZNT1 stream: chunk runs past the end of the input\n");
  EXPECT_FALSE(fs::exists(dir / "out"));
}

// Arguments arrive as UTF-8 (wmain converts them on Windows); names outside the ANSI code page
// must reach the file system intact.
TEST(CodecCommands, ReadsAndWritesFilesWithNonAsciiNames) {
  TempFolder dir;
  const std::string in = PathToUtf8(dir.path() / PathFromUtf8("\xD0\xB2\xD1\x85\xD0\xBE\xD0\xB4 \xE6\x9B\xB4.bin"));
  const std::string packed = PathToUtf8(dir.path() / PathFromUtf8("\xC3\xA9.lznt1"));
  const std::string out = PathToUtf8(dir.path() / PathFromUtf8("\xE2\x82\xAC.out"));
  const std::string content = SampleContent();
  std::string why;
  ASSERT_TRUE(WriteWholeFile(PathFromUtf8(in),
                             std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()), why))
      << why;
  ASSERT_EQ(RunCommand(RunCompressCommand, {in, packed}).status, 0);
  ASSERT_EQ(RunCommand(RunDecompressCommand, {packed, out}).status, 0);
  std::vector<std::uint8_t> back;
  ASSERT_TRUE(ReadWholeFile(PathFromUtf8(out), back, why)) << why;
  EXPECT_EQ(std::string(back.begin(), back.end()), content);
}

}  // namespace
}  // namespace boot
