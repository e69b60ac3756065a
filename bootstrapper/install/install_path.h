// Manifest paths (clean targets, update targets, the launcher) are relative to the install
// directory; these turn them into the full paths that the file-system calls receive. Pure text
// work on UTF-16 strings: nothing here touches the file system.
#pragma once

#include <string>
#include <string_view>

namespace boot {

// Replaces every '/' in `path` by '\'; every other code unit and the length stay unchanged.
void NormalizeSlashes(std::u16string& path);

// Joins `relative` to `base` and turns every slash of the result, base part included, into a
// backslash. One backslash goes between the two unless the base ends in '\' or '/' or the
// relative path begins with one; nothing else is inserted, removed or collapsed ("..", doubled
// separators, a trailing separator, a drive letter inside `relative` all pass through). An empty
// base yields `relative` itself without its leading separators, so the result stays relative
// to the current directory and never starts at the root of the current drive or a UNC share.
std::u16string JoinInstallPath(std::u16string_view base, std::u16string_view relative);

// True for a path that names its place without the current drive or directory: a drive letter,
// a colon and a separator ("C:\App", "c:/App"), or a UNC or device path ("\\server\share",
// "\\?\C:\App"). "C:App", "\App" and "App" depend on the current drive or directory.
bool IsAbsoluteWindowsPath(std::u16string_view path);

#ifdef _WIN32
// The install directory from -base: empty until the command line is read, never changed after.
// Set by the run sequence, read when manifest paths are joined.
extern std::u16string BaseDirectory;

// JoinInstallPath(BaseDirectory, relative): the run's install directory from -base. Only valid
// once the command line has been read. Win32 builds only.
std::u16string JoinInstallPath(std::u16string_view relative);

// The full path of manifest path `relative` in the install directory `base`: joined, with
// "." and ".." applied (GetFullPathNameW), doubled and trailing separators dropped.
std::u16string FullInstallPath(const std::u16string& base, std::u16string_view relative);
#endif

}  // namespace boot
