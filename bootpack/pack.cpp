#include "bootpack/pack.h"

#include <algorithm>
#include <set>
#include <system_error>
#include <utility>

#include "bootpack/file_io.h"
#include "bootpack/manifest_writer.h"
#include "bootpack/pe_image.h"
#include "bootstrapper/payload/sha256.h"
#include "bootpack/update_check.h"

namespace boot {
namespace fs = std::filesystem;

namespace {

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

bool IsStandardType(std::uint16_t type) { return type >= 1 && type <= 24; }

bool IsIntegerResource(const PeResource& r, std::uint16_t type, std::uint16_t name) {
  return r.type.text.empty() && r.name.text.empty() && r.type.id == type && r.name.id == name;
}

// Removes an earlier pack's manifest and the payloads it names from the stub's resources, so
// re-packing an update exe replaces its update instead of adding a second one. Standard
// resource types are never dropped, whatever an old manifest says.
void DropEarlierUpdate(std::vector<PeResource>& resources, const std::string& stub_what,
                       PackResult& result, std::vector<Problem>& warnings) {
  const PeResource* old = FindPeResource(resources, kManifestResource, kManifestResource);
  if (old == nullptr) return;
  std::set<std::pair<std::uint16_t, std::uint16_t>> payloads;
  const UpdateManifest manifest =
      ReadUpdateManifest(std::string_view(reinterpret_cast<const char*>(old->data.data()), old->data.size()));
  if (manifest.valid) {
    for (const UpdateTask& task : manifest.updates) {
      if (manifest.safe && task.size == 0) continue;  // an empty file, stored as no resource
      const auto type = static_cast<std::uint16_t>(task.rtype & 0xFFFF);
      const auto name = static_cast<std::uint16_t>(task.rid & 0xFFFF);
      if (!IsStandardType(type) && type != kManifestResource) payloads.insert({type, name});
    }
  } else {
    warnings.push_back({stub_what, "carries an update manifest the stub cannot read; it is "
                                   "replaced, but resources it may have named are kept"});
  }
  std::erase_if(resources, [&](const PeResource& r) {
    if (IsIntegerResource(r, kManifestResource, kManifestResource)) return true;
    const bool payload = r.type.text.empty() && r.name.text.empty() &&
                         payloads.count({r.type.id, r.name.id}) != 0;
    if (payload) ++result.old_payloads_replaced;
    return payload;
  });
}

// True when the stub's reader turns `text` back into exactly the package and payload table.
bool ManifestMatches(std::string_view text, const Package& package,
                     const std::vector<StoredPayload>& stored, UpdateMode mode) {
  const UpdateManifest m = ReadUpdateManifest(text);
  if (!m.valid || m.safe != (mode == UpdateMode::Safe) ||
      m.version != Utf8ToUtf16(package.version) || m.launcher != Utf8ToUtf16(package.launcher) ||
      m.cleans.size() != package.cleans.size() || m.updates.size() != package.updates.size()) {
    return false;
  }
  for (std::size_t i = 0; i < m.cleans.size(); ++i) {
    const PackageClean& c = package.cleans[i];
    if (m.cleans[i].path != Utf8ToUtf16(c.path) || m.cleans[i].kind != c.kind ||
        m.cleans[i].fail_ok != c.fail_ok) {
      return false;
    }
  }
  for (std::size_t i = 0; i < m.updates.size(); ++i) {
    const UpdateTask& u = m.updates[i];
    if (u.path != Utf8ToUtf16(package.updates[i].path) || u.size != stored[i].size ||
        u.rtype != stored[i].rtype || u.rid != stored[i].rid || !u.has_sha256 ||
        u.sha256 != stored[i].sha256) {
      return false;
    }
  }
  return true;
}

bool ResourceLess(const PeResource* a, const PeResource* b) {
  if (a->type < b->type || b->type < a->type) return a->type < b->type;
  if (a->name < b->name || b->name < a->name) return a->name < b->name;
  return a->language < b->language;
}

// Re-reads the written file and checks it completely: a valid image with a correct checksum,
// exactly the resources that were meant to go in (the stub's own included, byte for byte), the
// manifest that was written, and an update the stub would stage. Every payload then decodes to
// the original file: the manifest carries each file's SHA-256, which the check compares.
bool VerifyWrittenImage(const fs::path& path, const std::vector<PeResource>& expected,
                        std::string_view manifest_text, std::string& why) {
  std::vector<std::uint8_t> bytes;
  if (!ReadWholeFile(path, bytes, why)) {
    why = "cannot read it back: " + why;
    return false;
  }
  PeImage image;
  if (!ParsePeImage(std::move(bytes), image, why)) {
    why = "the written image does not parse: " + why;
    return false;
  }
  if (ComputePeChecksum(image.bytes, image.optional_header_offset + 64) != image.checksum) {
    why = "the written image's checksum is wrong";
    return false;
  }
  std::vector<PeResource> found;
  if (!ReadPeResources(image, found, why)) {
    why = "the written resources do not parse: " + why;
    return false;
  }
  image = PeImage{};  // the resources are copies; the file's bytes are no longer needed
  std::vector<const PeResource*> sorted;
  for (const PeResource& r : expected) sorted.push_back(&r);
  std::sort(sorted.begin(), sorted.end(), ResourceLess);
  if (found.size() != sorted.size()) {
    why = "the written image has " + std::to_string(found.size()) + " resources instead of " +
          std::to_string(sorted.size());
    return false;
  }
  for (std::size_t i = 0; i < found.size(); ++i) {
    const PeResource& a = found[i];
    const PeResource& b = *sorted[i];
    if (!(a.type == b.type) || !(a.name == b.name) || a.language != b.language ||
        a.codepage != b.codepage || a.data != b.data) {
      why = "resource " + DescribeResourceKey(b.type) + "/" + DescribeResourceKey(b.name) +
            " reads back differently";
      return false;
    }
  }
  UpdateCheck check;
  const bool staged = CheckUpdate(found, check);
  if (check.manifest_text != manifest_text) {
    why = "the manifest reads back differently";
    return false;
  }
  if (!staged) {
    why = check.problems.empty() ? "the stub would not stage the update" : check.problems.front();
    return false;
  }
  return true;
}

}  // namespace

bool PackUpdate(const PackOptions& options, const PackProgress& progress, PackResult& result,
                std::vector<Problem>& problems, std::vector<Problem>& warnings) {
  result = PackResult{};
  std::string why;

  // 1. The description and the files it names.
  const fs::path package_path = PathFromUtf8(options.package);
  std::vector<std::uint8_t> text;
  if (!ReadWholeFile(package_path, text, why)) {
    problems.push_back({options.package, why});
    return false;
  }
  Package package;
  bool ok = ParsePackageDescription(
      std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), options.package,
      package_path.parent_path(), package, problems);
  if (!options.from.empty()) ok = AddFolderFiles(PathFromUtf8(options.from), package, problems) && ok;
  if (!ok || !ValidatePackage(package, options.allow_outside, options.mode, problems, warnings)) {
    return false;
  }
  if (package.updates.size() > 0xFFFF) {
    problems.push_back({"updates", std::to_string(package.updates.size()) +
                                       " entries; resource ids allow at most 65535"});
    return false;
  }

  // 2. The stub and its own resources.
  const std::string stub_what = "stub " + Quoted(options.stub);
  std::vector<std::uint8_t> stub_bytes;
  PeImage stub;
  std::vector<PeResource> resources;
  if (!ReadWholeFile(PathFromUtf8(options.stub), stub_bytes, why) ||
      !ParsePeImage(std::move(stub_bytes), stub, why) || !ReadPeResources(stub, resources, why)) {
    problems.push_back({stub_what, why});
    return false;
  }
  DropEarlierUpdate(resources, stub_what, result, warnings);
  result.stub_resources_kept = resources.size();
  std::set<std::uint16_t> used_types;
  for (const PeResource& r : resources) {
    if (r.type.text.empty()) used_types.insert(r.type.id);
  }
  std::uint16_t payload_type = kPayloadType;
  while (used_types.count(payload_type) != 0) ++payload_type;
  result.payload_type = payload_type;

  // 3. Every file, compressed and checked to decode back to itself.
  std::vector<StoredPayload> stored;
  for (std::size_t i = 0; i < package.updates.size(); ++i) {
    const PackageUpdate& update = package.updates[i];
    const std::string what = update.origin + " " + Quoted(update.path);
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(update.source, ec);
    if (progress) progress(i, package.updates.size(), update.path, ec ? 0 : size);
    std::vector<std::uint8_t> content;
    if (!ReadWholeFile(update.source, content, why)) {
      problems.push_back({what, "cannot read source " + Quoted(PathToUtf8(update.source)) + ": " + why});
      return false;
    }
    const auto rid = static_cast<std::uint16_t>(i + 1);
    const Sha256Digest digest = Sha256Of(content);
    result.entries.push_back({update.path, content.size(), 0, rid});
    result.input_bytes += content.size();
    if (content.empty() && options.mode == UpdateMode::Safe) {
      // The safe run writes an empty file for a size of 0 and looks for no resource.
      stored.push_back({0, payload_type, rid, digest});
      continue;
    }
    std::vector<std::uint8_t> stream;
    std::string error;
    if (!lznt1::CompressPayload(content.data(), content.size(), options.level, stream, error)) {
      problems.push_back({what, error});
      return false;
    }
    if (stream.size() >= (1u << 30)) {
      problems.push_back({what, "compresses to 1 GiB or more; the stub cannot decode payloads "
                                "that large"});
      return false;
    }
    // Decoding into exactly the file's size proves the stream yields the file and nothing
    // more (the decoder reports output that does not fit); the stub's 4x room is then enough.
    std::vector<std::uint8_t> decoded(content.size());
    const lznt1::DecodeResult back =
        lznt1::Decompress(stream.data(), stream.size(), decoded.data(), decoded.size());
    if (content.size() > 4ull * stream.size() || back.status != lznt1::DecodeStatus::Ok ||
        back.size != content.size() || decoded != content) {
      problems.push_back({what, "the compressed stream does not decode back to the file within "
                                "four times its size (a compressor fault)"});
      return false;
    }
    decoded = {};
    stored.push_back({static_cast<std::int64_t>(stream.size()), payload_type, rid, digest});
    result.entries.back().stored = stream.size();
    result.stored_bytes += stream.size();
    PeResource payload;
    payload.type.id = payload_type;
    payload.name.id = rid;
    payload.data = std::move(stream);
    resources.push_back(std::move(payload));
  }

  // 4. The manifest, which must read back as exactly this package through the stub's reader.
  const std::string manifest_text = WriteManifestText(package, stored, options.mode);
  if (!ManifestMatches(manifest_text, package, stored, options.mode)) {
    problems.push_back({options.package, "the generated manifest does not read back as written "
                                         "(a packer fault)"});
    return false;
  }
  PeResource manifest;
  manifest.type.id = kManifestResource;
  manifest.name.id = kManifestResource;
  manifest.data.assign(manifest_text.begin(), manifest_text.end());
  resources.push_back(std::move(manifest));

  // 5. The image, written beside the output, checked, then renamed into place.
  std::vector<std::uint8_t> image;
  PeWriteReport report;
  if (!WritePeResources(stub, resources, image, report, why)) {
    problems.push_back({stub_what, why});
    return false;
  }
  stub = PeImage{};
  if (report.certificate_removed) {
    warnings.push_back({stub_what, "was signed; the signature was removed, sign the update exe "
                                   "after packing"});
  }
  result.section_appended = report.section_appended;
  result.output_bytes = image.size();
  const fs::path output = PathFromUtf8(options.output);
  const fs::path temp = TempPathBeside(output);
  if (!WriteWholeFile(temp, image, why)) {
    problems.push_back({Quoted(options.output), "cannot write " + Quoted(PathToUtf8(temp)) + ": " + why});
    return false;
  }
  image = {};
  if (!VerifyWrittenImage(temp, resources, manifest_text, why)) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    problems.push_back({Quoted(options.output), "check after writing failed: " + why});
    return false;
  }
  if (!ReplaceFile(temp, output, why)) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    problems.push_back({Quoted(options.output), why});
    return false;
  }
  result.version = package.version;
  result.launcher = package.launcher;
  result.cleans = package.cleans.size();
  return true;
}

}  // namespace boot
