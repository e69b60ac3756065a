#include "bootstrapper/clean/clean_tasks.h"

#include <windows.h>

#include "bootstrapper/clean/dir_clean.h"
#include "bootstrapper/clean/file_clean.h"
#include "bootstrapper/clean/registry_clean.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"
#include "bootstrapper/install/install_path.h"

namespace boot {
namespace {

bool RunCleanTask(const CleanTask& task) {
  switch (task.kind) {
    case CleanKind::Registry:
      return CleanRegistry(task.path);
    case CleanKind::File:
      return CleanFile(JoinInstallPath(task.path));
    case CleanKind::Dir: {
      const std::u16string full_path = JoinInstallPath(task.path);
      const DWORD attributes = ::GetFileAttributesW(AsWide(full_path));
      // Nothing there, or not a directory: nothing to clear.
      if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return true;
      }
      return ClearDirectory(full_path);
    }
  }
  return false;
}

}  // namespace

bool RunCleanTasks(const std::vector<CleanTask>& tasks) {
  for (const CleanTask& task : tasks) {
    if (RunCleanTask(task) || task.fail_ok) continue;
    WriteLog(u"Clean " + task.path + u" failed and exit");
    return false;
  }
  return true;
}

}  // namespace boot
