// Timing harness for bench/apply.sh, run under Wine.
//   apply_harness run DIR COMMAND...   runs COMMAND in DIR to its end; prints its wall time
//   apply_harness copy FROM TO         copies every file of folder FROM into folder TO (which
//                                      exists) with one read and one write each; prints the time
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

double Seconds(LARGE_INTEGER start) {
  LARGE_INTEGER now, frequency;
  ::QueryPerformanceCounter(&now);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

int Run(const std::wstring& directory, std::wstring command) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  LARGE_INTEGER start;
  ::QueryPerformanceCounter(&start);
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.c_str(), &startup, &process)) {
    std::fprintf(stderr, "apply_harness: cannot start the command (error %lu)\n", ::GetLastError());
    return 1;
  }
  ::CloseHandle(process.hThread);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  const double seconds = Seconds(start);
  ::CloseHandle(process.hProcess);
  std::printf("seconds %.3f\n", seconds);
  return 0;
}

bool CopyOne(const std::wstring& from, const std::wstring& to) {
  HANDLE in = ::CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  ::GetFileSizeEx(in, &size);
  std::vector<char> bytes(static_cast<std::size_t>(size.QuadPart));
  DWORD done = 0;
  const bool read = bytes.empty() || (::ReadFile(in, bytes.data(), static_cast<DWORD>(bytes.size()),
                                                 &done, nullptr) && done == bytes.size());
  ::CloseHandle(in);
  if (!read) return false;
  HANDLE out = ::CreateFileW(to.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  const bool written = bytes.empty() || (::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()),
                                                     &done, nullptr) && done == bytes.size());
  ::CloseHandle(out);
  return written;
}

int Copy(const std::wstring& from, const std::wstring& to) {
  LARGE_INTEGER start;
  ::QueryPerformanceCounter(&start);
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((from + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return 1;
  int files = 0;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (!CopyOne(from + L"\\" + data.cFileName, to + L"\\" + data.cFileName)) {
      std::fprintf(stderr, "apply_harness: cannot copy %ls\n", data.cFileName);
      ::FindClose(find);
      return 1;
    }
    ++files;
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  std::printf("seconds %.3f\nfiles %d\n", Seconds(start), files);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 4 && std::wstring(argv[1]) == L"run") {
    std::wstring command;
    for (int i = 3; i < argc; ++i) {
      if (i > 3) command += L" ";
      command += L"\"" + std::wstring(argv[i]) + L"\"";
    }
    return Run(argv[2], command);
  }
  if (argc == 4 && std::wstring(argv[1]) == L"copy") return Copy(argv[2], argv[3]);
  std::fprintf(stderr, "usage: apply_harness run DIR COMMAND... | copy FROM TO\n");
  return 2;
}
