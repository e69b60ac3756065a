#include "bootpack/cli.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <system_error>

#include "bootpack/codec_commands.h"
#include "bootpack/escape.h"
#include "bootpack/file_io.h"
#include "bootpack/json_writer.h"
#include "bootpack/manifest_writer.h"
#include "bootpack/pack.h"
#include "bootpack/package.h"
#include "bootpack/pe_image.h"
#include "bootpack/sign_command.h"
#include "bootpack/stub_identity.h"
#include "bootpack/update_check.h"
#include "bootstrapper/payload/sha256.h"

namespace boot {
namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "usage: bootpack <command> [options]\n"
    "\n"
    "Builds and checks self-contained update executables.\n"
    "\n"
    "commands:\n"
    "  pack        stub + package description + files -> update exe\n"
    "  inspect     print an update exe's manifest and entries, and check them\n"
    "  extract     write an update exe's files into a folder\n"
    "  compress    compress a file into a raw LZNT1 stream\n"
    "  decompress  decode a raw LZNT1 stream\n"
    "\n"
    "Run 'bootpack <command> --help' for a command's options, 'bootpack --version'\n"
    "for the version.\n";

constexpr const char* kPackUsage =
    "usage: bootpack pack --stub STUB.exe --package PACKAGE.json -o UPDATE.exe\n"
    "                     [--from DIR [--exclude GLOB]...] [--level fast|default|max]\n"
    "                     [--allow-outside] [--allow-broad-clean] [--compat]\n"
    "                     [--previous OLD_DIR [--full]] [--sign COMMAND]\n"
    "                     [--json | --quiet]\n"
    "\n"
    "Packs the files of a package into a copy of the stub, with the update manifest\n"
    "the stub reads. The output is written only after every check has passed.\n"
    "By default the update asks for the safe run: the stub stages every file on disk,\n"
    "checks it against its SHA-256, creates missing folders, and undoes everything if\n"
    "a step fails; empty files can be delivered.\n"
    "\n"
    "  --stub FILE       the bare (or an already packed) bootstrapper.exe\n"
    "  --package FILE    the package description (UTF-8 JSON):\n"
    "                      {\"version\": \"1.4.0\", \"launcher\": \"app.exe\",\n"
    "                       \"cleans\": [{\"path\": \"old.dll\", \"fail_ok\": true, \"type\": \"file\"}],\n"
    "                       \"updates\": [{\"path\": \"app.exe\", \"source\": \"build/app.exe\"}]}\n"
    "                    sources are relative to the description's folder; optional\n"
    "                    \"product\", \"company\", \"description\", \"copyright\" and\n"
    "                    \"icon\" (an .ico file) give the update exe its version\n"
    "                    information and icon\n"
    "  -o, --output FILE the update exe to write (replaced if it is a regular file;\n"
    "                    never one of the inputs, a folder or a device)\n"
    "  --from DIR        also deliver every file under DIR, at its path relative to DIR;\n"
    "                    DIR is relative to the current folder (unlike sources);\n"
    "                    links are followed; always left out: the description, the\n"
    "                    output, .git, .svn, .hg, Thumbs.db, .DS_Store\n"
    "  --exclude GLOB    leave out of --from what GLOB matches (repeatable, ASCII case\n"
    "                    ignored): without '/' a file or folder name at any depth\n"
    "                    (\"*.pdb\"), with '/' a path relative to DIR (\"logs/*.txt\");\n"
    "                    '*' any characters within a name, '?' one, '**' any folders\n"
    "  --previous OLD_DIR the release installed on users' machines (read like --from):\n"
    "                    each of its files that no update delivers gets a file clean,\n"
    "                    or the outermost of its folders that no update lies in a\n"
    "                    directory clean (fail_ok true); the summary lists them.\n"
    "                    A safe update is then a delta: a file that OLD_DIR holds\n"
    "                    unchanged is not carried (the stub checks its SHA-256\n"
    "                    before touching anything and stops if any differs), a\n"
    "                    changed one is carried as a patch against its old version\n"
    "                    when that is smaller\n"
    "  --full            with --previous: carry every file whole (cleans only)\n"
    "  --level LEVEL     compression effort: fast, default or max (default: default)\n"
    "  --allow-outside   permit paths that lead out of the install directory with ..\n"
    "  --allow-broad-clean  permit (with a warning) a registry clean of a key less\n"
    "                    than two levels below its root or shared with Windows and\n"
    "                    other programs (Software\\Microsoft, Software\\Classes, a file\n"
    "                    type, CLSID, SYSTEM\\CurrentControlSet, ...)\n"
    "  --compat          the run every stub performs (for stubs without the safe run):\n"
    "                    files written in place, no folder created, nothing undone;\n"
    "                    empty files and updates into a folder a \"dir\" clean removes\n"
    "                    are refused, updates in subfolders get a warning\n"
    "  --sign COMMAND    sign the finished exe before it replaces the output: COMMAND\n"
    "                    runs through /bin/sh (cmd.exe on Windows) with {file}\n"
    "                    replaced by the quoted path of the file to sign, e.g.\n"
    "                      --sign 'osslsigncode sign -pkcs12 key.p12 -in {file} -out {file}.s && mv {file}.s {file}'\n"
    "                      --sign \"signtool sign /fd sha256 /a {file}\"\n"
    "                    a non-zero exit fails the pack and nothing is written\n"
    "  --json            print the summary as one JSON document on stdout (see the\n"
    "                    README for its members); errors still go to stderr\n"
    "  -q, --quiet       print nothing but warnings and errors\n"
    "\n"
    "When stdout and stderr are both terminals, a progress line (files and bytes\n"
    "done, rate) is shown while the files are packed.\n";

constexpr const char* kInspectUsage =
    "usage: bootpack inspect [--json | --quiet] UPDATE.exe\n"
    "\n"
    "Prints the update manifest, its mode (safe or compatible) and a table of the\n"
    "entries, and checks every payload the way the stub will stage it, against its\n"
    "SHA-256 when the manifest gives one; also whether the exe is signed (the size of\n"
    "its certificate table) and whether its PE checksum matches (a mismatch is a\n"
    "warning). Exits with 1 when the exe is not an update stub or the stub would\n"
    "refuse the update. --json prints everything as one JSON document on stdout; --quiet\n"
    "prints nothing but the problems found (the exit status says the rest).\n";

constexpr const char* kExtractUsage =
    "usage: bootpack extract [--quiet] [--previous OLD_DIR] UPDATE.exe DIR\n"
    "\n"
    "Checks the update like 'inspect' and writes every entry's file under DIR, at its\n"
    "path from the manifest. Nothing is written when any entry fails its check.\n"
    "A delta update needs --previous OLD_DIR, the release it was made against: its\n"
    "patches are rebuilt from OLD_DIR's files and its unchanged files copied from\n"
    "there, each checked against its SHA-256, so that DIR holds the whole release.\n";

// What the stub does with a manifest, for pack's summary and inspect.
const char* ModeDescription(bool safe) {
  return safe ? "safe (staged on disk, verified, rolled back on failure)" : "compatible";
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

void Complain(std::ostream& err, const std::string& what, const std::string& why) {
  err << "bootpack: " << Printable(what) << ": " << Printable(why) << '\n';
}

int UsageError(std::ostream& err, const std::string& command, const std::string& why) {
  Complain(err, command, why);
  err << "Run 'bootpack " << command << " --help' for usage.\n";
  return kExitUsage;
}

// "512 bytes", "12.3 KiB", "64.0 MiB".
std::string HumanSize(std::uint64_t bytes) {
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  } else if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  }
  return text;
}

// "0x0004a1f2".
std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

std::string Percent(std::uint64_t part, std::uint64_t whole) {
  char text[16];
  std::snprintf(text, sizeof text, "%.1f%%", whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
  return text;
}

// "--name VALUE" or "--name=VALUE" at args[i]; advances i past the value.
std::optional<std::string> TakeValue(const std::vector<std::string>& args, std::size_t& i,
                                     std::initializer_list<const char*> names, bool& missing) {
  const std::string& arg = args[i];
  for (const char* name : names) {
    const std::string n = name;
    if (arg == n) {
      if (i + 1 >= args.size()) {
        missing = true;
        return std::nullopt;
      }
      return args[++i];
    }
    if (arg.size() > n.size() + 1 && arg.compare(0, n.size(), n) == 0 && arg[n.size()] == '=') {
      return arg.substr(n.size() + 1);
    }
  }
  return std::nullopt;
}

// How a command reports: the text for people (the default), one JSON document, or nothing but
// problems.
struct OutputChoice {
  bool json = false;
  bool quiet = false;
};

// True when `arg` is --json, --quiet or -q (and records it).
bool TakeOutputFlag(const std::string& arg, OutputChoice& output) {
  if (arg == "--json") {
    output.json = true;
  } else if (arg == "--quiet" || arg == "-q") {
    output.quiet = true;
  } else {
    return false;
  }
  return true;
}

void WriteProblems(JsonWriter& json, std::string_view key, const std::vector<Problem>& problems) {
  json.Key(key).BeginArray();
  for (const Problem& p : problems) json.BeginObject().Key("what").String(p.what).Key("why").String(p.why).EndObject();
  json.EndArray();
}

// The progress line of a pack on a terminal: "[12/80] 31.5 of 64.0 MiB, 48.2 MiB/s  path",
// redrawn over itself at most ten times a second (and always for the first and the last file),
// wiped by Clear().
class ProgressLine {
 public:
  explicit ProgressLine(std::ostream& err) : err_(err), started_(std::chrono::steady_clock::now()) {}

  void Show(const PackProgressStep& step) {
    const auto now = std::chrono::steady_clock::now();
    const bool edge = step.index == 0 || step.index + 1 == step.count;
    if (shown_ > 0 && !edge && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    char rate[32] = "";
    if (seconds >= 0.2) {
      std::snprintf(rate, sizeof rate, ", %.1f MiB/s",
                    static_cast<double>(step.done_bytes) / (1024.0 * 1024.0) / seconds);
    }
    std::string line = "[" + std::to_string(step.index + 1) + "/" + std::to_string(step.count) +
                       "] " + HumanSize(step.done_bytes) + " of " + HumanSize(step.total_bytes) +
                       rate + "  " + Printable(step.path) + " (" + HumanSize(step.bytes) + ")";
    const std::size_t width = line.size();
    if (line.size() < shown_) line.append(shown_ - line.size(), ' ');
    shown_ = width;
    err_ << '\r' << line << std::flush;
  }

  void Clear() {
    if (shown_ > 0) err_ << '\r' << std::string(shown_, ' ') << '\r' << std::flush;
    shown_ = 0;
  }

 private:
  std::ostream& err_;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point last_;
  std::size_t shown_ = 0;
};

void PrintPackSummary(const PackOptions& options, const PackResult& result, double seconds,
                      std::ostream& out) {
  out << options.output << ": version " << Printable(result.version) << ", " << result.entries.size()
      << (result.entries.size() == 1 ? " file, " : " files, ") << result.cleans
      << (result.cleans == 1 ? " clean" : " cleans")
      << (result.launcher.empty() ? ", no launcher" : ", launcher " + Printable(result.launcher)) << '\n';
  out << "  mode:  " << ModeDescription(options.mode == UpdateMode::Safe) << '\n';
  out << "  files: " << HumanSize(result.input_bytes) << " -> " << HumanSize(result.stored_bytes)
      << " stored (" << Percent(result.stored_bytes, result.input_bytes) << "), level "
      << lznt1::LevelName(options.level) << '\n';
  const auto empty = std::count_if(result.entries.begin(), result.entries.end(),
                                   [](const PackedEntry& e) { return e.stored == 0; });
  out << "  exe:   " << HumanSize(result.output_bytes) << " (" << result.output_bytes
      << " bytes); payload type " << result.payload_type << ", ids 1-" << result.entries.size()
      << (empty == 0 ? "" : " (" + std::to_string(empty) + " empty, stored as no resource)")
      << "; " << result.stub_resources_kept << " stub resources kept";
  if (result.old_payloads_replaced > 0) {
    out << ", " << result.old_payloads_replaced << " earlier payloads replaced";
  }
  out << '\n';
  std::vector<const PackedEntry*> largest;
  for (const PackedEntry& e : result.entries) largest.push_back(&e);
  std::sort(largest.begin(), largest.end(),
            [](const PackedEntry* a, const PackedEntry* b) { return a->expanded > b->expanded; });
  if (largest.size() > 3) largest.resize(3);
  out << "  largest:";
  for (const PackedEntry* e : largest) {
    out << ' ' << Printable(e->path) << ' ' << HumanSize(e->expanded) << " -> " << HumanSize(e->stored)
        << (e == largest.back() ? "" : ";");
  }
  char took[32];
  std::snprintf(took, sizeof took, "%.2f s", seconds);
  out << "\n  checked: every resource read back and every payload decoded and matched to its "
         "sha256; took "
      << took << '\n';
  if (result.signed_by_command) out << "  signed: by the --sign command, then checked\n";
  const auto patches = std::count_if(result.entries.begin(), result.entries.end(),
                                     [](const PackedEntry& e) { return e.patch; });
  if (!options.previous.empty() && options.mode == UpdateMode::Safe && !options.full) {
    out << "  delta: " << result.unchanged.size() << " unchanged (not carried, checked by the stub), "
        << patches << (patches == 1 ? " patch, " : " patches, ")
        << result.entries.size() - static_cast<std::size_t>(patches) << " whole\n";
    for (const PackedEntry& e : result.entries) {
      if (!e.patch) continue;
      out << "    patch " << Printable(e.path) << ": " << HumanSize(e.stored) << " instead of "
          << HumanSize(e.full_stored) << '\n';
    }
  }
  if (!result.previous_cleans.empty()) {
    out << "  no longer in the release (cleaned, fail_ok): " << result.previous_cleans.size() << '\n';
    for (const PackageClean& clean : result.previous_cleans) {
      out << "    " << (clean.kind == CleanKind::Dir ? "dir  " : "file ") << Printable(clean.path) << '\n';
    }
  }
}

// The pack's JSON document: the summary's facts (when it packed), then warnings and problems.
void PrintPackJson(const PackOptions& options, bool packed, const PackResult& result,
                   double seconds, const std::vector<Problem>& warnings,
                   const std::vector<Problem>& problems, std::ostream& out) {
  JsonWriter json;
  json.BeginObject().Key("ok").Bool(packed).Key("output").String(options.output);
  if (packed) {
    json.Key("version").String(result.version).Key("launcher");
    if (result.launcher.empty()) {
      json.Null();
    } else {
      json.String(result.launcher);
    }
    json.Key("mode").String(options.mode == UpdateMode::Safe ? "safe" : "compatible")
        .Key("level").String(lznt1::LevelName(options.level))
        .Key("cleans").Number(result.cleans)
        .Key("input_bytes").Number(result.input_bytes)
        .Key("stored_bytes").Number(result.stored_bytes)
        .Key("exe_bytes").Number(result.output_bytes)
        .Key("payload_type").Number(result.payload_type)
        .Key("stub_resources_kept").Number(result.stub_resources_kept)
        .Key("earlier_payloads_replaced").Number(result.old_payloads_replaced)
        .Key("signed_by_command").Bool(result.signed_by_command)
        .Key("previous_cleans").BeginArray();
    for (const PackageClean& clean : result.previous_cleans) {
      json.BeginObject().Key("path").String(clean.path).Key("type").String(CleanKindName(clean.kind)).EndObject();
    }
    json.EndArray().Key("unchanged").BeginArray();
    for (const PackageUnchanged& file : result.unchanged) {
      json.BeginObject().Key("path").String(file.path).Key("sha256").String(Sha256Hex(file.sha256)).EndObject();
    }
    json.EndArray()
        .Key("seconds").Seconds(seconds)
        .Key("files").BeginArray();
    for (const PackedEntry& e : result.entries) {
      json.BeginObject().Key("path").String(e.path).Key("bytes").Number(e.expanded)
          .Key("stored_bytes").Number(e.stored).Key("resource_id");
      if (e.stored == 0) {
        json.Null();
      } else {
        json.Number(e.rid);
      }
      json.Key("patch").Bool(e.patch);
      if (e.patch) json.Key("whole_stored_bytes").Number(e.full_stored);
      json.EndObject();
    }
    json.EndArray();
  }
  WriteProblems(json, "warnings", warnings);
  WriteProblems(json, "problems", problems);
  json.EndObject();
  out << json.text();
}

int RunPack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            bool interactive) {
  PackOptions options;
  OutputChoice output;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (IsHelp(arg)) {
      out << kPackUsage;
      return kExitOk;
    }
    bool missing = false;
    if (auto v = TakeValue(args, i, {"--stub"}, missing)) {
      options.stub = *v;
    } else if (auto p = TakeValue(args, i, {"--package"}, missing)) {
      options.package = *p;
    } else if (auto o = TakeValue(args, i, {"-o", "--output"}, missing)) {
      options.output = *o;
    } else if (auto f = TakeValue(args, i, {"--from"}, missing)) {
      options.from = *f;
    } else if (auto d = TakeValue(args, i, {"--previous"}, missing)) {
      options.previous = *d;
    } else if (auto x = TakeValue(args, i, {"--exclude"}, missing)) {
      if (x->empty()) return UsageError(err, "pack", "--exclude needs a glob");
      options.excludes.push_back(*x);
    } else if (auto l = TakeValue(args, i, {"--level"}, missing)) {
      if (!lznt1::ParseLevel(*l, options.level)) {
        return UsageError(err, "pack", "unknown level " + Quoted(*l) + " (fast, default or max)");
      }
    } else if (arg == "--allow-outside") {
      options.allow_outside = true;
    } else if (arg == "--allow-broad-clean") {
      options.allow_broad_clean = true;
    } else if (auto c = TakeValue(args, i, {"--sign"}, missing)) {
      options.sign = *c;
    } else if (arg == "--compat") {
      options.mode = UpdateMode::Compatible;
    } else if (arg == "--full") {
      options.full = true;
    } else if (TakeOutputFlag(arg, output)) {
    } else if (missing) {
      return UsageError(err, "pack", arg + " needs a value");
    } else {
      return UsageError(err, "pack", "unexpected argument " + Quoted(arg));
    }
  }
  if (output.json && output.quiet) return UsageError(err, "pack", "--json and --quiet exclude each other");
  if (options.stub.empty()) return UsageError(err, "pack", "--stub is required");
  if (options.package.empty()) return UsageError(err, "pack", "--package is required");
  if (options.output.empty()) return UsageError(err, "pack", "-o is required");
  if (!options.excludes.empty() && options.from.empty()) {
    return UsageError(err, "pack", "--exclude applies to --from, which is missing");
  }
  if (options.full && options.previous.empty()) {
    return UsageError(err, "pack", "--full applies to --previous, which is missing");
  }
  if (!options.sign.empty() && options.sign.find(kSignFilePlaceholder) == std::string::npos) {
    return UsageError(err, "pack", "--sign needs {file} where the command names the file to sign");
  }

  const auto started = std::chrono::steady_clock::now();
  ProgressLine line(err);
  PackProgress progress;
  if (interactive && !output.json && !output.quiet) {
    progress = [&](const PackProgressStep& step) { line.Show(step); };
  }
  PackResult result;
  std::vector<Problem> problems, warnings;
  const bool packed = PackUpdate(options, progress, result, problems, warnings);
  line.Clear();
  for (const Problem& w : warnings) Complain(err, "warning: " + w.what, w.why);
  for (const Problem& p : problems) Complain(err, p.what, p.why);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (output.json) PrintPackJson(options, packed, result, seconds, warnings, problems, out);
  if (!packed) return kExitFailed;
  if (!output.json && !output.quiet) PrintPackSummary(options, result, seconds, out);
  return kExitOk;
}

// What inspect says about an image's checksum and Authenticode signature.
struct ImageSeal {
  bool read = false;  // false: the file is not an image, and the rest says nothing
  std::uint32_t stored_checksum = 0;
  std::uint32_t computed_checksum = 0;
  std::uint32_t signature_bytes = 0;  // the certificate table's size; 0: not signed
};

// Reads `path` as an update exe and checks it. False when the file is not an image or not an
// update stub (the reason in `problems`), or (with the check filled in) when the stub would
// refuse the update (its reasons in check.problems). `seal` receives the checksum and signature
// facts of an image.
bool LoadAndCheck(const std::string& path, UpdateCheck& check, std::vector<std::string>& problems,
                  std::vector<PeResource>& resources, ImageSeal& seal,
                  const PreviousFileSource& previous = {}) {
  std::vector<std::uint8_t> bytes;
  PeImage image;
  std::string why;
  if (!ReadWholeFile(PathFromUtf8(path), bytes, why) ||
      !ParsePeImage(std::move(bytes), image, why) || !ReadPeResources(image, resources, why)) {
    problems.push_back(why);
    return false;
  }
  seal.read = true;
  seal.stored_checksum = image.checksum;
  seal.computed_checksum = ComputePeChecksum(image.bytes, image.optional_header_offset + 64);
  if (image.directories.size() > kCertificateDirectory) {
    seal.signature_bytes = image.directories[kCertificateDirectory].size;
  }
  image = PeImage{};
  if (!HasStubMarker(resources)) {
    problems.push_back(NotAStubText());
    return false;
  }
  const bool ok = CheckUpdate(resources, check, {}, previous);
  problems.insert(problems.end(), check.problems.begin(), check.problems.end());
  return ok;
}

// Reads the release folder `dir` for rebuilding a delta update's files: a file is found by its
// update path as Windows compares names. False after a complaint when the folder cannot be read.
bool PreviousFilesOf(const std::string& dir, PreviousFileSource& source, std::ostream& err) {
  Package release;
  std::vector<Problem> problems;
  if (!ReadPreviousRelease(PathFromUtf8(dir), release, problems)) {
    for (const Problem& p : problems) Complain(err, p.what, p.why);
    return false;
  }
  auto files = std::make_shared<std::map<std::u16string, std::filesystem::path>>();
  for (const PackageUpdate& file : release.updates) files->emplace(ComparablePath(file.path), file.source);
  source = [files](const std::string& path, std::vector<std::uint8_t>& bytes, std::string& why) {
    const auto found = files->find(ComparablePath(path));
    if (found == files->end()) {
      why = "the previous release has no " + Quoted(Printable(path));
      return false;
    }
    if (!ReadWholeFile(found->second, bytes, why, kMaxFileSize)) {
      why = "cannot read " + Quoted(PathToUtf8(found->second)) + ": " + why;
      return false;
    }
    return true;
  };
  return true;
}

void PrintInspectText(const UpdateCheck& check, const ImageSeal& seal, bool ok, std::ostream& out) {
  out << "manifest (" << check.manifest_text.size() << " bytes):\n"
      << Printable(check.manifest_text, /*keep_lines=*/true) << '\n';
  if (!check.manifest.valid) return;
  out << "\nmode: " << ModeDescription(check.manifest.safe) << '\n';
  std::size_t width = 4;
  for (const EntryCheck& e : check.entries) width = std::max(width, std::min<std::size_t>(Printable(e.path).size(), 60));
  char line[256];
  std::snprintf(line, sizeof line, "  %12s%12s  %6s  %-11s  %s", "stored", "expanded", "ratio",
                "resource", "sha256");
  out << '\n' << "path" << std::string(width - 4, ' ') << line << '\n';
  for (const EntryCheck& e : check.entries) {
    const std::string resource =
        e.has_resource ? std::to_string(e.rtype) + "/" + std::to_string(e.rid) : "none";
    std::snprintf(line, sizeof line, "  %12llu%12llu  %6s  %-11s  %s",
                  static_cast<unsigned long long>(e.stored), static_cast<unsigned long long>(e.expanded),
                  e.expanded ? Percent(e.stored, e.expanded).c_str() : "-", resource.c_str(),
                  e.sha256.empty() ? "-" : e.sha256.c_str());
    const std::string shown = Printable(e.path);
    out << shown << std::string(width - std::min(width, shown.size()), ' ') << line
        << (e.problem.empty() ? "" : "  FAILS: " + Printable(e.problem)) << '\n';
    if (e.patch) {
      out << std::string(width, ' ') << "  patch: rebuilt from the installed file of "
          << e.old_size << " bytes, sha256 " << e.from_sha256 << '\n';
    }
  }
  if (!check.manifest.unchanged.empty()) {
    out << "\nunchanged (not carried; the installation must hold exactly these, or nothing is "
           "touched):\n";
    for (const UnchangedFile& file : check.manifest.unchanged) {
      out << "  " << Printable(Utf16ToUtf8(file.path)) << "  " << Sha256Hex(file.sha256) << '\n';
    }
  }
  std::uint64_t stored = 0, expanded = 0;
  for (const EntryCheck& e : check.entries) {
    stored += e.stored;
    expanded += e.expanded;
  }
  out << "\nversion " << Printable(Utf16ToUtf8(check.manifest.version)) << ", "
      << check.manifest.cleans.size() << " cleans, " << check.entries.size() << " entries, "
      << HumanSize(expanded) << " in " << HumanSize(stored) << '\n';
  out << "signature: "
      << (seal.signature_bytes == 0 ? std::string("none")
                                    : "signed (" + std::to_string(seal.signature_bytes) + " bytes)")
      << '\n';
  if (seal.stored_checksum == seal.computed_checksum) {
    out << "checksum: ok (" << Hex32(seal.stored_checksum) << ")\n";
  } else {
    out << "checksum: MISMATCH: the header says " << Hex32(seal.stored_checksum)
        << ", the file sums to " << Hex32(seal.computed_checksum) << '\n';
  }
  const bool unbuilt_patches = std::any_of(check.entries.begin(), check.entries.end(),
                                          [](const EntryCheck& e) { return e.patch && !e.rebuilt; });
  if (!ok) {
    out << "the stub would refuse this update\n";
  } else if (unbuilt_patches) {
    out << "ok: the stub will stage every entry (patches are checked against their sha256 once "
           "rebuilt from the installed files)\n";
  } else {
    out << "ok: the stub will stage every entry\n";
  }
}

// Inspect's JSON document: the manifest's text and what the stub makes of it, every entry's
// check, the verdict and the problems.
void PrintInspectJson(const std::string& path, const UpdateCheck& check, const ImageSeal& seal,
                      bool ok, const std::vector<std::string>& problems, std::ostream& out) {
  JsonWriter json;
  json.BeginObject().Key("ok").Bool(ok).Key("file").String(path);
  if (seal.read) {
    json.Key("signature_bytes").Number(seal.signature_bytes)
        .Key("checksum").Number(seal.stored_checksum)
        .Key("checksum_ok").Bool(seal.stored_checksum == seal.computed_checksum);
  }
  json.Key("manifest");
  if (check.manifest_text.empty()) {
    json.Null();
  } else {
    json.String(check.manifest_text);
  }
  json.Key("manifest_valid").Bool(check.manifest.valid);
  if (check.manifest.valid) {
    const UpdateManifest& m = check.manifest;
    std::uint64_t stored = 0, expanded = 0;
    for (const EntryCheck& e : check.entries) {
      stored += e.stored;
      expanded += e.expanded;
    }
    json.Key("mode").String(m.safe ? "safe" : "compatible")
        .Key("version").String(Utf16ToUtf8(m.version)).Key("launcher");
    if (m.launcher.empty()) {
      json.Null();
    } else {
      json.String(Utf16ToUtf8(m.launcher));
    }
    json.Key("stored_bytes").Number(stored).Key("bytes").Number(expanded);
    json.Key("cleans").BeginArray();
    for (const CleanTask& c : m.cleans) {
      json.BeginObject().Key("path").String(Utf16ToUtf8(c.path)).Key("type")
          .String(CleanKindName(c.kind)).Key("fail_ok").Bool(c.fail_ok).EndObject();
    }
    json.EndArray().Key("entries").BeginArray();
    for (const EntryCheck& e : check.entries) {
      json.BeginObject().Key("path").String(e.path)
          .Key("size").Number(static_cast<std::uint64_t>(std::max<std::int64_t>(e.size, 0)))
          .Key("resource");
      if (e.has_resource) {
        json.BeginObject().Key("type").Number(static_cast<std::uint32_t>(e.rtype))
            .Key("id").Number(static_cast<std::uint32_t>(e.rid)).EndObject();
      } else {
        json.Null();
      }
      json.Key("stored_bytes").Number(e.stored).Key("bytes").Number(e.expanded).Key("sha256");
      if (e.sha256.empty()) {
        json.Null();
      } else {
        json.String(e.sha256);
      }
      json.Key("patch");
      if (e.patch) {
        json.BeginObject().Key("from_sha256").String(e.from_sha256)
            .Key("from_bytes").Number(e.old_size).EndObject();
      } else {
        json.Null();
      }
      json.Key("problem");
      if (e.problem.empty()) {
        json.Null();
      } else {
        json.String(e.problem);
      }
      json.EndObject();
    }
    json.EndArray().Key("unchanged").BeginArray();
    for (const UnchangedFile& file : m.unchanged) {
      json.BeginObject().Key("path").String(Utf16ToUtf8(file.path))
          .Key("sha256").String(Sha256Hex(file.sha256)).EndObject();
    }
    json.EndArray();
  }
  json.Key("problems").BeginArray();
  for (const std::string& p : problems) json.String(p);
  json.EndArray().EndObject();
  out << json.text();
}

int RunInspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  OutputChoice output;
  std::vector<std::string> paths;
  for (const std::string& arg : args) {
    if (IsHelp(arg)) {
      out << kInspectUsage;
      return kExitOk;
    }
    if (!TakeOutputFlag(arg, output)) paths.push_back(arg);
  }
  if (paths.size() != 1) return UsageError(err, "inspect", "expects one update exe");
  if (output.json && output.quiet) return UsageError(err, "inspect", "--json and --quiet exclude each other");
  const std::string& path = paths[0];
  UpdateCheck check;
  std::vector<PeResource> resources;
  std::vector<std::string> problems;
  ImageSeal seal;
  const bool ok = LoadAndCheck(path, check, problems, resources, seal);
  for (const std::string& problem : problems) Complain(err, path, problem);
  if (seal.stored_checksum != seal.computed_checksum) {
    Complain(err, "warning: " + path, "the PE checksum is wrong (the file changed after it was written)");
  }
  if (output.json) {
    PrintInspectJson(path, check, seal, ok, problems, out);
  } else if (!output.quiet && !check.manifest_text.empty()) {
    PrintInspectText(check, seal, ok, out);
  }
  return ok ? kExitOk : kExitFailed;
}

int RunExtract(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  OutputChoice output;
  std::vector<std::string> operands;
  std::string previous_dir;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (IsHelp(arg)) {
      out << kExtractUsage;
      return kExitOk;
    }
    bool missing = false;
    if (arg == "--json") return UsageError(err, "extract", "has no --json output");
    if (auto d = TakeValue(args, i, {"--previous"}, missing)) {
      previous_dir = *d;
    } else if (missing) {
      return UsageError(err, "extract", arg + " needs a value");
    } else if (!TakeOutputFlag(arg, output)) {
      operands.push_back(arg);
    }
  }
  if (operands.size() != 2) return UsageError(err, "extract", "expects an update exe and a folder");
  const std::string& path = operands[0];
  PreviousFileSource previous;
  if (!previous_dir.empty() && !PreviousFilesOf(previous_dir, previous, err)) return kExitFailed;
  UpdateCheck check;
  std::vector<PeResource> resources;
  std::vector<std::string> problems;
  ImageSeal seal;
  const bool loaded = LoadAndCheck(path, check, problems, resources, seal, previous);
  for (const std::string& problem : problems) Complain(err, path, problem);
  if (!loaded) return kExitFailed;
  const auto patches = std::count_if(check.entries.begin(), check.entries.end(),
                                     [](const EntryCheck& e) { return e.patch; });
  if (!previous && (patches > 0 || !check.manifest.unchanged.empty())) {
    Complain(err, path, "is a delta update (patches: " + std::to_string(patches) +
                            ", unchanged files not carried: " +
                            std::to_string(check.manifest.unchanged.size()) +
                            "); give --previous OLD_DIR, the release it was made against, to "
                            "rebuild its files");
    return kExitFailed;
  }
  // Entry paths come from a file of unknown origin: none may lead out of the target folder.
  bool ok = true;
  std::string why;
  std::vector<std::string> unchanged;
  for (const UnchangedFile& file : check.manifest.unchanged) unchanged.push_back(Utf16ToUtf8(file.path));
  for (const EntryCheck& e : check.entries) {
    if (!CheckInstallPath(e.path, true, false, why)) {
      Complain(err, path + ": " + Quoted(e.path), why + "; not extracted");
      ok = false;
    }
  }
  for (const std::string& file : unchanged) {
    if (!CheckInstallPath(file, true, false, why)) {
      Complain(err, path + ": " + Quoted(file), why + "; not extracted");
      ok = false;
    }
  }
  if (!ok) return kExitFailed;
  // Every file is written beside its place first and renamed in only when all are: a failure
  // leaves nothing of this run in DIR, and never replaces a file there.
  PendingFiles pending;
  pending.root = PathFromUtf8(operands[1]);
  std::uint64_t total = 0;
  std::string failure;
  const auto stage = [&](std::string relative, std::span<const std::uint8_t> content) {
    std::replace(relative.begin(), relative.end(), '\\', '/');
    if (!StagePendingFile(pending, PathFromUtf8(relative), content, why)) {
      failure = why;
      return false;
    }
    total += content.size();
    return true;
  };
  bool written = CheckUpdate(resources, check, [&](std::size_t i, std::span<const std::uint8_t> content) {
    return stage(check.entries.size() > i ? check.entries[i].path : std::string(), content);
  }, previous);
  if (!written && failure.empty() && !check.problems.empty()) failure = check.problems.front();
  // The files the update keeps as they are, from the previous release, checked like the rest.
  for (std::size_t i = 0; written && i < unchanged.size(); ++i) {
    std::vector<std::uint8_t> bytes;
    if (!previous(unchanged[i], bytes, why)) {
      failure = why;
      written = false;
    } else if (Sha256Of(bytes) != check.manifest.unchanged[i].sha256) {
      failure = "the previous release's " + Quoted(Printable(unchanged[i])) +
                " is not the file the update was made against";
      written = false;
    } else {
      written = stage(unchanged[i], bytes);
    }
  }
  if (!written || !CommitPendingFiles(pending, failure)) {
    DiscardPendingFiles(pending);
    Complain(err, path, failure.empty() ? "the update changed while it was extracted" : failure);
    return kExitFailed;
  }
  if (!output.quiet) {
    out << "extracted " << check.entries.size() + unchanged.size() << " files (" << total << " bytes) to "
        << operands[1] << '\n';
  }
  return kExitOk;
}

}  // namespace

int RunBootpack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool interactive) {
  if (args.empty()) {
    err << kUsage;
    return kExitUsage;
  }
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (IsHelp(command) || command == "help") {
    out << kUsage;
    return kExitOk;
  }
  if (command == "--version" || command == "version") {
    out << "bootpack " << kBootpackVersion << '\n';
    return kExitOk;
  }
  if (command == "pack") return RunPack(rest, out, err, interactive);
  if (command == "inspect") return RunInspect(rest, out, err);
  if (command == "extract") return RunExtract(rest, out, err);
  if (command == "compress" || command == "decompress") {
    out.flush();
    err.flush();
    return command == "compress" ? RunCompressCommand(rest) : RunDecompressCommand(rest);
  }
  Complain(err, Quoted(command), "unknown command");
  err << kUsage;
  return kExitUsage;
}

}  // namespace boot
