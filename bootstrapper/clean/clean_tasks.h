// The clean phase of an update: every task of the manifest's "cleans" list, in order, through
// the cleaner for its kind. Win32 only.
#pragma once

#include <vector>

#include "bootstrapper/manifest/manifest.h"

namespace boot {

// Runs `tasks` in list order: files through CleanFile and directories through ClearDirectory,
// both joined to the install directory first; registry paths go to CleanRegistry as written. A
// directory task whose path is missing or names a plain file counts as done without a line.
// A failed task with fail_ok set is passed over silently. The first failed task without it logs
// "Clean " + its path as written + " failed and exit" and makes the result false; later tasks
// are not attempted and nothing already removed is restored. True when every task was cleaned
// or tolerated, and for an empty list.
[[nodiscard]] bool RunCleanTasks(const std::vector<CleanTask>& tasks);

}  // namespace boot
