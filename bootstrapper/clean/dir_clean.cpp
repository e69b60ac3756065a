#include "bootstrapper/clean/dir_clean.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>

#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"

namespace boot {
namespace {

// The from-list holds the path, its terminator and the second zero that ends the list.
constexpr std::size_t kFromListSize = 4096;

bool DirectoryStillThere(const wchar_t* path) {
  const DWORD attributes = ::GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool ClearDirectory(const std::u16string& full_path) {
  // Zero-filled, so the terminator and the list's closing zero are already in place.
  wchar_t from[kFromListSize] = {};
  const bool fits = full_path.size() + 2 <= kFromListSize;
  if (fits) std::copy(full_path.begin(), full_path.end(), from);

  WriteLog(u"Fully clearing path '" + full_path + u"'..");
  if (!fits) {
    // A cut path would name some other directory; nothing is deleted.
    WriteLog(u"Error: failed to clear path! :(");
    return false;
  }

  wchar_t empty[1] = {L'\0'};
  SHFILEOPSTRUCTW operation = {};
  operation.hwnd = nullptr;
  operation.wFunc = FO_DELETE;
  operation.pFrom = from;
  operation.pTo = empty;
  // No progress window, no confirmation, no error dialog: the stub runs unattended. Without
  // FOF_ALLOWUNDO the tree is deleted, not sent to the recycle bin.
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
  operation.fAnyOperationsAborted = FALSE;
  operation.hNameMappings = nullptr;
  operation.lpszProgressTitle = empty;
  const int result = ::SHFileOperationW(&operation);

  // The shell can report 0 with the operation aborted part way, so the result alone does not
  // prove the directory is gone.
  if (result != 0 || operation.fAnyOperationsAborted || DirectoryStillThere(from)) {
    WriteLog(u"Error: failed to clear path! :(");
    return false;
  }
  return true;
}

}  // namespace boot
