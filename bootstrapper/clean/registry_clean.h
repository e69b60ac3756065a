// Removing a registry key with every key below it, named by a full path such as
// HKEY_CURRENT_USER\Software\Demo\Cache. Win32 only.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "bootstrapper/manifest/update_rules.h"

namespace boot {

// Key path buffer shared by every level of one tree deletion: at most kMaxKeyPathLength (519)
// characters and the terminator.
inline constexpr std::size_t kKeyPathBufferSize = kMaxKeyPathLength + 1;

// Logs "Will clean registry: " + path, finds the root ("Unknown root" and false when none of
// the four root names starts the path; "Illegal name" and false when nothing follows the root
// name and its separator) and deletes the key tree. True when the tree is gone, also when it was
// never there ("Key not found."). A subkey path longer than 519 characters is false without any
// deletion. Forward slashes are part of key names, not separators. On false the last error says
// why.
[[nodiscard]] bool CleanRegistry(const std::u16string& path);

// Deletes `key_path` under `root` with all its subkeys, leaves first. `key_path` is the shared
// buffer; each level appends its children's names there and cuts them off again, so its content
// is unspecified afterwards. True when the key is gone (a missing key logs "Key not found." and
// counts as gone). False when a key cannot be opened (logging "Error opening key."), cannot be
// deleted, or a child's path would not fit the buffer; keys deleted before a failure stay
// deleted. A child whose name holds a NUL cannot be named to any key function: it logs "Error
// opening key." and is false, and so is a child still listed after its own walk said it was
// gone, so that no child is walked twice. An empty `key_path` (the root itself) is refused with
// false.
[[nodiscard]] bool DeleteKeyTree(HKEY root, wchar_t (&key_path)[kKeyPathBufferSize]);

}  // namespace boot
