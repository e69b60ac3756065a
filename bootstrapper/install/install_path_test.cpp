#include "bootstrapper/install/install_path.h"

#include <gtest/gtest.h>

#include <string>

namespace boot {
namespace {

struct JoinRow {
  std::u16string base;
  std::u16string relative;
  std::u16string expected;
};

class JoinInstallPathTest : public testing::TestWithParam<JoinRow> {};

TEST_P(JoinInstallPathTest, JoinsWithOneBackslashAndNormalisesEverySlash) {
  const JoinRow& row = GetParam();
  EXPECT_EQ(JoinInstallPath(row.base, row.relative), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, JoinInstallPathTest,
    testing::Values(
        // A base without a trailing separator.
        JoinRow{u"C:\\Prog\\App", u"app.exe", u"C:\\Prog\\App\\app.exe"},
        JoinRow{u"C:\\Prog\\App", u"data/cache/", u"C:\\Prog\\App\\data\\cache\\"},
        JoinRow{u"C:\\Prog\\App", u"/app.exe", u"C:\\Prog\\App\\app.exe"},
        JoinRow{u"C:\\Prog\\App", u"\\app.exe", u"C:\\Prog\\App\\app.exe"},
        JoinRow{u"C:\\Prog\\App", u"..\\x.dll", u"C:\\Prog\\App\\..\\x.dll"},
        JoinRow{u"C:\\Prog\\App", u"D:\\x.dll", u"C:\\Prog\\App\\D:\\x.dll"},
        JoinRow{u"C:\\Prog\\App", u"", u"C:\\Prog\\App\\"},
        // Slashes in the base, and a trailing separator: nothing inserted, nothing collapsed.
        JoinRow{u"C:/Prog/App/", u"app.exe", u"C:\\Prog\\App\\app.exe"},
        JoinRow{u"C:/Prog/App/", u"\\app.exe", u"C:\\Prog\\App\\\\app.exe"},
        JoinRow{u"C:/Prog/App/", u"", u"C:\\Prog\\App\\"},
        JoinRow{u"C:\\Prog\\App\\", u"bin//a.dll", u"C:\\Prog\\App\\bin\\\\a.dll"},
        // Case, blanks and non-ASCII text pass through untouched.
        JoinRow{u"C:\\Пример", u" Sub Dir /Файл.EXE ", u"C:\\Пример\\ Sub Dir \\Файл.EXE "},
        JoinRow{u"\\\\server\\share", u"a/b", u"\\\\server\\share\\a\\b"},
        // An empty base: the relative path itself, never one that starts at the drive root.
        JoinRow{u"", u"app.exe", u"app.exe"},
        JoinRow{u"", u"data/cache/", u"data\\cache\\"},
        JoinRow{u"", u"..\\x.dll", u"..\\x.dll"},
        JoinRow{u"", u"", u""},
        JoinRow{u"", u"/app.exe", u"app.exe"},
        JoinRow{u"", u"\\\\srv\\share\\x", u"srv\\share\\x"}));

TEST(IsAbsoluteWindowsPathTest, AcceptsOnlyPathsThatNeedNoCurrentDriveOrDirectory) {
  for (const char16_t* path : {u"C:\\App", u"z:/", u"\\\\server\\share", u"//server/share",
                               u"\\\\?\\C:\\App"}) {
    EXPECT_TRUE(IsAbsoluteWindowsPath(path)) << testing::PrintToString(std::u16string(path));
  }
  for (const char16_t* path : {u"", u"C:", u"C:App", u"\\App", u"App\\x", u"1:\\x",
                               u"\\\\\\x", u"..\\App"}) {
    EXPECT_FALSE(IsAbsoluteWindowsPath(path)) << testing::PrintToString(std::u16string(path));
  }
}

TEST(NormalizeSlashesTest, TurnsEverySlashIntoABackslashAndKeepsTheLength) {
  std::u16string path = u"/a//b\\c/ é/";
  NormalizeSlashes(path);
  EXPECT_EQ(path, u"\\a\\\\b\\c\\ é\\");

  // A code unit whose low byte is 0x2F is not a slash.
  std::u16string wide = u"\u012F\u2F2F/";
  NormalizeSlashes(wide);
  EXPECT_EQ(wide, u"\u012F\u2F2F\\");
}

}  // namespace
}  // namespace boot
