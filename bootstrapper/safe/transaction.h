// The safe run as a small transaction over the install directory. Every change is announced in
// a write-ahead journal (each record flushed before the step it describes), every existing file
// or folder that must make way is renamed into a backup folder inside the install directory
// (same volume, so renames are the only commit points), and every step can be undone until the
// files are all in place. Undoing is the same code whether this run fails or the next run finds
// the journal of a run that was killed. Win32 only.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bootstrapper/common/unique_handle.h"
#include "bootstrapper/safe/journal_record.h"

namespace boot {

// The journal's name in the install directory.
inline constexpr char16_t kJournalName[] = u"bootstrapper.journal";

// How long, in all, one run waits for files held by another process (a scanner, the closing
// application) before a rename or delete counts as failed.
inline constexpr DWORD kRetryBudgetMs = 10000;

struct Transaction {
  std::u16string base;  // the install directory, full path without a trailing separator
  std::u16string journal_path;
  UniqueFile journal;  // open for appending while the run may still change anything
  std::uint64_t journal_size = 0;  // bytes of intact records, header included
  std::vector<JournalRecord> records;  // every record written, in order
  std::u16string backup;  // the backup folder, empty until the first backup
  std::uint32_t backup_items = 0;
  DWORD retry_left_ms = kRetryBudgetMs;
};

// `directory` + '\' + `name`, without doubling a separator that `directory` ends with.
std::u16string ChildPath(const std::u16string& directory, std::u16string_view name);

// The folder part of a full path ("C:\App\x.dll" -> "C:\App"; "C:\x" -> "C:\").
std::u16string ParentPath(const std::u16string& path);

// Creates the journal in `base` (which must exist). False, with the failure and error lines
// written, when it cannot be created and flushed; nothing is left behind then.
[[nodiscard]] bool BeginTransaction(const std::u16string& base, Transaction& transaction);

// Creates every missing folder of `folder`, outermost first, each recorded before it is made.
// False (lines written) when one cannot be made, a file standing in its way included.
[[nodiscard]] bool CreateMissingFolders(Transaction& transaction, const std::u16string& folder);

// Records and creates a new, empty temporary file in `folder` (twelve random letters and
// ".update-new"), open for writing. False (lines written) when it cannot be created. The record
// is written but not flushed: FlushJournal before anything existing is renamed.
[[nodiscard]] bool CreateStagingFile(Transaction& transaction, const std::u16string& folder,
                                     UniqueFile& file, std::u16string& path);

// Records and renames the existing file or folder `path` into the backup folder (created on the
// first call), retrying while another process holds it. False (lines written) when it stays.
[[nodiscard]] bool MoveIntoBackup(Transaction& transaction, const std::u16string& path);

// Flushes every record written so far. False (lines written) when the system cannot.
[[nodiscard]] bool FlushJournal(Transaction& transaction);

// Renames planned ahead: many records, one flush, then the renames. Each Plan function writes
// its record without flushing it; FlushJournal must follow before RenameRecorded performs the
// renames in the same order. A planned rename not yet done undoes as nothing, so a failure (or a
// kill) part way leaves a journal that rolls back exactly what was done.
// PlanMoveIntoBackup names the backup item `path` is to become (the backup folder is created,
// and its record flushed, on the first call).
[[nodiscard]] bool PlanMoveIntoBackup(Transaction& transaction, const std::u16string& path,
                                      std::u16string& item);
[[nodiscard]] bool PlanSwap(Transaction& transaction, const std::u16string& temp,
                            const std::u16string& target);
// The rename a plan recorded, retrying as MoveIntoBackup. False (lines written) when it fails.
[[nodiscard]] bool RenameRecorded(Transaction& transaction, const std::u16string& from,
                                  const std::u16string& to);

// Where `path` is now, after the moves recorded so far (a moved folder takes what is in it).
std::u16string CurrentLocation(const Transaction& transaction, const std::u16string& path);

// Records that every new file is in place: from here on the update is finished, never undone.
[[nodiscard]] bool MarkFilesInPlace(Transaction& transaction);

// Ends a transaction whose files are all in place: removes leftover temporary files, the backup
// folder (what cannot be deleted is moved aside into the temporary directory, or left, and
// registered for deletion at restart) and the journal. False (lines written) when the journal
// itself cannot be deleted; the next run then finishes it again.
bool FinishTransaction(Transaction& transaction);

// Undoes every recorded step, last first: staged files go, backups return to their places,
// created folders are removed; then the journal is deleted. False (lines written) when a backup
// cannot be restored or a new file cannot be taken back; the journal is then kept so that the
// next run tries again. Temporary files and folders that cannot be removed are reported but do
// not fail the rollback: the installation works without their removal.
[[nodiscard]] bool RollBackTransaction(Transaction& transaction);

enum class Recovery {
  NothingFound,
  RolledBack,  // an unfinished run was undone
  Finished,  // an unfinished run had every file in place and was completed
  InUse,  // another update holds the journal open: it is running now; nothing was done
  Failed,  // the journal could not be read or acted on; it is kept, nothing else was done
};

// Looks for the journal of an unfinished run in `base` and undoes or completes that run,
// writing what it found and did.
Recovery RecoverUnfinishedUpdate(const std::u16string& base);

}  // namespace boot
