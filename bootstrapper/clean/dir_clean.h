// Removing a directory with everything in it through the shell's delete operation, silently
// and for good (not to the recycle bin). Win32 only.
#pragma once

#include <string>

namespace boot {

// Deletes the existing directory `full_path` (passed to the shell unchanged, a trailing
// backslash included) and everything below it. Logs "Fully clearing path '" + path + "'.."
// first. True when the shell reports success and the directory is gone; otherwise logs
// "Error: failed to clear path! :(" and returns false, keeping whatever was already removed.
// A path longer than 4094 characters fails the same way without calling the shell.
[[nodiscard]] bool ClearDirectory(const std::u16string& full_path);

}  // namespace boot
