// A stand-in for the application being updated, for the Win32 and end-to-end tests.
//   boot_test_app                          writes launched.txt into the current directory:
//                                          its argument count, current directory and own path
//   boot_test_app sleep MS [FROM TO]       sleeps MS milliseconds, then (if given) copies the
//                                          file FROM to TO, and exits: a "parent" that is still
//                                          running for a while and records what it saw last
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

bool WriteText(const wchar_t* path, const std::wstring& text) {
  HANDLE file = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), n,
                        nullptr, nullptr);
  DWORD written = 0;
  const BOOL ok = ::WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  ::CloseHandle(file);
  return ok && written == utf8.size();
}

}  // namespace

int wmain() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv == nullptr) return 2;

  if (argc >= 3 && std::wcscmp(argv[1], L"sleep") == 0) {
    ::Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    if (argc >= 5 && !::CopyFileW(argv[3], argv[4], FALSE)) return 3;
    return 0;
  }

  wchar_t cwd[MAX_PATH + 1] = {};
  ::GetCurrentDirectoryW(MAX_PATH + 1, cwd);
  wchar_t self[MAX_PATH + 1] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
  const std::wstring text = L"args=" + std::to_wstring(argc - 1) + L"\ncwd=" + cwd +
                            L"\nexe=" + self + L"\n";
  return WriteText(L"launched.txt", text) ? 0 : 1;
}
