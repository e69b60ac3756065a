#include "bootpack/pack.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <utility>

#include "bootpack/delta_encoder.h"
#include "bootpack/file_io.h"
#include "bootpack/manifest_writer.h"
#include "bootpack/pe_image.h"
#include "bootpack/side_by_side.h"
#include "bootpack/sign_command.h"
#include "bootpack/stub_identity.h"
#include "bootpack/update_check.h"
#include "bootstrapper/manifest/update_rules.h"
#include "bootstrapper/payload/patch_stream.h"
#include "bootstrapper/payload/sha256.h"

namespace boot {
namespace fs = std::filesystem;

namespace {

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

bool IsStandardType(std::uint16_t type) { return type >= 1 && type <= 24; }

std::string FileTooLarge(std::uint64_t size) {
  return std::to_string(size) + " bytes; " + FileSizeLimitText();
}

bool IsIntegerResource(const PeResource& r, std::uint16_t type, std::uint16_t name) {
  return r.type.text.empty() && r.name.text.empty() && r.type.id == type && r.name.id == name;
}

// Removes an earlier pack's manifest and the payloads it names from the stub's resources, so
// re-packing an update exe replaces its update instead of adding a second one. Standard
// resource types are never dropped, whatever an old manifest says.
void DropEarlierUpdate(std::vector<PeResource>& resources, const std::string& stub_what,
                       PackResult& result, std::vector<Problem>& warnings) {
  const PeResource* old = FindPeResource(resources, kManifestResourceType, kManifestResourceName);
  if (old == nullptr) return;
  std::set<std::pair<std::uint16_t, std::uint16_t>> payloads;
  const UpdateManifest manifest =
      ReadUpdateManifest(std::string_view(reinterpret_cast<const char*>(old->data.data()), old->data.size()));
  if (manifest.valid) {
    for (const UpdateTask& task : manifest.updates) {
      if (manifest.safe && task.size == 0) continue;  // an empty file, stored as no resource
      const auto type = static_cast<std::uint16_t>(task.rtype & 0xFFFF);
      const auto name = static_cast<std::uint16_t>(task.rid & 0xFFFF);
      if (!IsStandardType(type) && type != kManifestResourceType) payloads.insert({type, name});
    }
  } else {
    warnings.push_back({stub_what, "carries an update manifest the stub cannot read; it is "
                                   "replaced, but resources it may have named are kept"});
  }
  std::erase_if(resources, [&](const PeResource& r) {
    if (IsIntegerResource(r, kManifestResourceType, kManifestResourceName)) return true;
    const bool payload = r.type.text.empty() && r.name.text.empty() &&
                         payloads.count({r.type.id, r.name.id}) != 0;
    if (payload) ++result.old_payloads_replaced;
    return payload;
  });
}

// True when what the stub's reader made of the manifest is exactly the package and payload table.
bool ManifestMatches(const UpdateManifest& m, const Package& package,
                     const std::vector<StoredPayload>& stored, UpdateMode mode) {
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
        u.sha256 != stored[i].sha256 || u.is_patch != stored[i].is_patch ||
        (u.is_patch && u.from_sha256 != stored[i].from_sha256)) {
      return false;
    }
  }
  if (m.unchanged.size() != package.unchanged.size()) return false;
  for (std::size_t i = 0; i < m.unchanged.size(); ++i) {
    if (m.unchanged[i].path != Utf8ToUtf16(package.unchanged[i].path) ||
        m.unchanged[i].sha256 != package.unchanged[i].sha256) {
      return false;
    }
  }
  return true;
}

// True when `stream` decodes to exactly `content` within the stub's room of kMaxExpansion times
// its size. The stream is decoded piece by piece and each piece compared, so the check holds no
// second copy of the content.
bool DecodesTo(const std::vector<std::uint8_t>& stream, const std::vector<std::uint8_t>& content,
               unsigned threads) {
  if (content.size() > kMaxExpansion * stream.size()) return false;
  std::size_t at = 0;
  bool same = true;
  const lznt1::DecodeResult back = lznt1::DecompressInPieces(
      stream.data(), stream.size(), content.size(), [&](const std::uint8_t* piece, std::size_t n) {
        same = same && n <= content.size() - at && std::memcmp(piece, content.data() + at, n) == 0;
        at += n;
      }, threads);
  return back.status == lznt1::DecodeStatus::Ok && back.size == content.size() && same;
}

// 64 bits that change with any change to `bytes` (their values, order or length), so a resource
// read back can be compared with what was written without keeping a copy of it. Not a
// cryptographic digest; the payloads' contents are checked against their SHA-256 as well.
std::uint64_t Fingerprint(std::span<const std::uint8_t> bytes) {
  constexpr std::uint64_t kMultiplier = 0xFF51AFD7ED558CCDull;
  // Four independent lanes keep the multiplier's latency out of the way.
  std::uint64_t lane[4] = {0x9E3779B97F4A7C15ull, 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull,
                           0x27D4EB2F165667C5ull};
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  for (; n - i >= 32; i += 32) {
    for (int k = 0; k < 4; ++k) {
      std::uint64_t w;
      std::memcpy(&w, bytes.data() + i + 8 * k, 8);
      lane[k] = (lane[k] ^ w) * kMultiplier;
      lane[k] ^= lane[k] >> 29;
    }
  }
  std::uint64_t h = n;
  for (const std::uint64_t l : lane) h = (h ^ l) * kMultiplier;
  for (; i < n; ++i) h = (h ^ bytes[i]) * kMultiplier;
  return h ^ (h >> 31);
}

// What a resource that was written must read back as.
struct ExpectedResource {
  ResourceKey type;
  ResourceKey name;
  std::uint16_t language = 0;
  std::uint32_t codepage = 0;
  std::uint64_t size = 0;
  std::uint64_t fingerprint = 0;
};

template <typename Resource>
bool ResourceLess(const Resource& a, const Resource& b) {
  if (a.type < b.type || b.type < a.type) return a.type < b.type;
  if (a.name < b.name || b.name < a.name) return a.name < b.name;
  return a.language < b.language;
}

// The resources as the written image must hold them, in directory order.
std::vector<ExpectedResource> ExpectedResources(const std::vector<PeResource>& resources) {
  std::vector<ExpectedResource> expected;
  expected.reserve(resources.size());
  for (const PeResource& r : resources) {
    expected.push_back({r.type, r.name, r.language, r.codepage, r.data.size(), Fingerprint(r.data)});
  }
  std::sort(expected.begin(), expected.end(), ResourceLess<ExpectedResource>);
  return expected;
}

// Re-reads the written file and checks it completely: a valid image with a correct checksum,
// exactly the resources that were meant to go in (the stub's own included), a manifest that
// reads back as the package and payload table, and an update the stub would stage. Every
// payload then decodes to the original file: the manifest carries each file's SHA-256, which the
// check compares.
bool VerifyWrittenImage(const fs::path& path, const std::vector<ExpectedResource>& expected,
                        std::string_view manifest_text, const Package& package,
                        const std::vector<StoredPayload>& stored, UpdateMode mode,
                        const std::vector<fs::path>& previous_sources, std::string& why) {
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
  // Where each resource lies, then its bytes read from the file once the image's are gone: the
  // file is never in memory twice.
  std::vector<PeResource> found;
  if (!ReadPeResources(image, found, why, /*copy_data=*/false)) {
    why = "the written resources do not parse: " + why;
    return false;
  }
  image = PeImage{};
  for (PeResource& r : found) {
    if (!ReadFileRange(path, r.file_offset, r.size, r.data, why)) {
      why = "cannot read it back: " + why;
      return false;
    }
  }
  if (found.size() != expected.size()) {
    why = "the written image has " + std::to_string(found.size()) + " resources instead of " +
          std::to_string(expected.size());
    return false;
  }
  for (std::size_t i = 0; i < found.size(); ++i) {
    const PeResource& a = found[i];
    const ExpectedResource& b = expected[i];
    if (!(a.type == b.type) || !(a.name == b.name) || a.language != b.language ||
        a.codepage != b.codepage || a.data.size() != b.size || Fingerprint(a.data) != b.fingerprint) {
      why = "resource " + DescribeResourceKey(b.type) + "/" + DescribeResourceKey(b.name) +
            " reads back differently";
      return false;
    }
  }
  // Patches are rebuilt from the previous release's files and checked like the rest.
  std::map<std::string, fs::path> previous;
  for (std::size_t i = 0; i < previous_sources.size() && i < package.updates.size(); ++i) {
    if (!previous_sources[i].empty()) previous.emplace(package.updates[i].path, previous_sources[i]);
  }
  const PreviousFileSource read_previous = [&](const std::string& update_path,
                                               std::vector<std::uint8_t>& old_file, std::string& reason) {
    const auto at = previous.find(update_path);
    if (at == previous.end()) {
      reason = "the previous release has no such file";
      return false;
    }
    return ReadWholeFile(at->second, old_file, reason, kMaxFileSize);
  };
  UpdateCheck check;
  const bool staged = CheckUpdate(found, check, {}, read_previous);
  if (check.manifest_text != manifest_text) {
    why = "the manifest reads back differently";
    return false;
  }
  if (!ManifestMatches(check.manifest, package, stored, mode)) {
    why = "the manifest does not read back as the package (a packer fault)";
    return false;
  }
  if (!staged) {
    why = check.problems.empty() ? "the stub would not stage the update" : check.problems.front();
    return false;
  }
  return true;
}

// What packing one file gives.
struct PackedFile {
  std::uint64_t size = 0;  // the file's
  Sha256Digest digest{};
  std::vector<std::uint8_t> stream;  // empty for an empty file of a safe update
  std::string problem;  // empty when the file was packed
  // Against the installed release's file: the same bytes (`stream` is still the whole file's,
  // should the update need to carry it after all), or `stream` is a patch against it.
  bool unchanged = false;
  bool patch = false;
  Sha256Digest from_sha256{};
  std::uint64_t full_stored = 0;  // a patch: the whole file's stream size
};

// Files up to this size are delivered against the installed release's version: the encoder
// holds both files and its index of the old one in memory at once.
constexpr std::uint64_t kMaxDeltaFileSize = std::uint64_t{256} << 20;

// Compares `content` (packed into `file` already) with the installed release's file at
// `previous`: the same bytes make it unchanged; otherwise, when a patch against it is smaller
// than the file's stream, the patch (checked to rebuild the file) takes the stream's place.
void TryDelta(const std::vector<std::uint8_t>& content, const fs::path& previous,
              const PackOptions& options, unsigned threads, PackedFile& file) {
  std::vector<std::uint8_t> old;
  std::string why;
  if (!ReadWholeFile(previous, old, why, kMaxFileSize)) {
    file.problem = "cannot read its previous version " + Quoted(PathToUtf8(previous)) + ": " + why;
    return;
  }
  file.from_sha256 = Sha256Of(old);
  if (file.from_sha256 == file.digest && old.size() == content.size()) {
    file.unchanged = true;
    return;
  }
  if (content.empty()) return;  // an empty file costs nothing whole
  PatchBody body;
  if (!MakePatchBody(old, content, body)) return;
  // A plain stream: the stub decodes a body into exactly the size its header states, so the
  // payloads' limit on expansion does not apply, and runs of unchanged bytes cost next to
  // nothing.
  const std::vector<std::uint8_t> stream =
      lznt1::Compress(body.body.data(), body.body.size(), options.level, threads);
  if (kPatchHeaderSize + stream.size() >= file.stream.size()) return;  // the whole file is no larger
  // The patch must rebuild the file from the old one, decoded as the stub decodes it: into
  // exactly the body's size.
  std::vector<std::uint8_t> decoded;
  decoded.reserve(body.body.size());
  const lznt1::DecodeResult back = lznt1::DecompressInPieces(
      stream.data(), stream.size(), body.body.size(),
      [&](const std::uint8_t* piece, std::size_t n) { decoded.insert(decoded.end(), piece, piece + n); },
      threads);
  Sha256State digest;
  Sha256Init(digest);
  HashingPatchSink rebuilt(digest);
  if (back.status != lznt1::DecodeStatus::Ok || decoded != body.body ||
      !ApplyPatch(body.header, old, decoded, rebuilt) || rebuilt.made() != content.size() ||
      Sha256Final(digest) != file.digest) {
    file.problem = "the patch against its previous version does not rebuild it (a packer fault)";
    return;
  }
  file.full_stored = file.stream.size();
  file.stream.resize(kPatchHeaderSize);
  WritePatchHeader(body.header, file.stream.data());
  file.stream.insert(file.stream.end(), stream.begin(), stream.end());
  file.patch = true;
}

// Large files are read, hashed and compressed a window at a time, so that such a file is never
// in memory beside its stream: chunks stand alone, so the windows' streams joined are the
// file's stream. A whole number of chunks. A window and its compressed form are in memory
// besides the file's stream: 16 MiB keeps them small next to it (a 300 MiB file that does not
// compress peaks at 1.2 times its size instead of 1.45 with 64 MiB) and still gives every
// processor blocks of its own.
constexpr std::size_t kWindow = std::size_t{16} << 20;
// Files from this size on take the windows: below it, a window and its compressed form would
// take more memory than the file itself, and a whole file and its stream never take more than
// twice the file.
constexpr std::uint64_t kWindowedFileSize = 2 * kWindow;

// A stream longer than a manifest can state.
std::string StreamTooLong(std::uint64_t size) {
  return "compresses to " + std::to_string(size) + " bytes; a stream can be at most " +
         std::to_string(kMaxStreamSize) + " bytes (the manifest's size is a signed 32-bit count)";
}

// PackFile for a large file. The check decodes the stream piece by piece into a second digest:
// equal digests and sizes prove the stream yields the file, with no copy of it in memory.
void PackFileInWindows(const PackageUpdate& update, const PackOptions& options, unsigned threads,
                       std::uint64_t size_on_disk, PackedFile& file) {
  // Room for the stream of content that does not compress, so that it never grows by copying.
  file.stream.reserve(static_cast<std::size_t>(size_on_disk + size_on_disk / 2048 + 64));
  Sha256State digest;
  Sha256Init(digest);
  std::vector<std::uint8_t> piece;
  std::string why;
  std::uint64_t opened = 0;
  const bool read = ReadFileInPieces(update.source, kWindow, [&](std::span<const std::uint8_t> window) {
    file.size += window.size();
    if (file.size > kMaxFileSize) {  // it grew since it was checked
      file.problem = FileTooLarge(file.size);
      return false;
    }
    Sha256Update(digest, window);
    if (!lznt1::CompressPayload(window.data(), window.size(), options.level, piece, why, threads)) {
      file.problem = why;
      return false;
    }
    file.stream.insert(file.stream.end(), piece.begin(), piece.end());
    return true;
  }, opened, why);
  if (!read) {
    file.problem = "cannot read source " + Quoted(PathToUtf8(update.source)) + ": " + why;
    return;
  }
  if (!file.problem.empty()) return;
  file.digest = Sha256Final(digest);
  if (file.stream.size() > kMaxStreamSize) {
    file.problem = StreamTooLong(file.stream.size());
    return;
  }
  Sha256State check;
  Sha256Init(check);
  const lznt1::DecodeResult back = lznt1::DecompressInPieces(
      file.stream.data(), file.stream.size(), static_cast<std::size_t>(file.size),
      [&](const std::uint8_t* bytes, std::size_t n) { Sha256Update(check, {bytes, n}); }, threads);
  if (file.size > kMaxExpansion * file.stream.size() || back.status != lznt1::DecodeStatus::Ok ||
      back.size != file.size || Sha256Final(check) != file.digest) {
    file.problem = "the compressed stream does not decode back to the file within four times "
                   "its size (a compressor fault)";
    return;
  }
  if (file.stream.capacity() - file.stream.size() > file.stream.size() / 8) file.stream.shrink_to_fit();
}

// Reads, hashes, compresses and checks one file on up to `threads` threads (0: all); with a
// `previous` version (not empty), also tries it as unchanged or as a patch (TryDelta).
void PackFile(const PackageUpdate& update, const fs::path& previous, const PackOptions& options,
              unsigned threads, PackedFile& file) {
  std::error_code size_error;
  const std::uint64_t size_on_disk = fs::file_size(update.source, size_error);
  std::error_code previous_error;
  const bool delta = !previous.empty() && !size_error && size_on_disk <= kMaxDeltaFileSize &&
                     fs::file_size(previous, previous_error) <= kMaxDeltaFileSize && !previous_error;
  if (!size_error && size_on_disk >= kWindowedFileSize && !delta) {
    PackFileInWindows(update, options, threads, size_on_disk, file);
    return;
  }
  std::vector<std::uint8_t> content;
  std::string why;
  if (!ReadWholeFile(update.source, content, why)) {
    file.problem = "cannot read source " + Quoted(PathToUtf8(update.source)) + ": " + why;
    return;
  }
  if (content.size() > kMaxFileSize) {  // it grew since it was checked
    file.problem = FileTooLarge(content.size());
    return;
  }
  file.size = content.size();
  file.digest = Sha256Of(content);
  if (content.empty() && options.mode == UpdateMode::Safe) {
    if (delta) TryDelta(content, previous, options, threads, file);
    return;
  }
  if (!lznt1::CompressPayload(content.data(), content.size(), options.level, file.stream, why, threads)) {
    file.problem = why;
    return;
  }
  if (file.stream.size() > kMaxStreamSize) {
    file.problem = StreamTooLong(file.stream.size());
    return;
  }
  // Decoding into exactly the file's size proves the stream yields the file and nothing more
  // (the decoder reports output that does not fit); the stub's 4x room is then enough.
  if (!DecodesTo(file.stream, content, threads)) {
    file.problem = "the compressed stream does not decode back to the file within four times "
                   "its size (a compressor fault)";
    return;
  }
  if (delta) TryDelta(content, previous, options, threads, file);
  content = std::vector<std::uint8_t>();  // (assigning {} would keep the memory)
  // The stream was encoded in room for the whole file stored as it is; give back what a
  // well-compressed one does not use (now that the file's bytes are gone, the copy this takes
  // cannot raise the peak).
  if (file.stream.capacity() - file.stream.size() > file.stream.size() / 8) file.stream.shrink_to_fit();
}

// Files from this size on are compressed one at a time on every processor; smaller ones side
// by side, one per processor (the codec's threads share out blocks of 256 KiB, which leaves
// processors idle on a small file and costs a thread start per file).
constexpr std::uint64_t kSharedFileSize = std::uint64_t{4} << 20;

// Packs every file of the package into `files` (one per update, in order), each file's own
// failure in its `problem`. A file's content is freed as soon as its stream is checked, so at
// most one large file, or one small file per processor, is in memory besides the streams.
void PackFiles(const Package& package, const std::vector<fs::path>& previous,
               const PackOptions& options, const PackProgress& progress,
               std::vector<PackedFile>& files) {
  // Sizes on disk, to group the files (0 where the system cannot say; reading will).
  std::vector<std::uint64_t> sizes(package.updates.size());
  for (std::size_t k = 0; k < sizes.size(); ++k) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(package.updates[k].source, ec);
    sizes[k] = ec ? 0 : size;
  }
  std::uint64_t total_bytes = 0;
  for (const std::uint64_t size : sizes) total_bytes += size;
  std::mutex progress_lock;
  std::uint64_t done_bytes = 0;  // guarded by progress_lock
  const auto report = [&](std::size_t i, bool done) {
    if (!progress) return;
    const std::lock_guard<std::mutex> hold(progress_lock);
    if (done) {
      done_bytes += sizes[i];
      return;
    }
    progress({i, package.updates.size(), package.updates[i].path, sizes[i], done_bytes, total_bytes});
  };
  // An allocation that fails while a file is packed fails that file (an exception must not
  // leave a helper thread).
  const auto pack_one = [&](std::size_t i, unsigned threads) {
    report(i, false);
    try {
      PackFile(package.updates[i], i < previous.size() ? previous[i] : fs::path(), options,
               threads, files[i]);
    } catch (...) {
      files[i].stream = std::vector<std::uint8_t>();
      files[i].problem = "not enough memory to pack it";
    }
    report(i, true);
  };
  ForEachSideBySide(
      package.updates.size(), [&](std::size_t i) { return sizes[i] >= kSharedFileSize; }, pack_one);
}

// The largest package description read: far more than any real one, and a bound on what a
// wrong --package (a log, an image) costs before it is refused.
constexpr std::uint64_t kMaxPackageSize = std::uint64_t{64} << 20;

// The largest stub read: a PE image's file offsets are 32-bit. An already packed update exe is
// a stub too, so this is not the size of a bare one.
constexpr std::uint64_t kMaxStubSize = 0xFFFFFFFFull;

// Whether a file or directory clean of `cleans` removes the file at update path `path`.
bool IsRemovedByClean(const std::string& path, const std::vector<PackageClean>& cleans) {
  const std::u16string file = ComparablePath(path);
  for (const PackageClean& clean : cleans) {
    if (clean.kind == CleanKind::Registry) continue;
    const std::u16string target = ComparablePath(clean.path);
    if (target == file || (clean.kind == CleanKind::Dir &&
                           (target.empty() || file.compare(0, target.size() + 1, target + u'\\') == 0))) {
      return true;
    }
  }
  return false;
}

// What a file that exists but is not a regular one is, for messages.
const char* DescribeFileType(fs::file_type type) {
  switch (type) {
    case fs::file_type::directory: return "a folder";
    case fs::file_type::character:
    case fs::file_type::block: return "a device";
    case fs::file_type::fifo: return "a pipe";
    case fs::file_type::socket: return "a socket";
    default: return "not a file";
  }
}

// An input of the pack: what it is, for messages, and its path.
struct PackInput {
  std::string what;
  fs::path path;
};

// Refuses an output that exists and is not a regular file (a folder, a device such as
// /dev/null, a pipe: the rename that puts the update in place would replace it), or that is one
// of `inputs` under any name. Files are compared by identity (device and inode, or volume and
// file index), so a link or a hard link to an input is caught as well. True when nothing was
// appended to `problems`.
bool CheckOutputPath(const fs::path& output, const std::string& output_what,
                     const std::vector<PackInput>& inputs, std::vector<Problem>& problems) {
  std::error_code ec;
  const fs::file_status status = fs::status(output, ec);
  if (!fs::exists(status)) return true;
  if (!fs::is_regular_file(status)) {
    problems.push_back({output_what, std::string("exists and is ") + DescribeFileType(status.type()) +
                                         "; the output must be a regular file or a new name"});
    return false;
  }
  for (const PackInput& input : inputs) {
    if (fs::equivalent(output, input.path, ec) && !ec) {
      problems.push_back({output_what, "is the same file as " + input.what +
                                           "; packing would replace it, choose another output"});
      return false;
    }
  }
  return true;
}

// What the steps of one pack share: its options and outcome, and what each step hands on.
struct PackJob {
  PackJob(const PackOptions& o, PackResult& r, std::vector<Problem>& p, std::vector<Problem>& w)
      : options(o), result(r), problems(p), warnings(w), package_path(PathFromUtf8(o.package)),
        stub_path(PathFromUtf8(o.stub)), output(PathFromUtf8(o.output)),
        output_what(Quoted(o.output)), stub_what("stub " + Quoted(o.stub)) {}

  const PackOptions& options;
  PackResult& result;
  std::vector<Problem>& problems;
  std::vector<Problem>& warnings;
  const fs::path package_path;
  const fs::path stub_path;
  const fs::path output;
  const std::string output_what;
  const std::string stub_what;
  std::vector<PackInput> inputs;  // every file the output must not be
  Package package;
  PeImage stub;
  std::vector<PeResource> resources;  // the stub's, then the payloads and the manifest
  std::uint16_t payload_type = kPayloadType;
  std::vector<StoredPayload> stored;  // one per update
  std::string manifest_text;
  // A delta update: the installed release's file for each update (empty where it has none).
  std::vector<fs::path> previous_sources;
};

// Reads and checks the description and the --from folder, and makes sure the output is none of
// the files they name.
bool ReadPackage(PackJob& job) {
  const PackOptions& options = job.options;
  job.inputs = {{"the package description " + Quoted(options.package), job.package_path},
                {"the " + job.stub_what, job.stub_path}};
  if (!CheckOutputPath(job.output, job.output_what, job.inputs, job.problems)) return false;
  std::vector<std::uint8_t> text;
  std::string why;
  if (!ReadWholeFile(job.package_path, text, why, kMaxPackageSize)) {
    job.problems.push_back({options.package, why});
    return false;
  }
  bool ok = ParsePackageDescription(
      std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), options.package,
      job.package_path.parent_path(), job.package, job.problems);
  if (!options.from.empty()) {
    // Neither the description nor the output (an earlier run's update exe) is part of a release.
    FolderFilter filter = DefaultFolderFilter();
    filter.skip_files = {job.package_path, job.output};
    filter.excludes.insert(filter.excludes.end(), options.excludes.begin(), options.excludes.end());
    ok = AddFolderFiles(PathFromUtf8(options.from), filter, job.package, job.problems) && ok;
  }
  const bool delta = !options.previous.empty() && !options.full && options.mode == UpdateMode::Safe;
  if (ok && !options.previous.empty()) {
    ok = AddPreviousReleaseCleans(PathFromUtf8(options.previous), job.package,
                                  job.result.previous_cleans, job.problems,
                                  delta ? &job.previous_sources : nullptr);
  }
  if (!ok || !ValidatePackage(job.package, options.allow_outside, options.mode, job.problems,
                              job.warnings, options.allow_broad_clean)) {
    return false;
  }
  for (const PackageUpdate& update : job.package.updates) {
    job.inputs.push_back({"the source of " + update.origin + " " + Quoted(update.path), update.source});
  }
  // A file that a clean of the package removes is no longer installed when the update is
  // written: it is carried whole.
  for (std::size_t i = 0; i < job.previous_sources.size(); ++i) {
    if (IsRemovedByClean(job.package.updates[i].path, job.package.cleans)) job.previous_sources[i].clear();
  }
  if (!CheckOutputPath(job.output, job.output_what, job.inputs, job.problems)) return false;
  if (job.package.updates.size() > 0xFFFF) {
    job.problems.push_back({"updates", std::to_string(job.package.updates.size()) +
                                           " entries; resource ids allow at most 65535"});
    return false;
  }
  return true;
}

// Reads the stub and its own resources (an earlier update's dropped), gives it the package's
// identity and picks the payloads' resource type.
bool ReadStub(PackJob& job) {
  std::vector<std::uint8_t> stub_bytes;
  std::string why;
  if (!ReadWholeFile(job.stub_path, stub_bytes, why, kMaxStubSize) ||
      !ParsePeImage(std::move(stub_bytes), job.stub, why) ||
      !ReadPeResources(job.stub, job.resources, why)) {
    job.problems.push_back({job.stub_what, why});
    return false;
  }
  if (!HasStubMarker(job.resources)) {
    job.problems.push_back({job.stub_what, NotAStubText()});
    return false;
  }
  DropEarlierUpdate(job.resources, job.stub_what, job.result, job.warnings);
  job.result.stub_resources_kept = job.resources.size();
  std::set<std::uint16_t> used_types;
  for (const PeResource& r : job.resources) {
    if (r.type.text.empty()) used_types.insert(r.type.id);
  }
  if (!ApplyIdentity(job.package, job.stub_what, job.resources, job.problems, job.warnings)) return false;
  job.result.icon_replaced = !job.package.identity.icon.empty();
  while (used_types.count(job.payload_type) != 0) ++job.payload_type;
  job.result.payload_type = job.payload_type;
  return true;
}

// Compresses every file, each checked to decode back to itself, and adds its stream to the
// resources (an empty file has none); only the streams are kept. In a delta update, a file the
// installed release already has goes to the unchanged list instead, and a changed one may be a
// patch. Should every file be unchanged, the first is carried whole all the same: an update
// delivers at least one file.
bool AddPayloads(PackJob& job, const PackProgress& progress) {
  std::vector<PackageUpdate>& updates = job.package.updates;
  std::vector<PackedFile> files(updates.size());
  PackFiles(job.package, job.previous_sources, job.options, progress, files);
  for (std::size_t i = 0; i < updates.size(); ++i) {
    if (!files[i].problem.empty()) {
      job.problems.push_back({updates[i].origin + " " + Quoted(updates[i].path), files[i].problem});
      return false;
    }
  }
  if (std::all_of(files.begin(), files.end(), [](const PackedFile& f) { return f.unchanged; }) &&
      !files.empty()) {
    files.front().unchanged = false;
  }
  std::vector<PackageUpdate> carried;
  std::vector<fs::path> carried_previous;
  job.stored.reserve(updates.size());
  job.result.entries.reserve(updates.size());
  for (std::size_t i = 0; i < updates.size(); ++i) {
    PackedFile& file = files[i];
    if (file.unchanged) {
      job.package.unchanged.push_back({updates[i].path, file.digest});
      continue;
    }
    const auto rid = static_cast<std::uint16_t>(carried.size() + 1);
    job.result.entries.push_back({updates[i].path, file.size, file.stream.size(), rid, file.patch,
                                  file.full_stored});
    job.result.input_bytes += file.size;
    job.result.stored_bytes += file.stream.size();
    // The safe run writes an empty file for a size of 0 and looks for no resource.
    job.stored.push_back({static_cast<std::int64_t>(file.stream.size()), job.payload_type, rid,
                          file.digest, file.patch, file.from_sha256});
    carried.push_back(std::move(updates[i]));
    carried_previous.push_back(i < job.previous_sources.size() ? job.previous_sources[i] : fs::path());
    if (file.stream.empty()) continue;
    PeResource payload;
    payload.type.id = job.payload_type;
    payload.name.id = rid;
    payload.data = std::move(file.stream);
    job.resources.push_back(std::move(payload));
  }
  updates = std::move(carried);
  job.previous_sources = std::move(carried_previous);
  job.result.unchanged = job.package.unchanged;
  return true;
}

// Adds the manifest; the check of the written image reads it back through the stub's reader.
void AddManifest(PackJob& job) {
  job.manifest_text = WriteManifestText(job.package, job.stored, job.options.mode);
  PeResource manifest;
  manifest.type.id = kManifestResourceType;
  manifest.name.id = kManifestResourceName;
  manifest.data.assign(job.manifest_text.begin(), job.manifest_text.end());
  job.resources.push_back(std::move(manifest));
}

// Writes the image beside the output, signs it (--sign), reads it back and checks it, and only
// then renames it onto the output. The temporary file never outlives a failure or an interrupt.
bool WriteUpdateExe(PackJob& job) {
  // From here on the resources are only compared with what is read back: their fingerprints
  // take the place of their bytes. The image refers to those bytes instead of copying them, and
  // they go from where they are to the file, so a large update is never in memory twice.
  const std::vector<ExpectedResource> expected = ExpectedResources(job.resources);
  PeImagePieces image;
  PeWriteReport report;
  std::string why;
  if (!WritePeResourcesInPieces(job.stub, job.resources, image, report, why)) {
    job.problems.push_back({job.stub_what, why});
    return false;
  }
  job.stub = PeImage{};
  if (report.certificate_removed) {
    job.warnings.push_back({job.stub_what, "was signed; the signature was removed, sign the update "
                                           "exe after packing"});
  }
  job.result.section_appended = report.section_appended;
  job.result.output_bytes = 0;
  for (const std::span<const std::uint8_t> piece : image.pieces) job.result.output_bytes += piece.size();
  const fs::path temp = TempPathBeside(job.output);
  // An interrupted pack removes the temporary file (see main), which is large; named before it
  // exists, so no instant leaves it behind.
  SetInterruptCleanup(temp);
  const auto give_up = [&](const std::string& reason) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    SetInterruptCleanup({});
    if (!reason.empty()) job.problems.push_back({job.output_what, reason});
    return false;
  };
  if (!WriteWholeFile(temp, image.pieces, why)) {
    return give_up("cannot write " + Quoted(PathToUtf8(temp)) + ": " + why);
  }
  image = PeImagePieces{};
  job.resources = std::vector<PeResource>();
  if (!job.options.sign.empty()) {
    if (!RunSignCommand(job.options.sign, temp, why)) return give_up(why + "; nothing was written");
    // The command rewrote the file after it was flushed: flushed again, so that the rename below
    // cannot reach the disk before the signed bytes do.
    if (!SyncExistingFile(temp, why)) {
      return give_up("cannot flush the signed " + Quoted(PathToUtf8(temp)) + ": " + why);
    }
    std::error_code size_error;
    job.result.output_bytes = fs::file_size(temp, size_error);
    job.result.signed_by_command = true;
  }
  if (!VerifyWrittenImage(temp, expected, job.manifest_text, job.package, job.stored,
                          job.options.mode, job.previous_sources, why)) {
    return give_up("check after writing failed: " + why);
  }
  // Checked again just before the rename: the output's path may have changed during the pack.
  if (!CheckOutputPath(job.output, job.output_what, job.inputs, job.problems)) return give_up("");
  if (!ReplaceFile(temp, job.output, why)) return give_up(why);
  SetInterruptCleanup({});
  return true;
}

}  // namespace

bool PackUpdate(const PackOptions& options, const PackProgress& progress, PackResult& result,
                std::vector<Problem>& problems, std::vector<Problem>& warnings) {
  result = PackResult{};
  std::string sign_line, why;
  if (!options.sign.empty() && !SubstituteSignFile(options.sign, "", sign_line, why)) {
    problems.push_back({"--sign", why});
    return false;
  }
  PackJob job(options, result, problems, warnings);
  if (!ReadPackage(job) || !ReadStub(job) || !AddPayloads(job, progress)) return false;
  AddManifest(job);
  if (!WriteUpdateExe(job)) return false;
  result.version = job.package.version;
  result.launcher = job.package.launcher;
  result.cleans = job.package.cleans.size();
  return true;
}

}  // namespace boot
