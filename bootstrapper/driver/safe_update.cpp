#include "bootstrapper/driver/safe_update.h"

#include <set>
#include <string>
#include <vector>

#include "bootstrapper/clean/registry_clean.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"
#include "bootstrapper/driver/parent_wait.h"
#include "bootstrapper/driver/run_update.h"
#include "bootstrapper/install/install_path.h"
#include "bootstrapper/install/launcher.h"
#include "bootstrapper/safe/disk_staging.h"
#include "bootstrapper/safe/installed_files.h"
#include "bootstrapper/safe/transaction.h"

namespace boot {
namespace {


// The install directory as a full path without a trailing separator, when -base names an
// existing directory by an absolute path. False after the failure lines otherwise.
bool ResolveInstallDirectory(const std::u16string& base, std::u16string& full) {
  const std::u16string line = u"Install directory is not an existing absolute path: " + base;
  if (!IsAbsoluteWindowsPath(base)) {
    WriteFailureLog(line, ERROR_BAD_PATHNAME);
    return false;
  }
  full = FullInstallPath(base, u"");
  const DWORD attributes = ::GetFileAttributesW(AsWide(full));
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    WriteFailureLog(line, ::GetLastError());
    return false;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    WriteFailureLog(line, ERROR_DIRECTORY);
    return false;
  }
  return true;
}

// `path` in upper case, as Windows compares file names.
std::u16string UpperCase(std::u16string path) {
  if (!path.empty()) ::CharUpperBuffW(reinterpret_cast<wchar_t*>(path.data()), static_cast<DWORD>(path.size()));
  return path;
}

class SafeRun {
 public:
  SafeRun(HINSTANCE instance, const UpdateManifest& manifest, std::uint32_t parent)
      : instance_(instance), manifest_(manifest), parent_(parent) {}

  int Run() {
    std::u16string base;
    if (!ResolveInstallDirectory(BaseDirectory, base)) return kSafeRolledBack;
    switch (RecoverUnfinishedUpdate(base)) {
      case Recovery::Failed:
        return kSafeRollbackFailed;
      case Recovery::InUse:
        return kSafeRolledBack;  // that update starts the application when it is done
      case Recovery::NothingFound:
      case Recovery::RolledBack:
      case Recovery::Finished:
        break;
    }
    // A delta update fits only the release it was made from; on any other, nothing is touched
    // and the application is expected to fetch a full update.
    const InstalledCheck installed = CheckInstalledFiles(base, manifest_);
    if (installed.result == InstalledCheck::Result::Differs) {
      WriteLog(u"Installed file differs from what this update expects: " + installed.path);
      return Relaunch(kSafeRolledBack);
    }
    if (installed.result == InstalledCheck::Result::Unreadable) {
      WriteFailureLog(u"Cannot read installed file " + installed.path, installed.error);
      return Relaunch(kSafeRolledBack);
    }
    if (!BeginTransaction(base, transaction_)) {
      // A journal made since the look above belongs to an update that started meanwhile.
      if (::GetLastError() == ERROR_FILE_EXISTS) return kSafeRolledBack;
      return Relaunch(kSafeRolledBack);
    }
    WriteLog(u"Safe update, journal " + transaction_.journal_path);

    std::vector<StagedFile> staged;
    if (!StagePayloadsToDisk(instance_, manifest_.updates, transaction_, staged)) {
      return RollBack();
    }
    WriteLog(kSeparator);

    WaitForParent();
    WriteLog(u"Ok, Let's do update now");
    if (!BackUpCleanTargets()) {
      WriteLog(u"Clean task failed..");
      return RollBack();
    }
    if (!SwapFiles(staged) || !MarkFilesInPlace(transaction_)) {
      WriteLog(u"Update task failed...");
      return RollBack();
    }
    if (!CleanRegistryKeys()) {
      WriteLog(u"Clean task failed..");
      return RollBack();
    }
    (void)FinishTransaction(transaction_);  // the update is done; leftovers go at restart

    WriteLog(u"Updated, now startup the launcher");
    if (!Launch()) return kSafeUpdated;
    WriteLog(u"Done, Bye.");
    return kSafeUpdated;
  }

  // Undoes whatever the run has done so far; the exit code follows from how that went.
  int RollBack() {
    WriteLog(u"Rolling back the update...");
    if (!RollBackTransaction(transaction_)) {
      WriteLog(u"Rollback failed, the journal is kept for the next run: " +
               transaction_.journal_path);
      return kSafeRollbackFailed;
    }
    WriteLog(u"Rolled back, the installation is as it was");
    return Relaunch(kSafeRolledBack);
  }

 private:
  void WaitForParent() {
    if (parent_ != 0 && !waited_) WaitForParentExit(parent_);
    waited_ = true;
  }

  // Starts the launcher the installation has (the application exited expecting to come back),
  // once its process is gone.
  int Relaunch(int code) {
    WaitForParent();
    (void)Launch();
    return code;
  }

  // Starts the manifest's launcher, if it names one. False after "Launch failed..." and the
  // error line.
  bool Launch() {
    if (manifest_.launcher.empty() || StartLauncher(manifest_.launcher)) return true;
    const DWORD error = ::GetLastError();
    WriteFailureLog(u"Launch failed...", error != 0 ? error : ERROR_FILE_NOT_FOUND);
    return false;
  }

  // File and directory cleans: what exists is moved into the backup, in list order. A missing
  // target, or one of the other kind, is done without a line, as in the compatible run.
  bool BackUpCleanTargets() {
    LogFlushBatch batch;
    for (const CleanTask& task : manifest_.cleans) {
      if (task.kind == CleanKind::Registry) continue;
      const std::u16string full = FullInstallPath(transaction_.base, task.path);
      const DWORD attributes = ::GetFileAttributesW(AsWide(full));
      if (attributes == INVALID_FILE_ATTRIBUTES) continue;
      const bool directory = attributes & FILE_ATTRIBUTE_DIRECTORY;
      if (directory != (task.kind == CleanKind::Dir)) continue;
      WriteLog((directory ? u"Back up folder " : u"Back up file ") + full);
      if (!MoveIntoBackup(transaction_, full) && !task.fail_ok) return false;
    }
    return true;
  }

  // Each staged file to its target, in list order: what is there goes into the backup first.
  // Every rename is recorded first and the journal flushed once; then the renames follow in the
  // same order, so one flush serves them all instead of one each.
  bool SwapFiles(const std::vector<StagedFile>& staged) {
    struct Step {
      std::u16string from;
      std::u16string to;
      const std::u16string* target;  // the file it is for, announced once
    };
    std::vector<Step> steps;
    std::set<std::u16string> planned;  // targets that earlier files fill, in upper case
    for (const StagedFile& file : staged) {
      // A directory clean may have taken the staged file's folder into the backup with it.
      const std::u16string temp = CurrentLocation(transaction_, file.temp);
      if (!CreateMissingFolders(transaction_, ParentPath(file.target))) return false;
      const DWORD attributes = ::GetFileAttributesW(AsWide(file.target));
      // The same file twice in the list: the first one's new file makes way for the second.
      const bool filled_earlier = !planned.insert(UpperCase(file.target)).second;
      if (attributes != INVALID_FILE_ATTRIBUTES || filled_earlier) {
        // Read-only says "do not replace"; Windows' own replace refuses it the same way.
        if (!filled_earlier && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
            (attributes & FILE_ATTRIBUTE_READONLY)) {
          WriteFailureLog(u"Cannot replace read-only file " + file.target, ERROR_ACCESS_DENIED);
          return false;
        }
        std::u16string item;
        if (!PlanMoveIntoBackup(transaction_, file.target, item)) return false;
        steps.push_back({file.target, std::move(item), &file.target});
      }
      if (!PlanSwap(transaction_, temp, file.target)) return false;
      steps.push_back({temp, file.target, &file.target});
    }
    if (!FlushJournal(transaction_)) return false;

    LogFlushBatch batch;  // the journal is what a crash needs, and it is on disk
    const std::u16string* announced = nullptr;
    for (const Step& step : steps) {
      if (step.target != announced) WriteLog(u"Release file " + *step.target);
      announced = step.target;
      if (!RenameRecorded(transaction_, step.from, step.to)) return false;
    }
    return true;
  }

  // Registry cleans come last: they cannot be undone, so they run only once every file is in
  // place. One that fails without fail_ok still rolls the files back.
  bool CleanRegistryKeys() {
    for (const CleanTask& task : manifest_.cleans) {
      if (task.kind != CleanKind::Registry || CleanRegistry(task.path) || task.fail_ok) continue;
      const DWORD error = ::GetLastError();
      WriteFailureLog(u"Clean " + task.path + u" failed", error != 0 ? error : ERROR_CANTWRITE);
      return false;
    }
    return true;
  }

  HINSTANCE instance_;
  const UpdateManifest& manifest_;
  std::uint32_t parent_;
  bool waited_ = false;
  Transaction transaction_;
};

}  // namespace

int RunSafeUpdate(HINSTANCE instance, const UpdateManifest& manifest, std::uint32_t parent) {
  SafeRun run(instance, manifest, parent);
  try {
    return run.Run();
  } catch (...) {
    // Out of memory part way: what was done is in the journal, and is undone now rather than
    // left for the next run. Should that fail too, the journal is still there for it.
    try {
      WriteFailureLog(u"Unexpected failure, the update stops", ERROR_NOT_ENOUGH_MEMORY);
      return run.RollBack();
    } catch (...) {
      return kSafeRollbackFailed;
    }
  }
}

}  // namespace boot
