// The application's side of an update, in one header without dependencies:
//  - start an update exe the way the stub expects it (`-update -base=<install dir> -ppid=<pid>`,
//    quoted by Windows' own rules), detached, in a folder of the application's choice, where the
//    stub writes its debug log (DebugLogs\YYYYMMDD_HHMMSS_upd.txt under its current directory);
//  - at the next start, read from the newest log in that folder how the last update went.
//
// C++: include this header; everything is inline. The parsing (quoting, log decoding, the outcome
// of a log) is portable; starting and reading files is Win32 only.
// C: the BootKit* functions below. Define BOOTKIT_IMPLEMENTATION in exactly one C++ file before
// including the header; that file defines them:
//
//   // update_kit.cpp
//   #define BOOTKIT_IMPLEMENTATION
//   #include "update_kit.h"
#ifndef BOOTKIT_UPDATE_KIT_H
#define BOOTKIT_UPDATE_KIT_H

#ifdef _WIN32
#include <stddef.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* BootKitStartUpdate flags. */
#define BOOTKIT_VERIFY_SIGNATURE 0x1u /* start only an update exe whose Authenticode signature holds */
#define BOOTKIT_CHECK_REVOCATION 0x2u /* with BOOTKIT_VERIFY_SIGNATURE: also ask whether the
                                         certificates are revoked (may go to the network) */

/* Starts `update_exe -update -base=<install_dir> -ppid=<this process's id>` detached (no
   inherited handles, no console, out of this process's job when the job allows it), with
   `log_folder` as its current directory, created if missing (null or empty: this process's
   current directory). The update's debug log lands in <log_folder>\DebugLogs. Returns nonzero
   when the update started; 0 otherwise, GetLastError() saying why (ERROR_INVALID_PARAMETER for a
   null or empty path, a null character in one, or a quote in update_exe; a WinVerifyTrust result
   such as TRUST_E_NOSIGNATURE when the signature check was asked for and failed). */
int BootKitStartUpdate(const wchar_t* update_exe, const wchar_t* install_dir,
                       const wchar_t* log_folder, unsigned flags);

/* How the last update went, from the newest log in <log_folder>\DebugLogs. */
enum BootKitResult {
  BOOTKIT_NO_LOG = 0,      /* no update log in that folder */
  BOOTKIT_UPDATED = 1,     /* the new version was put in place and the run ended with "Done, Bye." */
  BOOTKIT_ROLLED_BACK = 2, /* a safe update failed and the installation is as it was */
  BOOTKIT_FAILED = 3,      /* any other end: a compatible run's failure, a killed run, ... */
  BOOTKIT_RUNNING = 4,     /* the update still had its log open when the wait ran out */
  BOOTKIT_WRONG_RELEASE = 5 /* a delta update found another release installed and touched
                               nothing: fetch the full update */
};

#define BOOTKIT_TEXT_CAPACITY 1024

/* Texts are null-terminated and cut to fit. */
struct BootKitOutcome {
  int result;                               /* an enum BootKitResult */
  wchar_t log_path[BOOTKIT_TEXT_CAPACITY];  /* the log read; empty for BOOTKIT_NO_LOG */
  wchar_t version[BOOTKIT_TEXT_CAPACITY];   /* the version the update brought, when logged */
  wchar_t line[BOOTKIT_TEXT_CAPACITY];      /* rolled back or failed: the failing line, else the last */
  wchar_t error[BOOTKIT_TEXT_CAPACITY];     /* its "Error <code>: <description>" line, when logged */
};

/* Fills `outcome` from the newest update log in <log_folder>\DebugLogs (newest by last write
   time, then by the time stamp in its name). While the update still writes that log, waits up to
   `wait_ms` milliseconds for it to end. Returns nonzero when `outcome` is filled (also for
   BOOTKIT_NO_LOG); 0 when the log could not be read, GetLastError() saying why. */
int BootKitReadLastOutcome(const wchar_t* log_folder, unsigned long wait_ms,
                           struct BootKitOutcome* outcome);

#ifdef __cplusplus
}
#endif
#endif /* _WIN32 */

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bootkit {

// Quotes one argument so that CommandLineToArgvW and the MSVC runtime give it back unchanged:
// inside quotes, 2n backslashes before a quote stand for n, 2n+1 for n and a literal quote, and
// backslashes elsewhere are literal. An argument without blanks or quotes stays as it is.
inline std::u16string QuoteArgument(std::u16string_view argument) {
  if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string_view::npos) {
    return std::u16string(argument);
  }
  std::u16string quoted = u"\"";
  std::size_t backslashes = 0;
  for (const char16_t c : argument) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and one more escapes the quote itself.
    quoted.append(c == u'"' ? backslashes * 2 + 1 : backslashes, u'\\');
    quoted.push_back(c);
    backslashes = 0;
  }
  // The closing quote follows: backslashes before it are doubled too.
  quoted.append(backslashes * 2, u'\\');
  quoted.push_back(u'"');
  return quoted;
}

// The command line of an update: "<update_exe>" -update -base=<install_dir> -ppid=<pid>, each
// argument quoted as it needs. Empty when either path is empty or holds a null character, or
// when update_exe holds a quote (the program name is read up to the next quote, without
// escapes; no Windows file name has one).
inline std::u16string BuildUpdateCommandLine(std::u16string_view update_exe,
                                             std::u16string_view install_dir,
                                             std::uint32_t pid) {
  if (update_exe.empty() || install_dir.empty() ||
      update_exe.find_first_of(std::u16string_view(u"\"\0", 2)) != std::u16string_view::npos ||
      install_dir.find(u'\0') != std::u16string_view::npos) {
    return {};
  }
  std::u16string base = u"-base=";
  base.append(install_dir);
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + pid % 10));
    pid /= 10;
  } while (pid != 0);
  std::u16string line = u"\"";
  line.append(update_exe).append(u"\" -update ").append(QuoteArgument(base));
  line.append(u" -ppid=").append(digits);
  return line;
}

// Whether `name` is a log name the stub writes: YYYYMMDD_HHMMSS_upd.txt (letter case ignored).
inline bool IsUpdateLogName(std::u16string_view name) {
  constexpr std::u16string_view kPattern = u"########_######_upd.txt";
  if (name.size() != kPattern.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (kPattern[i] == u'#') {
      if (c < u'0' || c > u'9') return false;
    } else if ((c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c) != kPattern[i]) {
      return false;
    }
  }
  return true;
}

// The lines of a UTF-16LE log: a trailing odd byte is dropped, a byte-order mark skipped, lines
// end at LF (a CR before it is dropped), the last one also at the end of the text; empty lines
// and the null characters a cut-off write can leave at the end are left out.
inline std::vector<std::u16string> DecodeLogLines(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  if (!text.empty() && text.front() == u'\xFEFF') text.erase(0, 1);
  while (!text.empty() && text.back() == u'\0') text.pop_back();

  std::vector<std::u16string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(u'\n', start);
    if (end == std::u16string::npos) end = text.size();
    std::size_t stop = end;
    if (stop > start && text[stop - 1] == u'\r') --stop;
    if (stop > start) lines.emplace_back(text, start, stop - start);
    start = end + 1;
  }
  return lines;
}

enum class UpdateResult { NoLog, Updated, RolledBack, Failed, Running, WrongRelease };

// The line a delta update logs, naming the file, when the installation is not the release it
// was made against.
inline constexpr std::u16string_view kWrongReleaseLine = u"Installed file differs from what this update expects: ";

struct UpdateOutcome {
  UpdateResult result = UpdateResult::NoLog;
  std::u16string log_path;  // the log read (filled by ReadLastUpdateOutcome)
  std::u16string version;   // from "Update to version <v>,with <n> entries"
  std::u16string line;      // rolled back or failed: the failing line; otherwise the last line
  std::u16string error;     // the "Error <code>: <description>" line that followed it, if any
};

// Whether `line` is the stub's error line: "Error <code>: <description>".
inline bool IsErrorLine(std::u16string_view line) {
  constexpr std::u16string_view kPrefix = u"Error ";
  if (line.substr(0, kPrefix.size()) != kPrefix) return false;
  std::size_t i = kPrefix.size();
  const std::size_t digits = i;
  while (i < line.size() && line[i] >= u'0' && line[i] <= u'9') ++i;
  return i > digits && line.substr(i, 2) == u": ";
}

// How the run of `lines` (one log) ended. Updated: the last line is "Done, Bye." and the update
// was in place before it. Rolled back: the safe run logged "Rolled back, the installation is as
// it was"; `line` and `error` are the last failure and its error line before "Rolling back the
// update...". Anything else failed; `line` is the last line, or the one before a closing error
// line, which goes to `error`. Wrong release: a delta update's check found another release
// installed; `line` names the file.
inline UpdateOutcome ReadUpdateOutcome(const std::vector<std::u16string>& lines) {
  constexpr std::u16string_view kVersion = u"Update to version ";
  constexpr std::u16string_view kEntries = u",with ";
  UpdateOutcome outcome;
  outcome.result = UpdateResult::Failed;
  bool applied = false;
  std::size_t rolling_back = lines.size();
  std::size_t rolled_back = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::u16string& line = lines[i];
    if (line.compare(0, kVersion.size(), kVersion) == 0) {
      const std::size_t end = line.rfind(kEntries);
      if (end != std::u16string::npos && end >= kVersion.size()) {
        outcome.version = line.substr(kVersion.size(), end - kVersion.size());
      }
    } else if (line == u"Updated, now startup the launcher") {
      applied = true;
    } else if (line == u"Rolling back the update...") {
      rolling_back = i;
    } else if (line == u"Rolled back, the installation is as it was") {
      rolled_back = i;
    } else if (line.compare(0, kWrongReleaseLine.size(), kWrongReleaseLine) == 0) {
      outcome.result = UpdateResult::WrongRelease;
      outcome.line = line;
      return outcome;
    }
  }
  if (lines.empty()) return outcome;

  if (applied && lines.back() == u"Done, Bye.") {
    outcome.result = UpdateResult::Updated;
    outcome.line = lines.back();
  } else if (rolled_back < lines.size() && rolling_back < rolled_back) {
    outcome.result = UpdateResult::RolledBack;
    outcome.line = rolling_back > 0 ? lines[rolling_back - 1] : lines[rolling_back];
    for (std::size_t i = rolling_back; i-- > 1;) {
      if (IsErrorLine(lines[i])) {
        outcome.line = lines[i - 1];
        outcome.error = lines[i];
        break;
      }
    }
  } else {
    outcome.line = lines.back();
    if (IsErrorLine(lines.back()) && lines.size() > 1) {
      outcome.error = lines.back();
      outcome.line = lines[lines.size() - 2];
    }
  }
  return outcome;
}

}  // namespace bootkit

#ifdef _WIN32
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

namespace bootkit {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows strings are UTF-16");

// Closes a kernel handle when it goes out of scope; null and INVALID_HANDLE_VALUE hold nothing.
class HandleCloser {
 public:
  explicit HandleCloser(HANDLE handle) : handle_(handle) {}
  ~HandleCloser() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

inline std::u16string_view AsU16(std::wstring_view text) {
  return {reinterpret_cast<const char16_t*>(text.data()), text.size()};
}
inline std::wstring ToWide(std::u16string_view text) {
  return {reinterpret_cast<const wchar_t*>(text.data()), text.size()};
}

// Creates `folder` and the folders above it that are missing. True when it exists as a folder.
[[nodiscard]] inline bool CreateFolderTree(const std::wstring& folder) {
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
    ::SetLastError(ERROR_DIRECTORY);
    return false;
  }
  const std::size_t slash = folder.find_last_of(L"\\/");
  if (slash != std::wstring::npos && slash > 0 && folder[slash - 1] != L':' &&
      folder[slash - 1] != L'\\' && folder[slash - 1] != L'/' &&
      !CreateFolderTree(folder.substr(0, slash))) {
    return false;
  }
  if (::CreateDirectoryW(folder.c_str(), nullptr)) return true;
  return ::GetLastError() == ERROR_ALREADY_EXISTS &&
         (::GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The full form of `path` (GetFullPathNameW). False when it cannot be formed.
[[nodiscard]] inline bool FullPath(const std::wstring& path, std::wstring& full) {
  DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return false;
  full.assign(size, L'\0');
  size = ::GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (size == 0 || size >= full.size()) return false;
  full.resize(size);
  return true;
}

// Checks the Authenticode signature of the open file `exe` with WinVerifyTrust (no UI). True
// when it holds; otherwise false with the trust provider's result as the last error. wintrust.dll
// is loaded from the system folder here, so the application links nothing for it.
[[nodiscard]] inline bool VerifySignature(const std::wstring& path, HANDLE exe,
                                          bool check_revocation) {
  HMODULE wintrust = ::LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (wintrust == nullptr) return false;
  using VerifyFunction = LONG(WINAPI*)(HWND, GUID*, LPVOID);
  // Through void*: FARPROC is a function type of its own.
  const auto verify = reinterpret_cast<VerifyFunction>(
      reinterpret_cast<void*>(::GetProcAddress(wintrust, "WinVerifyTrust")));
  if (verify == nullptr) {
    const DWORD error = ::GetLastError();
    ::FreeLibrary(wintrust);
    ::SetLastError(error);
    return false;
  }
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = path.c_str();
  file.hFile = exe;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = check_revocation ? WTD_REVOKE_WHOLECHAIN : WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  // Without the revocation check nothing is fetched from the network.
  data.dwProvFlags = check_revocation ? WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT
                                      : WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  (void)verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  ::FreeLibrary(wintrust);
  ::SetLastError(static_cast<DWORD>(result));
  return result == 0;
}

// BootKitStartUpdate for C++: starts the update detached with `log_folder` (empty: this
// process's current directory) as its current directory, created if missing. `flags` are the
// BOOTKIT_* flags. On success *process_id, when given, is the update's process id. False when it
// did not start; GetLastError() says why.
[[nodiscard]] inline bool StartUpdate(const std::wstring& update_exe,
                                      const std::wstring& install_dir,
                                      const std::wstring& log_folder, unsigned flags = 0,
                                      DWORD* process_id = nullptr) {
  std::wstring command = ToWide(
      BuildUpdateCommandLine(AsU16(update_exe), AsU16(install_dir), ::GetCurrentProcessId()));
  if (command.empty()) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::wstring directory;
  if (!log_folder.empty() && (!FullPath(log_folder, directory) || !CreateFolderTree(directory))) {
    return false;
  }
  // Held without write or delete sharing from the check to the start, so that the file that
  // starts is the file that was checked.
  HandleCloser exe(::CreateFileW(update_exe.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (exe.get() == INVALID_HANDLE_VALUE) return false;
  if ((flags & BOOTKIT_VERIFY_SIGNATURE) &&
      !VerifySignature(update_exe, exe.get(), (flags & BOOTKIT_CHECK_REVOCATION) != 0)) {
    return false;
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  // The update must outlive this process: its own process group (no Ctrl-C from our console), no
  // console, and out of our job, which may kill its processes when we exit. A job that forbids
  // breaking away refuses the start with ERROR_ACCESS_DENIED; then it starts inside the job.
  DWORD creation = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_BREAKAWAY_FROM_JOB;
  const wchar_t* current = directory.empty() ? nullptr : directory.c_str();
  BOOL started = ::CreateProcessW(update_exe.c_str(), command.data(), nullptr, nullptr, FALSE,
                                  creation, nullptr, current, &startup, &process);
  if (!started && ::GetLastError() == ERROR_ACCESS_DENIED) {
    creation &= ~static_cast<DWORD>(CREATE_BREAKAWAY_FROM_JOB);
    started = ::CreateProcessW(update_exe.c_str(), command.data(), nullptr, nullptr, FALSE,
                               creation, nullptr, current, &startup, &process);
  }
  if (!started) return false;
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  if (process_id != nullptr) *process_id = process.dwProcessId;
  return true;
}

// At most this much of a log is read, from its end: the outcome is in its last lines.
inline constexpr DWORD kMaxLogBytes = 1 << 20;

// The newest update log in <log_folder>\DebugLogs (by last write time, then name); empty when
// there is none.
inline std::wstring FindNewestLog(const std::wstring& log_folder) {
  const std::wstring logs = (log_folder.empty() ? std::wstring(L".") : log_folder) + L"\\DebugLogs";
  WIN32_FIND_DATAW found = {};
  HANDLE search = ::FindFirstFileExW((logs + L"\\*_upd.txt").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return {};
  std::wstring newest;
  ULONGLONG newest_time = 0;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !IsUpdateLogName(AsU16(found.cFileName))) {
      continue;
    }
    const ULONGLONG time =
        (ULONGLONG{found.ftLastWriteTime.dwHighDateTime} << 32) | found.ftLastWriteTime.dwLowDateTime;
    if (newest.empty() || time > newest_time || (time == newest_time && found.cFileName > newest)) {
      newest = found.cFileName;
      newest_time = time;
    }
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return newest.empty() ? newest : logs + L"\\" + newest;
}

// Reads at most kMaxLogBytes from the end of the open file; a line cut at the start is dropped.
[[nodiscard]] inline bool ReadLogTail(HANDLE file, std::vector<std::u16string>& lines) {
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file, &size)) return false;
  LONGLONG offset = size.QuadPart > kMaxLogBytes ? size.QuadPart - kMaxLogBytes : 0;
  offset += offset & 1;  // stay on a UTF-16 unit
  LARGE_INTEGER position = {};
  position.QuadPart = offset;
  if (!::SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) return false;
  std::string bytes(static_cast<std::size_t>(size.QuadPart - offset), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD read = 0;
    if (!::ReadFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &read,
                    nullptr)) {
      return false;
    }
    if (read == 0) break;  // shorter than it was a moment ago
    done += read;
  }
  bytes.resize(done);
  if (offset > 0) {
    // Starts mid-line: skip to the first line feed.
    std::size_t i = 0;
    while (i + 1 < bytes.size() && !(bytes[i] == '\n' && bytes[i + 1] == '\0')) i += 2;
    bytes.erase(0, i + 2 <= bytes.size() ? i + 2 : bytes.size());
  }
  lines = DecodeLogLines(bytes);
  return true;
}

// BootKitReadLastOutcome for C++: the outcome of the newest log in <log_folder>\DebugLogs,
// waiting up to `wait_ms` for an update that still writes it. False when the log could not be
// read; GetLastError() says why.
[[nodiscard]] inline bool ReadLastUpdateOutcome(const std::wstring& log_folder, DWORD wait_ms,
                                                UpdateOutcome& outcome) {
  outcome = UpdateOutcome{};
  const std::wstring path = FindNewestLog(log_folder);
  if (path.empty()) return true;
  // The stub holds its log open for writing until it exits: while it does, an open that
  // refuses to share writing fails with a sharing violation.
  bool running = false;
  HANDLE file = INVALID_HANDLE_VALUE;
  const ULONGLONG start = ::GetTickCount64();
  for (;;) {
    file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_SHARING_VIOLATION) break;
    if (::GetTickCount64() - start >= wait_ms) {
      running = true;
      file = ::CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      break;
    }
    ::Sleep(50);
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  HandleCloser closer(file);
  std::vector<std::u16string> lines;
  if (!ReadLogTail(file, lines)) return false;
  outcome = ReadUpdateOutcome(lines);
  if (running) outcome.result = UpdateResult::Running;
  outcome.log_path = AsU16(path);
  return true;
}

}  // namespace bootkit

#ifdef BOOTKIT_IMPLEMENTATION
namespace bootkit {
// Copies `text` into a C buffer of BOOTKIT_TEXT_CAPACITY units, cut to fit, null-terminated.
inline void CopyText(std::u16string_view text, wchar_t (&buffer)[BOOTKIT_TEXT_CAPACITY]) {
  const std::size_t n = text.size() < BOOTKIT_TEXT_CAPACITY ? text.size() : BOOTKIT_TEXT_CAPACITY - 1;
  for (std::size_t i = 0; i < n; ++i) buffer[i] = static_cast<wchar_t>(text[i]);
  buffer[n] = L'\0';
}
}  // namespace bootkit

extern "C" int BootKitStartUpdate(const wchar_t* update_exe, const wchar_t* install_dir,
                                  const wchar_t* log_folder, unsigned flags) {
  if (update_exe == nullptr || install_dir == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  try {
    return bootkit::StartUpdate(update_exe, install_dir, log_folder ? log_folder : L"", flags) ? 1 : 0;
  } catch (...) {  // no exception crosses into C
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

extern "C" int BootKitReadLastOutcome(const wchar_t* log_folder, unsigned long wait_ms,
                                      struct BootKitOutcome* outcome) {
  if (outcome == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  try {
    bootkit::UpdateOutcome read;
    if (!bootkit::ReadLastUpdateOutcome(log_folder ? log_folder : L"", wait_ms, read)) return 0;
    outcome->result = static_cast<int>(read.result);
    bootkit::CopyText(read.log_path, outcome->log_path);
    bootkit::CopyText(read.version, outcome->version);
    bootkit::CopyText(read.line, outcome->line);
    bootkit::CopyText(read.error, outcome->error);
    return 1;
  } catch (...) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}
#endif  // BOOTKIT_IMPLEMENTATION
#endif  // _WIN32
#endif  // __cplusplus
#endif  // BOOTKIT_UPDATE_KIT_H
