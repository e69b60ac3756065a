// The packer's output as Windows sees it, under Wine: the loader finds every resource of a
// packed stub, ntdll's own LZNT1 decoder expands each payload to the original file, the packed
// stub runs and accepts its update, and bootpack.exe itself packs from Unicode paths.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <array>
#include <string>
#include <vector>

#include "bootpack/pack.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/manifest/manifest.h"
#include "bootstrapper/resources/stub_marker.h"
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

  // The stub's own application manifest and marker, unchanged (its version information is
  // the package's: see the identity test).
  EXPECT_EQ(LoadedResource(packed, 24, 1), LoadedResource(bare, 24, 1));
  EXPECT_NE(LoadedResource(packed, 24, 1).find("asInvoker"), std::string::npos);
  EXPECT_EQ(LoadedResource(packed, 10, BOOT_STUB_MARKER_ID), BOOT_STUB_MARKER_TEXT);

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

// An .ico file of 32-bit images, one per size; `claimed` is the size the first entry states.
std::string IconFile(const std::vector<int>& sizes, int claimed) {
  const auto put16 = [](std::string& b, unsigned v) { b += static_cast<char>(v); b += static_cast<char>(v >> 8); };
  const auto put32 = [&](std::string& b, unsigned v) { put16(b, v & 0xFFFF); put16(b, v >> 16); };
  std::string head, images;
  put16(head, 0);
  put16(head, 1);
  put16(head, static_cast<unsigned>(sizes.size()));
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const unsigned n = static_cast<unsigned>(sizes[i]);
    std::string dib;
    for (unsigned v : {40u, n, 2 * n}) put32(dib, v);
    put16(dib, 1);
    put16(dib, 32);
    for (int k = 0; k < 6; ++k) put32(dib, 0);
    for (unsigned p = 0; p < n * n; ++p) put32(dib, 0xFF000000u | (p * 2654435761u >> 8));
    dib.append((n + 31) / 32 * 4 * n, '\0');  // the AND mask
    const unsigned stated = i == 0 ? static_cast<unsigned>(claimed) : n;
    head += static_cast<char>(stated);
    head += static_cast<char>(stated);
    head += std::string(2, '\0');
    put16(head, 1);
    put16(head, 32);
    put32(head, static_cast<unsigned>(dib.size()));
    put32(head, static_cast<unsigned>(6 + 16 * sizes.size() + images.size()));
    images += dib;
  }
  return head + images;
}

// A string of the exe's version information, through the API Explorer uses.
std::wstring VersionString(const std::vector<BYTE>& info, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!::VerQueryValueW(info.data(), key.c_str(), &value, &length) || length == 0) return L"<none>";
  return static_cast<const wchar_t*>(value);
}

// The package's identity members as Windows reads them back from the update exe: version
// strings and numbers through GetFileVersionInfoW/VerQueryValueW, the icon through
// ExtractIconExW and LoadImageW; and the refusals of versions and icons the stub cannot carry.
TEST(PackedStubTest, VersionInformationAndIconComeFromThePackage) {
  struct Row {
    const char* name;
    std::string version;
    std::string members;  // JSON members beside "version" and "updates"
    std::string icon;  // content of app.ico; empty: none written
    std::string refusal;  // part of the refusal; empty when the pack succeeds
    std::wstring product;  // ProductName read back
    std::array<WORD, 4> fixed;  // the fixed file version read back
  };
  const std::string full =
      R"("product": "Demo \u00c9dition", "company": "Example Ltd", "description": "Demo updater",
         "copyright": "(c) 2026 Example", "icon": "app.ico")";
  const std::vector<Row> rows = {
      {"numeric version, every member", "2.5.17", full, IconFile({16, 32}, 16), "",
       L"Demo \u00c9dition", {2, 5, 17, 0}},
      {"four parts", "65535.0.1.2", "", "", "", L"Bootstrapper", {65535, 0, 1, 2}},
      {"text version: strings only", "2.5-beta", "", "", "", L"Bootstrapper", {1, 0, 0, 0}},
      {"a part above 65535: strings only", "2.70000", "", "", "", L"Bootstrapper", {1, 0, 0, 0}},
      {"five parts: strings only", "1.2.3.4.5", "", "", "", L"Bootstrapper", {1, 0, 0, 0}},
      {"missing icon file", "1", R"("icon": "app.ico")", "", "app.ico\": ", L"", {}},
      {"icon cut short", "1", R"("icon": "app.ico")", IconFile({16}, 16).substr(0, 600),
       "lie outside the file's images", L"", {}},
      {"icon entry of another size", "1", R"("icon": "app.ico")", IconFile({16}, 32),
       "a bitmap of another size than its entry says", L"", {}},
      {"not an icon", "1", R"("icon": "app.ico")", "GIF89a and more bytes", "not an icon file", L"", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Release release;
    ::DeleteFileW((release.dir / L"app.ico").c_str());
    if (!row.icon.empty()) {
      ASSERT_TRUE(WriteFileBytes(release.dir / L"app.ico", row.icon));
    }
    ASSERT_TRUE(WriteFileBytes(release.dir / L"package.json",
                               R"({"version": ")" + row.version + "\", " + row.members +
                                   (row.members.empty() ? "" : ", ") +
                                   R"("updates": [{"path": "tiny.bin", "source": "release/tiny.bin"}]})"));
    PackOptions options;
    options.stub = Narrow(StubPath());
    options.package = Narrow(release.dir / L"package.json");
    options.output = Narrow(release.dir / L"update.exe");
    PackResult result;
    std::vector<Problem> problems, warnings;
    const bool packed = PackUpdate(options, {}, result, problems, warnings);
    const std::string said = problems.empty() ? "" : problems[0].what + ": " + problems[0].why;
    if (!row.refusal.empty()) {
      EXPECT_FALSE(packed);
      EXPECT_NE(said.find(row.refusal), std::string::npos) << said;
      EXPECT_EQ(::GetFileAttributesW((release.dir / L"update.exe").c_str()), INVALID_FILE_ATTRIBUTES);
      continue;
    }
    ASSERT_TRUE(packed) << said;
    const std::wstring exe = release.dir / L"update.exe";
    std::vector<BYTE> info(::GetFileVersionInfoSizeW(exe.c_str(), nullptr));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(::GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    const std::wstring version(row.version.begin(), row.version.end());
    EXPECT_EQ(VersionString(info, L"FileVersion"), version);
    EXPECT_EQ(VersionString(info, L"ProductVersion"), version);
    EXPECT_EQ(VersionString(info, L"ProductName"), row.product);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ((std::array<WORD, 4>{HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                                   HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)}),
              row.fixed);
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    const UINT icons = ::ExtractIconExW(exe.c_str(), -1, nullptr, nullptr, 0);
    if (row.icon.empty()) {
      EXPECT_EQ(icons, 0u);
      continue;
    }
    EXPECT_EQ(icons, 1u);
    EXPECT_EQ(VersionString(info, L"CompanyName"), L"Example Ltd");
    EXPECT_EQ(VersionString(info, L"FileDescription"), L"Demo updater");
    EXPECT_EQ(VersionString(info, L"LegalCopyright"), L"(c) 2026 Example");
    HMODULE module = ::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    for (int size : {16, 32}) {
      HICON icon = static_cast<HICON>(::LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, 0));
      ASSERT_NE(icon, nullptr) << size;
      ICONINFO parts{};
      ASSERT_TRUE(::GetIconInfo(icon, &parts));
      BITMAP bitmap{};
      ::GetObjectW(parts.hbmColor, sizeof bitmap, &bitmap);
      EXPECT_EQ(bitmap.bmWidth, size);
      ::DeleteObject(parts.hbmColor);
      ::DeleteObject(parts.hbmMask);
      ::DestroyIcon(icon);
    }
    ::FreeLibrary(module);
  }
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
