// The demo application of `make demo`, built twice from this one source: DEMO_VERSION 1 is the
// installed version, DEMO_VERSION 2 the one the update delivers. It opens no window and says
// what it does in demo-output.txt beside itself.
//
//   demo_app.exe [UPDATE_EXE]
//
// Version 1, at its first start in a folder, leaves behind what the new version no longer
// wants (obsolete.txt, cache\thumbs\ with files, HKCU\Software\BootstrapperDemo\Cache\...).
// Given UPDATE_EXE, it starts the update through the kit (kit/update_kit.h: -update, its own
// folder as -base, its own process id as -ppid, the update's log in its data folder), finishes
// its work for a moment and exits; the update waits for that, writes version 2 and starts it.
// Version 2 reads from that log how the update went.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "kit/update_kit.h"

#ifndef DEMO_VERSION
#error "build with DEMO_VERSION=1 or DEMO_VERSION=2"
#endif

namespace {

std::wstring OwnFolder() {
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return L".";
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L'\\'));
}

// Where the update's logs go. A real application would use its folder under %LOCALAPPDATA%; the
// demo keeps everything under build/demo: data\ beside the install folder.
std::wstring DataFolder(const std::wstring& install_folder) {
  return install_folder.substr(0, install_folder.find_last_of(L'\\')) + L"\\data";
}

bool AppendUtf8(const std::wstring& path, const std::wstring& text) {
  HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

#if DEMO_VERSION == 1

// What an older version accumulates: a file, a cache folder, a registry tree.
void LeaveOldState(const std::wstring& folder) {
  AppendUtf8(folder + L"\\obsolete.txt", L"only version 1 reads this file\n");
  ::CreateDirectoryW((folder + L"\\cache").c_str(), nullptr);
  ::CreateDirectoryW((folder + L"\\cache\\thumbs").c_str(), nullptr);
  for (int i = 1; i <= 3; ++i) {
    AppendUtf8(folder + L"\\cache\\thumbs\\thumb" + std::to_wstring(i) + L".bin",
               L"thumbnail " + std::to_wstring(i) + L"\n");
  }
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER,
                        L"Software\\BootstrapperDemo\\Cache\\Deep\\Deeper\\Deepest", 0, nullptr,
                        0, KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    const wchar_t value[] = L"written by version 1";
    ::RegSetValueExW(key, L"Note", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                     sizeof value);
    ::RegCloseKey(key);
  }
}

#else

// What the log of the last update says, as one line for demo-output.txt.
std::wstring DescribeLastUpdate(const std::wstring& data_folder) {
  bootkit::UpdateOutcome outcome;
  // The update that started us still writes its last line: wait for it to end.
  if (!bootkit::ReadLastUpdateOutcome(data_folder, 30000, outcome)) {
    return L"cannot read the update log (error " + std::to_wstring(::GetLastError()) + L")";
  }
  const std::wstring line = bootkit::ToWide(outcome.line);
  const std::wstring error = outcome.error.empty() ? L"" : L" (" + bootkit::ToWide(outcome.error) + L")";
  switch (outcome.result) {
    case bootkit::UpdateResult::NoLog:
      return L"no update log";
    case bootkit::UpdateResult::Updated:
      return L"updated to version " + bootkit::ToWide(outcome.version);
    case bootkit::UpdateResult::RolledBack:
      return L"rolled back after: " + line + error;
    case bootkit::UpdateResult::Failed:
      return L"failed: " + line + error;
    case bootkit::UpdateResult::Running:
      return L"still running, last line: " + line;
    case bootkit::UpdateResult::WrongRelease:
      return L"made for another release, nothing changed: " + line;
  }
  return L"";
}

#endif

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::wstring folder = OwnFolder();
  const std::wstring output = folder + L"\\demo-output.txt";
  const std::wstring pid = std::to_wstring(::GetCurrentProcessId());

#if DEMO_VERSION == 1
  const bool first_start = ::GetFileAttributesW(output.c_str()) == INVALID_FILE_ATTRIBUTES;
  AppendUtf8(output, L"demo app version 1 running (pid " + pid + L")\n");
  if (first_start) {
    LeaveOldState(folder);
    AppendUtf8(output, L"version 1: first start, left obsolete.txt, cache\\thumbs\\ and "
                       L"HKCU\\Software\\BootstrapperDemo\\Cache behind\n");
  }
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv != nullptr && argc >= 2) {
    if (bootkit::StartUpdate(argv[1], folder, DataFolder(folder))) {
      AppendUtf8(output, L"version 1: started the update with -ppid=" + pid +
                             L", finishing up and exiting\n");
      // Still busy for a moment: the update has to wait for this process to end.
      ::Sleep(2500);
    } else {
      AppendUtf8(output, L"version 1: could not start the update (error " +
                             std::to_wstring(::GetLastError()) + L")\n");
    }
  }
  AppendUtf8(output, L"version 1: exited\n");
#else
  AppendUtf8(output, L"demo app version 2 running (pid " + pid + L"): the update worked\n");
  AppendUtf8(output, L"version 2: the last update: " + DescribeLastUpdate(DataFolder(folder)) + L"\n");
#endif
  return 0;
}
