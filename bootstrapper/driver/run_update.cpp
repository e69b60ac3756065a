#include "bootstrapper/driver/run_update.h"

#include <shellapi.h>

#include <string>
#include <vector>

#include "bootstrapper/clean/clean_tasks.h"
#include "bootstrapper/common/decimal.h"
#include "bootstrapper/common/unique_handle.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"
#include "bootstrapper/driver/command_line.h"
#include "bootstrapper/driver/parent_wait.h"
#include "bootstrapper/driver/safe_update.h"
#include "bootstrapper/driver/staging.h"
#include "bootstrapper/install/launcher.h"
#include "bootstrapper/install/release_files.h"
#include "bootstrapper/manifest/manifest.h"
#include "bootstrapper/manifest/update_rules.h"

namespace boot {

std::uint32_t ParentProcessId = 0;

namespace {

// Splits the process command line and applies the options. False when there is no update
// request (or no argument vector at all).
bool ReadCommandLine() {
  int count = 0;
  // The vector is left to process exit, like the log handle.
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (argv == nullptr || count <= 0) return false;
  std::vector<std::u16string> args;
  args.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) args.push_back(ToU16(argv[i]));

  CommandLineOptions options = ParseCommandLine(args);
  BaseDirectory = std::move(options.base);
  ParentProcessId = options.ppid;
  return options.update;
}

// Copies the manifest resource (type 42, name 42) of `instance`. False when it is missing,
// empty or cannot be loaded.
bool LoadManifestText(HINSTANCE instance, std::string& text) {
  HRSRC info = ::FindResourceW(instance, MAKEINTRESOURCEW(kManifestResourceName),
                               MAKEINTRESOURCEW(kManifestResourceType));
  if (info == nullptr) return false;
  const DWORD size = ::SizeofResource(instance, info);
  if (size == 0) return false;
  HGLOBAL loaded = ::LoadResource(instance, info);
  if (loaded == nullptr) return false;
  const void* bytes = ::LockResource(loaded);
  if (bytes == nullptr) return false;
  text.assign(static_cast<const char*>(bytes), size);
  return !text.empty();
}

}  // namespace

int RunUpdate(HINSTANCE instance) {
  OpenDebugLog();

  if (!ReadCommandLine()) {
    WriteLog(u"No update specified, exit");
    return 0;
  }
  WriteLog(u"Will update to: " + BaseDirectory);
  WriteLog(u"Check update manifest...");

  std::string manifest_text;
  if (!LoadManifestText(instance, manifest_text)) {
    WriteLog(u"No update manifest found, exit");
    return 0;
  }
  UpdateManifest manifest = ReadUpdateManifest(manifest_text);
  if (!manifest.valid) {
    WriteLog(u"Invalid update manifest");
    return 0;
  }
  WriteLog(u"Update to version " + manifest.version + u",with " +
           ToDecimal(manifest.updates.size()) + u" entries");
  WriteLog(kSeparator);
  if (manifest.safe) return RunSafeUpdate(instance, manifest, ParentProcessId);

  // Every payload is in memory before anything on disk is touched.
  if (!StagePayloads(instance, manifest.updates)) return 0;
  WriteLog(kSeparator);

  if (ParentProcessId != 0) WaitForParentExit(ParentProcessId);
  WriteLog(u"Ok, Let's do update now");

  if (!manifest.cleans.empty() && !RunCleanTasks(manifest.cleans)) {
    WriteLog(u"Clean task failed..");
    return 0;
  }

  // The release owns and drops the list: handed over, so no payload is ever copied and nothing
  // needs memory between the first clean and the last file.
  if (!ReleaseFiles(std::move(manifest.updates))) {
    WriteLog(u"Update task failed...");
    return 0;
  }
  WriteLog(u"Updated, now startup the launcher");

  if (!manifest.launcher.empty() && !StartLauncher(manifest.launcher)) {
    WriteLog(u"Launch failed...");
    return 0;
  }
  WriteLog(u"Done, Bye.");
  return 0;
}

}  // namespace boot
