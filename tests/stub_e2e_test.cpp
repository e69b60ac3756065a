// The real bootstrapper.exe, started as a separate process under Wine, in a scratch folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/artifacts.h"
#include "tests/support/scratch_dir.h"

namespace boot {
namespace {

using testutil::StubPath;

using testutil::ReadLogLines;
using testutil::ScratchDir;


// Runs `stub` with `arguments` in `directory` and returns the log lines of that run.
struct StubRun {
  long exit_code = -1;
  std::vector<std::u16string> lines;
  std::wstring log_path;
};

StubRun RunStub(const std::wstring& stub, const std::wstring& arguments,
            const std::wstring& directory) {
  StubRun run;
  run.exit_code = testutil::RunProcess(L"\"" + stub + L"\" " + arguments, directory);
  run.log_path = testutil::FindOnlyLog(directory);
  run.lines = ReadLogLines(run.log_path);
  return run;
}

// A copy of the stub carrying `manifest` as its manifest resource (type 42, name 42).
std::wstring StubWithManifest(const ScratchDir& dir, const std::string& manifest) {
  const std::wstring target = dir / L"update.exe";
  EXPECT_TRUE(testutil::StampResources(StubPath(), target, {{42, 42, manifest}}));
  return target;
}

const std::u16string kSeparator = u"-------------------------------------";

TEST(StubRunTest, WithoutArgumentsLogsOnlyNoUpdateSpecified) {
  ScratchDir dir;
  const StubRun run = RunStub(StubPath(), L"", dir.path());
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.lines, std::vector<std::u16string>{u"No update specified, exit"});
}

TEST(StubRunTest, WritesTheLogAsExactUtf16BytesUnderATimeStampedName) {
  ScratchDir dir;
  SYSTEMTIME before;
  ::GetLocalTime(&before);
  const StubRun run = RunStub(StubPath(), L"-update=1 -updates", dir.path());
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_FALSE(run.log_path.empty());
  // DebugLogs\YYYYMMDD_HHMMSS_upd.txt: 33 characters after the folder.
  const std::wstring name = run.log_path.substr(dir.path().size() + 1);
  ASSERT_EQ(name.size(), 33u) << testutil::Narrow(name);
  EXPECT_EQ(name.substr(0, 10), L"DebugLogs\\");
  EXPECT_EQ(name.substr(10, 4), std::to_wstring(before.wYear));
  EXPECT_EQ(name[18], L'_');
  EXPECT_EQ(name.substr(25), L"_upd.txt");
  const std::string text = "No update specified, exit\n";
  std::string expected;
  for (char c : text) expected += std::string{c, '\0'};
  EXPECT_EQ(testutil::ReadFileBytes(run.log_path), expected);
}

TEST(StubRunTest, TheBareStubHasNoManifest) {
  ScratchDir dir;
  const StubRun run = RunStub(StubPath(), L"-update -base=C:\\Apps\\Demo -ppid=0", dir.path());
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.lines, (std::vector<std::u16string>{u"Will update to: C:\\Apps\\Demo",
                                                    u"Check update manifest...",
                                                    u"No update manifest found, exit"}));
}

TEST(StubRunTest, QuotedBaseWithBlanksAndBareOptionForms) {
  ScratchDir dir;
  StubRun run = RunStub(StubPath(), L"\"-base=C:\\My Apps\\Demo\" -UPDATE", dir.path());
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines[0], u"Will update to: C:\\My Apps\\Demo");
  testutil::RemoveTree(dir / L"DebugLogs");

  run = RunStub(StubPath(), L"-base \"D:\\Other App\" -update -base=", dir.path());
  ASSERT_FALSE(run.lines.empty());
  // The last -base wins, and an empty value leaves the prefix alone, blank included.
  EXPECT_EQ(run.lines[0], u"Will update to: ");
}

TEST(StubRunTest, AnInvalidManifestEndsTheRun) {
  ScratchDir dir;
  const std::wstring stub = StubWithManifest(dir, R"({"version":"1","cleans":[],"updates":[]})");
  const StubRun run = RunStub(stub, L"-update -base=C:\\App", dir.path());
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.lines, (std::vector<std::u16string>{u"Will update to: C:\\App",
                                                    u"Check update manifest...",
                                                    u"Invalid update manifest"}));
}

TEST(StubRunTest, AValidManifestIsSummarised) {
  ScratchDir dir;
  const std::wstring stub = StubWithManifest(
      dir, "{\"version\":\"0.9.2 \xD0\xB1\xD0\xB5\xD1\x82\xD0\xB0\",\"cleans\":[],\"updates\":"
           "[{\"path\":\"app.exe\",\"size\":10,\"rtype\":144,\"rid\":101}]}");
  const StubRun run = RunStub(stub, L"-update -base=C:\\App", dir.path());
  EXPECT_EQ(run.exit_code, 0);
  ASSERT_GE(run.lines.size(), 4u);
  EXPECT_EQ(run.lines[2], u"Update to version 0.9.2 \u0431\u0435\u0442\u0430,with 1 entries");
  EXPECT_EQ(run.lines[3], kSeparator);
}

TEST(StubRunTest, TheImageCarriesTheAsInvokerManifest) {
  HMODULE image = ::LoadLibraryExW(StubPath().c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr);
  HRSRC info = ::FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(info, nullptr);
  const std::string manifest(static_cast<const char*>(::LockResource(::LoadResource(image, info))),
                             ::SizeofResource(image, info));
  EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\""), std::string::npos);
  // The bare stub has no update manifest of its own.
  EXPECT_EQ(::FindResourceW(image, MAKEINTRESOURCEW(42), MAKEINTRESOURCEW(42)), nullptr);
  ::FreeLibrary(image);
}

// The message box needs a display; the test suite runs under Xvfb.
bool HaveDisplay() {
  wchar_t display[64];
  return ::GetEnvironmentVariableW(L"DISPLAY", display, 64) > 0;
}

BOOL CALLBACK CollectStaticText(HWND child, LPARAM context) {
  wchar_t class_name[32] = {}, text[2048] = {};
  ::GetClassNameW(child, class_name, 32);
  ::GetWindowTextW(child, text, 2048);
  if (lstrcmpiW(class_name, L"Static") == 0 && text[0] != 0) {
    *reinterpret_cast<std::wstring*>(context) = text;
  }
  return TRUE;
}

struct BoxedRun {
  long exit_code = -1;
  std::vector<std::wstring> boxes;  // the text of every error box, in order
  bool blocked_while_shown = true;  // the process had not exited while a box was up
};

struct BoxSearch {
  DWORD process_id;
  HWND found;
};

BOOL CALLBACK FindErrorBoxOfProcess(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<BoxSearch*>(context);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  wchar_t caption[64] = {};
  ::GetWindowTextW(window, caption, 64);
  if (owner == search->process_id && ::IsWindowVisible(window) &&
      lstrcmpW(caption, L"Update error!") == 0) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// The visible "Update error!" box of one process (other tests may show theirs meanwhile).
HWND FindErrorBox(DWORD process_id) {
  BoxSearch search = {process_id, nullptr};
  ::EnumWindows(FindErrorBoxOfProcess, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Runs the stub and presses OK on every "Update error!" box it shows, until it exits.
BoxedRun RunStubAnsweringErrorBoxes(const std::wstring& arguments, const std::wstring& directory) {
  BoxedRun run;
  std::wstring command = L"\"" + StubPath() + L"\" " + arguments;
  STARTUPINFOW startup = {sizeof startup};
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.c_str(), &startup, &process)) {
    return run;
  }
  ::CloseHandle(process.hThread);
  for (int i = 0; i < 600; ++i) {
    if (::WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) break;
    HWND box = FindErrorBox(process.dwProcessId);
    if (box == nullptr) {
      ::Sleep(100);
      continue;
    }
    std::wstring text;
    ::EnumChildWindows(box, CollectStaticText, reinterpret_cast<LPARAM>(&text));
    run.boxes.push_back(text);
    // The box is modal: the run waits for it.
    if (::WaitForSingleObject(process.hProcess, 300) != static_cast<DWORD>(WAIT_TIMEOUT)) {
      run.blocked_while_shown = false;
    }
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
    for (int j = 0; j < 100 && ::IsWindow(box); ++j) ::Sleep(50);
  }
  if (::WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0) {
    DWORD code = 1;
    ::GetExitCodeProcess(process.hProcess, &code);
    run.exit_code = static_cast<long>(code);
  } else {
    ::TerminateProcess(process.hProcess, 1);
  }
  ::CloseHandle(process.hProcess);
  return run;
}

TEST(StubRunTest, ShowsTheErrorBoxWhenTheLogCannotBeCreatedAndRunsOn) {
  if (!HaveDisplay()) GTEST_SKIP() << "no X display: run the suite under Xvfb";
  ScratchDir dir;
  ASSERT_TRUE(testutil::WriteFileBytes(dir / L"DebugLogs", "a plain file"));

  const BoxedRun run = RunStubAnsweringErrorBoxes(L"-update", dir.path());
  ASSERT_EQ(run.boxes.size(), 1u) << "expected one window captioned \"Update error!\"";
  // ERROR_PATH_NOT_FOUND (3): the folder part of the log name is a file.
  EXPECT_EQ(run.boxes[0].rfind(L"Failed to create log file, error code: 3\nError message: ", 0), 0u)
      << testutil::Narrow(run.boxes[0]);
  EXPECT_TRUE(run.blocked_while_shown);
  EXPECT_EQ(run.exit_code, 0);
  // The run went on without a log: the plain file is untouched.
  EXPECT_EQ(testutil::ReadFileBytes(dir / L"DebugLogs"), "a plain file");
}

// BOOT_FULL_DIR names a folder on a full file system that already holds DebugLogs (prepared by
// tests/log_disk_full.sh on a small tmpfs): the log file can be created but not written.
TEST(StubRunTest, ReportsTheFirstFailedLogWriteOnceAndDropsTheRest) {
  wchar_t full[MAX_PATH] = {};
  if (::GetEnvironmentVariableW(L"BOOT_FULL_DIR", full, MAX_PATH) == 0) {
    GTEST_SKIP() << "needs a full file system: run through tests/log_disk_full.sh";
  }
  if (!HaveDisplay()) GTEST_SKIP() << "no X display: run the suite under Xvfb";
  const BoxedRun run = RunStubAnsweringErrorBoxes(L"-update -base=C:\\App", full);
  ASSERT_EQ(run.boxes.size(), 1u);
  // ERROR_DISK_FULL (112), on the first entry of the run; later entries go nowhere silently.
  EXPECT_EQ(run.boxes[0].rfind(
                L"Failed to write log entry 'Will update to: C:\\App', error code: 112\nError message: ", 0),
            0u)
      << testutil::Narrow(run.boxes[0]);
  EXPECT_TRUE(run.blocked_while_shown);
  EXPECT_EQ(run.exit_code, 0);
}

}  // namespace
}  // namespace boot
