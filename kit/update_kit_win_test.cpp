// The kit under Wine: the command line it builds, split by CommandLineToArgvW itself; updates
// started through its C functions by a stand-in application (boot_kit_test_app) against scratch
// install folders; and the outcome read back from the logs those real runs write.
#include "kit/update_kit.h"

#include <gtest/gtest.h>
#include <shellapi.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/artifacts.h"
#include "tests/support/scratch_dir.h"

namespace bootkit {
namespace {

namespace testutil = boot::testutil;
using testutil::ReadFileBytes;
using testutil::WriteFileBytes;

struct SplitRow {
  const char* name;
  std::u16string exe;
  std::u16string install;
};

class CommandLineSplitTest : public testing::TestWithParam<SplitRow> {};

TEST_P(CommandLineSplitTest, CommandLineToArgvWGivesBackEveryArgument) {
  const SplitRow& row = GetParam();
  const std::wstring line = ToWide(BuildUpdateCommandLine(row.exe, row.install, 4294967295u));
  int count = 0;
  wchar_t** argv = ::CommandLineToArgvW(line.c_str(), &count);
  ASSERT_NE(argv, nullptr);
  const std::vector<std::wstring> args(argv, argv + count);
  ::LocalFree(argv);
  const std::vector<std::wstring> expected = {ToWide(row.exe), L"-update",
                                              L"-base=" + ToWide(row.install), L"-ppid=4294967295"};
  EXPECT_EQ(args, expected) << testutil::Narrow(line);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CommandLineSplitTest,
    testing::Values(
        SplitRow{"Plain", u"C:\\App\\update.exe", u"C:\\App"},
        SplitRow{"BlanksAndATrailingBackslash", u"C:\\Program Files\\My App\\update.exe",
                 u"C:\\Program Files\\My App\\"},
        SplitRow{"TwoTrailingBackslashes", u"C:\\My App\\update.exe", u"C:\\My App\\\\"},
        SplitRow{"Quotes", u"C:\\u.exe", u"C:\\say \"hi\" now"},
        SplitRow{"BackslashesBeforeAQuote", u"C:\\u.exe", u"C:\\a\\\\\"b\\"},
        SplitRow{"QuoteAtTheEnd", u"C:\\u.exe", u"C:\\App\\\""},
        SplitRow{"UncWithBlanks", u"\\\\server\\share\\x y\\u.exe", u"\\\\server\\share\\x y\\"},
        SplitRow{"Tab", u"C:\\u.exe", u"C:\\tab\there"}),
    [](const testing::TestParamInfo<SplitRow>& param) { return param.param.name; });

struct Started {
  long exit_code = -1;  // the stand-in application's: 0 or the error that stopped the start
  DWORD pid = 0;
};

// A scratch folder with a release packed into update.exe (safe or compatible mode), an install
// folder holding its old version, and the stand-in application that starts it through the kit.
class KitUpdateTest : public testing::Test {
 protected:
  // Packs lib.dll, version 2, as `target` into `exe`. `flags`: extra bootpack options.
  bool Pack(const std::wstring& exe, const std::wstring& flags = L"",
            const std::string& target = "lib.dll") {
    const std::wstring release = root_ / L"release";
    ::CreateDirectoryW(release.c_str(), nullptr);
    if (!WriteFileBytes(release + L"\\lib.dll", "library, version 2") ||
        !WriteFileBytes(release + L"\\package.json",
                        R"({"version":"2.0","cleans":[],"updates":[{"path":")" + target +
                            R"(","source":"lib.dll"}]})")) {
      return false;
    }
    const std::wstring command = L"\"" + testutil::BootpackPath() + L"\" pack " + flags +
                                 L" --stub \"" + testutil::StubPath() + L"\" --package \"" +
                                 release + L"\\package.json\" -o \"" + exe + L"\"";
    return testutil::RunProcess(command, root_.path()) == 0;
  }

  // Runs the stand-in application in the scratch folder; it starts the update and exits.
  Started Start(const std::wstring& exe, const std::wstring& install,
                const std::wstring& log_folder, bool verify = false) {
    const std::wstring app = testutil::WinePath(BOOT_KIT_TEST_APP_PATH);
    std::wstring command = ToWide(QuoteArgument(AsU16(app)) + u" " + QuoteArgument(AsU16(exe)) +
                                  u" " + QuoteArgument(AsU16(install)) + u" " +
                                  QuoteArgument(AsU16(log_folder)));
    if (verify) command += L" verify";
    Started started;
    HANDLE process = testutil::StartProcess(command, root_.path(), &started.pid);
    if (process == nullptr) return started;
    if (::WaitForSingleObject(process, 60000) == WAIT_OBJECT_0) {
      DWORD code = 0;
      if (::GetExitCodeProcess(process, &code)) started.exit_code = static_cast<long>(code);
    }
    ::CloseHandle(process);
    return started;
  }

  // The outcome once the update has written a log other than `earlier` and ended (at most about
  // two minutes).
  static UpdateOutcome WaitForOutcome(const std::wstring& log_folder,
                                      const std::wstring& earlier = L"") {
    for (int i = 0; i < 1200 && FindNewestLog(log_folder) == earlier; ++i) ::Sleep(50);
    UpdateOutcome outcome;
    EXPECT_TRUE(ReadLastUpdateOutcome(log_folder, 60000, outcome)) << ::GetLastError();
    return outcome;
  }

  testutil::ScratchDir root_;
  const std::wstring update_exe_ = root_ / L"update.exe";
};

struct ReachRow {
  const char* name;
  std::wstring install;  // below the scratch folder
};

class KitStartTest : public KitUpdateTest, public testing::WithParamInterface<ReachRow> {};

// The install folder arrives as it was given, the update waits for the application's pid, and
// its log lands in the folder the application chose, created for it.
TEST_P(KitStartTest, TheInstallPathAndThePidReachTheStubAndTheLogLandsInTheChosenFolder) {
  ASSERT_TRUE(Pack(update_exe_));
  const std::wstring install = root_ / GetParam().install;
  ASSERT_TRUE(::CreateDirectoryW(install.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(install + L"\\lib.dll", "library, version 1"));
  const std::wstring log_folder = root_ / L"app data\\logs";
  // An earlier run's log, older by name and by time: not the newest.
  ASSERT_TRUE(::CreateDirectoryW((root_ / L"app data").c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW(log_folder.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW((log_folder + L"\\DebugLogs").c_str(), nullptr));
  const std::wstring earlier = log_folder + L"\\DebugLogs\\20000101_000000_upd.txt";
  ASSERT_TRUE(WriteFileBytes(earlier, std::string("N\0o\0\n\0", 6)));
  ::Sleep(20);  // a later write time for the run's own log, even on a coarse clock

  const Started started = Start(update_exe_, install, log_folder);
  ASSERT_EQ(started.exit_code, 0);
  const UpdateOutcome outcome = WaitForOutcome(log_folder, earlier);
  const std::wstring log = ToWide(outcome.log_path);
  ASSERT_EQ(log.compare(0, log_folder.size() + 11, log_folder + L"\\DebugLogs\\"), 0)
      << testutil::Narrow(log);
  const std::vector<std::u16string> lines = testutil::ReadLogLines(log);
  const auto logged = [&](const std::u16string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(logged(u"Will update to: " + std::u16string(AsU16(install))));
  EXPECT_TRUE(logged(u"Make sure parent process " + std::u16string(AsU16(std::to_wstring(started.pid))) +
                     u" to exit"));
  EXPECT_EQ(outcome.result, UpdateResult::Updated) << testutil::Narrow(ToWide(outcome.line));
  EXPECT_EQ(outcome.version, u"2.0");
  EXPECT_EQ(ReadFileBytes(install + L"\\lib.dll"), "library, version 2");
  EXPECT_FALSE(testutil::DirectoryExists(root_ / L"DebugLogs"));  // the application's own folder
}

INSTANTIATE_TEST_SUITE_P(
    Rows, KitStartTest,
    testing::Values(ReachRow{"Blanks", L"my  app"},
                    ReachRow{"BlanksAndATrailingBackslash", L"My App\\"}),
    [](const testing::TestParamInfo<ReachRow>& param) { return param.param.name; });

struct OutcomeRow {
  const char* name;
  bool compat;
  bool read_only_target;  // lib.dll read-only in the installation: a safe replace fails
  std::string target;     // where the update writes lib.dll
  UpdateResult result;
  std::u16string line;   // the outcome's line begins with this
  std::u16string error;  // and its error line with this
};

class KitOutcomeTest : public KitUpdateTest, public testing::WithParamInterface<OutcomeRow> {};

TEST_P(KitOutcomeTest, TheOutcomeOfARealRunIsReadFromItsLog) {
  const OutcomeRow& row = GetParam();
  ASSERT_TRUE(Pack(update_exe_, row.compat ? L"--compat" : L"", row.target));
  const std::wstring install = root_ / L"install";
  ASSERT_TRUE(::CreateDirectoryW(install.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(install + L"\\lib.dll", "library, version 1"));
  if (row.read_only_target) {
    ASSERT_TRUE(::SetFileAttributesW((install + L"\\lib.dll").c_str(), FILE_ATTRIBUTE_READONLY));
  }
  const std::wstring log_folder = root_ / L"data\\logs";  // made by the kit, both levels

  ASSERT_EQ(Start(update_exe_, install, log_folder).exit_code, 0);
  const UpdateOutcome outcome = WaitForOutcome(log_folder);
  const std::string lines = testutil::Narrow(ToWide(outcome.line)) + " / " +
                            testutil::Narrow(ToWide(outcome.error));
  EXPECT_EQ(outcome.result, row.result) << lines;
  EXPECT_EQ(outcome.line.compare(0, row.line.size(), row.line), 0) << lines;
  EXPECT_EQ(outcome.error.compare(0, row.error.size(), row.error), 0) << lines;
  EXPECT_EQ(outcome.error.empty(), row.error.empty()) << lines;
  EXPECT_EQ(outcome.version, u"2.0");
  ::SetFileAttributesW((install + L"\\lib.dll").c_str(), FILE_ATTRIBUTE_NORMAL);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, KitOutcomeTest,
    testing::Values(
        OutcomeRow{"SafeUpdated", false, false, "lib.dll", UpdateResult::Updated, u"Done, Bye.",
                   u""},
        OutcomeRow{"SafeRolledBack", false, true, "lib.dll", UpdateResult::RolledBack,
                   u"Cannot replace read-only file ", u"Error 5: "},
        // The compatible run creates no folders.
        OutcomeRow{"CompatibleFailed", true, false, "new\\\\lib.dll", UpdateResult::Failed,
                   u"Update task failed...", u""}),
    [](const testing::TestParamInfo<OutcomeRow>& param) { return param.param.name; });

TEST_F(KitUpdateTest, AFolderWithoutLogsHasNoOutcome) {
  UpdateOutcome outcome;
  outcome.result = UpdateResult::Failed;
  ASSERT_TRUE(ReadLastUpdateOutcome(root_.path(), 0, outcome));
  EXPECT_EQ(outcome.result, UpdateResult::NoLog);
  EXPECT_TRUE(outcome.log_path.empty());
}

// The stub holds its log open for writing until it exits; meanwhile (and with no time to wait)
// the outcome says so, and once it is closed the log's own end counts.
TEST_F(KitUpdateTest, ALogStillOpenForWritingIsAnUpdateStillRunning) {
  const std::wstring logs = root_ / L"DebugLogs";
  ASSERT_TRUE(::CreateDirectoryW(logs.c_str(), nullptr));
  const std::wstring log = logs + L"\\20261208_120000_upd.txt";
  // As the stub opens it.
  HANDLE writer = ::CreateFileW(log.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  const std::u16string text = u"Updated, now startup the launcher\nDone, Bye.\n";
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(writer, text.data(), static_cast<DWORD>(text.size() * 2), &written, nullptr));
  UpdateOutcome outcome;
  ASSERT_TRUE(ReadLastUpdateOutcome(root_.path(), 0, outcome));
  EXPECT_EQ(outcome.result, UpdateResult::Running);
  EXPECT_EQ(outcome.line, u"Done, Bye.");
  ::CloseHandle(writer);
  ASSERT_TRUE(ReadLastUpdateOutcome(root_.path(), 0, outcome));
  EXPECT_EQ(outcome.result, UpdateResult::Updated);
  EXPECT_EQ(outcome.log_path, AsU16(log));
}

// Only the last MiB is read: the end of a log of many files still counts, an odd size too.
TEST_F(KitUpdateTest, AHugeLogIsReadFromItsEnd) {
  const std::wstring logs = root_ / L"DebugLogs";
  ASSERT_TRUE(::CreateDirectoryW(logs.c_str(), nullptr));
  std::u16string text = u"Update to version 9,with 100000 entries\n";
  for (int i = 0; i < 40000; ++i) text += u"--- file" + std::u16string(AsU16(std::to_wstring(i))) + u".dll --- CHECK\n";
  text += u"Cannot move C:\\A\\lib.dll\nError 32: in use\nUpdate task failed...\n"
          u"Rolling back the update...\nRolled back, the installation is as it was\n";
  std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  ASSERT_GT(bytes.size(), 2u * kMaxLogBytes);
  bytes.push_back('\x7f');
  ASSERT_TRUE(WriteFileBytes(logs + L"\\20261208_120000_upd.txt", bytes));
  UpdateOutcome outcome;
  ASSERT_TRUE(ReadLastUpdateOutcome(root_.path(), 0, outcome));
  EXPECT_EQ(outcome.result, UpdateResult::RolledBack);
  EXPECT_EQ(outcome.line, u"Cannot move C:\\A\\lib.dll");
  EXPECT_EQ(outcome.error, u"Error 32: in use");
  EXPECT_EQ(outcome.version, u"");  // its line is before the part read
}

// Asked to check the signature of an unsigned update exe, the kit starts nothing.
TEST_F(KitUpdateTest, AnUnsignedUpdateIsNotStartedWhenTheSignatureIsChecked) {
  ASSERT_TRUE(Pack(update_exe_));
  const std::wstring install = root_ / L"install";
  ASSERT_TRUE(::CreateDirectoryW(install.c_str(), nullptr));
  const std::wstring log_folder = root_ / L"logs";
  EXPECT_EQ(Start(update_exe_, install, log_folder, true).exit_code,
            static_cast<long>(static_cast<DWORD>(TRUST_E_NOSIGNATURE)));
  EXPECT_FALSE(testutil::DirectoryExists(log_folder + L"\\DebugLogs"));
}

}  // namespace
}  // namespace bootkit
