#include "bootstrapper/clean/file_clean.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "bootstrapper/clean/clean_test_support.h"
#include "tests/support/artifacts.h"

namespace boot {
namespace {

using testutil::TempDirectory;

using testutil::CleanLogTest;
using testutil::FileExists;
using testutil::ReadFileBytes;
using testutil::ScopedEnvironment;
using testutil::WriteFileBytes;

// True when `target` is `directory` + "\" + twelve letters of the move-aside alphabet + ".del".
bool IsMoveAsideTarget(const std::u16string& target, const std::u16string& directory) {
  static const std::u16string kAlphabet = u"ACEGIKMOQSUWYbdfhjlnprtvxz";
  if (target.size() != directory.size() + 1 + 12 + 4) return false;
  if (target.compare(0, directory.size(), directory) != 0) return false;
  if (target[directory.size()] != u'\\' || target.substr(target.size() - 4) != u".del") {
    return false;
  }
  for (std::size_t i = directory.size() + 1; i < directory.size() + 13; ++i) {
    if (kAlphabet.find(target[i]) == std::u16string::npos) return false;
  }
  return true;
}

const std::u16string kDeleteFailedMoveTo = u"Delete failed, move to ";

using FileCleanTest = CleanLogTest;

TEST_F(FileCleanTest, NothingToDeleteIsDoneWithoutALine) {
  ASSERT_TRUE(::CreateDirectoryW((scratch_ / L"folder").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(scratch_ / L"folder\\inside.txt", "x"));
  for (const wchar_t* name :
       {L"missing.txt", L"no\\such\\parent.txt", L"folder", L"folder\\", L"bad<name>.txt"}) {
    EXPECT_TRUE(CleanFile(PathOf(name))) << testutil::Narrow(name);
  }
  EXPECT_TRUE(LogLines().empty());
  EXPECT_TRUE(FileExists(scratch_ / L"folder\\inside.txt"));
}

TEST_F(FileCleanTest, DeletesAFileWhateverItsHiddenOrSystemAttributes) {
  for (const DWORD attributes :
       {DWORD{FILE_ATTRIBUTE_NORMAL}, DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}}) {
    ASSERT_TRUE(WriteFileBytes(scratch_ / L"old.dll", "old"));
    ASSERT_TRUE(::SetFileAttributesW((scratch_ / L"old.dll").c_str(), attributes));
    EXPECT_TRUE(CleanFile(PathOf(L"old.dll")));
    EXPECT_FALSE(FileExists(scratch_ / L"old.dll"));
  }
  const std::u16string line = u"Will clean file " + PathOf(L"old.dll");
  EXPECT_EQ(LogLines(), (std::vector<std::u16string>{line, line}));
}

TEST_F(FileCleanTest, MovesARefusedReadOnlyFileAsideIntoTheTemporaryDirectory) {
  const std::wstring file = scratch_ / L"locked.dll";
  ASSERT_TRUE(WriteFileBytes(file, "still in use"));
  ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  // The premise: the system refuses to delete a read-only file.
  ASSERT_FALSE(::DeleteFileW(file.c_str()));

  EXPECT_TRUE(CleanFile(ToU16(file)));

  const std::vector<std::u16string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], u"Will clean file " + ToU16(file));
  ASSERT_EQ(lines[1].rfind(kDeleteFailedMoveTo, 0), 0u);
  const std::u16string target = lines[1].substr(kDeleteFailedMoveTo.size());
  EXPECT_TRUE(IsMoveAsideTarget(target, TempDirectory())) << testutil::Narrow(AsWide(target));

  const std::wstring moved(AsWide(target));
  EXPECT_FALSE(FileExists(file));
  EXPECT_EQ(ReadFileBytes(moved), "still in use");
  // Attributes are never changed: the moved file is still read-only.
  EXPECT_EQ(::GetFileAttributesW(moved.c_str()) & FILE_ATTRIBUTE_READONLY,
            DWORD{FILE_ATTRIBUTE_READONLY});
  testutil::RemoveTree(moved);
}

TEST_F(FileCleanTest, AFileHeldOpenWithoutSharingCanNeitherBeDeletedNorMoved) {
  const std::wstring file = scratch_ / L"busy.exe";
  ASSERT_TRUE(WriteFileBytes(file, "running"));
  UniqueFile held = testutil::LockFile(file);
  ASSERT_TRUE(held);

  EXPECT_FALSE(CleanFile(ToU16(file)));

  const std::vector<std::u16string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], u"Will clean file " + ToU16(file));
  ASSERT_EQ(lines[1].rfind(kDeleteFailedMoveTo, 0), 0u);
  const std::u16string target = lines[1].substr(kDeleteFailedMoveTo.size());
  EXPECT_TRUE(IsMoveAsideTarget(target, TempDirectory()));
  held.reset();
  EXPECT_EQ(ReadFileBytes(file), "running");
  EXPECT_FALSE(FileExists(std::wstring(AsWide(target))));
}

TEST_F(FileCleanTest, ATemporaryDirectoryOnAnotherVolumeMakesTheMoveFail) {
  // Under Wine, Z:\dev\shm is a tmpfs, another file system than the scratch directory's.
  if (!testutil::DirectoryExists(L"Z:\\dev\\shm")) GTEST_SKIP() << "no Z:\\dev\\shm here";
  const std::wstring other_volume = L"Z:\\dev\\shm";
  ScopedEnvironment tmp(L"TMP", other_volume);
  ScopedEnvironment temp(L"TEMP", other_volume);
  const std::wstring file = scratch_ / L"readonly.dat";
  ASSERT_TRUE(WriteFileBytes(file, "data"));
  ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));

  EXPECT_FALSE(CleanFile(ToU16(file)));

  const std::vector<std::u16string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  ASSERT_EQ(lines[1].rfind(kDeleteFailedMoveTo, 0), 0u);
  const std::u16string target = lines[1].substr(kDeleteFailedMoveTo.size());
  EXPECT_TRUE(IsMoveAsideTarget(target, ToU16(other_volume)));
  EXPECT_EQ(ReadFileBytes(file), "data");
  EXPECT_FALSE(FileExists(std::wstring(AsWide(target))));
}

TEST(MakeMoveAsideTargetTest, MakesTargetsUpToTwoHundredFiftyNineCharacters) {
  // 242 characters + "\" + twelve letters + ".del" is 259.
  const std::wstring temp_dir = L"C:\\" + std::wstring(239, L't');
  ScopedEnvironment tmp(L"TMP", temp_dir);
  ScopedEnvironment temp(L"TEMP", temp_dir);
  const std::u16string target = MakeMoveAsideTarget(u"del");
  EXPECT_EQ(target.size(), 259u);
  EXPECT_TRUE(IsMoveAsideTarget(target, ToU16(temp_dir)));
}

TEST_F(FileCleanTest, ATemporaryPathTooLongForATargetLeavesTheFileInPlace) {
  // 243 characters + "\" + twelve letters + ".del" is 260: one more than a target may have.
  const std::wstring long_temp = L"C:\\" + std::wstring(240, L't');
  ScopedEnvironment tmp(L"TMP", long_temp);
  ScopedEnvironment temp(L"TEMP", long_temp);
  const std::wstring file = scratch_ / L"readonly.dat";
  ASSERT_TRUE(WriteFileBytes(file, "data"));
  ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));

  EXPECT_EQ(MakeMoveAsideTarget(u"del"), u"");
  EXPECT_FALSE(CleanFile(ToU16(file)));

  EXPECT_EQ(LogLines(), (std::vector<std::u16string>{
                            u"Will clean file " + ToU16(file),
                            u"Delete failed and not have a proper move-to target"}));
  EXPECT_EQ(ReadFileBytes(file), "data");
}

TEST(MakeMoveAsideTargetTest, DrawsFreshLettersForEveryTarget) {
  const std::u16string directory = TempDirectory();
  std::set<std::u16string> targets;
  std::set<char16_t> letters;
  for (int i = 0; i < 200; ++i) {
    const std::u16string target = MakeMoveAsideTarget(u"del");
    ASSERT_TRUE(IsMoveAsideTarget(target, directory)) << testutil::Narrow(AsWide(target));
    targets.insert(target);
    letters.insert(target.begin() + directory.size() + 1, target.begin() + directory.size() + 13);
  }
  EXPECT_EQ(targets.size(), 200u);
  // 2400 draws from 26 letters: every one of them shows up.
  EXPECT_EQ(letters.size(), 26u);
  EXPECT_EQ(MakeMoveAsideTarget(u"bak").substr(directory.size() + 13), u".bak");
}

}  // namespace
}  // namespace boot
