// The safe run's staging: every new file decoded, verified and written to a temporary file
// beside its target before the caller is waited for or anything existing is
// touched. Win32 only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "bootstrapper/manifest/manifest.h"
#include "bootstrapper/safe/transaction.h"

namespace boot {

struct StagedFile {
  std::u16string target;  // full path the file is to have
  std::u16string temp;  // full path of its staged copy, where staging left it
};

// Finds every update's payload (none for an empty file) and checks its size first. Then, for
// each update in list order: creates the missing folders of its target and a new temporary file
// there, writes the content into it as it is decoded (blocks decode ahead on the other
// processors, so only a few megabytes are in memory whatever the files' sizes), checks its
// SHA-256 and writes "--- " + path + " --- CHECK". The files are flushed in batches, and all of
// them and the journal before it returns true. Every folder and file is
// recorded in `transaction` before it is made. False after the failure line and its error line;
// the caller rolls back.
[[nodiscard]] bool StagePayloadsToDisk(HMODULE module, const std::vector<UpdateTask>& updates,
                                       Transaction& transaction,
                                       std::vector<StagedFile>& staged);

}  // namespace boot
