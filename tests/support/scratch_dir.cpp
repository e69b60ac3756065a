#include "tests/support/scratch_dir.h"

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>

namespace boot::testutil {
namespace {

// Ends every process started from an exe under `folder` (a launcher an update started, an
// update that outlived its test). Such a process would hold the test's output open, and ctest
// waits for that after the test itself has ended.
void EndProcessesUnder(const std::wstring& folder) {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE,
                                   FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    wchar_t image[MAX_PATH * 4];
    DWORD length = MAX_PATH * 4;
    if (::QueryFullProcessImageNameW(process, 0, image, &length) && length > folder.size() &&
        ::CompareStringOrdinal(image, static_cast<int>(folder.size()), folder.c_str(),
                               static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL &&
        image[folder.size()] == L'\\') {
      ::TerminateProcess(process, 1);
      ::WaitForSingleObject(process, 5000);
    }
    ::CloseHandle(process);
  }
  ::CloseHandle(snapshot);
}

}  // namespace

ScratchDir::ScratchDir(bool make_current) {
  static std::atomic<unsigned> counter{0};
  wchar_t temp[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, temp);
  for (;;) {
    path_ = std::wstring(temp) + L"boot-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(::GetTickCount()) + L"-" + std::to_wstring(counter++);
    if (::CreateDirectoryW(path_.c_str(), nullptr)) break;
  }
  if (make_current) {
    wchar_t cwd[MAX_PATH + 1] = {};
    ::GetCurrentDirectoryW(MAX_PATH + 1, cwd);
    previous_cwd_ = cwd;
    ::SetCurrentDirectoryW(path_.c_str());
  }
}

ScratchDir::~ScratchDir() {
  if (!previous_cwd_.empty()) ::SetCurrentDirectoryW(previous_cwd_.c_str());
  EndProcessesUnder(path_);
  RemoveTree(path_);
}

void RemoveTree(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::DeleteFileW(path.c_str());
    return;
  }
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName;
      if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(path.c_str());
}

namespace {

void WalkTreeBelow(const std::wstring& dir, const std::wstring& prefix,
                   const std::function<void(const std::wstring&, DWORD)>& visit) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((dir + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    visit(prefix + name, data.dwFileAttributes);
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      WalkTreeBelow(dir + L"\\" + name, prefix + name + L"\\", visit);
    }
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
}

}  // namespace

void WalkTree(const std::wstring& dir,
              const std::function<void(const std::wstring& relative, DWORD attributes)>& visit) {
  WalkTreeBelow(dir, L"", visit);
}

std::string ReadFileBytes(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    bytes.append(buffer, read);
  }
  ::CloseHandle(file);
  return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::size_t done = 0;
  bool ok = true;
  while (ok && done < bytes.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 24));
    ok = ::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written == chunk;
    done += written;
  }
  ::CloseHandle(file);
  return ok;
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string Narrow(std::wstring_view text) {
  if (text.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

std::wstring WinePath(const std::string& unix_path) {
  std::wstring path = L"Z:";
  for (char c : unix_path) path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
  return path;
}

HANDLE StartProcess(const std::wstring& command_line, const std::wstring& directory,
                    DWORD* pid) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::wstring mutable_line = command_line;
  if (!::CreateProcessW(nullptr, mutable_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &process)) {
    return nullptr;
  }
  ::CloseHandle(process.hThread);
  if (pid != nullptr) *pid = process.dwProcessId;
  return process.hProcess;
}

long RunProcess(const std::wstring& command_line, const std::wstring& directory,
                DWORD timeout_ms) {
  HANDLE process = StartProcess(command_line, directory);
  if (process == nullptr) return -1;
  long result = -1;
  if (::WaitForSingleObject(process, timeout_ms) == WAIT_OBJECT_0) {
    DWORD code = 0;
    if (::GetExitCodeProcess(process, &code)) result = static_cast<long>(code);
  } else {
    ::TerminateProcess(process, 1);
  }
  ::CloseHandle(process);
  return result;
}

bool StampResources(const std::wstring& source, const std::wstring& target,
                    const std::vector<TestResource>& resources) {
  if (!::CopyFileW(source.c_str(), target.c_str(), FALSE)) return false;
  HANDLE update = ::BeginUpdateResourceW(target.c_str(), FALSE);
  if (update == nullptr) return false;
  for (const TestResource& r : resources) {
    if (!::UpdateResourceW(update, MAKEINTRESOURCEW(r.type), MAKEINTRESOURCEW(r.name),
                           MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                           const_cast<char*>(r.bytes.data()), static_cast<DWORD>(r.bytes.size()))) {
      ::EndUpdateResourceW(update, TRUE);
      return false;
    }
  }
  return ::EndUpdateResourceW(update, FALSE) != FALSE;
}

std::vector<std::u16string> ReadLogLines(const std::wstring& path) {
  const std::string bytes = ReadFileBytes(path);
  std::vector<std::u16string> lines;
  std::u16string line;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                             (static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (c == u'\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line.push_back(c);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::wstring FindOnlyLog(const std::wstring& directory) {
  std::wstring found;
  int count = 0;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((directory + L"\\DebugLogs\\*_upd.txt").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return {};
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      found = directory + L"\\DebugLogs\\" + data.cFileName;
      ++count;
    }
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return count == 1 ? found : std::wstring();
}

}  // namespace boot::testutil
