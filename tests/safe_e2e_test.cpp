// Safe updates under Wine: bootpack packs real update exes (safe mode is its default), the test
// runs them against prepared install folders and compares the whole install tree (names, bytes,
// attributes) with what it must be: the release after a success, exactly the old tree after
// any failure, and the release again when a run killed part way is followed by another.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bootstrapper/common/unique_handle.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/safe/journal_record.h"
#include "tests/support/artifacts.h"
#include "tests/support/scratch_dir.h"

namespace boot {
namespace {

using testutil::ReadFileBytes;
using testutil::WriteFileBytes;
using Lines = std::vector<std::u16string>;

// Every file and folder under a folder: relative path -> attributes that matter and content.
struct Entry {
  DWORD attributes = 0;
  std::string content;  // "<dir>" for a folder
  bool operator==(const Entry&) const = default;
};
using Tree = std::map<std::wstring, Entry>;

constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;

Tree SnapshotTree(const std::wstring& dir) {
  Tree tree;
  testutil::WalkTree(dir, [&](const std::wstring& relative, DWORD attributes) {
    attributes &= kKeptAttributes;
    tree[relative] = {attributes, (attributes & FILE_ATTRIBUTE_DIRECTORY)
                                      ? std::string("<dir>")
                                      : ReadFileBytes(dir + L"\\" + relative)};
  });
  return tree;
}

std::string Describe(const Tree& tree) {
  std::string text;
  for (const auto& [path, entry] : tree) {
    text += testutil::Narrow(path) + " (" + std::to_string(entry.attributes) + ", " +
            std::to_string(entry.content.size()) + " bytes)\n";
  }
  return text;
}

// Bytes that do not compress: the packer stores them as they are, so a flipped byte in the
// payload is a flipped byte in the file.
std::string NoiseBytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  unsigned state = seed;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 23);
  }
  return bytes;
}

bool Contains(const Lines& lines, const std::u16string& line) {
  for (const std::u16string& l : lines) {
    if (l == line) return true;
  }
  return false;
}

std::string Narrow(const Lines& lines) {
  std::string text;
  for (const std::u16string& l : lines) {
    text += testutil::Narrow(std::wstring(AsWide(l))) + "\n";
  }
  return text;
}

UniqueFile HoldWithoutSharing(const std::wstring& path) {
  return UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The bytes of resource (type, name) of the image at `exe`; empty when it has none.
std::string ResourceBytes(const std::wstring& exe, WORD type, WORD name) {
  HMODULE image = ::LoadLibraryExW(exe.c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (image == nullptr) return {};
  std::string bytes;
  if (HRSRC info = ::FindResourceW(image, MAKEINTRESOURCEW(name), MAKEINTRESOURCEW(type))) {
    bytes.assign(static_cast<const char*>(::LockResource(::LoadResource(image, info))),
                 ::SizeofResource(image, info));
  }
  ::FreeLibrary(image);
  return bytes;
}

// Creates the folders of relative path `name` under `dir`.
void MakeFolders(const std::wstring& dir, const std::wstring& name) {
  for (std::size_t slash = name.find(L'\\'); slash != std::wstring::npos;
       slash = name.find(L'\\', slash + 1)) {
    ::CreateDirectoryW((dir + L"\\" + name.substr(0, slash)).c_str(), nullptr);
  }
}

// Starts `command` in `directory` without waiting for it.
UniqueProcess Start(const std::wstring& command, const std::wstring& directory, DWORD* pid = nullptr) {
  return UniqueProcess(testutil::StartProcess(command, directory, pid));
}

struct RunResult {
  long exit_code = -1;
  Lines lines;
};

// release\ (what bootpack packs), install\ (the installed application, the test application as
// its launcher app.exe) and a run folder per run (the update's current directory: its log and
// the launcher's marker).
class SafeUpdateTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(::CreateDirectoryW(release_.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(install_.c_str(), nullptr));
  }

  // Writes the files of a release and its package.json, and packs it into `exe`.
  bool Pack(const std::map<std::wstring, std::string>& files, const std::string& description,
            const std::wstring& exe, const std::wstring& flags = L"") {
    const std::wstring dir = root_ / (L"release-" + std::to_wstring(++packs_));
    ::CreateDirectoryW(dir.c_str(), nullptr);
    for (const auto& [name, bytes] : files) {
      MakeFolders(dir, name);
      if (!WriteFileBytes(dir + L"\\" + name, bytes)) return false;
    }
    if (!WriteFileBytes(dir + L"\\package.json", description)) return false;
    const std::wstring command = L"\"" + testutil::BootpackPath() + L"\" pack " + flags + L" --stub \"" +
                                 testutil::StubPath() + L"\" --package \"" + dir +
                                 L"\\package.json\" -o \"" + exe + L"\"";
    return testutil::RunProcess(command, root_.path()) == 0;
  }

  // Writes `files` into the install folder (sub folders made as needed).
  void Install(const std::map<std::wstring, std::string>& files) {
    for (const auto& [name, bytes] : files) {
      MakeFolders(install_, name);
      ASSERT_TRUE(WriteFileBytes(install_ + L"\\" + name, bytes));
    }
  }

  std::wstring NewRunDir() {
    const std::wstring dir = root_ / (L"run-" + std::to_wstring(++runs_));
    ::CreateDirectoryW(dir.c_str(), nullptr);
    last_run_ = dir;
    return dir;
  }

  std::wstring Command(const std::wstring& exe, const std::wstring& options = L"") const {
    return L"\"" + exe + L"\" -update \"-base=" + install_ + L"\" " + options;
  }

  RunResult RunToEnd(const std::wstring& exe, const std::wstring& options = L"") {
    return RunCommand(Command(exe, options));
  }
  RunResult RunCommand(const std::wstring& command) {
    const std::wstring dir = NewRunDir();
    RunResult run;
    run.exit_code = testutil::RunProcess(command, dir, 120000);
    run.lines = testutil::ReadLogLines(testutil::FindOnlyLog(dir));
    return run;
  }

  // Starts `exe` and kills it `delay_ms` after its log shows a line that begins with `prefix`
  // and ends with `suffix` (should it have ended by then, so be it). False when the run ended
  // without that line.
  bool KillWhenLogged(const std::wstring& exe, const std::u16string& prefix,
                      const std::u16string& suffix, DWORD delay_ms,
                      const std::wstring& options = L"") {
    const std::wstring dir = NewRunDir();
    UniqueProcess process = Start(Command(exe, options), dir);
    if (!process) return false;
    for (int i = 0; i < 6000; ++i) {
      for (const std::u16string& line :
           testutil::ReadLogLines(testutil::FindOnlyLog(dir))) {
        if (line.size() >= prefix.size() + suffix.size() &&
            line.compare(0, prefix.size(), prefix) == 0 &&
            line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0) {
          ::Sleep(delay_ms);
          ::TerminateProcess(process.get(), 9);
          ::WaitForSingleObject(process.get(), 30000);
          return true;
        }
      }
      if (::WaitForSingleObject(process.get(), 10) == WAIT_OBJECT_0) return false;
    }
    ::TerminateProcess(process.get(), 9);
    return false;
  }

  // The launcher's marker in the last run's folder, waited for up to 30 s; empty when the
  // launcher was not started.
  bool LauncherStarted(DWORD wait_ms = 30000) const {
    const std::wstring marker = last_run_ + L"\\launched.txt";
    for (DWORD waited = 0; waited <= wait_ms; waited += 100) {
      if (ReadFileBytes(marker).find("exe=") != std::string::npos) return true;
      ::Sleep(100);
    }
    return false;
  }

  testutil::ScratchDir root_;
  const std::wstring release_ = root_ / L"release";
  std::wstring install_ = root_ / L"install";
  const std::wstring update_exe_ = root_ / L"update.exe";
  std::wstring last_run_;
  int packs_ = 0;
  int runs_ = 0;
};

const std::string kApp = ReadFileBytes(testutil::TestAppPath());
// The new version of the launcher: the same program with a version note after its image.
const std::string kNewApp = kApp + "version 2";

// A release that adds nested folders and an empty file, replaces the launcher and a library,
// and cleans a file, a folder that holds one of its new files, and a registry key.
const std::map<std::wstring, std::string> kRelease = {
    {L"app.exe", kNewApp},
    {L"lib.dll", "library, version 2"},
    {L"empty.txt", ""},
    {L"data\\assets.pak", std::string(70000, 'a')},
    {L"plugins\\codecs\\x.dll", "codec, version 2"},
};
const char kReleasePackage[] = R"({"version":"2.0","launcher":"app.exe",
  "cleans":[{"path":"plugins","fail_ok":false,"type":"dir"},
            {"path":"old.dll","fail_ok":false,"type":"file"},
            {"path":"HKEY_CURRENT_USER\\Software\\BootSafeTest\\Cache","fail_ok":true,"type":"registry"}],
  "updates":[{"path":"app.exe","source":"app.exe"},{"path":"lib.dll","source":"lib.dll"},
             {"path":"empty.txt","source":"empty.txt"},
             {"path":"data\\assets.pak","source":"data\\assets.pak"},
             {"path":"plugins\\codecs\\x.dll","source":"plugins\\codecs\\x.dll"}]})";
const std::map<std::wstring, std::string> kOldInstall = {
    {L"app.exe", kApp},
    {L"lib.dll", "library, version 1"},
    {L"old.dll", "no longer shipped"},
    {L"settings.ini", "kept by every update"},
    {L"plugins\\old.dll", "an old plugin"},
};

// The install tree the release must leave behind.
Tree ReleasedTree() {
  return {{L"app.exe", {0, kNewApp}},
          {L"lib.dll", {0, "library, version 2"}},
          {L"empty.txt", {0, ""}},
          {L"data", {FILE_ATTRIBUTE_DIRECTORY, "<dir>"}},
          {L"data\\assets.pak", {0, std::string(70000, 'a')}},
          {L"plugins", {FILE_ATTRIBUTE_DIRECTORY, "<dir>"}},
          {L"plugins\\codecs", {FILE_ATTRIBUTE_DIRECTORY, "<dir>"}},
          {L"plugins\\codecs\\x.dll", {0, "codec, version 2"}},
          {L"settings.ini", {0, "kept by every update"}}};
}

class SafeReleaseTest : public SafeUpdateTest {
 protected:
  void SetUp() override {
    SafeUpdateTest::SetUp();
    ASSERT_TRUE(Pack(kRelease, kReleasePackage, update_exe_));
    Install(kOldInstall);
    // A hidden, read-only file that no update touches keeps both attributes.
    ASSERT_TRUE(WriteFileBytes(install_ + L"\\notes.txt", "notes"));
    ASSERT_TRUE(::SetFileAttributesW((install_ + L"\\notes.txt").c_str(),
                                     FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    before_ = SnapshotTree(install_);
  }
  void TearDown() override {
    ::SetFileAttributesW((install_ + L"\\notes.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  Tree Released() const {
    Tree tree = ReleasedTree();
    tree[L"notes.txt"] = before_.at(L"notes.txt");
    return tree;
  }

  Tree before_;
};

TEST_F(SafeReleaseTest, CreatesNewFoldersDeliversEmptyFilesAndLeavesNothingOfItself) {
  const RunResult run = RunToEnd(update_exe_);
  EXPECT_EQ(run.exit_code, 0) << Narrow(run.lines);
  EXPECT_EQ(SnapshotTree(install_), Released()) << Describe(SnapshotTree(install_));
  ASSERT_GE(run.lines.size(), 5u);
  EXPECT_EQ(run.lines[2], u"Update to version 2.0,with 5 entries");
  EXPECT_TRUE(Contains(run.lines, u"--- empty.txt --- CHECK"));
  EXPECT_EQ(run.lines.back(), u"Done, Bye.") << Narrow(run.lines);
  EXPECT_TRUE(LauncherStarted());
}

// A fault, set up before the run (and undone after it), and the failure line the run must log.
struct FaultRow {
  const char* name;
  void (*prepare)(const std::wstring& install);  // changes the installation, or null
  const wchar_t* held;  // a file held open without sharing during the whole run, or null
  std::u16string failure_line_prefix;
};

class SafeFaultTest : public SafeReleaseTest, public testing::WithParamInterface<FaultRow> {};

// Every fault leaves the install tree exactly as it was and starts the old launcher.
TEST_P(SafeFaultTest, LeavesTheInstallationAsItWasAndStartsTheOldLauncher) {
  const FaultRow& row = GetParam();
  if (row.prepare != nullptr) row.prepare(install_);
  const Tree arranged = SnapshotTree(install_);
  UniqueFile held;
  if (row.held != nullptr) {
    held = HoldWithoutSharing(install_ + L"\\" + row.held);
    ASSERT_TRUE(held);
  }
  const RunResult run = RunToEnd(update_exe_);
  held.reset();
  EXPECT_EQ(run.exit_code, 1) << Narrow(run.lines);
  EXPECT_EQ(SnapshotTree(install_), arranged) << Describe(SnapshotTree(install_));
  bool found = false;
  for (std::size_t i = 0; i + 1 < run.lines.size(); ++i) {
    if (run.lines[i].compare(0, row.failure_line_prefix.size(), row.failure_line_prefix) == 0) {
      found = true;
      EXPECT_EQ(run.lines[i + 1].compare(0, 6, u"Error "), 0) << Narrow(run.lines);
    }
  }
  EXPECT_TRUE(found) << Narrow(run.lines);
  EXPECT_TRUE(Contains(run.lines, u"Rolled back, the installation is as it was")) << Narrow(run.lines);
  EXPECT_TRUE(LauncherStarted());
  ::SetFileAttributesW((install_ + L"\\lib.dll").c_str(), FILE_ATTRIBUTE_NORMAL);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SafeFaultTest,
    testing::Values(
        // Held for the whole run: longer than the retry time.
        FaultRow{"TargetHeldOpen", nullptr, L"lib.dll", u"Cannot move "},
        FaultRow{"CleanTargetHeldOpen", nullptr, L"old.dll", u"Cannot move "},
        FaultRow{"ReadOnlyTarget",
                 [](const std::wstring& install) {
                   ::SetFileAttributesW((install + L"\\lib.dll").c_str(), FILE_ATTRIBUTE_READONLY);
                 },
                 nullptr, u"Cannot replace read-only file "},
        // A folder the release needs is a file in the installation.
        FaultRow{"FileWhereAFolderGoes",
                 [](const std::wstring& install) {
                   WriteFileBytes(install + L"\\data", "a file named data");
                 },
                 nullptr, u"Cannot create folder "}),
    [](const testing::TestParamInfo<FaultRow>& param) { return param.param.name; });

TEST_F(SafeReleaseTest, AFileReleasedWithinTheRetryTimeIsReplaced) {
  UniqueFile held = HoldWithoutSharing(install_ + L"\\lib.dll");
  ASSERT_TRUE(held);
  std::thread release([&] {
    ::Sleep(2500);
    held.reset();
  });
  const RunResult run = RunToEnd(update_exe_);
  release.join();
  EXPECT_EQ(run.exit_code, 0) << Narrow(run.lines);
  EXPECT_EQ(SnapshotTree(install_), Released()) << Describe(SnapshotTree(install_));
}

// A flipped bit in a payload is caught before anything is touched, in both modes.
TEST_F(SafeUpdateTest, AFlippedBitInAPayloadStopsTheRunAtStaging) {
  const std::string noise = NoiseBytes(10000, 7);
  for (const bool compat : {false, true}) {
    const std::wstring exe = root_ / (compat ? L"compat.exe" : L"safe.exe");
    std::map<std::wstring, std::string> files = {{L"app.exe", kApp}, {L"data.bin", noise}};
    const std::string package = R"({"version":"3","launcher":"app.exe","cleans":[],"updates":[
        {"path":"app.exe","source":"app.exe"},{"path":"data.bin","source":"data.bin"}]})";
    ASSERT_TRUE(Pack(files, package, exe, compat ? L"--compat" : L""));
    // The second payload's bytes, one bit flipped inside its first (stored) chunk.
    std::string stream = ResourceBytes(exe, 256, 2);
    ASSERT_GT(stream.size(), 100u);
    stream[100] ^= 0x10;
    const std::wstring broken = root_ / L"broken.exe";
    ASSERT_TRUE(testutil::StampResources(exe, broken, {{256, 2, stream}}));

    ASSERT_TRUE(WriteFileBytes(install_ + L"\\app.exe", kApp));
    const Tree before = SnapshotTree(install_);
    const RunResult run = RunToEnd(broken);
    EXPECT_EQ(run.exit_code, compat ? 0 : 1) << Narrow(run.lines);
    EXPECT_EQ(SnapshotTree(install_), before);
    EXPECT_TRUE(Contains(run.lines, u"Checksum failed for entry: data.bin")) << Narrow(run.lines);
    if (compat) {
      EXPECT_EQ(run.lines.back(), u"Checksum failed for entry: data.bin");
    } else {
      EXPECT_TRUE(LauncherStarted());
    }
  }
}

// Payloads of several MiB, read through views of the exe that move along it: a stream larger
// than a view, streams that straddle where one view ends, and small ones in between, in both
// modes.
TEST_F(SafeUpdateTest, PayloadsLargerThanAViewOfTheExeArriveWhole) {
  std::string text;
  while (text.size() < (std::size_t{2} << 20)) text += "line " + std::to_string(text.size() % 9973) + "\n";
  const std::map<std::wstring, std::string> files = {
      {L"a.bin", NoiseBytes((std::size_t{3} << 20) + 12345, 1)},
      {L"b.txt", text},
      {L"c.dll", "small"},
      {L"d.bin", NoiseBytes((std::size_t{3} << 19) + 777, 2)},
      {L"e.bin", NoiseBytes((std::size_t{5} << 20) + 1, 3)}};
  const std::string package = R"({"version":"5","cleans":[],"updates":[
      {"path":"a.bin","source":"a.bin"},{"path":"b.txt","source":"b.txt"},
      {"path":"c.dll","source":"c.dll"},{"path":"d.bin","source":"d.bin"},
      {"path":"e.bin","source":"e.bin"}]})";
  for (const bool compat : {false, true}) {
    const std::wstring exe = root_ / (compat ? L"compat.exe" : L"safe.exe");
    ASSERT_TRUE(Pack(files, package, exe, compat ? L"--compat" : L""));
    const RunResult run = RunToEnd(exe);
    EXPECT_EQ(run.exit_code, 0) << Narrow(run.lines);
    for (const auto& [name, bytes] : files) {
      EXPECT_TRUE(ReadFileBytes(install_ + L"\\" + name) == bytes) << testutil::Narrow(name);
      ::DeleteFileW((install_ + L"\\" + name).c_str());
    }
  }
}

// The update is in place even when the launcher cannot start: exit 0, and the reason logged.
TEST_F(SafeUpdateTest, ALauncherThatCannotStartIsLoggedWithItsError) {
  ASSERT_TRUE(Pack({{L"lib.dll", "library"}}, R"({"version":"4","launcher":"missing.exe",
      "cleans":[],"updates":[{"path":"lib.dll","source":"lib.dll"}]})", update_exe_));
  const RunResult run = RunToEnd(update_exe_);
  EXPECT_EQ(run.exit_code, 0) << Narrow(run.lines);
  ASSERT_GE(run.lines.size(), 3u);
  EXPECT_EQ(run.lines[run.lines.size() - 3], ToU16(install_) + u"\\missing.exe is not a legal file");
  EXPECT_EQ(run.lines[run.lines.size() - 2], u"Launch failed...");
  EXPECT_EQ(run.lines.back().compare(0, 8, u"Error 2:"), 0) << Narrow(run.lines);
  EXPECT_EQ(ReadFileBytes(install_ + L"\\lib.dll"), "library");
}

// A registry clean that fails without fail_ok comes after every file is in place, and still
// takes them all back.
TEST_F(SafeReleaseTest, AFailingRegistryCleanRollsTheFilesBack) {
  // A key path longer than the stub handles; packed as a placeholder, then put in the manifest.
  const std::string fail_ok_key = R"(BootSafeTest\\Cache","fail_ok":true)";
  std::string package = kReleasePackage;
  package.replace(package.find(fail_ok_key), fail_ok_key.size(),
                  R"(BootSafePlaceholder","fail_ok":false)");
  const std::wstring exe = root_ / L"registry.exe";
  ASSERT_TRUE(Pack(kRelease, package, exe));
  std::string manifest = ResourceBytes(exe, 42, 42);
  const std::size_t at = manifest.find("BootSafePlaceholder");
  ASSERT_NE(at, std::string::npos) << manifest;
  manifest.replace(at, 19, std::string(600, 'k'));
  const std::wstring broken = root_ / L"broken.exe";
  ASSERT_TRUE(testutil::StampResources(exe, broken, {{42, 42, manifest}}));

  const RunResult run = RunToEnd(broken);
  EXPECT_EQ(run.exit_code, 1) << Narrow(run.lines);
  EXPECT_EQ(SnapshotTree(install_), before_) << Describe(SnapshotTree(install_));
  EXPECT_TRUE(Contains(run.lines, u"Rolled back, the installation is as it was")) << Narrow(run.lines);
  EXPECT_TRUE(LauncherStarted());
}

TEST_F(SafeReleaseTest, AMissingOrRelativeBaseTouchesNothing) {
  for (const std::wstring& base : {root_ / L"no-such-dir", std::wstring(L"install")}) {
    const RunResult run = RunCommand(L"\"" + update_exe_ + L"\" -update \"-base=" + base + L"\"");
    EXPECT_EQ(run.exit_code, 1) << Narrow(run.lines);
    ASSERT_EQ(run.lines.size(), 6u) << Narrow(run.lines);
    EXPECT_EQ(run.lines[4], u"Install directory is not an existing absolute path: " + ToU16(base));
    EXPECT_EQ(run.lines[5].compare(0, 6, u"Error "), 0);
    EXPECT_EQ(SnapshotTree(install_), before_);
  }
}

// A journal is acted on only where it speaks of its own installation: one that would move a
// file out of it (planted, or copied from elsewhere) stops the run before anything is touched.
TEST_F(SafeReleaseTest, AJournalNamingPlacesOutsideTheInstallationIsNotActedOn) {
  const std::wstring outside = root_ / L"outside.dll";
  std::string journal(JournalHeader());
  journal += EncodeJournalRecord({JournalOp::Move, ToU16(outside), ToU16(install_ + L"\\lib.dll")});
  ASSERT_TRUE(WriteFileBytes(install_ + L"\\bootstrapper.journal", journal));
  const Tree planted = SnapshotTree(install_);
  const RunResult run = RunToEnd(update_exe_);
  EXPECT_EQ(run.exit_code, 2) << Narrow(run.lines);
  EXPECT_EQ(SnapshotTree(install_), planted);
  EXPECT_FALSE(testutil::FileExists(outside));
  EXPECT_TRUE(Contains(run.lines, u"Unreadable update journal " + ToU16(install_) +
                                      u"\\bootstrapper.journal"))
      << Narrow(run.lines);
}

// The state a kill leaves after the last swap: the new files in place, the old ones in the
// backup, the journal saying so. The next run finishes that update (it does not undo it).
TEST_F(SafeReleaseTest, AnUnfinishedUpdateWithEveryFileInPlaceIsFinished) {
  const std::wstring backup = install_ + L"\\AbCdEfGhIjKl.update-backup";
  ASSERT_TRUE(::CreateDirectoryW(backup.c_str(), nullptr));
  ASSERT_TRUE(::MoveFileW((install_ + L"\\lib.dll").c_str(), (backup + L"\\1").c_str()));
  ASSERT_TRUE(WriteFileBytes(install_ + L"\\lib.dll", "library, version 2"));
  const std::u16string lib = ToU16(install_ + L"\\lib.dll");
  std::string journal(JournalHeader());
  for (const JournalRecord& r : std::vector<JournalRecord>{
           {JournalOp::Backup, ToU16(backup), {}},
           {JournalOp::Move, lib, ToU16(backup + L"\\1")},
           {JournalOp::Swap, ToU16(install_ + L"\\x.update-new"), lib},
           {JournalOp::FilesInPlace, {}, {}}}) {
    journal += EncodeJournalRecord(r);
  }
  ASSERT_TRUE(WriteFileBytes(install_ + L"\\bootstrapper.journal", journal));
  const RunResult run = RunToEnd(update_exe_);
  EXPECT_EQ(run.exit_code, 0) << Narrow(run.lines);
  EXPECT_TRUE(Contains(run.lines, u"Unfinished update finished")) << Narrow(run.lines);
  EXPECT_EQ(SnapshotTree(install_), Released()) << Describe(SnapshotTree(install_));
}

// Two updates at once: the second finds the first's journal held open and leaves everything,
// the launcher included, to it.
TEST_F(SafeReleaseTest, AnUpdateRunningAlreadyIsLeftAlone) {
  const std::wstring journal = install_ + L"\\bootstrapper.journal";
  UniqueFile running(::CreateFileW(journal.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(running);
  const Tree with_journal = SnapshotTree(install_);
  const RunResult run = RunToEnd(update_exe_);
  EXPECT_EQ(run.exit_code, 1) << Narrow(run.lines);
  EXPECT_EQ(SnapshotTree(install_), with_journal);
  ASSERT_GE(run.lines.size(), 2u);
  EXPECT_EQ(run.lines[run.lines.size() - 2], u"Another update is running in " + ToU16(install_));
  EXPECT_FALSE(LauncherStarted(2000));
}

// Killed at a point (when the log shows a line), then run again: the second run undoes the
// first and applies the release, leaving no temporary file, backup or journal.
struct KillRow {
  const char* name;
  const wchar_t* held;  // a file of the install held open so that the run waits there, or null
  std::u16string prefix, suffix;  // the kill comes once the log shows a line like this
  DWORD delay_ms;
  bool unfinished;  // the kill surely left an unfinished run behind
};

class SafeKillTest : public SafeReleaseTest, public testing::WithParamInterface<KillRow> {};

TEST_P(SafeKillTest, TheNextRunUndoesTheKilledOneAndAppliesTheRelease) {
  const KillRow& row = GetParam();
  // The caller, still running: the update waits for it after staging.
  DWORD parent = 0;
  const bool wait_for_parent = row.prefix == u"Make sure parent process ";
  UniqueProcess sleeper;
  std::wstring options;
  if (wait_for_parent) {
    sleeper = Start(L"\"" + testutil::TestAppPath() + L"\" sleep 60000", L"", &parent);
    ASSERT_TRUE(sleeper);
    options = L"-ppid=" + std::to_wstring(parent);
  }
  {
    UniqueFile held;
    if (row.held != nullptr) {
      held = HoldWithoutSharing(install_ + L"\\" + row.held);
      ASSERT_TRUE(held);
    }
    ASSERT_TRUE(KillWhenLogged(update_exe_, row.prefix, row.suffix, row.delay_ms, options));
  }
  if (sleeper) ::TerminateProcess(sleeper.get(), 0);
  if (row.unfinished) {
    EXPECT_TRUE(testutil::FileExists(install_ + L"\\bootstrapper.journal"));
    EXPECT_NE(SnapshotTree(install_), before_);
  }

  const Lines killed = testutil::ReadLogLines(testutil::FindOnlyLog(last_run_));
  const RunResult run = RunToEnd(update_exe_);
  if (row.unfinished) {
    EXPECT_TRUE(Contains(run.lines, u"Unfinished update rolled back")) << Narrow(run.lines);
  }
  EXPECT_EQ(run.exit_code, 0) << Narrow(run.lines);
  // A kill that lands while the run starts the launcher can leave, under Wine, the new process
  // stuck before it runs, holding app.exe. The next run then moves that app.exe into its backup
  // and cannot delete it: the backup goes at restart, as it must while the application runs.
  Tree after = SnapshotTree(install_);
  const bool held = Contains(killed, u"Will launch with app.exe") &&
                    std::any_of(run.lines.begin(), run.lines.end(), [](const std::u16string& line) {
                      return line.rfind(u"Cannot remove backup folder ", 0) == 0;
                    });
  if (held) {
    std::erase_if(after, [](const auto& entry) {
      return entry.first.find(L".update-backup") != std::wstring::npos;
    });
  }
  EXPECT_EQ(after, Released()) << Describe(after) << Narrow(run.lines);
  EXPECT_EQ(run.lines.back(), u"Done, Bye.") << Narrow(run.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SafeKillTest,
    testing::Values(KillRow{"AfterStaging", nullptr, u"Make sure parent process ", u"", 200, true},
                    // old.dll is held: the run waits after the plugins folder went to the backup.
                    KillRow{"InTheCleans", L"old.dll", u"Back up file ", u"old.dll", 500, true},
                    // lib.dll is held: the run waits after app.exe was swapped in.
                    KillRow{"BetweenTwoSwaps", L"lib.dll", u"Release file ", u"lib.dll", 500, true},
                    // Wherever the kill lands after the last swap: registry clean, backup
                    // removal, journal removal, or already done.
                    KillRow{"DuringCommit", nullptr, u"Release file ", u"x.dll", 0, false}),
    [](const testing::TestParamInfo<KillRow>& param) { return param.param.name; });

// The new app.exe is held open while the run rolls back (after lib.dll could not be replaced):
// the rollback cannot take it back, so the journal stays and the next run finishes the undo.
TEST_F(SafeReleaseTest, ARollbackThatFailsKeepsTheJournalForTheNextRun) {
  UniqueFile held_lib = HoldWithoutSharing(install_ + L"\\lib.dll");
  ASSERT_TRUE(held_lib);
  const std::wstring dir = NewRunDir();
  UniqueProcess update = Start(Command(update_exe_), dir);
  ASSERT_TRUE(update);
  const std::u16string lib_line = u"Release file " + ToU16(install_) + u"\\lib.dll";
  bool swapping_lib = false;
  for (int i = 0; i < 3000 && !swapping_lib; ++i) {
    swapping_lib = Contains(testutil::ReadLogLines(testutil::FindOnlyLog(dir)), lib_line);
    ::Sleep(10);
  }
  ASSERT_TRUE(swapping_lib);
  UniqueFile held_app = HoldWithoutSharing(install_ + L"\\app.exe");  // the new one
  ASSERT_TRUE(held_app);
  ASSERT_EQ(::WaitForSingleObject(update.get(), 90000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 0;
  ::GetExitCodeProcess(update.get(), &code);
  const Lines lines = testutil::ReadLogLines(testutil::FindOnlyLog(dir));
  EXPECT_EQ(code, 2u) << Narrow(lines);
  EXPECT_EQ(lines.back(), u"Rollback failed, the journal is kept for the next run: " +
                              ToU16(install_) + u"\\bootstrapper.journal")
      << Narrow(lines);
  held_app.reset();
  held_lib.reset();

  const RunResult run = RunToEnd(update_exe_);
  EXPECT_EQ(run.exit_code, 0) << Narrow(run.lines);
  EXPECT_TRUE(Contains(run.lines, u"Unfinished update rolled back")) << Narrow(run.lines);
  EXPECT_EQ(SnapshotTree(install_), Released()) << Describe(SnapshotTree(install_));
}

TEST_F(SafeReleaseTest, AnOlderUpdateAfterAKillFirstRollsBackThenAppliesItself) {
  const std::wstring older = root_ / L"older.exe";
  ASSERT_TRUE(Pack({{L"lib.dll", "library, version 1.5"}}, R"({"version":"1.5","launcher":"app.exe",
      "cleans":[],"updates":[{"path":"lib.dll","source":"lib.dll"}]})", older));
  {
    UniqueFile held = HoldWithoutSharing(install_ + L"\\lib.dll");
    ASSERT_TRUE(KillWhenLogged(update_exe_, u"Release file ", u"lib.dll", 500));
  }
  const RunResult run = RunToEnd(older);
  EXPECT_EQ(run.exit_code, 0) << Narrow(run.lines);
  EXPECT_TRUE(Contains(run.lines, u"Found an unfinished update, rolling it back")) << Narrow(run.lines);
  EXPECT_TRUE(Contains(run.lines, u"Unfinished update rolled back"));
  Tree expected = before_;
  expected[L"lib.dll"].content = "library, version 1.5";
  EXPECT_EQ(SnapshotTree(install_), expected) << Describe(SnapshotTree(install_));
}

// Disk full, on a real small file system (see scripts/on-small-tmpfs): BOOT_SMALL_DIR names an
// empty tmpfs of 256 KiB that becomes the install folder.
class SafeDiskFullTest : public SafeUpdateTest {
 protected:
  void SetUp() override {
    SafeUpdateTest::SetUp();
    const char* small = std::getenv("BOOT_SMALL_DIR");
    if (small == nullptr) GTEST_SKIP() << "needs BOOT_SMALL_DIR (run through scripts/on-small-tmpfs)";
    install_ = std::wstring(small, small + std::strlen(small));
    Install({{L"lib.dll", "library, version 1"}, {L"readme.txt", "read me"}});
    before_ = SnapshotTree(install_);
  }

  Tree before_;
};

TEST_F(SafeDiskFullTest, WhileStagingNothingIsTouched) {
  ASSERT_TRUE(Pack({{L"lib.dll", "library, version 2"}, {L"big.bin", NoiseBytes(400000, 3)}},
                   R"({"version":"2","cleans":[{"path":"readme.txt","fail_ok":false,"type":"file"}],
        "updates":[{"path":"lib.dll","source":"lib.dll"},{"path":"big.bin","source":"big.bin"}]})",
                   update_exe_));
  const RunResult run = RunToEnd(update_exe_);
  EXPECT_EQ(run.exit_code, 1) << Narrow(run.lines);
  EXPECT_EQ(SnapshotTree(install_), before_) << Describe(SnapshotTree(install_));
  EXPECT_TRUE(Contains(run.lines, u"Rolled back, the installation is as it was")) << Narrow(run.lines);
  testutil::RemoveTree(install_ + L"\\lib.dll");
  testutil::RemoveTree(install_ + L"\\readme.txt");
}

// Once every file is staged, the disk filling up cannot stop the update: the swap and the
// backups are renames, which take no space.
TEST_F(SafeDiskFullTest, FillingUpAfterStagingDoesNotStopTheSwap) {
  ASSERT_TRUE(Pack({{L"lib.dll", "library, version 2"}, {L"new.dll", "new library"}},
                   R"({"version":"2","cleans":[{"path":"readme.txt","fail_ok":false,"type":"file"}],
        "updates":[{"path":"lib.dll","source":"lib.dll"},{"path":"new.dll","source":"new.dll"}]})",
                   update_exe_));
  // The disk fills up while the update waits for its caller, after staging.
  DWORD parent = 0;
  UniqueProcess sleeper = Start(L"\"" + testutil::TestAppPath() + L"\" sleep 3000", L"", &parent);
  ASSERT_TRUE(sleeper);
  const std::wstring dir = NewRunDir();
  UniqueProcess update = Start(Command(update_exe_, L"-ppid=" + std::to_wstring(parent)), dir);
  ASSERT_TRUE(update);
  bool staged = false;
  for (int i = 0; i < 3000 && !staged; ++i) {
    staged = Contains(testutil::ReadLogLines(testutil::FindOnlyLog(dir)),
                      u"Make sure parent process " + ToU16(std::to_wstring(parent)) + u" to exit");
    ::Sleep(10);
  }
  ASSERT_TRUE(staged);
  {
    UniqueFile filler(::CreateFileW((install_ + L"\\filler").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(filler);
    const std::string block(4096, 'f');
    DWORD written = 0;
    while (::WriteFile(filler.get(), block.data(), 4096, &written, nullptr) && written == 4096) {
    }
  }
  ASSERT_EQ(::WaitForSingleObject(update.get(), 60000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 1;
  ::GetExitCodeProcess(update.get(), &code);
  const Lines lines = testutil::ReadLogLines(testutil::FindOnlyLog(dir));
  EXPECT_EQ(code, 0u) << Narrow(lines);
  Tree after = SnapshotTree(install_);
  after.erase(L"filler");
  EXPECT_EQ(after, (Tree{{L"lib.dll", {0, "library, version 2"}}, {L"new.dll", {0, "new library"}}}))
      << Describe(after);
  for (const wchar_t* name : {L"filler", L"lib.dll", L"new.dll"}) {
    testutil::RemoveTree(install_ + L"\\" + name);
  }
}

// A delta update, made by bootpack against the release installed in install\: the library is
// rebuilt from its installed version, the unchanged files are not carried, and the old release's
// dropped file is cleaned.
class DeltaUpdateTest : public SafeUpdateTest {
 protected:
  void SetUp() override {
    SafeUpdateTest::SetUp();
    const std::string old_lib = NoiseBytes(200000, 3);
    // A rebuild: bytes changed throughout and a block inserted.
    std::string new_lib = old_lib;
    for (std::size_t at = 500; at < new_lib.size(); at += 997) new_lib[at] ^= 0x5A;
    new_lib.insert(50000, NoiseBytes(64, 4));
    old_ = {{L"app.exe", kApp}, {L"lib.dll", old_lib}, {L"data.bin", NoiseBytes(100000, 5)},
            {L"docs\\readme.txt", "read me"}, {L"gone.txt", "dropped by the new release"}};
    new_ = {{L"app.exe", kNewApp}, {L"lib.dll", new_lib}, {L"data.bin", old_.at(L"data.bin")},
            {L"docs\\readme.txt", "read me"}, {L"new.txt", "new in version 2"}};
    const std::wstring old_dir = root_ / L"old", new_dir = root_ / L"new";
    for (const auto& [dir, files] : {std::pair{old_dir, &old_}, std::pair{new_dir, &new_}}) {
      ::CreateDirectoryW(dir.c_str(), nullptr);
      for (const auto& [name, bytes] : *files) {
        MakeFolders(dir, name);
        ASSERT_TRUE(WriteFileBytes(dir + L"\\" + name, bytes));
      }
    }
    ASSERT_TRUE(WriteFileBytes(root_ / L"package.json", R"({"version":"2.0","launcher":"app.exe","updates":[]})"));
    const std::wstring command = L"\"" + testutil::BootpackPath() + L"\" pack --stub \"" +
                                 testutil::StubPath() + L"\" --package \"" + (root_ / L"package.json") +
                                 L"\" --from \"" + new_dir + L"\" --previous \"" + old_dir +
                                 L"\" -o \"" + update_exe_ + L"\"";
    ASSERT_EQ(testutil::RunProcess(command, root_.path()), 0);
    Install(old_);
  }

  Tree Expected(const std::map<std::wstring, std::string>& files) const {
    Tree tree;
    for (const auto& [name, bytes] : files) {
      tree[name] = {0, bytes};
      for (std::size_t slash = name.find(L'\\'); slash != std::wstring::npos; slash = name.find(L'\\', slash + 1)) {
        tree[name.substr(0, slash)] = {FILE_ATTRIBUTE_DIRECTORY, "<dir>"};
      }
    }
    return tree;
  }

  std::map<std::wstring, std::string> old_, new_;
};

TEST_F(DeltaUpdateTest, RebuildsChangedFilesFromTheInstalledRelease) {
  const std::string manifest = ResourceBytes(update_exe_, 42, 42);
  EXPECT_NE(manifest.find(R"("path":"lib.dll","size")"), std::string::npos) << manifest;
  EXPECT_NE(manifest.find(R"("unchanged":[)"), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("from_sha256"), std::string::npos) << manifest;
  EXPECT_EQ(manifest.find(R"("path":"data.bin","size")"), std::string::npos) << manifest;

  const RunResult run = RunToEnd(update_exe_);
  EXPECT_EQ(run.exit_code, 0) << Narrow(run.lines);
  EXPECT_EQ(SnapshotTree(install_), Expected(new_)) << Describe(SnapshotTree(install_));
  EXPECT_TRUE(Contains(run.lines, u"--- lib.dll --- CHECK")) << Narrow(run.lines);
  EXPECT_EQ(run.lines.back(), u"Done, Bye.") << Narrow(run.lines);
  EXPECT_TRUE(LauncherStarted());

  // The same update once more (its first run killed after it finished, say): the patched files
  // already hold their new versions, and the run ends as any repeated update does.
  const RunResult again = RunToEnd(update_exe_);
  EXPECT_EQ(again.exit_code, 0) << Narrow(again.lines);
  EXPECT_EQ(again.lines.back(), u"Done, Bye.") << Narrow(again.lines);
  EXPECT_EQ(SnapshotTree(install_), Expected(new_)) << Describe(SnapshotTree(install_));
}

// Any installed file the update was made against that is not exactly as expected (changed,
// missing, or the old version of a patched one) stops the run before anything is touched, with
// one line naming it; the application starts as it was.
TEST_F(DeltaUpdateTest, AnInstallationOfAnotherReleaseIsLeftUntouched) {
  const struct {
    const wchar_t* file;
    const char* content;  // null: removed
  } rows[] = {
      {L"data.bin", "edited by the user"},
      {L"docs\\readme.txt", nullptr},
      {L"lib.dll", "another build of the library"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testutil::Narrow(row.file));
    const std::wstring path = install_ + L"\\" + row.file;
    if (row.content != nullptr) {
      ASSERT_TRUE(WriteFileBytes(path, row.content));
    } else {
      ASSERT_TRUE(::DeleteFileW(path.c_str()));
    }
    const Tree arranged = SnapshotTree(install_);
    const RunResult run = RunToEnd(update_exe_);
    EXPECT_EQ(run.exit_code, 1) << Narrow(run.lines);
    EXPECT_EQ(SnapshotTree(install_), arranged) << Describe(SnapshotTree(install_));
    ASSERT_GE(run.lines.size(), 2u);
    EXPECT_EQ(run.lines[run.lines.size() - 2],
              u"Installed file differs from what this update expects: " + ToU16(path))
        << Narrow(run.lines);
    EXPECT_EQ(run.lines.back(), u"Will launch with app.exe");
    EXPECT_TRUE(LauncherStarted());
    Install({{row.file, old_.at(row.file)}});
  }
}

// A file the update was made against that another program holds says nothing about which
// release is installed: the run stops with the reason, touching nothing.
TEST_F(DeltaUpdateTest, AFileThatCannotBeReadStopsTheRunWithItsError) {
  const std::wstring path = install_ + L"\\data.bin";
  const Tree before = SnapshotTree(install_);
  UniqueFile held = HoldWithoutSharing(path);
  ASSERT_TRUE(held);
  const RunResult run = RunToEnd(update_exe_);
  held.reset();
  EXPECT_EQ(run.exit_code, 1) << Narrow(run.lines);
  EXPECT_EQ(SnapshotTree(install_), before);
  ASSERT_GE(run.lines.size(), 3u);
  EXPECT_EQ(run.lines[run.lines.size() - 3], u"Cannot read installed file " + ToU16(path)) << Narrow(run.lines);
  EXPECT_EQ(run.lines[run.lines.size() - 2].compare(0, 9, u"Error 32:"), 0) << Narrow(run.lines);
}

// A damaged patch is found while staging: the run rolls back like any failed update.
TEST_F(DeltaUpdateTest, ADamagedPatchRollsTheUpdateBack) {
  std::string patch = ResourceBytes(update_exe_, 256, 2);
  ASSERT_GT(patch.size(), 200u);
  ASSERT_EQ(patch.compare(0, 4, std::string("\0\0P1", 4)), 0);
  patch[patch.size() / 2] ^= 0x20;
  const std::wstring broken = root_ / L"broken.exe";
  ASSERT_TRUE(testutil::StampResources(update_exe_, broken, {{256, 2, patch}}));
  const Tree before = SnapshotTree(install_);
  const RunResult run = RunToEnd(broken);
  EXPECT_EQ(run.exit_code, 1) << Narrow(run.lines);
  EXPECT_EQ(SnapshotTree(install_), before) << Describe(SnapshotTree(install_));
  EXPECT_TRUE(Contains(run.lines, u"Unable to decompress entry: lib.dll") ||
              Contains(run.lines, u"Checksum failed for entry: lib.dll"))
      << Narrow(run.lines);
  EXPECT_TRUE(Contains(run.lines, u"Rolled back, the installation is as it was")) << Narrow(run.lines);
  EXPECT_TRUE(LauncherStarted());
}

// A delta killed part way is undone by the next run, whose check then finds the release it was
// made against again and applies it.
struct DeltaKillRow {
  const char* name;
  std::u16string prefix, suffix;  // the kill comes once the log shows a line like this
  // true: a caller still running, so that the run waits for it once everything is staged.
  // false: lib.dll held open for reading only, so that the run can check and patch it but waits
  // before it can move it: the kill then lands after app.exe, itself a patch, was swapped in.
  bool wait_for_parent;
};

class DeltaKillTest : public DeltaUpdateTest, public testing::WithParamInterface<DeltaKillRow> {};

TEST_P(DeltaKillTest, TheNextRunUndoesTheKilledOneAndAppliesTheDelta) {
  const DeltaKillRow& row = GetParam();
  {
    UniqueFile held;
    UniqueProcess parent;
    std::wstring options;
    if (row.wait_for_parent) {
      DWORD pid = 0;
      parent = Start(L"\"" + testutil::TestAppPath() + L"\" sleep 60000", L"", &pid);
      ASSERT_TRUE(parent);
      options = L"-ppid=" + std::to_wstring(pid);
    } else {
      held.reset(::CreateFileW((install_ + L"\\lib.dll").c_str(), GENERIC_READ, FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      ASSERT_TRUE(held);
    }
    ASSERT_TRUE(KillWhenLogged(update_exe_, row.prefix, row.suffix, 300, options));
    if (parent) ::TerminateProcess(parent.get(), 0);
  }
  EXPECT_TRUE(testutil::FileExists(install_ + L"\\bootstrapper.journal"));
  const RunResult run = RunToEnd(update_exe_);
  EXPECT_TRUE(Contains(run.lines, u"Unfinished update rolled back")) << Narrow(run.lines);
  EXPECT_EQ(run.exit_code, 0) << Narrow(run.lines);
  EXPECT_EQ(SnapshotTree(install_), Expected(new_)) << Describe(SnapshotTree(install_)) << Narrow(run.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DeltaKillTest,
    testing::Values(DeltaKillRow{"AfterStaging", u"Make sure parent process ", u"", true},
                    DeltaKillRow{"BetweenTwoPatchedFiles", u"Release file ", u"lib.dll", false}),
    [](const testing::TestParamInfo<DeltaKillRow>& param) { return param.param.name; });

}  // namespace
}  // namespace boot
