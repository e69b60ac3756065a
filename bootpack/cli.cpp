#include "bootpack/cli.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <system_error>

#include "bootpack/codec_commands.h"
#include "bootpack/file_io.h"
#include "bootpack/pack.h"
#include "bootpack/package.h"
#include "bootpack/pe_image.h"
#include "bootpack/sign_command.h"
#include "bootpack/stub_identity.h"
#include "bootpack/update_check.h"

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
    "Run 'bootpack <command> --help' for a command's options.\n";

constexpr const char* kPackUsage =
    "usage: bootpack pack --stub STUB.exe --package PACKAGE.json -o UPDATE.exe\n"
    "                     [--from DIR] [--level fast|default|max] [--allow-outside]\n"
    "                     [--compat] [--sign COMMAND]\n"
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
    "  -o, --output FILE the update exe to write (replaced if it exists)\n"
    "  --from DIR        also deliver every file under DIR, at its path relative to DIR\n"
    "  --level LEVEL     compression effort: fast, default or max (default: default)\n"
    "  --allow-outside   permit paths that lead out of the install directory with ..\n"
    "  --compat          the run every stub performs (for stubs without the safe run):\n"
    "                    files written in place, no folder created, nothing undone;\n"
    "                    empty files and updates into a folder a \"dir\" clean removes\n"
    "                    are refused, updates in subfolders get a warning\n"
    "  --sign COMMAND    sign the finished exe before it replaces the output: COMMAND\n"
    "                    runs through /bin/sh (cmd.exe on Windows) with {file}\n"
    "                    replaced by the quoted path of the file to sign, e.g.\n"
    "                      --sign 'osslsigncode sign -pkcs12 key.p12 -in {file} -out {file}.s && mv {file}.s {file}'\n"
    "                      --sign \"signtool sign /fd sha256 /a {file}\"\n"
    "                    a non-zero exit fails the pack and nothing is written\n";

constexpr const char* kInspectUsage =
    "usage: bootpack inspect UPDATE.exe\n"
    "\n"
    "Prints the update manifest, its mode (safe or compatible) and a table of the\n"
    "entries, and checks every payload the way the stub will stage it, against its\n"
    "SHA-256 when the manifest gives one; also whether the exe is signed (the size of\n"
    "its certificate table) and whether its PE checksum matches (a mismatch is a\n"
    "warning). Exits with 1 when the exe is not an update stub or the stub would\n"
    "refuse the update.\n";

constexpr const char* kExtractUsage =
    "usage: bootpack extract UPDATE.exe DIR\n"
    "\n"
    "Checks the update like 'inspect' and writes every entry's file under DIR, at its\n"
    "path from the manifest. Nothing is written when any entry fails its check.\n";

// What the stub does with a manifest, for pack's summary and inspect.
const char* ModeDescription(bool safe) {
  return safe ? "safe (staged on disk, verified, rolled back on failure)" : "compatible";
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

void Complain(std::ostream& err, const std::string& what, const std::string& why) {
  err << "bootpack: " << what << ": " << why << '\n';
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

int RunPack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            bool err_is_terminal) {
  PackOptions options;
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
    } else if (auto l = TakeValue(args, i, {"--level"}, missing)) {
      if (!lznt1::ParseLevel(*l, options.level)) {
        return UsageError(err, "pack", "unknown level " + Quoted(*l) + " (fast, default or max)");
      }
    } else if (arg == "--allow-outside") {
      options.allow_outside = true;
    } else if (auto c = TakeValue(args, i, {"--sign"}, missing)) {
      options.sign = *c;
    } else if (arg == "--compat") {
      options.mode = UpdateMode::Compatible;
    } else if (missing) {
      return UsageError(err, "pack", arg + " needs a value");
    } else {
      return UsageError(err, "pack", "unexpected argument " + Quoted(arg));
    }
  }
  if (options.stub.empty()) return UsageError(err, "pack", "--stub is required");
  if (options.package.empty()) return UsageError(err, "pack", "--package is required");
  if (options.output.empty()) return UsageError(err, "pack", "-o is required");
  if (!options.sign.empty() && options.sign.find(kSignFilePlaceholder) == std::string::npos) {
    return UsageError(err, "pack", "--sign needs {file} where the command names the file to sign");
  }

  const auto started = std::chrono::steady_clock::now();
  std::size_t shown = 0;
  PackProgress progress;
  if (err_is_terminal) {
    progress = [&](std::size_t index, std::size_t count, const std::string& path,
                   std::uint64_t bytes) {
      std::string line = "[" + std::to_string(index + 1) + "/" + std::to_string(count) + "] " +
                         path + " (" + HumanSize(bytes) + ")";
      const std::size_t width = line.size();
      if (line.size() < shown) line.append(shown - line.size(), ' ');
      shown = width;
      err << '\r' << line << std::flush;
    };
  }
  PackResult result;
  std::vector<Problem> problems, warnings;
  const bool packed = PackUpdate(options, progress, result, problems, warnings);
  if (shown > 0) err << '\r' << std::string(shown, ' ') << '\r' << std::flush;
  for (const Problem& w : warnings) Complain(err, "warning: " + w.what, w.why);
  for (const Problem& p : problems) Complain(err, p.what, p.why);
  if (!packed) return kExitFailed;

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  out << options.output << ": version " << result.version << ", " << result.entries.size()
      << (result.entries.size() == 1 ? " file, " : " files, ") << result.cleans
      << (result.cleans == 1 ? " clean" : " cleans")
      << (result.launcher.empty() ? ", no launcher" : ", launcher " + result.launcher) << '\n';
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
  if (result.signed_by_command) out << "  signed: by the --sign command, then checked\n";
  std::vector<const PackedEntry*> largest;
  for (const PackedEntry& e : result.entries) largest.push_back(&e);
  std::sort(largest.begin(), largest.end(),
            [](const PackedEntry* a, const PackedEntry* b) { return a->expanded > b->expanded; });
  if (largest.size() > 3) largest.resize(3);
  out << "  largest:";
  for (const PackedEntry* e : largest) {
    out << ' ' << e->path << ' ' << HumanSize(e->expanded) << " -> " << HumanSize(e->stored)
        << (e == largest.back() ? "" : ";");
  }
  char took[32];
  std::snprintf(took, sizeof took, "%.2f s", seconds);
  out << "\n  checked: every resource read back and every payload decoded and matched to its "
         "sha256; took "
      << took << '\n';
  return kExitOk;
}

// What inspect says about an image's checksum and Authenticode signature.
struct ImageSeal {
  std::uint32_t stored_checksum = 0;
  std::uint32_t computed_checksum = 0;
  std::uint32_t signature_bytes = 0;  // the certificate table's size; 0: not signed
};

// Reads `path` as an update exe and checks it; problems go to `err`. False when the file is
// not an image or not an update stub, or (with the check filled in) when the stub would refuse
// the update. `seal` (optional) receives the checksum and signature facts.
bool LoadAndCheck(const std::string& path, UpdateCheck& check, std::ostream& err,
                  std::vector<PeResource>& resources, ImageSeal* seal = nullptr) {
  std::vector<std::uint8_t> bytes;
  PeImage image;
  std::string why;
  if (!ReadWholeFile(PathFromUtf8(path), bytes, why) ||
      !ParsePeImage(std::move(bytes), image, why) || !ReadPeResources(image, resources, why)) {
    Complain(err, path, why);
    return false;
  }
  if (seal != nullptr) {
    seal->stored_checksum = image.checksum;
    seal->computed_checksum = ComputePeChecksum(image.bytes, image.optional_header_offset + 64);
    if (image.directories.size() > kCertificateDirectory) {
      seal->signature_bytes = image.directories[kCertificateDirectory].size;
    }
  }
  image = PeImage{};
  if (!HasStubMarker(resources)) {
    Complain(err, path, NotAStubText());
    return false;
  }
  const bool ok = CheckUpdate(resources, check);
  for (const std::string& problem : check.problems) Complain(err, path, problem);
  return ok;
}

int RunInspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (!args.empty() && IsHelp(args[0])) {
    out << kInspectUsage;
    return kExitOk;
  }
  if (args.size() != 1) return UsageError(err, "inspect", "expects one update exe");
  const std::string& path = args[0];
  UpdateCheck check;
  std::vector<PeResource> resources;
  ImageSeal seal;
  const bool ok = LoadAndCheck(path, check, err, resources, &seal);
  if (check.manifest_text.empty()) return kExitFailed;

  out << "manifest (" << check.manifest_text.size() << " bytes):\n" << check.manifest_text << '\n';
  if (!check.manifest.valid) return kExitFailed;
  out << "\nmode: " << ModeDescription(check.manifest.safe) << '\n';
  std::size_t width = 4;
  for (const EntryCheck& e : check.entries) width = std::max(width, std::min<std::size_t>(e.path.size(), 60));
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
    out << e.path << std::string(width - std::min(width, e.path.size()), ' ') << line
        << (e.problem.empty() ? "" : "  FAILS: " + e.problem) << '\n';
  }
  std::uint64_t stored = 0, expanded = 0;
  for (const EntryCheck& e : check.entries) {
    stored += e.stored;
    expanded += e.expanded;
  }
  out << "\nversion " << Utf16ToUtf8(check.manifest.version) << ", "
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
    Complain(err, "warning: " + path, "the PE checksum is wrong (the file changed after it was written)");
  }
  if (!ok) {
    out << "the stub would refuse this update\n";
    return kExitFailed;
  }
  out << "ok: the stub will stage every entry\n";
  return kExitOk;
}

int RunExtract(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (!args.empty() && IsHelp(args[0])) {
    out << kExtractUsage;
    return kExitOk;
  }
  if (args.size() != 2) return UsageError(err, "extract", "expects an update exe and a folder");
  const std::string& path = args[0];
  UpdateCheck check;
  std::vector<PeResource> resources;
  if (!LoadAndCheck(path, check, err, resources)) return kExitFailed;
  // Entry paths come from a file of unknown origin: none may lead out of the target folder.
  bool ok = true;
  std::string why;
  for (const EntryCheck& e : check.entries) {
    if (!CheckInstallPath(e.path, true, false, why)) {
      Complain(err, path + ": " + Quoted(e.path), why + "; not extracted");
      ok = false;
    }
  }
  if (!ok) return kExitFailed;
  const fs::path dir = PathFromUtf8(args[1]);
  std::uint64_t total = 0;
  std::string failure;
  const bool written = CheckUpdate(resources, check, [&](std::size_t i, std::span<const std::uint8_t> content) {
    std::string relative = check.entries.size() > i ? check.entries[i].path : std::string();
    std::replace(relative.begin(), relative.end(), '\\', '/');
    const fs::path target = (dir / PathFromUtf8(relative)).lexically_normal();
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (ec || !WriteWholeFile(target, content, why)) {
      failure = Quoted(PathToUtf8(target)) + ": " + (ec ? ec.message() : why);
      return false;
    }
    total += content.size();
    return true;
  });
  if (!written) {
    Complain(err, path, failure.empty() ? "the update changed while it was extracted" : failure);
    return kExitFailed;
  }
  out << "extracted " << check.entries.size() << " files (" << total << " bytes) to " << args[1]
      << '\n';
  return kExitOk;
}

}  // namespace

int RunBootpack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool err_is_terminal) {
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
  if (command == "pack") return RunPack(rest, out, err, err_is_terminal);
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
