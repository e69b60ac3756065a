#include "bootpack/update_check.h"

#include <algorithm>
#include <map>
#include <utility>

#include "bootpack/package.h"
#include "bootpack/side_by_side.h"
#include "bootstrapper/manifest/update_rules.h"
#include "bootstrapper/payload/patch_stream.h"
#include "bootstrapper/payload/sha256.h"
#include "lznt1/lznt1.h"

namespace boot {

namespace {

// The resource the stub finds for each integer type and name, as FindPeResource picks it
// (neutral language first, else the lowest), built once so that a manifest of many entries
// costs no search per entry.
std::map<std::pair<std::uint16_t, std::uint16_t>, const PeResource*> IndexByTypeAndName(
    const std::vector<PeResource>& resources) {
  std::map<std::pair<std::uint16_t, std::uint16_t>, const PeResource*> index;
  for (const PeResource& r : resources) {
    if (!r.type.text.empty() || !r.name.text.empty()) continue;
    const auto [it, inserted] = index.emplace(std::pair(r.type.id, r.name.id), &r);
    if (!inserted && r.language < it->second->language) it->second = &r;
  }
  return index;
}

// Checks the patch entry `task` whose resource is `stream` (of entry.stored bytes): a header and
// a body that decodes to exactly its size and fits an old file of the header's size; with
// `previous`, rebuilt from the old file into `digest` (and `content`). Problems go to `entry`.
void CheckPatchEntry(const UpdateTask& task, const std::uint8_t* stream,
                     const PreviousFileSource& previous, unsigned threads, EntryCheck& entry,
                     Sha256State& digest, std::vector<std::uint8_t>* content) {
  entry.patch = true;
  entry.from_sha256 = Sha256Hex(task.from_sha256);
  PatchHeader header;
  if (!ReadPatchHeader({stream, entry.stored}, header)) {
    entry.problem = "is not a patch the stub can read (its header is wrong)";
    return;
  }
  entry.old_size = header.old_size;
  std::vector<std::uint8_t> body;
  body.reserve(static_cast<std::size_t>(PatchBodySize(header)));
  const lznt1::DecodeResult result = lznt1::DecompressInPieces(
      stream + kPatchHeaderSize, entry.stored - kPatchHeaderSize, PatchBodySize(header),
      [&](const std::uint8_t* piece, std::size_t size) { body.insert(body.end(), piece, piece + size); },
      threads);
  if (result.status != lznt1::DecodeStatus::Ok || body.size() != PatchBodySize(header) ||
      !CheckPatchBody(header, body)) {
    entry.problem = "the patch's body does not decode to the ops and bytes its header states";
    return;
  }
  entry.expanded = header.new_size;
  if (!previous) {
    if (content) entry.problem = "is a patch against the installed release; give --previous OLD_DIR to rebuild it";
    return;
  }
  std::vector<std::uint8_t> old;
  std::string why;
  if (!previous(entry.path, old, why)) {
    entry.problem = "cannot rebuild the patch: " + why;
    return;
  }
  if (Sha256Of(old) != task.from_sha256) {
    entry.problem = "the previous release's file is not the one the patch was made against";
    return;
  }
  HashingPatchSink sink(digest, content);
  if (!ApplyPatch(header, old, body, sink)) {
    entry.problem = "the patch does not apply to the previous release's file";
    return;
  }
  entry.rebuilt = true;
}

// Streams from this size on are checked one at a time, decoded on every processor: one of them
// on one thread would leave the others idle at the end of the check for longer than that saves.
constexpr std::int64_t kSharedStreamSize = std::int64_t{16} << 20;

}  // namespace

bool CheckUpdate(const std::vector<PeResource>& resources, UpdateCheck& check,
                 const PayloadVisitor& visit, const PreviousFileSource& previous) {
  check = UpdateCheck{};
  const PeResource* manifest =
      FindPeResource(resources, kManifestResourceType, kManifestResourceName);
  if (manifest == nullptr || manifest->data.empty()) {
    check.problems.push_back("no update manifest (resource " +
                             std::to_string(kManifestResourceType) + "/" +
                             std::to_string(kManifestResourceName) + ")");
    return false;
  }
  check.manifest_text.assign(manifest->data.begin(), manifest->data.end());
  check.manifest = ReadUpdateManifest(check.manifest_text);
  if (!check.manifest.valid) {
    check.problems.push_back("the update manifest is not valid for the stub");
    return false;
  }
  // The stub acts on such a value only up to the NUL: on other text than the manifest shows.
  for (const EscapedNul& nul : FindEscapedNuls(check.manifest_text)) {
    check.problems.push_back("the update manifest's " +
                             (nul.container.empty() ? std::string("top level") : nul.container) +
                             ": " + DescribeEscapedNul(nul) + ", so the stub acts on other text "
                             "than the manifest shows");
  }
  const auto index = IndexByTypeAndName(resources);
  // Checks entry i into `entry`, decoding on `threads` threads; with `content` it also keeps
  // the decoded bytes there.
  const auto check_entry = [&](std::size_t i, EntryCheck& entry, std::vector<std::uint8_t>* content,
                               unsigned threads) {
    const UpdateTask& task = check.manifest.updates[i];
    entry.path = Utf16ToUtf8(task.path);
    entry.size = task.size;
    entry.rtype = task.rtype;
    entry.rid = task.rid;
    if (task.has_sha256) entry.sha256 = Sha256Hex(task.sha256);
    // The stub asks for the low 16 bits of type and name as integer identifiers.
    const auto found = index.find({static_cast<std::uint16_t>(task.rtype & 0xFFFF),
                                   static_cast<std::uint16_t>(task.rid & 0xFFFF)});
    const PeResource* payload = found == index.end() ? nullptr : found->second;
    Sha256State digest;
    Sha256Init(digest);
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
      } else if (entry.stored > kMaxStreamSize) {
        entry.problem = "payload of " + std::to_string(entry.stored) +
                        " bytes; a stream can be at most " + std::to_string(kMaxStreamSize) +
                        " bytes (the manifest's size is a signed 32-bit count)";
      } else if (task.is_patch) {
        CheckPatchEntry(task, payload->data.data(), previous, threads, entry, digest, content);
      } else {
        // The stub decodes into exactly four times the stored size. Only the content's digest
        // is kept, unless the caller wants the content itself.
        const std::uint8_t* stream = payload->data.data();
        if (content) {
          content->reserve(std::min<std::size_t>(entry.stored * kMaxExpansion,
                                                 lznt1::DecodedSizeBound(stream, entry.stored)));
        }
        const lznt1::DecodeResult result = lznt1::DecompressInPieces(
            stream, entry.stored, entry.stored * kMaxExpansion,
            [&](const std::uint8_t* piece, std::size_t size) {
              Sha256Update(digest, std::span<const std::uint8_t>(piece, size));
              if (content) content->insert(content->end(), piece, piece + size);
            },
            threads);
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
    // A patch not rebuilt has no content to compare.
    if (entry.problem.empty() && task.has_sha256 && (!task.is_patch || entry.rebuilt) &&
        Sha256Final(digest) != task.sha256) {
      entry.problem = "sha256 mismatch: the payload decodes to other bytes";
    }
  };
  const auto report = [&](std::size_t i) {
    const EntryCheck& entry = check.entries[i];
    if (!entry.problem.empty()) {
      check.problems.push_back("updates[" + std::to_string(i) + "] \"" + entry.path +
                               "\": " + entry.problem);
    }
  };
  check.entries.resize(check.manifest.updates.size());
  if (!visit) {
    // Entries are independent: all but the largest are checked side by side, one thread each.
    // An entry's SHA-256 runs on one thread whatever decodes it, so checking a few-megabyte entry
    // on every processor left all but one idle while it hashed. A plain entry keeps only its
    // content's digest, so side by side it costs no more memory. (A failed allocation cannot
    // leave a helper thread: it fails the entry.)
    ForEachSideBySide(
        check.entries.size(), [&](std::size_t i) { return check.manifest.updates[i].size >= kSharedStreamSize; },
        [&](std::size_t i, unsigned threads) {
          try {
            check_entry(i, check.entries[i], nullptr, threads);
          } catch (...) {
            check.entries[i].problem = "not enough memory to check it";
          }
        });
    for (std::size_t i = 0; i < check.entries.size(); ++i) report(i);
    return check.problems.empty();
  }
  std::vector<std::uint8_t> content;
  for (std::size_t i = 0; i < check.entries.size(); ++i) {
    content.clear();
    check_entry(i, check.entries[i], &content, 0);
    report(i);
    if (check.entries[i].problem.empty() &&
        !visit(i, std::span<const std::uint8_t>(content.data(), content.size()))) {
      return false;
    }
  }
  return check.problems.empty();
}

}  // namespace boot
