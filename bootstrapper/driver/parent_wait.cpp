#include "bootstrapper/driver/parent_wait.h"

#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "bootstrapper/common/decimal.h"
#include "bootstrapper/common/unique_handle.h"
#include "bootstrapper/diag/debug_log.h"

namespace boot {
namespace {

constexpr DWORD kPollIntervalMs = 1000;

// True when a snapshot of the process list holds `process_id`; false when it does not, or
// when no snapshot or no first entry can be had.
bool IsProcessListed(std::uint32_t process_id) {
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == process_id) return true;
  }
  return false;
}

}  // namespace

void WaitForParentExit(std::uint32_t parent_process_id) {
  WriteLog(u"Make sure parent process " + ToDecimal(parent_process_id) +
           u" to exit");
  if (parent_process_id == ::GetCurrentProcessId()) return;
  while (IsProcessListed(parent_process_id)) ::Sleep(kPollIntervalMs);
}

}  // namespace boot
