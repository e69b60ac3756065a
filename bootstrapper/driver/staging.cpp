#include "bootstrapper/driver/staging.h"

#include <string>

#include "bootstrapper/diag/debug_log.h"
#include "bootstrapper/payload/payload.h"

namespace boot {

bool StagePayloads(HMODULE module, std::vector<UpdateTask>& updates) {
  const PayloadReader reader(module);
  // Every entry up to the first whose resource is missing or of another size: only those are
  // decoded. The length is compared before anything is decompressed.
  std::vector<DecodeJob> jobs;
  jobs.reserve(updates.size());
  for (const UpdateTask& task : updates) {
    PayloadStream stream;
    if (!reader.Find(task.rtype, task.rid, stream) ||
        static_cast<std::uint64_t>(stream.size) != static_cast<std::uint64_t>(task.size)) {
      break;
    }
    DecodeJob& job = jobs.emplace_back();
    job.stream = stream;
    job.check_sha256 = task.has_sha256;
    job.sha256 = task.sha256;
  }
  DecodePayloads(reader, jobs);

  LogFlushBatch batch;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    UpdateTask& task = updates[i];
    if (!jobs[i].decoded) {
      WriteLog(u"Unable to decompress entry: " + task.path);
      return false;
    }
    if (!jobs[i].verified) {
      WriteLog(u"Checksum failed for entry: " + task.path);
      return false;
    }
    task.payload = std::move(jobs[i].content);
    WriteLog(u"--- " + task.path + u" --- CHECK");
  }
  if (jobs.size() < updates.size()) {
    WriteLog(u"Invalid update entry: " + updates[jobs.size()].path);
    return false;
  }
  return true;
}

}  // namespace boot
