#include "bootstrapper/clean/file_clean.h"

#include <windows.h>
// RtlGenRandom is advapi32's SystemFunction036; ntsecapi.h declares it under both names.
#include <ntsecapi.h>

#include <cstdint>

#include "bootstrapper/clean/move_aside_name.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"

namespace boot {
namespace {

// MAX_PATH: the temporary path as returned, and again after expansion.
constexpr DWORD kPathBuffer = 260;

}  // namespace

bool DrawSystemRandom(std::uint32_t& value) {
  return ::RtlGenRandom(&value, sizeof value) != FALSE;
}

std::u16string MakeMoveAsideTarget(std::u16string_view extension) {
  wchar_t temp[kPathBuffer] = {};
  const DWORD temp_length = ::GetTempPathW(kPathBuffer, temp);
  // A larger result is the size the path would need; nothing was written then.
  if (temp_length == 0 || temp_length >= kPathBuffer) return {};

  // The temporary path may come straight from a TEMP value such as %USERPROFILE%\Temp.
  wchar_t expanded[kPathBuffer] = {};
  const DWORD expanded_length = ::ExpandEnvironmentStringsW(temp, expanded, kPathBuffer);
  // The count includes the terminator; a larger one means the expansion did not fit.
  if (expanded_length == 0 || expanded_length > kPathBuffer) return {};

  return ComposeMoveAsideTarget(AsU16(expanded), extension, DrawSystemRandom);
}

bool CleanFile(const std::u16string& full_path) {
  const wchar_t* path = AsWide(full_path);
  const DWORD attributes = ::GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return true;
  }

  WriteLog(u"Will clean file " + full_path);
  if (::DeleteFileW(path)) return true;

  const std::u16string target = MakeMoveAsideTarget(u"del");
  if (target.empty()) {
    WriteLog(u"Delete failed and not have a proper move-to target");
    return false;
  }
  WriteLog(u"Delete failed, move to " + target);
  // No MOVEFILE_COPY_ALLOWED: a copy would leave the refused original where it is.
  if (!::MoveFileExW(path, AsWide(target), MOVEFILE_REPLACE_EXISTING)) return false;
  // Registering the restart deletion needs rights the caller may lack; the file is out of the
  // way either way, so the result does not matter.
  ::MoveFileExW(AsWide(target), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  return true;
}

}  // namespace boot
