// The safe run's staging: every new file decoded, verified and written to a temporary file
// beside its target, one at a time, before the caller is waited for or anything existing is
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

// For each update in list order: finds its payload (none for an empty file), decodes it, checks
// its SHA-256, creates the missing folders of its target, writes it into a new temporary file
// there and flushes it; then writes "--- " + path + " --- CHECK" and lets the bytes go, so only
// one payload is in memory at a time. Every folder and file is recorded in `transaction` before
// it is made. False after the failure line and its error line; the caller rolls back.
[[nodiscard]] bool StagePayloadsToDisk(HMODULE module, const std::vector<UpdateTask>& updates,
                                       Transaction& transaction,
                                       std::vector<StagedFile>& staged);

}  // namespace boot
