#include "bootstrapper/clean/dir_clean.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "bootstrapper/clean/clean_test_support.h"

namespace boot {
namespace {

using testutil::DirectoryExists;
using testutil::FileExists;
using testutil::WriteFileBytes;

// Makes `root` with files and subdirectories four levels deep, a hidden file, a read-only file
// and empty directories among them.
void MakeTree(const std::wstring& root) {
  std::wstring dir = root;
  ASSERT_TRUE(::CreateDirectoryW(dir.c_str(), nullptr));
  for (const wchar_t* level : {L"thumbs", L"2024", L"large", L"x"}) {
    ASSERT_TRUE(WriteFileBytes(dir + L"\\a.bin", std::string(5000, 'a')));
    ASSERT_TRUE(WriteFileBytes(dir + L"\\b.txt", "b"));
    ASSERT_TRUE(::CreateDirectoryW((dir + L"\\empty").c_str(), nullptr));
    dir += L"\\";
    dir += level;
    ASSERT_TRUE(::CreateDirectoryW(dir.c_str(), nullptr));
  }
  ASSERT_TRUE(WriteFileBytes(dir + L"\\hidden.dat", "h"));
  ASSERT_TRUE(::SetFileAttributesW((dir + L"\\hidden.dat").c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(WriteFileBytes(root + L"\\readonly.dat", "r"));
  ASSERT_TRUE(::SetFileAttributesW((root + L"\\readonly.dat").c_str(), FILE_ATTRIBUTE_READONLY));
}

std::u16string ClearingLine(const std::u16string& path) {
  return u"Fully clearing path '" + path + u"'..";
}
const std::u16string kFailedLine = u"Error: failed to clear path! :(";

using DirCleanTest = testutil::CleanLogTest;

TEST_F(DirCleanTest, RemovesANestedTreeCompletely) {
  MakeTree(scratch_ / L"cache");
  ASSERT_TRUE(WriteFileBytes(scratch_ / L"keep.txt", "k"));

  EXPECT_TRUE(ClearDirectory(PathOf(L"cache")));

  EXPECT_FALSE(DirectoryExists(scratch_ / L"cache"));
  EXPECT_TRUE(FileExists(scratch_ / L"keep.txt"));
  EXPECT_EQ(LogLines(), std::vector<std::u16string>{ClearingLine(PathOf(L"cache"))});
}

TEST_F(DirCleanTest, KeepsATrailingBackslashInTheLineAndStillRemovesTheTree) {
  MakeTree(scratch_ / L"cache");

  EXPECT_TRUE(ClearDirectory(PathOf(L"cache\\")));

  EXPECT_FALSE(DirectoryExists(scratch_ / L"cache"));
  EXPECT_EQ(LogLines(), std::vector<std::u16string>{ClearingLine(PathOf(L"cache\\"))});
}

TEST_F(DirCleanTest, AFileHeldOpenMakesTheClearFailWithTwoLines) {
  MakeTree(scratch_ / L"cache");
  const std::wstring busy = scratch_ / L"cache\\thumbs\\busy.db";
  ASSERT_TRUE(WriteFileBytes(busy, "in use"));
  UniqueFile held = testutil::LockFile(busy);
  ASSERT_TRUE(held);

  EXPECT_FALSE(ClearDirectory(PathOf(L"cache")));

  EXPECT_EQ(LogLines(),
            (std::vector<std::u16string>{ClearingLine(PathOf(L"cache")), kFailedLine}));
  held.reset();
  EXPECT_TRUE(FileExists(busy));
}

TEST_F(DirCleanTest, APathTooLongForTheFromListDeletesNothing) {
  MakeTree(scratch_ / L"victim");
  // victim\.\.\. ... : cut anywhere to 4094 characters it would still name victim.
  std::u16string path = PathOf(L"victim");
  while (path.size() < 4095) path += u"\\.";

  EXPECT_FALSE(ClearDirectory(path));

  EXPECT_EQ(LogLines(), (std::vector<std::u16string>{ClearingLine(path), kFailedLine}));
  EXPECT_TRUE(FileExists(scratch_ / L"victim\\thumbs\\2024\\large\\x\\hidden.dat"));
}

}  // namespace
}  // namespace boot
