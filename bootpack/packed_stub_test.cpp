// The packer's output as Windows sees it, under Wine: the loader finds every resource of a
// packed stub, ntdll's own LZNT1 decoder expands each payload to the original file, the packed
// stub runs and accepts its update, and bootpack.exe itself packs from Unicode paths.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "bootpack/pack.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/manifest/manifest.h"
#include "tests/support/artifacts.h"
#include "tests/support/scratch_dir.h"

namespace boot {
namespace {

using testutil::BootpackPath;
using testutil::Narrow;
using testutil::ReadFileBytes;
using testutil::ScratchDir;
using testutil::StubPath;
using testutil::WriteFileBytes;

// Text that compresses like source code.
std::string TextLike(std::size_t size) {
  static const char* words[] = {"update ", "stub ", "payload ", "resource ", "\r\n", "{ ", "} "};
  std::string s;
  unsigned x = 7;
  while (s.size() < size) {
    x = x * 1103515245 + 12345;
    s += words[(x >> 16) % 7];
  }
  s.resize(size);
  return s;
}

// A scratch folder holding three release files and a description naming them.
struct Release {
  ScratchDir dir;
  std::vector<std::pair<std::string, std::string>> files;  // update path, content
  Release() {
    files = {{"app.exe", ReadFileBytes(StubPath())},
             {"data\\notes.txt", TextLike(100000)},
             {"tiny.bin", "x"}};
    ::CreateDirectoryW((dir / L"release").c_str(), nullptr);
    ::CreateDirectoryW((dir / L"release\\data").c_str(), nullptr);
    for (const auto& [path, content] : files) {
      EXPECT_TRUE(WriteFileBytes(dir / (L"release\\" + std::wstring(path.begin(), path.end())), content));
    }
    EXPECT_TRUE(WriteFileBytes(dir / L"package.json", R"({"version": "2.5.0",
      "updates": [{"path": "app.exe", "source": "release/app.exe"},
                  {"path": "data\\notes.txt", "source": "release/data/notes.txt"},
                  {"path": "tiny.bin", "source": "release/tiny.bin"}]})"));
  }
  // Packs the real stub with the library; returns the update exe's path.
  std::wstring Pack() {
    PackOptions options;
    options.stub = Narrow(StubPath());
    options.package = Narrow(dir / L"package.json");
    options.output = Narrow(dir / L"update.exe");
    PackResult result;
    std::vector<Problem> problems, warnings;
    EXPECT_TRUE(PackUpdate(options, {}, result, problems, warnings))
        << (problems.empty() ? "" : problems[0].what + ": " + problems[0].why);
    EXPECT_TRUE(warnings.empty());
    return dir / L"update.exe";
  }
};

std::string LoadedResource(HMODULE module, WORD type, WORD name) {
  HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(name), MAKEINTRESOURCEW(type));
  if (info == nullptr) return "<missing>";
  const void* bytes = ::LockResource(::LoadResource(module, info));
  return std::string(static_cast<const char*>(bytes), ::SizeofResource(module, info));
}

using RtlDecompressBufferFn = LONG(WINAPI*)(USHORT, PUCHAR, ULONG, PUCHAR, ULONG, PULONG);

TEST(PackedStubTest, TheLoaderFindsEveryResourceAndNtdllDecodesEachPayload) {
  Release release;
  const std::wstring update = release.Pack();
  const DWORD flags = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;
  HMODULE packed = ::LoadLibraryExW(update.c_str(), nullptr, flags);
  ASSERT_NE(packed, nullptr) << ::GetLastError();
  HMODULE bare = ::LoadLibraryExW(StubPath().c_str(), nullptr, flags);
  ASSERT_NE(bare, nullptr);

  // The stub's own application manifest and version information, unchanged.
  EXPECT_EQ(LoadedResource(packed, 24, 1), LoadedResource(bare, 24, 1));
  EXPECT_NE(LoadedResource(packed, 24, 1).find("asInvoker"), std::string::npos);
  EXPECT_EQ(LoadedResource(packed, 16, 1), LoadedResource(bare, 16, 1));
  EXPECT_NE(LoadedResource(packed, 16, 1), "<missing>");

  const UpdateManifest manifest = ReadUpdateManifest(LoadedResource(packed, 42, 42));
  ASSERT_TRUE(manifest.valid);
  EXPECT_EQ(manifest.version, u"2.5.0");
  ASSERT_EQ(manifest.updates.size(), release.files.size());

  // Through void (*)(), the one function type every other converts to without a warning.
  const auto decompress = reinterpret_cast<RtlDecompressBufferFn>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "RtlDecompressBuffer")));
  ASSERT_NE(decompress, nullptr);
  for (std::size_t i = 0; i < manifest.updates.size(); ++i) {
    const UpdateTask& task = manifest.updates[i];
    SCOPED_TRACE(release.files[i].first);
    EXPECT_EQ(task.path, ToU16(std::wstring(release.files[i].first.begin(), release.files[i].first.end())));
    std::string stream = LoadedResource(packed, static_cast<WORD>(task.rtype), static_cast<WORD>(task.rid));
    ASSERT_EQ(static_cast<std::int64_t>(stream.size()), task.size);
    // Exactly as the stub does it: a buffer of four times the stream, COMPRESSION_FORMAT_LZNT1.
    std::string content(stream.size() * 4, '\0');
    ULONG final_size = 0;
    const LONG status = decompress(2, reinterpret_cast<PUCHAR>(content.data()),
                                   static_cast<ULONG>(content.size()),
                                   reinterpret_cast<PUCHAR>(stream.data()),
                                   static_cast<ULONG>(stream.size()), &final_size);
    ASSERT_EQ(status, 0);
    content.resize(final_size);
    EXPECT_TRUE(content == release.files[i].second) << "decoded " << final_size << " bytes";
  }
  ::FreeLibrary(bare);
  ::FreeLibrary(packed);
}

TEST(PackedStubTest, ThePackedStubRunsAndAcceptsItsUpdate) {
  Release release;
  const std::wstring update = release.Pack();
  ::CreateDirectoryW((release.dir / L"install").c_str(), nullptr);
  const std::wstring run_dir = release.dir / L"run";
  ::CreateDirectoryW(run_dir.c_str(), nullptr);
  const long exit_code = testutil::RunProcess(
      L"\"" + update + L"\" -update \"-base=" + (release.dir / L"install") + L"\"", run_dir);
  EXPECT_EQ(exit_code, 0);
  const std::vector<std::u16string> lines = testutil::ReadLogLines(testutil::FindOnlyLog(run_dir));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1], u"Check update manifest...");
  EXPECT_EQ(lines[2], u"Update to version 2.5.0,with 3 entries");
  for (const std::u16string& line : lines) {
    EXPECT_EQ(line.rfind(u"Invalid update", 0), std::u16string::npos) << Narrow(AsWide(line));
    EXPECT_EQ(line.rfind(u"Unable to decompress", 0), std::u16string::npos) << Narrow(AsWide(line));
  }
}

TEST(PackedStubTest, BootpackExePacksFromUnicodePathsLikeTheLibrary) {
  Release release;
  const std::wstring expected = release.Pack();
  // The same package in a folder whose name is outside every ANSI code page at once.
  const std::wstring unicode = release.dir / L"\u043f\u0430\u043a\u0435\u0442 \u03b1\u03b2";
  ASSERT_TRUE(::CreateDirectoryW(unicode.c_str(), nullptr));
  ASSERT_TRUE(::CopyFileW((release.dir / L"package.json").c_str(), (unicode + L"\\package.json").c_str(), FALSE));
  ASSERT_TRUE(::CreateDirectoryW((unicode + L"\\release").c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW((unicode + L"\\release\\data").c_str(), nullptr));
  for (const auto& [path, content] : release.files) {
    ASSERT_TRUE(WriteFileBytes(unicode + L"\\release\\" + std::wstring(path.begin(), path.end()), content));
  }
  const long packed = testutil::RunProcess(
      L"\"" + BootpackPath() + L"\" pack --stub \"" + StubPath() + L"\" --package \"" + unicode +
          L"\\package.json\" -o \"" + unicode + L"\\update \u00e9.exe\"",
      release.dir.path());
  ASSERT_EQ(packed, 0);
  EXPECT_TRUE(ReadFileBytes(unicode + L"\\update \u00e9.exe") == ReadFileBytes(expected));
  EXPECT_EQ(testutil::RunProcess(L"\"" + BootpackPath() + L"\" inspect \"" + unicode + L"\\update \u00e9.exe\"",
                                 release.dir.path()),
            0);
  // And a refusal is an exit status, not a crash.
  EXPECT_EQ(testutil::RunProcess(L"\"" + BootpackPath() + L"\" inspect \"" + unicode + L"\\package.json\"",
                                 release.dir.path()),
            1);
}

}  // namespace
}  // namespace boot
