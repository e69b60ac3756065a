#include "bootstrapper/install/release_files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "bootstrapper/common/unique_handle.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"
#include "bootstrapper/install/install_path.h"
#include "bootstrapper/install/install_test_fixture.h"
#include "tests/support/scratch_dir.h"

namespace boot {
namespace {

using testutil::ReadFileBytes;
using testutil::ScratchDir;
using testutil::WriteFileBytes;

UpdateTask Task(const char16_t* path, const std::string& content) {
  UpdateTask task;
  task.path = path;
  task.payload = ByteBuffer::CopyOf(content.data(), content.size());
  return task;
}

// The tasks as one list: a task owns its payload and moves, never copies.
template <typename... T>
std::vector<UpdateTask> Tasks(T&&... tasks) {
  std::vector<UpdateTask> list;
  (list.push_back(std::forward<T>(tasks)), ...);
  return list;
}

class ReleaseFilesTest : public InstallTest {
 protected:
  std::u16string Full(const std::wstring& relative) { return ToU16(install_ / relative); }
};

TEST_F(ReleaseFilesTest, AnEmptyListWritesNothing) {
  EXPECT_TRUE(ReleaseFiles(Tasks()));
  EXPECT_TRUE(Lines().empty());
}

TEST_F(ReleaseFilesTest, WritesEveryPayloadAndReplacesWhatWasThere) {
  ASSERT_TRUE(::CreateDirectoryW((install_ / L"bin").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(install_ / L"bin\\app.exe", std::string(10000, 'o')));
  ASSERT_TRUE(WriteFileBytes(install_ / L"emptied.dat", "old content"));
  std::string binary(70000, '\0');
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7);

  EXPECT_TRUE(ReleaseFiles(Tasks(Task(u"bin/app.exe", "new"), Task(u"emptied.dat", ""),
                            Task(u"fresh.bin", binary))));

  // The longer old file leaves nothing behind its new end.
  EXPECT_EQ(ReadFileBytes(install_ / L"bin\\app.exe"), "new");
  EXPECT_TRUE(testutil::FileExists(install_ / L"emptied.dat"));
  EXPECT_EQ(ReadFileBytes(install_ / L"emptied.dat"), "");
  EXPECT_EQ(ReadFileBytes(install_ / L"fresh.bin"), binary);
  EXPECT_EQ(Lines(), (std::vector<std::u16string>{u"Release file " + Full(L"bin\\app.exe"),
                                                  u"Release file " + Full(L"emptied.dat"),
                                                  u"Release file " + Full(L"fresh.bin")}));
}

// Targets that cannot be created, each prepared under the install directory.
struct CreateFailRow {
  const char* name;
  std::wstring target;
  void (*prepare)(const std::wstring& target);
};

class ReleaseCreateFailTest : public ReleaseFilesTest,
                              public testing::WithParamInterface<CreateFailRow> {};

TEST_P(ReleaseCreateFailTest, LogsCreateFailAndLeavesTheTargetAlone) {
  const CreateFailRow& row = GetParam();
  const std::wstring target = install_ / row.target;
  row.prepare(target);
  const DWORD attributes_before = ::GetFileAttributesW(target.c_str());
  const std::string content_before = ReadFileBytes(target);

  EXPECT_FALSE(ReleaseFiles(Tasks(Task(ToU16(row.target).c_str(), "new content"))));
  EXPECT_EQ(Lines(), (std::vector<std::u16string>{u"Release file " + Full(row.target),
                                                  u"Create fail"}));
  EXPECT_EQ(::GetFileAttributesW(target.c_str()), attributes_before);
  EXPECT_EQ(ReadFileBytes(target), content_before);
}

// Read-only, hidden and system targets fail here on Windows too, but Wine running as root lets
// those writes through, so they have no rows.
INSTANTIATE_TEST_SUITE_P(
    Rows, ReleaseCreateFailTest,
    testing::Values(
        CreateFailRow{"MissingParentFolder", L"no\\such\\folder\\app.exe",
                      [](const std::wstring&) {}},
        CreateFailRow{"ADirectoryInThePlace", L"app.exe",
                      [](const std::wstring& target) {
                        ASSERT_TRUE(::CreateDirectoryW(target.c_str(), nullptr));
                      }}),
    [](const testing::TestParamInfo<CreateFailRow>& param) { return param.param.name; });

TEST_F(ReleaseFilesTest, AFileHeldOpenWithoutWriteSharingCannotBeReplaced) {
  // The old application still running, say: it holds its exe open for reading only.
  const std::wstring target = install_ / L"app.exe";
  ASSERT_TRUE(WriteFileBytes(target, "running"));
  UniqueFile held(::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held);
  EXPECT_FALSE(ReleaseFiles(Tasks(Task(u"app.exe", "new"))));
  held.reset();
  EXPECT_EQ(ReadFileBytes(target), "running");
  EXPECT_EQ(Lines(),
            (std::vector<std::u16string>{u"Release file " + Full(L"app.exe"), u"Create fail"}));
}

TEST_F(ReleaseFilesTest, ClosesEveryFileItWrote) {
  ASSERT_TRUE(ReleaseFiles(Tasks(Task(u"a.txt", "abc"), Task(u"b.txt", ""))));
  for (const wchar_t* name : {L"a.txt", L"b.txt"}) {
    // Exclusive access is granted only when no handle of the release is left open.
    UniqueFile exclusive(::CreateFileW((install_ / name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                       0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(exclusive) << testutil::Narrow(name);
  }
}

// Needs a 64 KiB file system as the install directory: scripts/on-small-tmpfs mounts one.
TEST_F(ReleaseFilesTest, APayloadThatDoesNotFitIsAWriteFail) {
  wchar_t small[MAX_PATH] = {};
  if (::GetEnvironmentVariableW(L"BOOT_SMALL_DIR", small, MAX_PATH) == 0) {
    GTEST_SKIP() << "needs a small file system: run through scripts/on-small-tmpfs";
  }
  BaseDirectory = ToU16(small);
  EXPECT_FALSE(ReleaseFiles(Tasks(Task(u"big.bin", std::string(1 << 20, 'x')),
                             Task(u"after.txt", "never written"))));
  EXPECT_EQ(Lines(), (std::vector<std::u16string>{
                         u"Release file " + ToU16(small) + u"\\big.bin", u"Write fail"}));
  // The file stays as the system left it; the next task is not attempted.
  EXPECT_TRUE(testutil::FileExists(std::wstring(small) + L"\\big.bin"));
  EXPECT_LT(ReadFileBytes(std::wstring(small) + L"\\big.bin").size(), std::size_t{1} << 20);
  EXPECT_FALSE(testutil::FileExists(std::wstring(small) + L"\\after.txt"));
}

}  // namespace
}  // namespace boot
