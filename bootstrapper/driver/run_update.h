// The update run: one straight sequence from the log to the launcher. Win32 only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "bootstrapper/install/install_path.h"  // BaseDirectory, set here from -base

namespace boot {

// The line of 37 hyphens that frames the staging lines of every run.
inline constexpr char16_t kSeparator[] = u"-------------------------------------";

// Caller's process id from -ppid; 0 means no wait.
extern std::uint32_t ParentProcessId;

// Runs the whole update for the module `instance` (whose resources hold the manifest and the
// payloads) and returns the process exit code, which is 0 on every path: the log is the record
// of what the run did.
int RunUpdate(HINSTANCE instance);

}  // namespace boot
