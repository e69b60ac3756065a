#include "bootstrapper/clean/clean_tasks.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "bootstrapper/clean/clean_test_support.h"
#include "bootstrapper/install/install_path.h"

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

// fail_ok and the stop line are exercised through the real stub in tests/clean_e2e_test.cpp,
// where the run sequence's own line and the absence of anything after it can be seen too.

}  // namespace
}  // namespace boot
