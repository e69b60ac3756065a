#include "bootstrapper/diag/debug_log.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"

namespace boot {
namespace {

using testutil::ScratchDir;

// Each test runs in a scratch directory made current, with no log open before or after.
class DebugLogTest : public ::testing::Test {
 protected:
  void TearDown() override { CloseDebugLogForTesting(); }

  ScratchDir scratch_{/*make_current=*/true};
};

std::vector<std::wstring> LogFiles() {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW(L"DebugLogs\\*", &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return names;
}

TEST(LogFileNameTest, IsThirtyThreeCharactersWithZeroPaddedFields) {
  EXPECT_EQ(FormatLogFileName(2026, 12, 6, 4, 48, 15), L"DebugLogs\\20261206_044815_upd.txt");
  EXPECT_EQ(FormatLogFileName(2027, 1, 2, 0, 0, 9), L"DebugLogs\\20270102_000009_upd.txt");
  EXPECT_EQ(FormatLogFileName(2026, 12, 6, 4, 48, 15).size(), 33u);
}

TEST_F(DebugLogTest, WritesEachEntryAsUtf16LittleEndianWithALineFeed) {
  OpenDebugLog();
  WriteLog(u"Done, Bye.");
  WriteLog(u"");
  WriteLog(u"two\r\nlines");
  WriteLog(u"\u00E9\U0001D11E");
  const auto files = LogFiles();
  ASSERT_EQ(files.size(), 1u);
  const std::string bytes = testutil::ReadFileBytes(L"DebugLogs\\" + files[0]);
  static const char kExpected[] =
      "D\0o\0n\0e\0,\0 \0B\0y\0e\0.\0\n\0"  // the worked example: 22 bytes
      "\n\0"                                // an empty entry: 2 bytes
      "t\0w\0o\0\r\0\n\0l\0i\0n\0e\0s\0\n\0"
      "\xE9\0\x34\xD8\x1E\xDD\n\0";  // a surrogate pair stays a pair
  const std::string expected(kExpected, sizeof kExpected - 1);
  EXPECT_EQ(expected.size(), 22u + 2u + 22u + 8u);
  EXPECT_EQ(bytes, expected);
}

TEST_F(DebugLogTest, NamesTheFileAfterTheLocalTimeOfTheStart) {
  SYSTEMTIME before, after;
  ::GetLocalTime(&before);
  OpenDebugLog();
  ::GetLocalTime(&after);
  const auto files = LogFiles();
  ASSERT_EQ(files.size(), 1u);
  const std::wstring name = L"DebugLogs\\" + files[0];
  EXPECT_TRUE(name == FormatLogFileName(before.wYear, before.wMonth, before.wDay, before.wHour,
                                        before.wMinute, before.wSecond) ||
              name == FormatLogFileName(after.wYear, after.wMonth, after.wDay, after.wHour,
                                        after.wMinute, after.wSecond))
      << testutil::Narrow(name);
  // Nothing is written before the first entry: no byte-order mark, no header.
  EXPECT_EQ(testutil::ReadFileBytes(name), "");
}

TEST_F(DebugLogTest, UsesAnExistingDebugLogsDirectory) {
  ASSERT_TRUE(::CreateDirectoryW(L"DebugLogs", nullptr));
  ASSERT_TRUE(testutil::WriteFileBytes(L"DebugLogs\\older.txt", "old"));
  OpenDebugLog();
  WriteLog(u"x");
  EXPECT_EQ(LogFiles().size(), 2u);
  EXPECT_EQ(testutil::ReadFileBytes(L"DebugLogs\\older.txt"), "old");
}

TEST_F(DebugLogTest, OpeningTwiceKeepsTheFirstLog) {
  OpenDebugLog();
  WriteLog(u"a");
  OpenDebugLog();
  WriteLog(u"b");
  const auto files = LogFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(testutil::ReadFileBytes(L"DebugLogs\\" + files[0]), std::string("a\0\n\0b\0\n\0", 8));
}

TEST_F(DebugLogTest, WritesNothingWithoutAnOpenLog) {
  WriteLog(u"dropped");
  EXPECT_EQ(::GetFileAttributesW(L"DebugLogs"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(DebugLogTest, EveryEntryReachesTheFileBeforeWriteLogReturns) {
  OpenDebugLog();
  const auto files = LogFiles();
  ASSERT_EQ(files.size(), 1u);
  const std::wstring name = L"DebugLogs\\" + files[0];
  for (int i = 1; i <= 3; ++i) {
    WriteLog(u"line");
    // Another reader sees the entry at once: the log is shared for reading and not buffered.
    EXPECT_EQ(testutil::ReadFileBytes(name).size(), static_cast<std::size_t>(10 * i));
  }
}

}  // namespace
}  // namespace boot
