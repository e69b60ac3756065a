#include "bootstrapper/clean/clean_tasks.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "bootstrapper/clean/clean_test_support.h"
#include "bootstrapper/driver/run_update.h"

namespace boot {
namespace {

using testutil::DirectoryExists;
using testutil::FileExists;
using testutil::WriteFileBytes;

// The scratch directory is the install directory of the run.
class CleanTasksTest : public testutil::CleanLogTest {
 protected:
  void SetUp() override {
    CleanLogTest::SetUp();
    BaseDirectory = ToU16(scratch_.path());
    ASSERT_TRUE(scratch_key_.created());
  }
  void TearDown() override {
    BaseDirectory.clear();
    CleanLogTest::TearDown();
  }
  // The registry path of `relative` below the scratch key, as a manifest writes it.
  std::u16string KeyPath(const std::wstring& relative) const {
    return u"HKEY_CURRENT_USER\\" + ToU16(scratch_key_.SubkeyOf(relative));
  }

  testutil::ScratchKey scratch_key_{HKEY_CURRENT_USER};
};

TEST_F(CleanTasksTest, AnEmptyListIsDoneWithoutALine) {
  EXPECT_TRUE(RunCleanTasks({}));
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(CleanTasksTest, HandsEachKindToItsCleanerInManifestOrder) {
  ASSERT_TRUE(::CreateDirectoryW((scratch_ / L"sub").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(scratch_ / L"sub\\old.dll", "old"));
  ASSERT_TRUE(::CreateDirectoryW((scratch_ / L"cache").c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW((scratch_ / L"cache\\thumbs").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(scratch_ / L"cache\\thumbs\\1.png", "png"));
  ASSERT_TRUE(WriteFileBytes(scratch_ / L"plain.txt", "not a directory"));
  ASSERT_TRUE(scratch_key_.Create(L"Demo/Cache\\Deep"));

  // Registry paths are never joined and keep their forward slashes; file and dir paths are
  // joined with every slash turned into a backslash. None of the last three has anything to do,
  // and none logs a line, even without fail_ok.
  const std::u16string key = KeyPath(L"Demo/Cache");
  const std::vector<CleanTask> tasks = {
      {u"sub/old.dll", CleanKind::File, false},
      {u"cache/", CleanKind::Dir, false},
      {key, CleanKind::Registry, false},
      {u"missing.dll", CleanKind::File, false},
      {u"missing/", CleanKind::Dir, false},
      {u"plain.txt", CleanKind::Dir, false},
  };
  EXPECT_TRUE(RunCleanTasks(tasks));

  const std::u16string base = ToU16(scratch_.path());
  EXPECT_EQ(LogLines(), (std::vector<std::u16string>{
                            u"Will clean file " + base + u"\\sub\\old.dll",
                            u"Fully clearing path '" + base + u"\\cache\\'..",
                            u"Will clean registry: " + key,
                        }));
  EXPECT_FALSE(FileExists(scratch_ / L"sub\\old.dll"));
  EXPECT_FALSE(DirectoryExists(scratch_ / L"cache"));
  EXPECT_FALSE(scratch_key_.Exists(L"Demo/Cache"));
  EXPECT_TRUE(FileExists(scratch_ / L"plain.txt"));
}

TEST_F(CleanTasksTest, AFailureWithFailOkIsPassedOverSilently) {
  ASSERT_TRUE(WriteFileBytes(scratch_ / L"busy.dll", "busy"));
  ASSERT_TRUE(WriteFileBytes(scratch_ / L"after.dll", "after"));
  UniqueFile held = testutil::LockFile(scratch_ / L"busy.dll");
  ASSERT_TRUE(held);

  EXPECT_TRUE(RunCleanTasks({{u"HKLM\\Software\\Nothing", CleanKind::Registry, true},
                             {u"busy.dll", CleanKind::File, true},
                             {u"after.dll", CleanKind::File, false}}));

  const std::vector<std::u16string> lines = LogLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], u"Will clean registry: HKLM\\Software\\Nothing");
  EXPECT_EQ(lines[1], u"Unknown root");
  EXPECT_EQ(lines[2], u"Will clean file " + PathOf(L"busy.dll"));
  EXPECT_EQ(lines[3].rfind(u"Delete failed, move to ", 0), 0u);
  EXPECT_EQ(lines[4], u"Will clean file " + PathOf(L"after.dll"));
  EXPECT_FALSE(FileExists(scratch_ / L"after.dll"));
}

TEST_F(CleanTasksTest, StopsAtTheFirstIntolerableFailureWithThePathAsWritten) {
  struct Row {
    const char16_t* path;
    CleanKind kind;
    const char16_t* stop_line;
  };
  const Row rows[] = {
      {u"sub/busy.dll", CleanKind::File, u"Clean sub/busy.dll failed and exit"},
      {u"sub/", CleanKind::Dir, u"Clean sub/ failed and exit"},
      {u"HKEY_CLASSES_ROOT\\.demo", CleanKind::Registry,
       u"Clean HKEY_CLASSES_ROOT\\.demo failed and exit"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testutil::Narrow(AsWide(std::u16string_view(row.stop_line))));
    ASSERT_TRUE(::CreateDirectoryW((scratch_ / L"sub").c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(scratch_ / L"first.dll", "1"));
    ASSERT_TRUE(WriteFileBytes(scratch_ / L"sub\\busy.dll", "2"));
    ASSERT_TRUE(WriteFileBytes(scratch_ / L"third.dll", "3"));
    {
      UniqueFile held = testutil::LockFile(scratch_ / L"sub\\busy.dll");
      ASSERT_TRUE(held);
      EXPECT_FALSE(RunCleanTasks({{u"first.dll", CleanKind::File, false},
                                  {row.path, row.kind, false},
                                  {u"third.dll", CleanKind::File, false}}));
    }
    const std::vector<std::u16string> lines = LogLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), u"Will clean file " + PathOf(L"first.dll"));
    EXPECT_EQ(lines.back(), row.stop_line);
    // The first task's effect stays; the third is never attempted.
    EXPECT_FALSE(FileExists(scratch_ / L"first.dll"));
    EXPECT_TRUE(FileExists(scratch_ / L"sub\\busy.dll"));
    EXPECT_TRUE(FileExists(scratch_ / L"third.dll"));

    CloseDebugLogForTesting();
    testutil::RemoveTree(scratch_ / L"DebugLogs");
    testutil::RemoveTree(scratch_ / L"sub");
    testutil::RemoveTree(scratch_ / L"third.dll");
    OpenDebugLog();
  }
}

}  // namespace
}  // namespace boot
