// Update exes with clean lists, run for real under Wine against a prepared install folder: the
// cleaners' log lines, their effect on files, folders and registry keys, and where the run stops.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bootstrapper/clean/clean_test_support.h"
#include "bootstrapper/manifest/manifest.h"
#include "lznt1/lznt1.h"
#include "tests/support/artifacts.h"
#include "tests/support/scratch_dir.h"

namespace boot {
namespace {

using testutil::StubPath;
using testutil::BootpackPath;
using testutil::TempDirectory;

using testutil::DirectoryExists;
using testutil::FileExists;
using testutil::ReadFileBytes;
using testutil::ScratchDir;
using testutil::ScratchKey;
using testutil::WriteFileBytes;


std::string Utf8(std::u16string_view text) { return Utf16ToUtf8(text); }
std::u16string U16(const std::wstring& text) { return ToU16(text); }

// A JSON string literal for `text` (backslashes and quotes escaped).
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

struct Clean {
  std::string path;  // UTF-8, as the manifest writes it
  const char* type;
  bool fail_ok;
};

const std::string kNewApp = "new application, version 2\n";
const std::u16string kMoveTo = u"Delete failed, move to ";

// The "cleans" array of a manifest or package description.
std::string CleansJson(const std::vector<Clean>& cleans) {
  std::string json = "[";
  for (std::size_t i = 0; i < cleans.size(); ++i) {
    if (i > 0) json += ",";
    json += R"({"path":)" + JsonString(cleans[i].path) + R"(,"fail_ok":)" +
            (cleans[i].fail_ok ? "true" : "false") + R"(,"type":")" + cleans[i].type + "\"}";
  }
  return json + "]";
}

// An update exe packed by bootpack for the compatible run: `cleans`, then app.exe = kNewApp, no
// launcher.
std::wstring PackUpdateExe(const ScratchDir& work, const std::vector<Clean>& cleans) {
  const std::wstring release = work / L"release";
  ::CreateDirectoryW(release.c_str(), nullptr);
  EXPECT_TRUE(WriteFileBytes(release + L"\\app.exe", kNewApp));
  EXPECT_TRUE(WriteFileBytes(release + L"\\package.json",
                             R"({"version":"2.0","cleans":)" + CleansJson(cleans) +
                                 R"(,"updates":[{"path":"app.exe","source":"app.exe"}]})"));
  const std::wstring exe = work / L"update.exe";
  EXPECT_EQ(testutil::RunProcess(L"\"" + BootpackPath() + L"\" pack --stub \"" + StubPath() +
                                     L"\" --compat --package \"" + release + L"\\package.json\" -o \"" +
                                     exe + L"\"",
                                 work.path()),
            0);
  return exe;
}

// The stub stamped directly with a manifest holding `cleans` and one update, app.exe = kNewApp,
// from the payload resource 144/101. For clean lists that bootpack rightly refuses to pack
// (unknown registry roots, a bare root name) but the stub must still handle.
std::wstring MakeUpdateExe(const ScratchDir& work, const std::vector<Clean>& cleans) {
  std::vector<std::uint8_t> payload;
  std::string error;
  EXPECT_TRUE(lznt1::CompressPayload(reinterpret_cast<const std::uint8_t*>(kNewApp.data()),
                                     kNewApp.size(), lznt1::Level::Default, payload, error))
      << error;
  const std::string manifest = R"({"version":"2.0","cleans":)" + CleansJson(cleans) +
                               R"(,"updates":[{"path":"app.exe","size":)" +
                               std::to_string(payload.size()) + R"(,"rtype":144,"rid":101}]})";
  const std::wstring exe = work / L"update.exe";
  EXPECT_TRUE(testutil::StampResources(
      StubPath(), exe,
      {{42, 42, manifest}, {144, 101, std::string(payload.begin(), payload.end())}}));
  return exe;
}

// Runs `exe` with -update -base=<work>\app -ppid=0 in `work` and returns the lines it logged.
std::vector<std::u16string> RunUpdateExe(const ScratchDir& work, const std::wstring& exe) {
  const long code = testutil::RunProcess(
      L"\"" + exe + L"\" -update \"-base=" + (work / L"app") + L"\" -ppid=0", work.path());
  EXPECT_EQ(code, 0);
  return testutil::ReadLogLines(testutil::FindOnlyLog(work.path()));
}

// The log lines every run writes before its cleans.
std::vector<std::u16string> LinesBeforeCleans(const ScratchDir& work) {
  const std::u16string separator = u"-------------------------------------";
  return {u"Will update to: " + U16(work / L"app"),
          u"Check update manifest...",
          u"Update to version 2.0,with 1 entries",
          separator,
          u"--- app.exe --- CHECK",
          separator,
          u"Ok, Let's do update now"};
}

std::vector<std::u16string> Concat(std::vector<std::u16string> a,
                                   const std::vector<std::u16string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class CleanRunTest : public ::testing::Test {
 public:
  std::wstring App(const std::wstring& relative) const { return app_dir_ + L"\\" + relative; }
  std::u16string AppU16(const std::wstring& relative) const { return U16(App(relative)); }
  void MakeDir(const std::wstring& relative) const {
    ASSERT_TRUE(::CreateDirectoryW(App(relative).c_str(), nullptr)) << testutil::Narrow(relative);
  }
  // The manifest's form of a key below the HKEY_CURRENT_USER scratch key.
  std::string HkcuPath(const std::wstring& relative) const {
    return "HKEY_CURRENT_USER\\" + Utf8(U16(hkcu_.SubkeyOf(relative)));
  }

 protected:
  void SetUp() override {
    ASSERT_TRUE(::CreateDirectoryW(app_dir_.c_str(), nullptr));
    ASSERT_TRUE(hkcu_.created());
  }

  ScratchDir work_;
  std::wstring app_dir_ = work_ / L"app";
  ScratchKey hkcu_{HKEY_CURRENT_USER};
};

TEST_F(CleanRunTest, CleansFilesFoldersAndKeysThenInstalls) {
  ScratchKey hklm(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(hklm.created());
  ASSERT_TRUE(WriteFileBytes(App(L"app.exe"), "old application"));
  // The system refuses to delete a read-only file, so this one is moved aside instead.
  ASSERT_TRUE(WriteFileBytes(App(L"filter.sys"), "old driver"));
  ASSERT_TRUE(::SetFileAttributesW(App(L"filter.sys").c_str(), FILE_ATTRIBUTE_READONLY));
  MakeDir(L"lib");
  ASSERT_TRUE(WriteFileBytes(App(L"lib\\old.dll"), "old library"));
  MakeDir(L"data");
  MakeDir(L"data\\thumbs");
  MakeDir(L"data\\thumbs\\2024");
  MakeDir(L"data\\thumbs\\2024\\06");
  ASSERT_TRUE(WriteFileBytes(App(L"data\\thumbs\\a.png"), "a"));
  ASSERT_TRUE(WriteFileBytes(App(L"data\\thumbs\\2024\\06\\b.png"), "b"));
  ASSERT_TRUE(WriteFileBytes(App(L"data\\settings.ini"), "keep"));
  for (const wchar_t* key : {L"Cache\\Deep\\Deeper\\Deepest", L"Cache\\Other", L"Settings"}) {
    ASSERT_TRUE(hkcu_.Create(key));
  }
  ASSERT_TRUE(hklm.Create(L"Service\\Parameters\\Instances"));
  MakeDir(L"folder");
  ASSERT_TRUE(WriteFileBytes(App(L"folder\\inside.txt"), "stays"));
  ASSERT_TRUE(WriteFileBytes(App(L"plain.txt"), "stays too"));
  const std::string hklm_path = "HKEY_LOCAL_MACHINE\\" + Utf8(U16(hklm.SubkeyOf(L"Service")));

  const std::wstring exe = PackUpdateExe(work_, {{"filter.sys", "file", false},
                                                 {"lib/old.dll", "file", false},
                                                 {"data/thumbs/", "dir", true},
                                                 {HkcuPath(L"Cache"), "registry", false},
                                                 {hklm_path, "registry", true},
                                                 // Nothing to do for these, and no line:
                                                 {"missing.dll", "file", false},
                                                 {"no/such/folder/x.dll", "file", false},
                                                 {"folder", "file", false},
                                                 {"missing-cache/", "dir", false},
                                                 {"plain.txt", "dir", false}});
  const std::vector<std::u16string> lines = RunUpdateExe(work_, exe);

  ASSERT_EQ(lines.size(), 7u + 9u);
  const std::u16string move_line = lines[8];
  ASSERT_EQ(move_line.rfind(kMoveTo + TempDirectory() + u"\\", 0), 0u)
      << testutil::Narrow(AsWide(move_line));
  const std::u16string moved = move_line.substr(kMoveTo.size());
  EXPECT_EQ(lines, Concat(LinesBeforeCleans(work_),
                          {u"Will clean file " + AppU16(L"filter.sys"),
                           move_line,
                           u"Will clean file " + AppU16(L"lib\\old.dll"),
                           u"Fully clearing path '" + AppU16(L"data\\thumbs\\") + u"'..",
                           u"Will clean registry: " + Utf8ToUtf16(HkcuPath(L"Cache")),
                           u"Will clean registry: " + Utf8ToUtf16(hklm_path),
                           u"Release file " + AppU16(L"app.exe"),
                           u"Updated, now startup the launcher",
                           u"Done, Bye."}));
  // Twelve letters and .del in the temporary folder, content and attributes unchanged.
  EXPECT_EQ(moved.size(), TempDirectory().size() + 1 + 12 + 4);
  EXPECT_EQ(moved.substr(moved.size() - 4), u".del");
  const std::wstring moved_path(AsWide(moved));
  EXPECT_EQ(ReadFileBytes(moved_path), "old driver");
  EXPECT_NE(::GetFileAttributesW(moved_path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  testutil::RemoveTree(moved_path);

  EXPECT_FALSE(FileExists(App(L"filter.sys")));
  EXPECT_FALSE(FileExists(App(L"lib\\old.dll")));
  EXPECT_TRUE(DirectoryExists(App(L"lib")));
  EXPECT_FALSE(DirectoryExists(App(L"data\\thumbs")));
  EXPECT_EQ(ReadFileBytes(App(L"data\\settings.ini")), "keep");
  EXPECT_EQ(ReadFileBytes(App(L"folder\\inside.txt")), "stays");
  EXPECT_EQ(ReadFileBytes(App(L"plain.txt")), "stays too");
  EXPECT_FALSE(hkcu_.Exists(L"Cache"));
  EXPECT_TRUE(hkcu_.Exists(L"Settings"));
  EXPECT_FALSE(hklm.Exists(L"Service"));
  EXPECT_EQ(ReadFileBytes(App(L"app.exe")), kNewApp);
}

TEST_F(CleanRunTest, FailuresWithFailOkArePassedOver) {
  MakeDir(L"cache");
  ASSERT_TRUE(WriteFileBytes(App(L"cache\\busy.db"), "busy"));
  ASSERT_TRUE(WriteFileBytes(App(L"busy.dll"), "busy"));
  ASSERT_TRUE(WriteFileBytes(App(L"after.dll"), "after"));
  ASSERT_TRUE(hkcu_.Create(L"Tree"));
  UniqueFile held_db = testutil::LockFile(App(L"cache\\busy.db"));
  UniqueFile held_dll = testutil::LockFile(App(L"busy.dll"));
  ASSERT_TRUE(held_db && held_dll);

  const std::string classes = "HKEY_CLASSES_ROOT\\" + Utf8(U16(hkcu_.SubkeyOf(L"Tree")));
  const std::wstring exe = MakeUpdateExe(work_, {{"busy.dll", "file", true},
                                                 {"cache", "dir", true},
                                                 {classes, "registry", true},
                                                 {"HKEY_CURRENT_USER", "registry", true},
                                                 {"after.dll", "file", false}});
  const std::vector<std::u16string> lines = RunUpdateExe(work_, exe);

  ASSERT_EQ(lines.size(), 7u + 12u);
  EXPECT_EQ(lines[7], u"Will clean file " + AppU16(L"busy.dll"));
  EXPECT_EQ(lines[8].rfind(kMoveTo + TempDirectory() + u"\\", 0), 0u);
  EXPECT_EQ(std::vector<std::u16string>(lines.begin() + 9, lines.end()),
            (std::vector<std::u16string>{
                u"Fully clearing path '" + AppU16(L"cache") + u"'..",
                u"Error: failed to clear path! :(",
                u"Will clean registry: " + Utf8ToUtf16(classes),
                u"Unknown root",
                u"Will clean registry: HKEY_CURRENT_USER",
                u"Illegal name",
                u"Will clean file " + AppU16(L"after.dll"),
                u"Release file " + AppU16(L"app.exe"),
                u"Updated, now startup the launcher",
                u"Done, Bye.",
            }));
  held_dll.reset();
  EXPECT_EQ(ReadFileBytes(App(L"busy.dll")), "busy");
  EXPECT_TRUE(hkcu_.Exists(L"Tree"));
  EXPECT_FALSE(FileExists(App(L"after.dll")));
  EXPECT_EQ(ReadFileBytes(App(L"app.exe")), kNewApp);
}

TEST_F(CleanRunTest, AnIntolerableFailureStopsTheRunBeforeAnythingIsWritten) {
  struct Row {
    const char* failing_path;  // the manifest's path of the failing task
    const char* type;
    std::vector<std::u16string> (*lines_of_failing_task)(const CleanRunTest&);
  };
  const Row rows[] = {
      {"sub/busy.dll", "file",
       [](const CleanRunTest& t) -> std::vector<std::u16string> {
         return {u"Will clean file " + t.AppU16(L"sub\\busy.dll")};  // + the move line
       }},
      {"sub/", "dir",
       [](const CleanRunTest& t) -> std::vector<std::u16string> {
         return {u"Fully clearing path '" + t.AppU16(L"sub\\") + u"'..",
                 u"Error: failed to clear path! :("};
       }},
      {"HKLM\\Software/Demo", "registry",
       [](const CleanRunTest&) -> std::vector<std::u16string> {
         return {u"Will clean registry: HKLM\\Software/Demo", u"Unknown root"};
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.failing_path);
    testutil::RemoveTree(work_ / L"DebugLogs");
    MakeDir(L"sub");
    ASSERT_TRUE(WriteFileBytes(App(L"first.dll"), "1"));
    ASSERT_TRUE(WriteFileBytes(App(L"sub\\busy.dll"), "2"));
    ASSERT_TRUE(WriteFileBytes(App(L"third.dll"), "3"));
    ASSERT_TRUE(WriteFileBytes(App(L"app.exe"), "old application"));

    const std::wstring exe = MakeUpdateExe(work_, {{"first.dll", "file", false},
                                                   {row.failing_path, row.type, false},
                                                   {"third.dll", "file", false}});
    std::vector<std::u16string> lines;
    {
      const UniqueFile held = testutil::LockFile(App(L"sub\\busy.dll"));
      ASSERT_TRUE(held);
      lines = RunUpdateExe(work_, exe);
    }

    std::vector<std::u16string> expected =
        Concat(LinesBeforeCleans(work_), {u"Will clean file " + AppU16(L"first.dll")});
    expected = Concat(expected, row.lines_of_failing_task(*this));
    if (std::string(row.type) == "file" && lines.size() > expected.size()) {
      // The move-aside target is random; the move itself fails.
      expected.push_back(lines[expected.size()]);
      EXPECT_EQ(expected.back().rfind(kMoveTo, 0), 0u);
    }
    expected.push_back(u"Clean " + Utf8ToUtf16(row.failing_path) + u" failed and exit");
    expected.push_back(u"Clean task failed..");
    EXPECT_EQ(lines, expected);

    // The first clean stays done; nothing after the failure happened.
    EXPECT_FALSE(FileExists(App(L"first.dll")));
    EXPECT_EQ(ReadFileBytes(App(L"sub\\busy.dll")), "2");
    EXPECT_EQ(ReadFileBytes(App(L"third.dll")), "3");
    EXPECT_EQ(ReadFileBytes(App(L"app.exe")), "old application");
    testutil::RemoveTree(App(L"sub"));
  }
}

}  // namespace
}  // namespace boot
