// Removing one file before the new files are written: delete it, or, when the system refuses,
// move it into the temporary directory under a random name and have it deleted at the next
// restart. Win32 only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace boot {

// Deletes the file at `full_path`. True: it was deleted or moved aside, or there is no file
// there (nothing at the path, the attributes cannot be read, or it is a directory, which is left
// alone; none of these logs a line). False: the file is still in place. Logs
// "Will clean file " + path before acting, then "Delete failed, move to " + target when the
// deletion is refused, or "Delete failed and not have a proper move-to target" when no target
// can be made. Attributes are never changed.
[[nodiscard]] bool CleanFile(const std::u16string& full_path);

// A path in the user's temporary directory made of twelve random letters (from the system's
// strong generator) and "." + `extension`, such as C:\Users\me\Temp\AbCdEfGhIjKl.del. Empty
// when there is no usable temporary path, the generator fails, or the target would be longer
// than 259 characters.
std::u16string MakeMoveAsideTarget(std::u16string_view extension);

// One value from the system's strong random generator (RtlGenRandom); false when it fails.
bool DrawSystemRandom(std::uint32_t& value);

}  // namespace boot
