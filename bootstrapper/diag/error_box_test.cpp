#include "bootstrapper/diag/error_box.h"

#include <gtest/gtest.h>

namespace boot {
namespace {

std::wstring SystemDescription(DWORD code) {
  wchar_t* text = nullptr;
  ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring result = text ? text : L"";
  ::LocalFree(text);
  return result;
}

TEST(ErrorBoxTextTest, NamesTheFailureTheCodeAndTheSystemDescription) {
  const std::wstring description = SystemDescription(ERROR_ACCESS_DENIED);
  ASSERT_FALSE(description.empty());
  EXPECT_EQ(FormatErrorBoxText(L"Failed to create log file", 5),
            L"Failed to create log file, error code: 5\nError message: " + description);
}

TEST(ErrorBoxTextTest, UsesUnknownErrorWhenTheSystemHasNoDescription) {
  EXPECT_EQ(FormatErrorBoxText(L"Failed to create log directory", 0x2000ABCD),
            L"Failed to create log directory, error code: 536914893\nError message: (Unknown error)");
}

TEST(ErrorBoxTextTest, PrintsCodesFromTheHighHalfAsNegativeNumbers) {
  const std::wstring text = FormatErrorBoxText(L"x", 0x80000000u);
  EXPECT_EQ(text.rfind(L"x, error code: -2147483648\nError message: ", 0), 0u) << text;
}

TEST(ErrorBoxTextTest, FormatsCodeZeroWithItsDescription) {
  EXPECT_EQ(FormatErrorBoxText(L"x", 0),
            L"x, error code: 0\nError message: " + SystemDescription(0));
}

TEST(ErrorBoxTextTest, CutsAVeryLongTextAtTheFormatterLimit) {
  const std::wstring entry(5000, L'y');
  const std::wstring caller = L"Failed to write log entry '" + entry + L"'";
  const std::wstring text = FormatErrorBoxText(caller.c_str(), 112);
  // 1024 characters with the terminator: the text is a prefix of the caller's text.
  EXPECT_EQ(text.size(), 1023u);
  EXPECT_EQ(caller.compare(0, text.size(), text), 0);
}

}  // namespace
}  // namespace boot
