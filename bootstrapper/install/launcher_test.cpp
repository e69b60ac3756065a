#include "bootstrapper/install/launcher.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"
#include "bootstrapper/install/install_path.h"
#include "tests/support/artifacts.h"
#include "bootstrapper/install/install_test_fixture.h"
#include "tests/support/scratch_dir.h"

namespace boot {
namespace {

using testutil::ScratchDir;

class LauncherTest : public InstallTest {
 protected:
  void InstallTestApp(const std::wstring& relative) {
    ASSERT_TRUE(::CopyFileW(testutil::TestAppPath().c_str(),
                            (install_ / relative).c_str(), FALSE));
  }
  // The marker that the test application writes into its current directory when started
  // without arguments; waits up to 30 s for it.
  std::string WaitForMarker() {
    const std::wstring marker = run_dir_ / L"launched.txt";
    for (int i = 0; i < 300; ++i) {
      const std::string text = testutil::ReadFileBytes(marker);
      if (text.find("exe=") != std::string::npos && text.back() == '\n') return text;
      ::Sleep(100);
    }
    return {};
  }
};

TEST_F(LauncherTest, StartsTheFileWithNoArgumentsInOurCurrentDirectory) {
  ASSERT_TRUE(::CreateDirectoryW((install_ / L"bin").c_str(), nullptr));
  InstallTestApp(L"bin\\app.exe");
  EXPECT_TRUE(StartLauncher(u"bin/app.exe"));
  EXPECT_EQ(Lines(), std::vector<std::u16string>{u"Will launch with bin/app.exe"});

  const std::string marker = WaitForMarker();
  ASSERT_FALSE(marker.empty()) << "the launcher did not start";
  EXPECT_EQ(marker, "args=0\ncwd=" + testutil::Narrow(run_dir_.path()) +
                        "\nexe=" + testutil::Narrow(install_ / L"bin\\app.exe") + "\n");
}

struct NotLegalRow {
  const char* name;
  std::u16string launcher;
  std::u16string shown_path;  // relative to the install directory, as joined
  void (*prepare)(const std::wstring& install);
};

class LauncherNotLegalTest : public LauncherTest,
                             public testing::WithParamInterface<NotLegalRow> {};

TEST_P(LauncherNotLegalTest, RefusesWithoutCallingTheShell) {
  const NotLegalRow& row = GetParam();
  row.prepare(install_.path());
  EXPECT_FALSE(StartLauncher(row.launcher));
  EXPECT_EQ(Lines(), (std::vector<std::u16string>{
                         u"Will launch with " + row.launcher,
                         ToU16(install_.path()) + u"\\" + row.shown_path + u" is not a legal file"}));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LauncherNotLegalTest,
    testing::Values(
        NotLegalRow{"Missing", u"app.exe", u"app.exe", [](const std::wstring&) {}},
        NotLegalRow{"ADirectory", u"app.exe", u"app.exe",
                    [](const std::wstring& install) {
                      ASSERT_TRUE(::CreateDirectoryW((install + L"\\app.exe").c_str(), nullptr));
                    }},
        // The line shows the joined path with backslashes, the first line the value as written.
        NotLegalRow{"MissingWithSlashes", u"bin/app.exe", u"bin\\app.exe",
                    [](const std::wstring&) {}},
        // An empty value joins to the install directory itself, which is no file.
        NotLegalRow{"Empty", u"", u"", [](const std::wstring&) {}}),
    [](const testing::TestParamInfo<NotLegalRow>& param) { return param.param.name; });

TEST_F(LauncherTest, AShellFailureIsFalseWithoutALineOfItsOwn) {
  ASSERT_TRUE(testutil::WriteFileBytes(install_ / L"broken.exe", "not a program"));
  EXPECT_FALSE(StartLauncher(u"broken.exe"));
  EXPECT_EQ(Lines(), std::vector<std::u16string>{u"Will launch with broken.exe"});
}

}  // namespace
}  // namespace boot
