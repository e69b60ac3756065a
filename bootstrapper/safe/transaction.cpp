#include "bootstrapper/safe/transaction.h"

#include <algorithm>
#include <limits>

#include "bootstrapper/clean/file_clean.h"
#include "bootstrapper/clean/move_aside_name.h"
#include "bootstrapper/common/decimal.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"

namespace boot {
namespace {

// A journal larger than this was not written by a run of ours (a record per file and folder).
constexpr std::uint64_t kMaxJournalSize = 64ull << 20;

bool Exists(const std::u16string& path) {
  return ::GetFileAttributesW(AsWide(path)) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::u16string& path) {
  const DWORD attributes = ::GetFileAttributesW(AsWide(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Errors that a scanner or a closing application cause for a moment.
bool IsTransient(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

// Runs `step` until it succeeds, fails for a lasting reason, or `budget_ms` is spent on
// transient failures. Keeps the step's error as the last error.
template <typename Step>
bool WithRetry(DWORD& budget_ms, Step step) {
  for (;;) {
    if (step()) return true;
    const DWORD error = ::GetLastError();
    if (!IsTransient(error) || budget_ms == 0) {
      ::SetLastError(error);
      return false;
    }
    const DWORD pause = std::min<DWORD>(budget_ms, 100);
    ::Sleep(pause);
    budget_ms -= pause;
  }
}

// A rename on one volume: never a copy, so it is all or nothing. Write-through: the rename is
// on disk when the call returns, before the next journal record is written.
bool Rename(const std::u16string& from, const std::u16string& to, DWORD& budget_ms) {
  return WithRetry(budget_ms, [&] {
    return ::MoveFileExW(AsWide(from), AsWide(to), MOVEFILE_WRITE_THROUGH) != FALSE;
  });
}

// Appends one record and, unless `flush` is false, flushes the journal. On failure the file is
// cut back to its intact records, so that a record written later is not read as one that
// follows damage.
bool AppendRecord(Transaction& t, JournalRecord record, bool flush = true) {
  const std::string line = EncodeJournalRecord(record);
  DWORD written = 0;
  bool ok = ::WriteFile(t.journal.get(), line.data(), static_cast<DWORD>(line.size()), &written,
                        nullptr) != FALSE;
  DWORD error = ::GetLastError();
  if (ok && written != line.size()) {
    ok = false;
    error = ERROR_DISK_FULL;
  }
  if (ok && flush && !::FlushFileBuffers(t.journal.get())) {
    ok = false;
    error = ::GetLastError();
  }
  if (!ok) {
    LARGE_INTEGER intact;
    intact.QuadPart = static_cast<LONGLONG>(t.journal_size);
    if (::SetFilePointerEx(t.journal.get(), intact, nullptr, FILE_BEGIN)) {
      ::SetEndOfFile(t.journal.get());
    }
    WriteFailureLog(u"Cannot write the update journal " + t.journal_path, error);
    return false;
  }
  t.journal_size += line.size();
  t.records.push_back(std::move(record));
  return true;
}

// A random name in `folder`: twelve letters and `extension`. Empty when no name can be drawn.
std::u16string RandomChild(const std::u16string& folder, std::u16string_view extension) {
  return ComposeMoveAsideTarget(folder, extension, DrawSystemRandom);
}

// Deletes a file, clearing a read-only attribute first: everything removed here is a backup or
// a temporary file of this run.
bool DeleteOwnFile(const std::u16string& path) {
  const DWORD attributes = ::GetFileAttributesW(AsWide(path));
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    ::SetFileAttributesW(AsWide(path), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  return ::DeleteFileW(AsWide(path)) != FALSE;
}

// What cannot be deleted now is deleted at the next restart: moved into the temporary directory
// first, as a refused file clean is, or registered where it is when that move fails.
void DeleteAtRestart(const std::u16string& path) {
  const std::u16string aside = MakeMoveAsideTarget(u"del");
  if (!aside.empty() && ::MoveFileExW(AsWide(path), AsWide(aside), MOVEFILE_REPLACE_EXISTING)) {
    ::MoveFileExW(AsWide(aside), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return;
  }
  ::MoveFileExW(AsWide(path), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

// Removes `path` and everything in it. A reparse point (junction, symbolic link) is removed
// itself and never entered: what it points to is not ours. False when anything stays.
bool RemoveTree(const std::u16string& path, DWORD& budget_ms) {
  const DWORD attributes = ::GetFileAttributesW(AsWide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  const bool directory = attributes & FILE_ATTRIBUTE_DIRECTORY;
  if (directory && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    bool all = true;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW(AsWide(ChildPath(path, u"*")), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::u16string name = ToU16(data.cFileName);
        if (name == u"." || name == u"..") continue;
        all = RemoveTree(ChildPath(path, name), budget_ms) && all;
      } while (::FindNextFileW(find, &data));
      ::FindClose(find);
    }
    if (!all) return false;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    ::SetFileAttributesW(AsWide(path), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  return WithRetry(budget_ms, [&] {
    return directory ? ::RemoveDirectoryW(AsWide(path)) != FALSE
                     : ::DeleteFileW(AsWide(path)) != FALSE;
  });
}

// Removes what RemoveTree left of `path`: each remaining file and folder is deleted at restart.
void RemoveTreeAtRestart(const std::u16string& path) {
  const DWORD attributes = ::GetFileAttributesW(AsWide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW(AsWide(ChildPath(path, u"*")), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::u16string name = ToU16(data.cFileName);
        if (name != u"." && name != u"..") RemoveTreeAtRestart(ChildPath(path, name));
      } while (::FindNextFileW(find, &data));
      ::FindClose(find);
    }
    // Registered after its contents, so the restart removes them first.
    ::MoveFileExW(AsWide(path), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return;
  }
  DeleteAtRestart(path);
}

// Case-insensitive ordinal comparison, the way the file system compares names.
bool SamePath(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         ::CompareStringOrdinal(AsWide(a).data(), static_cast<int>(a.size()), AsWide(b).data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// True when `path` is `folder` itself or lies inside it.
bool IsWithin(std::u16string_view path, std::u16string_view folder) {
  if (SamePath(path, folder)) return true;
  if (path.size() <= folder.size() || !SamePath(path.substr(0, folder.size()), folder)) {
    return false;
  }
  return folder.back() == u'\\' || path[folder.size()] == u'\\';
}

// Undoes `records`, last first. False when a backup or a swapped file could not be put back.
bool UndoRecords(const std::vector<JournalRecord>& records, DWORD& budget_ms) {
  bool restored = true;
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    const JournalRecord& r = *it;
    switch (r.op) {
      case JournalOp::Swap:
        // Swapped when the staged file is gone and its target is there: take the new file back.
        if (!Exists(r.first) && Exists(r.second) && !Rename(r.second, r.first, budget_ms)) {
          WriteFailureLog(u"Cannot take back " + r.second, ::GetLastError());
          restored = false;
        }
        break;
      case JournalOp::Move:
        // Not moved (or already back): nothing to do. Something else in its place meanwhile is
        // not ours to overwrite: the backup stays, and so does the journal that points to it.
        if (!Exists(r.second)) break;
        if (Exists(r.first)) {
          WriteFailureLog(u"Cannot restore " + r.first + u" from " + r.second, ERROR_ALREADY_EXISTS);
          restored = false;
          break;
        }
        WriteLog(u"Restore " + r.first);
        if (!Rename(r.second, r.first, budget_ms)) {
          WriteFailureLog(u"Cannot restore " + r.first + u" from " + r.second, ::GetLastError());
          restored = false;
        }
        break;
      case JournalOp::Temp:
        if (Exists(r.first) &&
            !WithRetry(budget_ms, [&] { return DeleteOwnFile(r.first); })) {
          WriteFailureLog(u"Cannot remove temporary file " + r.first, ::GetLastError());
          DeleteAtRestart(r.first);
        }
        break;
      case JournalOp::Folder:
      case JournalOp::Backup:
        // A folder someone else has put files into meanwhile stays: it harms nothing.
        if (IsDirectory(r.first) && !::RemoveDirectoryW(AsWide(r.first))) {
          WriteFailureLog(u"Cannot remove folder " + r.first, ::GetLastError());
        }
        break;
      case JournalOp::FilesInPlace:
      case JournalOp::RollBack:
        break;
    }
  }
  return restored;
}

bool HasRecord(const std::vector<JournalRecord>& records, JournalOp op) {
  return std::any_of(records.begin(), records.end(),
                     [op](const JournalRecord& r) { return r.op == op; });
}

// Reads the whole journal at `path`; false (with the error as last error) when it cannot.
bool ReadJournalFile(const std::u16string& path, std::string& text) {
  UniqueFile file(::CreateFileW(AsWide(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(file.get(), &size)) return false;
  if (static_cast<std::uint64_t>(size.QuadPart) > kMaxJournalSize) {
    ::SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  text.resize(static_cast<std::size_t>(size.QuadPart));
  DWORD read = 0;
  if (!text.empty() &&
      (!::ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr) ||
       read != text.size())) {
    if (::GetLastError() == 0) ::SetLastError(ERROR_READ_FAULT);
    return false;
  }
  return true;
}

}  // namespace

std::u16string ChildPath(const std::u16string& directory, std::u16string_view name) {
  std::u16string path = directory;
  if (path.empty() || path.back() != u'\\') path.push_back(u'\\');
  path.append(name);
  return path;
}

std::u16string ParentPath(const std::u16string& path) {
  const std::size_t slash = path.find_last_of(u'\\');
  if (slash == std::u16string::npos) return {};
  // Keep the separator of a drive root ("C:\").
  if (slash == 2 && path.size() > 1 && path[1] == u':') return path.substr(0, 3);
  return path.substr(0, slash);
}

bool BeginTransaction(const std::u16string& base, Transaction& t) {
  t = Transaction{};
  t.base = base;
  t.journal_path = ChildPath(base, kJournalName);
  // Write-through, and flushed after every record: a record is on disk before its step begins.
  t.journal.reset(::CreateFileW(AsWide(t.journal_path), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH,
                                nullptr));
  if (!t.journal) {
    WriteFailureLog(u"Cannot create the update journal " + t.journal_path, ::GetLastError());
    return false;
  }
  const std::string_view header = JournalHeader();
  DWORD written = 0;
  if (!::WriteFile(t.journal.get(), header.data(), static_cast<DWORD>(header.size()), &written,
                   nullptr) ||
      written != header.size() || !::FlushFileBuffers(t.journal.get())) {
    const DWORD error = written != header.size() && ::GetLastError() == 0 ? ERROR_DISK_FULL
                                                                         : ::GetLastError();
    t.journal.reset();
    ::DeleteFileW(AsWide(t.journal_path));
    WriteFailureLog(u"Cannot create the update journal " + t.journal_path, error);
    return false;
  }
  t.journal_size = header.size();
  return true;
}

bool CreateMissingFolders(Transaction& t, const std::u16string& folder) {
  std::vector<std::u16string> missing;
  for (std::u16string at = folder; !at.empty() && !IsDirectory(at); at = ParentPath(at)) {
    if (Exists(at)) {
      WriteFailureLog(u"Cannot create folder " + at, ERROR_ALREADY_EXISTS);
      return false;
    }
    missing.push_back(at);
    if (ParentPath(at) == at) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (!AppendRecord(t, {JournalOp::Folder, *it, {}})) return false;
    if (!::CreateDirectoryW(AsWide(*it), nullptr)) {
      WriteFailureLog(u"Cannot create folder " + *it, ::GetLastError());
      return false;
    }
  }
  return true;
}

bool CreateStagingFile(Transaction& t, const std::u16string& folder, UniqueFile& file,
                       std::u16string& path) {
  path = RandomChild(folder, u"update-new");
  if (path.empty()) {
    WriteFailureLog(u"Cannot name a temporary file in " + folder, ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  // Not flushed here: a process that is killed leaves the record in the file all the same, and
  // only a power cut could lose it, leaving an unknown empty temporary file behind, never a
  // broken installation. FlushJournal before the first rename makes every record durable.
  if (!AppendRecord(t, {JournalOp::Temp, path, {}}, /*flush=*/false)) return false;
  // CREATE_NEW: a name that exists (however unlikely) is never overwritten.
  file.reset(::CreateFileW(AsWide(path), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    WriteFailureLog(u"Cannot create temporary file " + path, ::GetLastError());
    return false;
  }
  return true;
}

bool FlushJournal(Transaction& t) {
  if (::FlushFileBuffers(t.journal.get())) return true;
  WriteFailureLog(u"Cannot write the update journal " + t.journal_path, ::GetLastError());
  return false;
}

bool PlanMoveIntoBackup(Transaction& t, const std::u16string& path, std::u16string& item) {
  if (t.backup.empty()) {
    const std::u16string backup = RandomChild(t.base, u"update-backup");
    if (backup.empty()) {
      WriteFailureLog(u"Cannot name a backup folder in " + t.base, ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    if (!AppendRecord(t, {JournalOp::Backup, backup, {}})) return false;
    if (!::CreateDirectoryW(AsWide(backup), nullptr)) {
      WriteFailureLog(u"Cannot create backup folder " + backup, ::GetLastError());
      return false;
    }
    t.backup = backup;
  }
  item = ChildPath(t.backup, ToDecimal(++t.backup_items));
  return AppendRecord(t, {JournalOp::Move, path, item}, /*flush=*/false);
}

bool PlanSwap(Transaction& t, const std::u16string& temp, const std::u16string& target) {
  return AppendRecord(t, {JournalOp::Swap, temp, target}, /*flush=*/false);
}

bool RenameRecorded(Transaction& t, const std::u16string& from, const std::u16string& to) {
  if (Rename(from, to, t.retry_left_ms)) return true;
  WriteFailureLog(u"Cannot move " + from + u" to " + to, ::GetLastError());
  return false;
}

bool MoveIntoBackup(Transaction& t, const std::u16string& path) {
  std::u16string item;
  return PlanMoveIntoBackup(t, path, item) && FlushJournal(t) && RenameRecorded(t, path, item);
}

std::u16string CurrentLocation(const Transaction& t, const std::u16string& path) {
  std::u16string at = path;
  for (const JournalRecord& r : t.records) {
    if (r.op == JournalOp::Move && IsWithin(at, r.first)) {
      at = r.second + at.substr(r.first.size());
    }
  }
  return at;
}

bool MarkFilesInPlace(Transaction& t) { return AppendRecord(t, {JournalOp::FilesInPlace, {}, {}}); }

bool FinishTransaction(Transaction& t) {
  DWORD budget = kRetryBudgetMs;
  for (const JournalRecord& r : t.records) {
    if (r.op == JournalOp::Temp && Exists(r.first) &&
        !WithRetry(budget, [&] { return DeleteOwnFile(r.first); })) {
      DeleteAtRestart(r.first);
    }
    if (r.op == JournalOp::Backup && !RemoveTree(r.first, budget)) {
      WriteFailureLog(u"Cannot remove backup folder " + r.first + u" now, it goes at restart",
                 ::GetLastError());
      RemoveTreeAtRestart(r.first);
    }
  }
  t.journal.reset();
  if (!::DeleteFileW(AsWide(t.journal_path))) {
    WriteFailureLog(u"Cannot remove the update journal " + t.journal_path, ::GetLastError());
    return false;
  }
  return true;
}

bool RollBackTransaction(Transaction& t) {
  // Once this record is on disk, a run killed while undoing is undone again by the next run,
  // even when every file was already in place. Without it (the journal cannot be written) the
  // undo below still runs.
  if (t.journal && !HasRecord(t.records, JournalOp::RollBack)) {
    (void)AppendRecord(t, {JournalOp::RollBack, {}, {}});
  }
  DWORD budget = kRetryBudgetMs;
  if (!UndoRecords(t.records, budget)) return false;
  t.journal.reset();
  if (!::DeleteFileW(AsWide(t.journal_path)) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
    WriteFailureLog(u"Cannot remove the update journal " + t.journal_path, ::GetLastError());
    return false;
  }
  return true;
}

Recovery RecoverUnfinishedUpdate(const std::u16string& base) {
  const std::u16string journal_path = ChildPath(base, kJournalName);
  if (!Exists(journal_path)) return Recovery::NothingFound;

  std::string text;
  if (!ReadJournalFile(journal_path, text)) {
    const DWORD error = ::GetLastError();
    // A running update keeps its journal open for writing and shares it for reading only.
    if (error == ERROR_SHARING_VIOLATION) {
      WriteFailureLog(u"Another update is running in " + base, error);
      return Recovery::InUse;
    }
    WriteFailureLog(u"Cannot read the update journal " + journal_path, error);
    return Recovery::Failed;
  }
  Transaction t;
  t.base = base;
  t.journal_path = journal_path;
  std::size_t intact = 0;
  bool readable = ParseJournal(text, t.records, intact);
  // A journal only ever names places inside its own install directory; one that names others
  // was not written by a run of ours and is not acted on.
  for (const JournalRecord& r : t.records) {
    if (!r.first.empty() && !IsWithin(r.first, base)) readable = false;
    if (!r.second.empty() && !IsWithin(r.second, base)) readable = false;
  }
  if (!readable) {
    WriteFailureLog(u"Unreadable update journal " + journal_path, ERROR_INVALID_DATA);
    return Recovery::Failed;
  }
  t.journal_size = intact;
  if (intact == 0) {
    // Killed while the journal was being created: nothing had begun.
    if (!::DeleteFileW(AsWide(journal_path))) {
      WriteFailureLog(u"Cannot remove the update journal " + journal_path, ::GetLastError());
      return Recovery::Failed;
    }
    return Recovery::NothingFound;
  }

  const bool finish = HasRecord(t.records, JournalOp::FilesInPlace) &&
                      !HasRecord(t.records, JournalOp::RollBack);
  if (finish) {
    WriteLog(u"Found an unfinished update with every file in place, finishing it");
    if (!FinishTransaction(t)) return Recovery::Failed;
    WriteLog(u"Unfinished update finished");
    return Recovery::Finished;
  }
  WriteLog(u"Found an unfinished update, rolling it back");
  // Reopened for appending after its last intact record, so that the rollback's own record
  // does not follow a torn one.
  t.journal.reset(::CreateFileW(AsWide(journal_path), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH,
                                nullptr));
  if (t.journal) {
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(intact);
    if (!::SetFilePointerEx(t.journal.get(), end, nullptr, FILE_BEGIN) ||
        !::SetEndOfFile(t.journal.get())) {
      t.journal.reset();
    }
  }
  if (!RollBackTransaction(t)) {
    WriteLog(u"Cannot undo the unfinished update, the journal is kept: " + journal_path);
    return Recovery::Failed;
  }
  WriteLog(u"Unfinished update rolled back");
  return Recovery::RolledBack;
}

}  // namespace boot
