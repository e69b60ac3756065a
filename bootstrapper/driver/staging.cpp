#include "bootstrapper/driver/staging.h"

#include <string>

#include "bootstrapper/diag/debug_log.h"
#include "bootstrapper/payload/payload.h"

namespace boot {

bool StagePayloads(HMODULE module, std::vector<UpdateTask>& updates) {
  for (UpdateTask& task : updates) {
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    // The length is compared before anything is copied or decompressed.
    if (!FindPayloadResource(module, task.rtype, task.rid, bytes, size) ||
        static_cast<std::uint64_t>(size) != static_cast<std::uint64_t>(task.size)) {
      WriteLog(u"Invalid update entry: " + task.path);
      return false;
    }
    std::vector<std::uint8_t> payload;
    if (!DecompressPayload(bytes, size, payload)) {
      WriteLog(u"Unable to decompress entry: " + task.path);
      return false;
    }
    if (task.has_sha256) {
      Sha256Digest digest;
      if (!ComputeSha256(payload.data(), payload.size(), digest)) {
        WriteLog(u"Unable to verify entry: " + task.path);
        return false;
      }
      if (digest != task.sha256) {
        WriteLog(u"Checksum failed for entry: " + task.path);
        return false;
      }
    }
    task.payload = std::move(payload);
    WriteLog(u"--- " + task.path + u" --- CHECK");
  }
  return true;
}

}  // namespace boot
