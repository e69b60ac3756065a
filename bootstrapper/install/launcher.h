// Launcher start: the updated application is started again once its files are written.
// Win32 only.
#pragma once

#include <string>

namespace boot {

// Writes "Will launch with " + `launcher` (as the manifest writes it), joins it to the install
// directory and hands the full path to the shell: default verb, no arguments, this process's
// current directory, no wait. Returns true when the shell reports the start. Returns false
// after writing the full path + " is not a legal file" when the path names nothing or a
// directory (the shell is then not called), and false without a line of its own when the shell
// fails. On false the last error says why.
[[nodiscard]] bool StartLauncher(const std::u16string& launcher);

}  // namespace boot
