// File release: the staged payloads written into the install directory. Win32 only.
#pragma once

#include <vector>

#include "bootstrapper/manifest/manifest.h"

namespace boot {

// For each task in list order: writes "Release file " + the joined path, then creates or
// truncates that file and writes the whole payload with one write. Missing folders are not
// created and nothing is backed up. Returns true when every file was written (and for an empty
// list); false at the first task whose file cannot be created ("Create fail") or is not written
// in full ("Write fail"); later tasks are not attempted and earlier files stay written. Owns the
// tasks it is handed (moved in: the payloads are never copied) and releases them when it
// returns.
[[nodiscard]] bool ReleaseFiles(std::vector<UpdateTask> tasks);

}  // namespace boot
