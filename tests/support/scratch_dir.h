// Helpers shared by the Win32 tests: scratch folders, whole-file reads and writes, and running
// a program to completion. Win32 only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace boot::testutil {

// A fresh, empty folder under the temp directory, removed with everything in it when the object
// dies. With make_current it is also the current directory meanwhile (restored afterwards).
class ScratchDir {
 public:
  explicit ScratchDir(bool make_current = false);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::wstring& path() const { return path_; }
  // path() + L"\\" + relative
  std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

 private:
  std::wstring path_;
  std::wstring previous_cwd_;
};

// Removes a file or a folder tree; read-only attributes are cleared first.
void RemoveTree(const std::wstring& path);

// Calls `visit` with the path relative to `dir` and the attributes of every file and folder
// below `dir`, each folder before what it holds.
void WalkTree(const std::wstring& dir,
              const std::function<void(const std::wstring& relative, DWORD attributes)>& visit);

// Whole-file helpers; ReadFileBytes returns an empty string for a missing file.
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);

// Narrow (UTF-8) copy of a wide string, for test messages.
std::string Narrow(std::wstring_view text);

// The Windows path of a Unix path under Wine's Z: drive: /a/b -> Z:\a\b.
std::wstring WinePath(const std::string& unix_path);

// Starts `command_line` in `directory` (empty: this process's) without waiting. Returns the
// process handle, which the caller closes, or null when it could not start; sets *pid if given.
HANDLE StartProcess(const std::wstring& command_line, const std::wstring& directory,
                    DWORD* pid = nullptr);

// Runs `command_line` in `directory` and waits at most `timeout_ms`. Returns the exit code, or
// -1 when the process could not start or did not end in time (it is then terminated).
long RunProcess(const std::wstring& command_line, const std::wstring& directory,
                DWORD timeout_ms = 60000);

// Copies `source` to `target` and adds or replaces resources in the copy with
// BeginUpdateResourceW/UpdateResourceW (language neutral). For tests that need a stub carrying
// a given manifest or payload.
struct TestResource {
  WORD type;
  WORD name;
  std::string bytes;
};
bool StampResources(const std::wstring& source, const std::wstring& target,
                    const std::vector<TestResource>& resources);

// Lines of a UTF-16LE log file (each ended by U+000A); empty when the file is missing.
std::vector<std::u16string> ReadLogLines(const std::wstring& path);
// The only log file in `directory`\DebugLogs, or an empty string when there is none or several.
std::wstring FindOnlyLog(const std::wstring& directory);

}  // namespace boot::testutil
