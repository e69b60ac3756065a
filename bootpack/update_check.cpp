#include "bootpack/update_check.h"

#include "bootstrapper/payload/sha256.h"
#include "lznt1/lznt1.h"

namespace boot {

bool CheckUpdate(const std::vector<PeResource>& resources, UpdateCheck& check,
                 const PayloadVisitor& visit) {
  check = UpdateCheck{};
  const PeResource* manifest = FindPeResource(resources, kManifestResource, kManifestResource);
  if (manifest == nullptr || manifest->data.empty()) {
    check.problems.push_back("no update manifest (resource 42/42)");
    return false;
  }
  check.manifest_text.assign(manifest->data.begin(), manifest->data.end());
  check.manifest = ReadUpdateManifest(check.manifest_text);
  if (!check.manifest.valid) {
    check.problems.push_back("the update manifest is not valid for the stub");
    return false;
  }
  std::vector<std::uint8_t> buffer;
  for (std::size_t i = 0; i < check.manifest.updates.size(); ++i) {
    const UpdateTask& task = check.manifest.updates[i];
    EntryCheck entry;
    entry.path = Utf16ToUtf8(task.path);
    entry.size = task.size;
    entry.rtype = task.rtype;
    entry.rid = task.rid;
    if (task.has_sha256) entry.sha256 = Sha256Hex(task.sha256);
    // The stub asks for the low 16 bits of type and name as integer identifiers.
    const PeResource* payload =
        FindPeResource(resources, static_cast<std::uint16_t>(task.rtype & 0xFFFF),
                       static_cast<std::uint16_t>(task.rid & 0xFFFF));
    buffer.clear();
    if (check.manifest.safe && task.size == 0) {
      entry.has_resource = false;  // the safe run writes an empty file and looks for nothing
    } else if (payload == nullptr || payload->data.empty()) {
      entry.problem = "no payload resource " + std::to_string(task.rtype & 0xFFFF) + "/" +
                      std::to_string(task.rid & 0xFFFF);
    } else {
      entry.stored = payload->data.size();
      if (static_cast<std::uint64_t>(task.size) != entry.stored || task.size <= 0) {
        entry.problem = "the manifest says " + std::to_string(task.size) +
                        " bytes, the resource has " + std::to_string(entry.stored);
      } else if (entry.stored >= (1u << 30)) {
        entry.problem = "payload of 1 GiB or more: four times its size exceeds the decoder's "
                        "32-bit count";
      } else {
        // The stub decodes into exactly four times the stored size.
        buffer.assign(entry.stored * 4, 0);
        const lznt1::DecodeResult result =
            lznt1::Decompress(payload->data.data(), payload->data.size(), buffer.data(), buffer.size());
        if (result.status != lznt1::DecodeStatus::Ok) {
          entry.problem = std::string("does not decode within four times its size: ") +
                          lznt1::DescribeStatus(result.status);
        } else if (result.size == 0) {
          entry.problem = "decodes to nothing";
        } else {
          entry.expanded = result.size;
        }
      }
    }
    if (entry.problem.empty() && task.has_sha256 &&
        Sha256Of(std::span<const std::uint8_t>(buffer.data(), entry.expanded)) != task.sha256) {
      entry.problem = "sha256 mismatch: the payload decodes to other bytes";
    }
    if (!entry.problem.empty()) {
      check.problems.push_back("updates[" + std::to_string(i) + "] \"" + entry.path +
                               "\": " + entry.problem);
    }
    check.entries.push_back(entry);
    if (entry.problem.empty() && visit &&
        !visit(i, std::span<const std::uint8_t>(buffer.data(), entry.expanded))) {
      return false;
    }
  }
  return check.problems.empty();
}

}  // namespace boot
