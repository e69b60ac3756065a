// The demo application of `make demo`, built twice from this one source: DEMO_VERSION 1 is the
// installed version, DEMO_VERSION 2 the one the update delivers. It opens no window and says
// what it does in demo-output.txt beside itself.
//
//   demo_app.exe [UPDATE_EXE]
//
// Version 1, at its first start in a folder, leaves behind what the new version no longer
// wants (obsolete.txt, cache\thumbs\ with files, HKCU\Software\BootstrapperDemo\Cache\...).
// Given UPDATE_EXE, it starts the update the way an application does (-update, its own folder
// as -base, its own process id as -ppid), finishes its work for a moment and exits; the update
// waits for that, writes version 2 and starts it.
#include <windows.h>
#include <shellapi.h>

#include <string>

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

// Starts the update exe detached, as the application would: it must outlive us.
bool StartUpdate(const std::wstring& update_exe, const std::wstring& folder) {
  std::wstring command = L"\"" + update_exe + L"\" -update \"-base=" + folder + L"\" -ppid=" +
                         std::to_wstring(::GetCurrentProcessId());
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
    return false;
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return true;
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
    if (StartUpdate(argv[1], folder)) {
      AppendUtf8(output, L"version 1: started the update with -ppid=" + pid +
                             L", finishing up and exiting\n");
      // Still busy for a moment: the update has to wait for this process to end.
      ::Sleep(2500);
    } else {
      AppendUtf8(output, L"version 1: could not start the update\n");
    }
  }
  AppendUtf8(output, L"version 1: exited\n");
#else
  AppendUtf8(output, L"demo app version 2 running (pid " + pid + L"): the update worked\n");
#endif
  return 0;
}
