// The per-run debug log: DebugLogs\YYYYMMDD_HHMMSS_upd.txt under the current directory,
// UTF-16LE without a byte-order mark, one entry per line ended by U+000A. Win32 only.
#pragma once

#include <string>
#include <string_view>

namespace boot {

// Creates DebugLogs (an existing one is fine) and a new log file named after the local time.
// Failures are reported in the error box and leave the run without a log. Does nothing when a
// log is already open. The file stays open until the process exits.
void OpenDebugLog();

// Appends `entry` and one line feed with a single WriteFile, then flushes (unless a
// LogFlushBatch is open). The first failed write or flush shows the error box, closes the log
// and drops every later entry silently.
void WriteLog(std::u16string_view entry);

// While one lives, log lines are still written one by one at once (a killed process leaves every
// line in the file) but reach the disk with one flush when the outermost batch ends, instead of
// one flush per line: for the lines written once per file, where the flushes would cost more
// than the files' own writes.
class LogFlushBatch {
 public:
  LogFlushBatch();
  ~LogFlushBatch();
  LogFlushBatch(const LogFlushBatch&) = delete;
  LogFlushBatch& operator=(const LogFlushBatch&) = delete;
};

// Writes "Error " + code + ": " + the system's description of it ("(Unknown error)" when there
// is none): the line the safe run adds after each failure line.
void WriteErrorLog(unsigned long code);

// Writes `line`, then the error line for `code`, and leaves `code` as the thread's last error
// (for the caller that passes the failure on).
void WriteFailureLog(std::u16string_view line, unsigned long code);

// Appends `line` (at most 200 characters) and one line feed without touching the heap: the last
// words of a run that ran out of memory or met a fault it did not expect. No error box.
void WriteFatalLog(const char16_t* line) noexcept;

// The log file name for a local time, e.g. DebugLogs\20261206_044815_upd.txt (33 characters).
std::wstring FormatLogFileName(int year, int month, int day, int hour, int minute, int second);

// Closes the log and forgets it, so that a test can open another in the same process.
void CloseDebugLogForTesting();

}  // namespace boot
