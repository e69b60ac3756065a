#include "tests/support/artifacts.h"

#include <windows.h>

#include "tests/support/scratch_dir.h"

namespace boot::testutil {

const std::wstring& StubPath() {
  static const std::wstring path = WinePath(BOOT_STUB_PATH);
  return path;
}

const std::wstring& BootpackPath() {
  static const std::wstring path = WinePath(BOOT_BOOTPACK_PATH);
  return path;
}

const std::wstring& TestAppPath() {
  static const std::wstring path = WinePath(BOOT_TEST_APP_PATH);
  return path;
}

std::u16string TempDirectory() {
  wchar_t temp[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, temp);
  std::u16string dir(reinterpret_cast<const char16_t*>(temp));
  if (!dir.empty() && dir.back() == u'\\') dir.pop_back();
  return dir;
}

}  // namespace boot::testutil
