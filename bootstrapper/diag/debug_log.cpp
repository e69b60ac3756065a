#include "bootstrapper/diag/debug_log.h"

#include <windows.h>

#include <cstddef>

#include "bootstrapper/common/decimal.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/error_box.h"

namespace boot {
namespace {

// Null means no log. Never left at INVALID_HANDLE_VALUE.
HANDLE LogFileHandle = nullptr;

void DropLog() {
  ::CloseHandle(LogFileHandle);
  LogFileHandle = nullptr;
}

// Open LogFlushBatch objects, and whether a line has been written since the last flush.
int OpenBatches = 0;
bool UnflushedLines = false;

// Flushes the log; on failure shows the error box for `entry`'s line and drops the log.
void FlushLog(std::u16string_view entry) {
  UnflushedLines = false;
  if (::FlushFileBuffers(LogFileHandle)) return;
  const DWORD error = ::GetLastError();
  const std::wstring text = L"Failed to flush log on entry '" + std::wstring(AsWide(entry)) + L"'";
  ShowErrorBox(text.c_str(), error);
  DropLog();
}

// The last line written, for the error box of a batch's flush.
std::u16string LastLine;

}  // namespace

std::wstring FormatLogFileName(int year, int month, int day, int hour, int minute, int second) {
  wchar_t name[64] = {};
  ::wsprintfW(name, L"DebugLogs\\%04d%02d%02d_%02d%02d%02d_upd.txt", year, month, day, hour,
              minute, second);
  return name;
}

void OpenDebugLog() {
  if (LogFileHandle != nullptr) return;

  if (!::CreateDirectoryW(L"DebugLogs", nullptr)) {
    const DWORD error = ::GetLastError();
    if (error != 0 && error != ERROR_ALREADY_EXISTS) {
      ShowErrorBox(L"Failed to create log directory", error);
      return;
    }
  }

  SYSTEMTIME now = {};
  ::GetLocalTime(&now);
  const std::wstring name =
      FormatLogFileName(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
  // Shared for read, write and delete so that the log can be watched and removed while the run
  // holds it open until exit.
  HANDLE file = ::CreateFileW(name.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    ShowErrorBox(L"Failed to create log file", error);
    return;
  }
  LogFileHandle = file;
}

void WriteLog(std::u16string_view entry) {
  if (LogFileHandle == nullptr) return;

  std::u16string line;
  line.reserve(entry.size() + 1);
  line.append(entry).push_back(u'\n');

  DWORD written = 0;
  if (!::WriteFile(LogFileHandle, line.data(), static_cast<DWORD>(line.size() * sizeof(char16_t)),
                   &written, nullptr)) {
    const DWORD error = ::GetLastError();
    const std::wstring text = L"Failed to write log entry '" + std::wstring(AsWide(entry)) + L"'";
    ShowErrorBox(text.c_str(), error);
    DropLog();
    return;
  }
  if (OpenBatches == 0) {
    FlushLog(entry);
  } else {
    UnflushedLines = true;
    LastLine.assign(entry);
  }
}

LogFlushBatch::LogFlushBatch() { ++OpenBatches; }

LogFlushBatch::~LogFlushBatch() {
  if (--OpenBatches == 0 && UnflushedLines && LogFileHandle != nullptr) FlushLog(LastLine);
}

void WriteErrorLog(unsigned long code) {
  std::wstring description = DescribeSystemError(code);
  if (description.empty()) description = L"(Unknown error)";
  WriteLog(u"Error " + ToDecimal(code) + u": " + ToU16(description));
}

void WriteFailureLog(std::u16string_view line, unsigned long code) {
  WriteLog(line);
  WriteErrorLog(code);
  ::SetLastError(code);
}

void WriteFatalLog(const char16_t* line) noexcept {
  if (LogFileHandle == nullptr) return;
  char16_t buffer[202];
  std::size_t length = 0;
  while (line[length] != u'\0' && length < 200) {
    buffer[length] = line[length];
    ++length;
  }
  buffer[length++] = u'\n';
  DWORD written = 0;
  if (::WriteFile(LogFileHandle, buffer, static_cast<DWORD>(length * sizeof(char16_t)), &written,
                  nullptr)) {
    ::FlushFileBuffers(LogFileHandle);
  }
}

void CloseDebugLogForTesting() {
  if (LogFileHandle != nullptr) DropLog();
}

}  // namespace boot
