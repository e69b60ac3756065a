// The safe run: the update as a transaction over the install directory, for manifests that ask
// for it ("safe": true). Win32 only.
#pragma once

#include <windows.h>

#include <cstdint>

#include "bootstrapper/manifest/manifest.h"

namespace boot {

// Exit codes of a safe run.
inline constexpr int kSafeUpdated = 0;  // the new version is in place
inline constexpr int kSafeRolledBack = 1;  // nothing of the update is left: the old version runs
inline constexpr int kSafeRollbackFailed = 2;  // the journal is kept for the next run to finish

// Runs the update of `manifest` (already read and logged) for the module `instance`, into
// BaseDirectory, after waiting for `parent` (0: no wait). Undoes an unfinished earlier run
// first; stages every file on disk, verified; moves whatever makes way into a backup; swaps the
// new files in; runs the registry cleans; then removes backup and journal and starts the
// launcher. Any failure rolls everything back and starts the launcher the installation had.
int RunSafeUpdate(HINSTANCE instance, const UpdateManifest& manifest, std::uint32_t parent);

}  // namespace boot
