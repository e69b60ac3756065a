// Shared by the cleaners' tests: a scratch directory made current with a debug log open in it,
// a scratch registry key, a temporary override of an environment variable, a file held open.
// Win32 only.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "bootstrapper/common/unique_handle.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"
#include "tests/support/scratch_dir.h"

namespace boot::testutil {

// Each test runs in its own scratch directory (current meanwhile) with a fresh log in
// DebugLogs; LogLines() returns what the code under test wrote so far.
class CleanLogTest : public ::testing::Test {
 protected:
  void SetUp() override { OpenDebugLog(); }
  void TearDown() override { CloseDebugLogForTesting(); }

  std::vector<std::u16string> LogLines() const {
    return ReadLogLines(FindOnlyLog(scratch_.path()));
  }
  // A full path inside the scratch directory, as the cleaners take it.
  std::u16string PathOf(const std::wstring& relative) const { return ToU16(scratch_ / relative); }

  ScratchDir scratch_{/*make_current=*/true};
};

// Sets an environment variable of this process for the object's lifetime.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, const std::wstring& value) : name_(name) {
    wchar_t old[32768];
    const DWORD n = ::GetEnvironmentVariableW(name, old, 32768);
    if (n > 0 && n < 32768) previous_ = std::wstring(old, n);
    ::SetEnvironmentVariableW(name, value.c_str());
  }
  ~ScopedEnvironment() {
    ::SetEnvironmentVariableW(name_.c_str(), previous_ ? previous_->c_str() : nullptr);
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::wstring name_;
  std::optional<std::wstring> previous_;
};

// Opens `path` for reading without any sharing, so that deleting, moving or renaming it fails
// while the handle lives.
inline UniqueFile LockFile(const std::wstring& path) {
  return UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

// A key Software\BootTest-<pid>-<tick>-<n> under `root`, deleted with everything below it when
// the object dies. Keys are made relative to it with Create().
class ScratchKey {
 public:
  explicit ScratchKey(HKEY root) : root_(root) {
    static std::atomic<unsigned> counter{0};
    subkey_ = L"Software\\BootTest-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
              std::to_wstring(::GetTickCount()) + L"-" + std::to_wstring(counter++);
    created_ = Create(L"");
  }
  ~ScratchKey() { ::RegDeleteTreeW(root_, subkey_.c_str()); }
  ScratchKey(const ScratchKey&) = delete;
  ScratchKey& operator=(const ScratchKey&) = delete;

  bool created() const { return created_; }
  // Root-relative path of `relative` below the scratch key.
  std::wstring SubkeyOf(const std::wstring& relative) const {
    return relative.empty() ? subkey_ : subkey_ + L"\\" + relative;
  }
  // Creates `relative` (with any missing parents) and gives it one value.
  bool Create(const std::wstring& relative) const {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(root_, SubkeyOf(relative).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                          nullptr, &key, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    const DWORD value = 42;
    const bool ok = ::RegSetValueExW(key, L"Value", 0, REG_DWORD,
                                     reinterpret_cast<const BYTE*>(&value),
                                     sizeof value) == ERROR_SUCCESS;
    ::RegCloseKey(key);
    return ok;
  }
  bool Exists(const std::wstring& relative) const {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root_, SubkeyOf(relative).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return false;
    }
    ::RegCloseKey(key);
    return true;
  }

 private:
  HKEY root_;
  std::wstring subkey_;
  bool created_ = false;
};

}  // namespace boot::testutil
