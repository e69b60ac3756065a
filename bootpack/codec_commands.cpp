#include "bootpack/codec_commands.h"

#include <cstdio>
#include <filesystem>
#include <span>
#include <system_error>

#include "bootpack/file_io.h"
#include "bootpack/package.h"
#include "lznt1/lznt1.h"

namespace boot {
namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr const char* kCompressUsage =
    "usage: bootpack compress [--level fast|default|max] IN OUT\n"
    "Compresses the file IN into the raw LZNT1 stream OUT (default level: default).\n";
constexpr const char* kDecompressUsage =
    "usage: bootpack decompress IN OUT\n"
    "Decodes the raw LZNT1 stream IN and writes its content to OUT.\n";

void Complain(const std::string& what, const std::string& why) {
  std::fprintf(stderr, "bootpack: %s: %s\n", what.c_str(), why.c_str());
}

// Reads the whole file; false (reported on stderr) when it cannot be opened or read.
[[nodiscard]] bool ReadInput(const std::string& path, std::vector<std::uint8_t>& bytes) {
  std::string why;
  if (ReadWholeFile(PathFromUtf8(path), bytes, why)) return true;
  Complain(path, why);
  return false;
}

// Writes `bytes` as the whole file through a temporary file beside it, so that a failure never
// leaves a half-written OUT; false (reported on stderr) on any failure.
[[nodiscard]] bool WriteOutput(const std::string& path, const std::uint8_t* bytes, std::size_t size) {
  const std::filesystem::path target = PathFromUtf8(path);
  const std::filesystem::path temp = TempPathBeside(target);
  std::string why;
  if (!WriteWholeFile(temp, std::span<const std::uint8_t>(bytes, size), why) ||
      !ReplaceFile(temp, target, why)) {
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    Complain(path, why);
    return false;
  }
  return true;
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

}  // namespace

int RunCompressCommand(const std::vector<std::string>& args) {
  lznt1::Level level = lznt1::Level::Default;
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (IsHelp(arg)) {
      std::fputs(kCompressUsage, stdout);
      return 0;
    }
    std::string name;
    if (arg == "--level") {
      if (i + 1 == args.size()) {
        Complain("compress", "--level needs a value (fast, default or max)");
        return kUsage;
      }
      name = args[++i];
    } else if (arg.rfind("--level=", 0) == 0) {
      name = arg.substr(8);
    } else if (arg.size() > 1 && arg[0] == '-') {
      Complain("compress", "unknown option " + arg);
      return kUsage;
    } else {
      paths.push_back(arg);
      continue;
    }
    if (!lznt1::ParseLevel(name, level)) {
      Complain("compress", "unknown level " + name + " (fast, default or max)");
      return kUsage;
    }
  }
  if (paths.size() != 2) {
    Complain("compress", "expected IN and OUT");
    std::fputs(kCompressUsage, stderr);
    return kUsage;
  }
  std::vector<std::uint8_t> input;
  if (!ReadInput(paths[0], input)) return kFailed;
  const std::vector<std::uint8_t> stream = lznt1::Compress(input.data(), input.size(), level);
  return WriteOutput(paths[1], stream.data(), stream.size()) ? 0 : kFailed;
}

int RunDecompressCommand(const std::vector<std::string>& args) {
  std::vector<std::string> paths;
  for (const std::string& arg : args) {
    if (IsHelp(arg)) {
      std::fputs(kDecompressUsage, stdout);
      return 0;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      Complain("decompress", "unknown option " + arg);
      return kUsage;
    }
    paths.push_back(arg);
  }
  if (paths.size() != 2) {
    Complain("decompress", "expected IN and OUT");
    std::fputs(kDecompressUsage, stderr);
    return kUsage;
  }
  std::vector<std::uint8_t> stream;
  if (!ReadInput(paths[0], stream)) return kFailed;
  // Every chunk decodes to at most 4096 bytes, so this capacity can never cut the content short.
  std::vector<std::uint8_t> content(lznt1::DecodedSizeBound(stream.data(), stream.size()));
  const lznt1::DecodeResult result =
      lznt1::Decompress(stream.data(), stream.size(), content.data(), content.size());
  if (result.status != lznt1::DecodeStatus::Ok) {
    Complain(paths[0], std::string("not a valid LZNT1 stream: ") + lznt1::DescribeStatus(result.status));
    return kFailed;
  }
  return WriteOutput(paths[1], content.data(), result.size) ? 0 : kFailed;
}

}  // namespace boot
