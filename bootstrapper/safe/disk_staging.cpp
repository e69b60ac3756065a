#include "bootstrapper/safe/disk_staging.h"

#include <algorithm>

#include "bootstrapper/common/unique_handle.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"
#include "bootstrapper/install/install_path.h"
#include "bootstrapper/payload/payload.h"

namespace boot {
namespace {

// The entry's content, decoded and verified; empty for an empty file. False after the lines.
bool LoadVerifiedPayload(HMODULE module, const UpdateTask& task,
                         std::vector<std::uint8_t>& content) {
  content.clear();
  if (task.size != 0) {
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    if (!FindPayloadResource(module, task.rtype, task.rid, bytes, size)) {
      WriteFailureLog(u"Invalid update entry: " + task.path, ERROR_RESOURCE_NAME_NOT_FOUND);
      return false;
    }
    if (static_cast<std::uint64_t>(size) != static_cast<std::uint64_t>(task.size)) {
      WriteFailureLog(u"Invalid update entry: " + task.path, ERROR_INVALID_DATA);
      return false;
    }
    if (!DecompressPayload(bytes, size, content)) {
      WriteFailureLog(u"Unable to decompress entry: " + task.path, ERROR_INVALID_DATA);
      return false;
    }
  }
  Sha256Digest digest;
  if (!ComputeSha256(content.data(), content.size(), digest)) {
    WriteFailureLog(u"Unable to verify entry: " + task.path, ::GetLastError());
    return false;
  }
  if (!task.has_sha256 || digest != task.sha256) {
    WriteFailureLog(u"Checksum failed for entry: " + task.path, ERROR_CRC);
    return false;
  }
  return true;
}

// Writes all of `content` (WriteFile takes at most 4 GiB minus one per call) and flushes it.
bool WriteAndFlush(HANDLE file, const std::vector<std::uint8_t>& content, DWORD& error) {
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  for (std::size_t done = 0; done < content.size();) {
    const DWORD piece = static_cast<DWORD>(std::min(kPiece, content.size() - done));
    DWORD written = 0;
    if (!::WriteFile(file, content.data() + done, piece, &written, nullptr)) {
      error = ::GetLastError();
      return false;
    }
    if (written == 0) {
      error = ERROR_DISK_FULL;
      return false;
    }
    done += written;
  }
  if (!::FlushFileBuffers(file)) {
    error = ::GetLastError();
    return false;
  }
  return true;
}

}  // namespace

bool StagePayloadsToDisk(HMODULE module, const std::vector<UpdateTask>& updates,
                         Transaction& transaction, std::vector<StagedFile>& staged) {
  staged.clear();
  for (const UpdateTask& task : updates) {
    std::vector<std::uint8_t> content;
    if (!LoadVerifiedPayload(module, task, content)) return false;

    StagedFile file;
    file.target = FullInstallPath(transaction.base, task.path);
    const std::u16string folder = ParentPath(file.target);
    if (!CreateMissingFolders(transaction, folder)) return false;
    UniqueFile handle;
    if (!CreateStagingFile(transaction, folder, handle, file.temp)) return false;
    DWORD error = 0;
    if (!WriteAndFlush(handle.get(), content, error)) {
      WriteFailureLog(u"Cannot write temporary file " + file.temp, error);
      return false;
    }
    handle.reset();
    content = {};  // one payload in memory at a time
    staged.push_back(std::move(file));
    WriteLog(u"--- " + task.path + u" --- CHECK");
  }
  return true;
}

}  // namespace boot
