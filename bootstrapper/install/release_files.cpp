#include "bootstrapper/install/release_files.h"

#include <windows.h>

#include <limits>
#include <string>

#include "bootstrapper/common/unique_handle.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"
#include "bootstrapper/install/install_path.h"

namespace boot {
namespace {

// One write of the whole payload. False when it fails or reports fewer bytes than asked.
bool WritePayload(HANDLE file, const ByteBuffer& payload) {
  if (payload.size() > std::numeric_limits<DWORD>::max()) return false;
  const DWORD length = static_cast<DWORD>(payload.size());
  DWORD written = 0;
  if (!::WriteFile(file, payload.data(), length, &written, nullptr)) return false;
  return written == length;
}

}  // namespace

bool ReleaseFiles(std::vector<UpdateTask> tasks) {
  // The files themselves are not flushed either; a killed run still leaves every line.
  LogFlushBatch batch;
  for (const UpdateTask& task : tasks) {
    const std::u16string path = JoinInstallPath(task.path);
    WriteLog(u"Release file " + path);
    // Write-data access is all a truncate-and-write needs; readers may look at the file
    // meanwhile. CREATE_ALWAYS creates a missing file and truncates an existing one.
    UniqueFile file(::CreateFileW(AsWide(path), FILE_WRITE_DATA, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      WriteLog(u"Create fail");
      return false;
    }
    const bool written = WritePayload(file.get(), task.payload);
    file.reset();  // closed whatever the write returned; not flushed
    if (!written) {
      WriteLog(u"Write fail");
      return false;
    }
  }
  return true;
}

}  // namespace boot
