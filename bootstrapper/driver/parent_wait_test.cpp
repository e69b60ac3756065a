#include "bootstrapper/driver/parent_wait.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "bootstrapper/common/unique_handle.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"
#include "tests/support/artifacts.h"
#include "tests/support/scratch_dir.h"

namespace boot {
namespace {

using testutil::ScratchDir;

// Starts "boot_test_app sleep MS [FROM TO]" in `directory`; sets `process_id`.
UniqueProcess StartSleeper(DWORD ms, const std::wstring& directory,
                           const std::wstring& copy_arguments, DWORD& process_id) {
  std::wstring command = L"\"" + testutil::TestAppPath() + L"\" sleep " +
                         std::to_wstring(ms) + L" " + copy_arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.c_str(), &startup, &process)) {
    return UniqueProcess();
  }
  ::CloseHandle(process.hThread);
  process_id = process.dwProcessId;
  return UniqueProcess(process.hProcess);
}

std::u16string WaitLine(DWORD pid) {
  return u"Make sure parent process " + ToU16(std::to_wstring(pid)) + u" to exit";
}

class ParentWaitTest : public testing::Test {
 protected:
  void SetUp() override { OpenDebugLog(); }
  void TearDown() override { CloseDebugLogForTesting(); }
  std::vector<std::u16string> Lines() {
    CloseDebugLogForTesting();
    return testutil::ReadLogLines(testutil::FindOnlyLog(dir_.path()));
  }

  ScratchDir dir_{/*make_current=*/true};
};

TEST_F(ParentWaitTest, ReturnsOnlyAfterTheProcessHasExited) {
  // The sleeper copies a file just before it exits: the copy is there when the wait returns.
  ASSERT_TRUE(testutil::WriteFileBytes(dir_ / L"last-words.txt", "about to exit"));
  DWORD pid = 0;
  UniqueProcess sleeper = StartSleeper(3000, dir_.path(), L"last-words.txt copy.txt", pid);
  ASSERT_TRUE(sleeper);
  WaitForParentExit(pid);
  EXPECT_EQ(::WaitForSingleObject(sleeper.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(testutil::ReadFileBytes(dir_ / L"copy.txt"), "about to exit");
  EXPECT_EQ(Lines(), std::vector<std::u16string>{WaitLine(pid)});
}

TEST_F(ParentWaitTest, AnIdOfNoProcessEndsTheWaitAtOnce) {
  // Ordering only: the wait is over while a process that sleeps 3 s still runs.
  DWORD sleeper_pid = 0;
  UniqueProcess sleeper = StartSleeper(3000, dir_.path(), L"", sleeper_pid);
  ASSERT_TRUE(sleeper);
  // Process ids are multiples of four: this one never names a process.
  constexpr DWORD kNoProcess = 4294967291u;
  WaitForParentExit(kNoProcess);
  EXPECT_EQ(::WaitForSingleObject(sleeper.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(Lines(), std::vector<std::u16string>{WaitLine(kNoProcess)});
  ::WaitForSingleObject(sleeper.get(), 30000);
}

TEST_F(ParentWaitTest, DoesNotWaitForItself) {
  WaitForParentExit(::GetCurrentProcessId());
  EXPECT_EQ(Lines(), std::vector<std::u16string>{WaitLine(::GetCurrentProcessId())});
}

}  // namespace
}  // namespace boot
