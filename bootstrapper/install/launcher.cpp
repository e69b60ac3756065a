#include "bootstrapper/install/launcher.h"

#include <windows.h>
#include <shellapi.h>

#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"
#include "bootstrapper/install/install_path.h"

namespace boot {

bool StartLauncher(const std::u16string& launcher) {
  WriteLog(u"Will launch with " + launcher);
  const std::u16string path = JoinInstallPath(launcher);
  const DWORD attributes = ::GetFileAttributesW(AsWide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? ::GetLastError()
                                                             : ERROR_DIRECTORY;
    WriteLog(path + u" is not a legal file");
    ::SetLastError(error);
    return false;
  }

  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  // No error dialog from the shell: the stub opens no window, the log records the failure.
  // Without SEE_MASK_NOCLOSEPROCESS no process handle comes back, so nothing waits for or
  // holds on to the launcher. No verb, parameters or directory: the file type's default verb,
  // no arguments, and this process's current directory for the launcher.
  info.fMask = SEE_MASK_FLAG_NO_UI;
  info.lpFile = AsWide(path);
  info.nShow = SW_SHOWDEFAULT;
  return ::ShellExecuteExW(&info) != FALSE;
}

}  // namespace boot
