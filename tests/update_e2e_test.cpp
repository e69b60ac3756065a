// Whole updates under Wine: bootpack packs a real update exe from a release folder, the test
// prepares an install folder and runs the update exe the way an application starts it, then
// checks the log bytes, the files, the launcher's start and the order of events.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "bootstrapper/common/unique_handle.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/manifest/manifest.h"
#include "tests/support/artifacts.h"
#include "tests/support/scratch_dir.h"

namespace boot {
namespace {

using testutil::StubPath;
using testutil::BootpackPath;
using testutil::TestAppPath;

using testutil::ReadFileBytes;
using testutil::ScratchDir;
using testutil::WriteFileBytes;
using Lines = std::vector<std::u16string>;


const std::u16string kSeparator = u"-------------------------------------";

// Every file and folder under `dir`: relative path -> content ("<dir>" for a folder).
using TreeSnapshot = std::map<std::wstring, std::string>;

TreeSnapshot SnapshotTree(const std::wstring& dir) {
  TreeSnapshot tree;
  testutil::WalkTree(dir, [&](const std::wstring& relative, DWORD attributes) {
    tree[relative] = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? std::string("<dir>")
                                                            : ReadFileBytes(dir + L"\\" + relative);
  });
  return tree;
}

// Content that compresses like a real program: repeated structure with varying numbers.
std::string SampleBytes(std::size_t size, unsigned seed) {
  std::string bytes;
  bytes.reserve(size);
  unsigned state = seed;
  while (bytes.size() < size) {
    state = state * 1103515245u + 12345u;
    bytes += "entry " + std::to_string(state >> 20) + " of the sample table;\n";
    if ((state >> 8) % 5 == 0) bytes.push_back(static_cast<char>(state >> 24));
  }
  bytes.resize(size);
  return bytes;
}

// The JSON of a manifest model, for an update exe whose manifest a test changes.
std::string Quote(const std::u16string& text) {
  std::string out = "\"";
  for (char c : Utf16ToUtf8(text)) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

std::string ManifestJson(const UpdateManifest& manifest) {
  static const char* const kKinds[] = {"file", "dir", "registry"};
  std::string json = "{\"version\":" + Quote(manifest.version) +
                     ",\"launcher\":" + Quote(manifest.launcher) + ",\"cleans\":[";
  for (std::size_t i = 0; i < manifest.cleans.size(); ++i) {
    const CleanTask& clean = manifest.cleans[i];
    json += (i ? "," : "") + std::string("{\"path\":") + Quote(clean.path) +
            ",\"fail_ok\":" + (clean.fail_ok ? "true" : "false") + ",\"type\":\"" +
            kKinds[static_cast<int>(clean.kind)] + "\"}";
  }
  json += "],\"updates\":[";
  for (std::size_t i = 0; i < manifest.updates.size(); ++i) {
    const UpdateTask& update = manifest.updates[i];
    json += (i ? "," : "") + std::string("{\"path\":") + Quote(update.path) +
            ",\"size\":" + std::to_string(update.size) + ",\"rtype\":" +
            std::to_string(update.rtype) + ",\"rid\":" + std::to_string(update.rid) + "}";
  }
  return json + "]}";
}

// The manifest embedded in the update exe at `path`.
UpdateManifest ReadEmbeddedManifest(const std::wstring& path) {
  HMODULE image = ::LoadLibraryExW(path.c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (image == nullptr) return {};
  UpdateManifest manifest;
  if (HRSRC info = ::FindResourceW(image, MAKEINTRESOURCEW(42), MAKEINTRESOURCEW(42))) {
    const char* bytes = static_cast<const char*>(::LockResource(::LoadResource(image, info)));
    if (bytes != nullptr) {
      manifest = ReadUpdateManifest(std::string_view(bytes, ::SizeofResource(image, info)));
    }
  }
  ::FreeLibrary(image);
  return manifest;
}

// LZNT1 chunks of 6 bytes, each expanding to 4096 copies of one byte: far beyond four times.
std::string OverExpandingStream(std::size_t chunks) {
  std::string stream;
  for (std::size_t i = 0; i < chunks; ++i) stream += std::string("\x03\xB0\x02z\xFC\x0F", 6);
  return stream;
}

struct UpdateRun {
  long exit_code = -1;
  std::string log_bytes;
  Lines lines;
};

// A scratch folder with release\ (what bootpack packs), install\ (the installed application)
// and run\ (the update's current directory: its DebugLogs, and the launcher's marker).
class UpdateTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(::CreateDirectoryW(release_.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(install_.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(run_.c_str(), nullptr));
  }

  // Writes package.json into release\ and packs it into update.exe for the compatible run;
  // false when bootpack fails.
  bool Pack(const std::string& description) {
    if (!WriteFileBytes(release_ + L"\\package.json", description)) return false;
    const std::wstring command = L"\"" + BootpackPath() + L"\" pack --stub \"" + StubPath() +
                                 L"\" --compat --package \"" + release_ + L"\\package.json\" -o \"" +
                                 update_exe_ + L"\"";
    return testutil::RunProcess(command, root_.path()) == 0;
  }

  // Runs `exe` as an application would start it, in run\, and reads its log.
  UpdateRun RunUpdate(const std::wstring& exe, const std::wstring& ppid_option = L"") {
    return RunUpdateWith(exe, L"\"-base=" + install_ + L"\" " + ppid_option);
  }
  UpdateRun RunUpdateWith(const std::wstring& exe, const std::wstring& options) {
    UpdateRun run;
    run.exit_code = testutil::RunProcess(L"\"" + exe + L"\" -update " + options, run_);
    const std::wstring log = testutil::FindOnlyLog(run_);
    run.log_bytes = ReadFileBytes(log);
    run.lines = testutil::ReadLogLines(log);
    return run;
  }

  // The first lines of every run that gets as far as the manifest.
  Lines Header(const std::u16string& version, std::size_t entries) const {
    return {u"Will update to: " + ToU16(install_), u"Check update manifest...",
            u"Update to version " + version + u",with " + ToU16(std::to_wstring(entries)) +
                u" entries",
            kSeparator};
  }

  std::u16string Installed(const std::wstring& relative) const {
    return ToU16(install_ + L"\\" + relative);
  }

  // The marker the test application writes into its current directory when it is started
  // as a launcher; waits up to 30 s for it.
  std::string WaitForLauncherMarker() const {
    const std::wstring marker = run_ + L"\\launched.txt";
    for (int i = 0; i < 300; ++i) {
      const std::string text = ReadFileBytes(marker);
      if (!text.empty() && text.back() == '\n' && text.find("exe=") != std::string::npos) {
        return text;
      }
      ::Sleep(100);
    }
    return {};
  }

  ScratchDir root_;
  const std::wstring release_ = root_ / L"release";
  const std::wstring install_ = root_ / L"install";
  const std::wstring run_ = root_ / L"run";
  const std::wstring update_exe_ = root_ / L"update.exe";
};

std::string Utf16LeBytes(const Lines& lines) {
  std::string bytes;
  for (const std::u16string& line : lines) {
    for (char16_t c : line + u"\n") {
      bytes.push_back(static_cast<char>(c & 0xFF));
      bytes.push_back(static_cast<char>(c >> 8));
    }
  }
  return bytes;
}

// Three new files over an installed version: one replacing a longer file, one in an existing
// subfolder, one new; then the launcher (the test application) is started.
TEST_F(UpdateTest, AppliesTheWholeUpdateAndStartsTheLauncher) {
  const std::string app = ReadFileBytes(TestAppPath());
  const std::string helper = SampleBytes(300000, 1);
  const std::string notes = "Version 3.1\r\n";
  ASSERT_TRUE(WriteFileBytes(release_ + L"\\app.exe", app));
  ASSERT_TRUE(WriteFileBytes(release_ + L"\\helper.dll", helper));
  ASSERT_TRUE(WriteFileBytes(release_ + L"\\notes.txt", notes));
  ASSERT_TRUE(Pack(R"({"version":"3.1","launcher":"app.exe","cleans":[],"updates":[
      {"path":"app.exe","source":"app.exe"},
      {"path":"lib\\helper.dll","source":"helper.dll"},
      {"path":"notes.txt","source":"notes.txt"}]})"));

  const std::string old_app = SampleBytes(app.size() * 3, 2);  // longer than the new one
  ASSERT_TRUE(WriteFileBytes(install_ + L"\\app.exe", old_app));
  ASSERT_TRUE(::CreateDirectoryW((install_ + L"\\lib").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(install_ + L"\\lib\\helper.dll", "old helper"));
  ASSERT_TRUE(WriteFileBytes(install_ + L"\\settings.ini", "kept"));

  const UpdateRun run = RunUpdate(update_exe_);
  EXPECT_EQ(run.exit_code, 0);
  Lines expected = Header(u"3.1", 3);
  expected.insert(expected.end(),
                  {u"--- app.exe --- CHECK", u"--- lib\\helper.dll --- CHECK",
                   u"--- notes.txt --- CHECK", kSeparator, u"Ok, Let's do update now",
                   u"Release file " + Installed(L"app.exe"),
                   u"Release file " + Installed(L"lib\\helper.dll"),
                   u"Release file " + Installed(L"notes.txt"), u"Updated, now startup the launcher",
                   u"Will launch with app.exe", u"Done, Bye."});
  EXPECT_EQ(run.lines, expected);
  EXPECT_EQ(run.log_bytes, Utf16LeBytes(expected));

  EXPECT_EQ(SnapshotTree(install_), (TreeSnapshot{{L"app.exe", app},
                                                  {L"lib", "<dir>"},
                                                  {L"lib\\helper.dll", helper},
                                                  {L"notes.txt", notes},
                                                  {L"settings.ini", "kept"}}));
  // Started with no arguments, in the update's own current directory, from the install folder.
  const std::string marker = WaitForLauncherMarker();
  EXPECT_EQ(marker, "args=0\ncwd=" + testutil::Narrow(run_) +
                        "\nexe=" + testutil::Narrow(install_ + L"\\app.exe") + "\n");
}

// A change made to a packed update exe, and the lines its run ends with after the header.
struct BrokenRow {
  const char* name;
  // Changes the manifest and returns the payload resources to replace.
  std::vector<testutil::TestResource> (*spoil)(UpdateManifest& manifest);
  Lines tail;
};

class BrokenPayloadTest : public UpdateTest, public testing::WithParamInterface<BrokenRow> {};

// Nothing on disk is touched when any payload cannot be staged, and nothing is started.
TEST_P(BrokenPayloadTest, LeavesTheInstallFolderUntouched) {
  const BrokenRow& row = GetParam();
  ASSERT_TRUE(WriteFileBytes(release_ + L"\\app.exe", ReadFileBytes(TestAppPath())));
  ASSERT_TRUE(WriteFileBytes(release_ + L"\\helper.dll", SampleBytes(100000, 3)));
  ASSERT_TRUE(WriteFileBytes(release_ + L"\\data.bin", SampleBytes(5000, 4)));
  ASSERT_TRUE(Pack(R"({"version":"4","launcher":"app.exe","cleans":[],"updates":[
      {"path":"app.exe","source":"app.exe"},
      {"path":"helper.dll","source":"helper.dll"},
      {"path":"data.bin","source":"data.bin"}]})"));

  UpdateManifest manifest = ReadEmbeddedManifest(update_exe_);
  ASSERT_TRUE(manifest.valid);
  ASSERT_EQ(manifest.updates.size(), 3u);
  std::vector<testutil::TestResource> resources = row.spoil(manifest);
  resources.push_back({42, 42, ManifestJson(manifest)});
  const std::wstring broken = root_ / L"broken.exe";
  ASSERT_TRUE(testutil::StampResources(update_exe_, broken, resources));

  ASSERT_TRUE(WriteFileBytes(install_ + L"\\app.exe", "old app"));
  ASSERT_TRUE(WriteFileBytes(install_ + L"\\helper.dll", "old helper"));
  ASSERT_TRUE(::CreateDirectoryW((install_ + L"\\logs").c_str(), nullptr));
  const TreeSnapshot before = SnapshotTree(install_);

  const UpdateRun run = RunUpdate(broken);
  EXPECT_EQ(run.exit_code, 0);
  Lines expected = Header(u"4", 3);
  expected.insert(expected.end(), row.tail.begin(), row.tail.end());
  EXPECT_EQ(run.lines, expected);
  EXPECT_EQ(SnapshotTree(install_), before);
  EXPECT_FALSE(testutil::FileExists(run_ + L"\\launched.txt"));
}

testutil::TestResource Payload(const UpdateTask& task, const std::string& bytes) {
  return {static_cast<WORD>(task.rtype), static_cast<WORD>(task.rid), bytes};
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BrokenPayloadTest,
    testing::Values(
        BrokenRow{"SizeOneLarger",
                  [](UpdateManifest& m) {
                    m.updates[0].size += 1;
                    return std::vector<testutil::TestResource>{};
                  },
                  {u"Invalid update entry: app.exe"}},
        BrokenRow{"SizeOneSmaller",
                  [](UpdateManifest& m) {
                    m.updates[0].size -= 1;
                    return std::vector<testutil::TestResource>{};
                  },
                  {u"Invalid update entry: app.exe"}},
        BrokenRow{"MissingResource",
                  [](UpdateManifest& m) {
                    m.updates[0].rid = 999;
                    return std::vector<testutil::TestResource>{};
                  },
                  {u"Invalid update entry: app.exe"}},
        // Bytes the decompressor rejects, of the size the manifest gives.
        BrokenRow{"UndecodableStream",
                  [](UpdateManifest& m) {
                    return std::vector<testutil::TestResource>{Payload(
                        m.updates[0], std::string(static_cast<std::size_t>(m.updates[0].size),
                                                  '\xFF'))};
                  },
                  {u"Unable to decompress entry: app.exe"}},
        // A valid stream that expands beyond four times its size.
        BrokenRow{"TooMuchExpansion",
                  [](UpdateManifest& m) {
                    const std::string stream = OverExpandingStream(8);
                    m.updates[0].size = static_cast<std::int64_t>(stream.size());
                    return std::vector<testutil::TestResource>{Payload(m.updates[0], stream)};
                  },
                  {u"Unable to decompress entry: app.exe"}},
        // The first entry is staged, the second fails: still nothing is written.
        BrokenRow{"SecondEntryFails",
                  [](UpdateManifest& m) {
                    return std::vector<testutil::TestResource>{Payload(
                        m.updates[1], std::string(static_cast<std::size_t>(m.updates[1].size),
                                                  '\xFF'))};
                  },
                  {u"--- app.exe --- CHECK", u"Unable to decompress entry: helper.dll"}}),
    [](const testing::TestParamInfo<BrokenRow>& param) { return param.param.name; });

// Starts "boot_test_app sleep MS [FROM TO]"; sets `pid`.
UniqueProcess StartSleeper(DWORD ms, const std::wstring& copy_arguments, DWORD& pid) {
  std::wstring command =
      L"\"" + TestAppPath() + L"\" sleep " + std::to_wstring(ms) + L" " + copy_arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
    return UniqueProcess();
  }
  ::CloseHandle(process.hThread);
  pid = process.dwProcessId;
  return UniqueProcess(process.hProcess);
}

class ParentWaitUpdateTest : public UpdateTest {
 protected:
  void SetUp() override {
    UpdateTest::SetUp();
    ASSERT_TRUE(WriteFileBytes(release_ + L"\\app.dll", "new app"));
    ASSERT_TRUE(Pack(R"({"version":"5","cleans":[],"updates":[
        {"path":"app.dll","source":"app.dll"}]})"));
    ASSERT_TRUE(WriteFileBytes(install_ + L"\\app.dll", "old app"));
  }
  Lines Expected(DWORD pid) const {
    Lines expected = Header(u"5", 1);
    expected.insert(expected.end(),
                    {u"--- app.dll --- CHECK", kSeparator,
                     u"Make sure parent process " + ToU16(std::to_wstring(pid)) + u" to exit",
                     u"Ok, Let's do update now", u"Release file " + Installed(L"app.dll"),
                     u"Updated, now startup the launcher", u"Done, Bye."});
    return expected;
  }
};

TEST_F(ParentWaitUpdateTest, WritesTheFilesOnlyAfterTheParentHasExited) {
  // The parent's last act, about 3 s on, is to copy the file the update replaces: it must
  // still see the old content.
  DWORD pid = 0;
  UniqueProcess parent = StartSleeper(
      3000, L"\"" + install_ + L"\\app.dll\" \"" + root_.path() + L"\\seen-by-parent.dll\"", pid);
  ASSERT_TRUE(parent);
  const UpdateRun run = RunUpdate(update_exe_, L"-ppid=" + std::to_wstring(pid));
  EXPECT_EQ(::WaitForSingleObject(parent.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD parent_exit = 1;
  ::GetExitCodeProcess(parent.get(), &parent_exit);
  EXPECT_EQ(parent_exit, 0u) << "the parent could not copy the file";
  EXPECT_EQ(ReadFileBytes(root_ / L"seen-by-parent.dll"), "old app");
  EXPECT_EQ(ReadFileBytes(install_ + L"\\app.dll"), "new app");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.lines, Expected(pid));
}

TEST_F(ParentWaitUpdateTest, DoesNotWaitForAProcessThatDoesNotExist) {
  // Ordering only: the whole update is over while a process that sleeps 5 s still runs.
  DWORD sleeper_pid = 0;
  UniqueProcess sleeper = StartSleeper(5000, L"", sleeper_pid);
  ASSERT_TRUE(sleeper);
  constexpr DWORD kNoProcess = 4294967291u;  // not a multiple of four: never a process id
  const UpdateRun run = RunUpdate(update_exe_, L"-ppid=" + std::to_wstring(kNoProcess));
  EXPECT_EQ(::WaitForSingleObject(sleeper.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(run.lines, Expected(kNoProcess));
  EXPECT_EQ(ReadFileBytes(install_ + L"\\app.dll"), "new app");
  ::WaitForSingleObject(sleeper.get(), 30000);
}

TEST_F(UpdateTest, AMissingFolderIsACreateFailAndStopsTheRun) {
  ASSERT_TRUE(WriteFileBytes(release_ + L"\\app.exe", ReadFileBytes(TestAppPath())));
  ASSERT_TRUE(Pack(R"({"version":"6","launcher":"app.exe","cleans":[],"updates":[
      {"path":"bin\\app.exe","source":"app.exe"}]})"));
  const UpdateRun run = RunUpdate(update_exe_);
  Lines expected = Header(u"6", 1);
  expected.insert(expected.end(),
                  {u"--- bin\\app.exe --- CHECK", kSeparator, u"Ok, Let's do update now",
                   u"Release file " + Installed(L"bin\\app.exe"), u"Create fail",
                   u"Update task failed..."});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.lines, expected);
  EXPECT_TRUE(SnapshotTree(install_).empty());
}

TEST_F(UpdateTest, AFailureAtTheSecondOfThreeFilesKeepsTheFirstAndSkipsTheThird) {
  ASSERT_TRUE(WriteFileBytes(release_ + L"\\one.dll", "one, new"));
  ASSERT_TRUE(WriteFileBytes(release_ + L"\\two.dll", "two, new"));
  ASSERT_TRUE(WriteFileBytes(release_ + L"\\three.dll", "three, new"));
  ASSERT_TRUE(Pack(R"({"version":"7","cleans":[],"updates":[
      {"path":"one.dll","source":"one.dll"},
      {"path":"gone\\two.dll","source":"two.dll"},
      {"path":"three.dll","source":"three.dll"}]})"));
  ASSERT_TRUE(WriteFileBytes(install_ + L"\\one.dll", "one, old"));
  ASSERT_TRUE(WriteFileBytes(install_ + L"\\three.dll", "three, old"));

  const UpdateRun run = RunUpdate(update_exe_);
  Lines expected = Header(u"7", 3);
  expected.insert(expected.end(),
                  {u"--- one.dll --- CHECK", u"--- gone\\two.dll --- CHECK",
                   u"--- three.dll --- CHECK", kSeparator, u"Ok, Let's do update now",
                   u"Release file " + Installed(L"one.dll"),
                   u"Release file " + Installed(L"gone\\two.dll"), u"Create fail",
                   u"Update task failed..."});
  EXPECT_EQ(run.lines, expected);
  EXPECT_EQ(SnapshotTree(install_),
            (TreeSnapshot{{L"one.dll", "one, new"}, {L"three.dll", "three, old"}}));
}

TEST_F(UpdateTest, AnEmptyBaseWritesUnderTheCurrentDirectory) {
  ASSERT_TRUE(WriteFileBytes(release_ + L"\\notes.txt", "written relative"));
  ASSERT_TRUE(Pack(R"({"version":"9","cleans":[],"updates":[
      {"path":"notes.txt","source":"notes.txt"}]})"));
  const UpdateRun run = RunUpdateWith(update_exe_, L"-base=");
  EXPECT_EQ(run.lines, (Lines{u"Will update to: ", u"Check update manifest...",
                              u"Update to version 9,with 1 entries", kSeparator,
                              u"--- notes.txt --- CHECK", kSeparator, u"Ok, Let's do update now",
                              u"Release file notes.txt", u"Updated, now startup the launcher",
                              u"Done, Bye."}));
  EXPECT_EQ(ReadFileBytes(run_ + L"\\notes.txt"), "written relative");
}

// The launcher value of the manifest, what is in its place, and the last lines of the run.
struct LauncherRow {
  const char* name;
  const char* launcher_json;  // the "launcher" member, or nothing
  bool make_directory;        // a folder app.exe in the install directory
  Lines (*tail)(const std::u16string& install);
};

class LauncherUpdateTest : public UpdateTest, public testing::WithParamInterface<LauncherRow> {};

TEST_P(LauncherUpdateTest, WritesTheFilesAndThenReportsTheLauncher) {
  const LauncherRow& row = GetParam();
  ASSERT_TRUE(WriteFileBytes(release_ + L"\\data.bin", "payload"));
  ASSERT_TRUE(Pack(std::string(R"({"version":"8",)") + row.launcher_json +
                   R"("cleans":[],"updates":[{"path":"data.bin","source":"data.bin"}]})"));
  if (row.make_directory) {
    ASSERT_TRUE(::CreateDirectoryW((install_ + L"\\app.exe").c_str(), nullptr));
  }
  const UpdateRun run = RunUpdate(update_exe_);
  Lines expected = Header(u"8", 1);
  expected.insert(expected.end(),
                  {u"--- data.bin --- CHECK", kSeparator, u"Ok, Let's do update now",
                   u"Release file " + Installed(L"data.bin"), u"Updated, now startup the launcher"});
  const Lines tail = row.tail(ToU16(install_));
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.lines, expected);
  EXPECT_EQ(ReadFileBytes(install_ + L"\\data.bin"), "payload");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LauncherUpdateTest,
    testing::Values(
        LauncherRow{"Missing", R"("launcher":"app.exe",)", false,
                    [](const std::u16string& install) {
                      return Lines{u"Will launch with app.exe",
                                   install + u"\\app.exe is not a legal file",
                                   u"Launch failed..."};
                    }},
        LauncherRow{"ADirectory", R"("launcher":"app.exe",)", true,
                    [](const std::u16string& install) {
                      return Lines{u"Will launch with app.exe",
                                   install + u"\\app.exe is not a legal file",
                                   u"Launch failed..."};
                    }},
        // No launcher: nothing is started and the run ends well.
        LauncherRow{"Empty", R"("launcher":"",)", false,
                    [](const std::u16string&) { return Lines{u"Done, Bye."}; }},
        LauncherRow{"Absent", "", false,
                    [](const std::u16string&) { return Lines{u"Done, Bye."}; }}),
    [](const testing::TestParamInfo<LauncherRow>& param) { return param.param.name; });

}  // namespace
}  // namespace boot
