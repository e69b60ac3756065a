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
    "                     [--from DIR [--exclude GLOB]...] [--level fast|default|max]\n"
    "                     [--allow-outside] [--compat]\n"
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
    "                    sources are relative to the description's folder\n"
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
    "  --level LEVEL     compression effort: fast, default or max (default: default)\n"
    "  --allow-outside   permit paths that lead out of the install directory with ..\n"
    "  --compat          the run every stub performs (for stubs without the safe run):\n"
    "                    files written in place, no folder created, nothing undone;\n"
    "                    empty files and updates into a folder a \"dir\" clean removes\n"
    "                    are refused, updates in subfolders get a warning\n";

constexpr const char* kInspectUsage =
    "usage: bootpack inspect UPDATE.exe\n"
    "\n"
    "Prints the update manifest, its mode (safe or compatible) and a table of the\n"
    "entries, and checks every payload the way the stub will stage it, against its\n"
    "SHA-256 when the manifest gives one. Exits with 1 when the stub would refuse the\n"
    "update.\n";

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

// `text` with everything a terminal could act on written as an escape: C0 controls (but line
// breaks and tabs with `keep_lines`), DEL, C1 controls, the Unicode line and paragraph
// separators, the bidirectional controls that reorder what follows them, and bytes that are not
// UTF-8. A manifest, a package or a file name is someone else's text; printed raw it could move
// the cursor, retitle the window or make a path read as another.
std::string Printable(std::string_view text, bool keep_lines = false) {
  std::string out;
  out.reserve(text.size());
  char escape[12];
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = byte < 0x80 ? 1 : byte >= 0xC2 && byte <= 0xDF ? 2
                         : byte >= 0xE0 && byte <= 0xEF ? 3 : byte >= 0xF0 && byte <= 0xF4 ? 4 : 0;
    std::uint32_t code = length == 1 ? byte : length == 2 ? byte & 0x1F : length == 3 ? byte & 0x0F : byte & 0x07;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
      if ((next & 0xC0) != 0x80) {
        length = 0;
        break;
      }
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8 either.
    if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
        (length == 4 && (code < 0x10000 || code > 0x10FFFF))) {
      length = 0;
    }
    if (length == 0) {
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      out += escape;
      ++i;
      continue;
    }
    const bool control = code < 0x20 ? !(keep_lines && (code == '\n' || code == '\t'))
                                      : code == 0x7F || (code >= 0x80 && code <= 0x9F);
    const bool format = code == 0x061C || code == 0x200E || code == 0x200F || code == 0x2028 ||
                        code == 0x2029 || (code >= 0x202A && code <= 0x202E) ||
                        (code >= 0x2066 && code <= 0x2069) || code == 0xFEFF;
    if (control && code < 0x80) {
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(code));
      out += escape;
    } else if (control || format) {
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
      out += escape;
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

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
    } else if (auto x = TakeValue(args, i, {"--exclude"}, missing)) {
      if (x->empty()) return UsageError(err, "pack", "--exclude needs a glob");
      options.excludes.push_back(*x);
    } else if (auto l = TakeValue(args, i, {"--level"}, missing)) {
      if (!lznt1::ParseLevel(*l, options.level)) {
        return UsageError(err, "pack", "unknown level " + Quoted(*l) + " (fast, default or max)");
      }
    } else if (arg == "--allow-outside") {
      options.allow_outside = true;
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
  if (!options.excludes.empty() && options.from.empty()) {
    return UsageError(err, "pack", "--exclude applies to --from, which is missing");
  }

  const auto started = std::chrono::steady_clock::now();
  std::size_t shown = 0;
  PackProgress progress;
  if (err_is_terminal) {
    progress = [&](std::size_t index, std::size_t count, const std::string& path,
                   std::uint64_t bytes) {
      std::string line = "[" + std::to_string(index + 1) + "/" + std::to_string(count) + "] " +
                         Printable(path) + " (" + HumanSize(bytes) + ")";
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
  return kExitOk;
}

// Reads `path` as an update exe and checks it; problems go to `err`. False when the file is
// not an image, or (with the check filled in) when the stub would refuse the update.
bool LoadAndCheck(const std::string& path, UpdateCheck& check, std::ostream& err,
                  std::vector<PeResource>& resources) {
  std::vector<std::uint8_t> bytes;
  PeImage image;
  std::string why;
  if (!ReadWholeFile(PathFromUtf8(path), bytes, why) ||
      !ParsePeImage(std::move(bytes), image, why) || !ReadPeResources(image, resources, why)) {
    Complain(err, path, why);
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
  const bool ok = LoadAndCheck(path, check, err, resources);
  if (check.manifest_text.empty()) return kExitFailed;

  out << "manifest (" << check.manifest_text.size() << " bytes):\n"
      << Printable(check.manifest_text, /*keep_lines=*/true) << '\n';
  if (!check.manifest.valid) return kExitFailed;
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
  }
  std::uint64_t stored = 0, expanded = 0;
  for (const EntryCheck& e : check.entries) {
    stored += e.stored;
    expanded += e.expanded;
  }
  out << "\nversion " << Printable(Utf16ToUtf8(check.manifest.version)) << ", "
      << check.manifest.cleans.size() << " cleans, " << check.entries.size() << " entries, "
      << HumanSize(expanded) << " in " << HumanSize(stored) << '\n';
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
  // Every file is written beside its place first and renamed in only when all are: a failure
  // leaves nothing of this run in DIR, and never replaces a file there.
  PendingFiles pending;
  pending.root = PathFromUtf8(args[1]);
  std::uint64_t total = 0;
  std::string failure;
  const bool written = CheckUpdate(resources, check, [&](std::size_t i, std::span<const std::uint8_t> content) {
    std::string relative = check.entries.size() > i ? check.entries[i].path : std::string();
    std::replace(relative.begin(), relative.end(), '\\', '/');
    if (!StagePendingFile(pending, PathFromUtf8(relative), content, why)) {
      failure = why;
      return false;
    }
    total += content.size();
    return true;
  });
  if (!written || !CommitPendingFiles(pending, failure)) {
    DiscardPendingFiles(pending);
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
