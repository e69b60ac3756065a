// The package description: what an update delivers (version, launcher, cleans, new files and
// where their bytes come from), read from a small UTF-8 JSON file and checked against the rules
// the stub relies on before anything is compressed or written. Portable.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "bootstrapper/manifest/manifest.h"

namespace boot {

// One refusal or warning: `what` names the file or entry, `why` says what is wrong with it.
// Printed as "bootpack: <what>: <why>".
struct Problem {
  std::string what;
  std::string why;
};

struct PackageClean {
  std::string path;  // UTF-8, as written in the description
  CleanKind kind = CleanKind::File;
  bool fail_ok = false;
  std::string origin;  // "cleans[3]", for messages
};

struct PackageUpdate {
  std::string path;  // UTF-8, relative to the install directory, every '/' turned into '\'
  std::filesystem::path source;  // the file whose bytes are delivered
  std::string origin;  // "updates[2]" or "--from", for messages
};

// How the update exe presents itself in Explorer: its version information and icon. An empty
// member leaves the stub's own value.
struct PackageIdentity {
  std::string product;  // ProductName
  std::string company;  // CompanyName
  std::string description;  // FileDescription
  std::string copyright;  // LegalCopyright
  std::filesystem::path icon;  // an .ico file; empty: the stub's icon, if any
};

struct Package {
  std::string version;
  std::string launcher;  // empty: the stub starts nothing
  std::vector<PackageClean> cleans;
  std::vector<PackageUpdate> updates;
  PackageIdentity identity;
};

// Reads description `text`. `label` names the file in messages; relative sources are resolved
// against `base_dir`. Unknown or repeated keys, wrong JSON types and unknown clean types are
// refused. True when nothing was appended to `problems`.
[[nodiscard]] bool ParsePackageDescription(std::string_view text, std::string_view label,
                                           const std::filesystem::path& base_dir,
                                           Package& package, std::vector<Problem>& problems);

// Appends an update entry for every regular file under `dir` (symbolic links followed), its path
// relative to `dir` with backslashes, in byte order of those paths so every run and every
// platform gives the same order. True when nothing was appended to `problems`.
[[nodiscard]] bool AddFolderFiles(const std::filesystem::path& dir, Package& package,
                                  std::vector<Problem>& problems);

// Which run the update asks the stub for.
enum class UpdateMode {
  // "safe": true: the stub stages every file on disk, verifies it, creates missing folders and
  // undoes everything on failure; an empty file is delivered as an entry of size 0.
  Safe,
  // No "safe" member: the run every stub performs, which writes files in place, creates no
  // folder and cannot deliver an empty file.
  Compatible,
};

// Checks the whole package: every path against the install-path rules (see CheckInstallPath),
// duplicate update paths, registry clean roots, and that every source is an existing file of at
// most kMaxFileSize bytes (and not empty, in the compatible run), from its size on disk. For the compatible run also: an update into a folder that
// a directory clean of the package removes is refused (that stub would find its folder gone),
// and every other update in a subfolder gets a warning (the folder must already exist on the
// user's machine). True when nothing was appended to `problems`.
[[nodiscard]] bool ValidatePackage(const Package& package, bool allow_outside, UpdateMode mode,
                                   std::vector<Problem>& problems,
                                   std::vector<Problem>& warnings);

// Rules for a path the stub joins to the install directory: not empty, valid UTF-8, not
// absolute (no leading separator), no ':' (drive letters, streams), no character Windows
// forbids in names, no name ending in a dot or a space, and no ".." leading above the install
// directory unless `allow_outside`. With `names_file` the path must also end in a file name.
// False with the reason in `why`.
[[nodiscard]] bool CheckInstallPath(std::string_view path, bool names_file, bool allow_outside,
                                    std::string& why);

// Rules for a registry clean: one of the four roots the stub knows (ASCII case ignored), a
// backslash, and a non-empty key path of at most 519 characters. False with the reason.
[[nodiscard]] bool CheckRegistryPath(std::string_view path, std::string& why);

// Why a file above kMaxFileSize cannot be delivered, naming the limit: "a file can be at most
// 2146435072 bytes (2 GiB - 1 MiB), ...".
std::string FileSizeLimitText();

// The form two update paths are compared in: '/' as '\', empty and "." names dropped, ".."
// applied, letters folded to upper case the way Windows compares file names (ASCII, Latin-1,
// Greek and Cyrillic).
std::u16string ComparablePath(std::string_view path);

// std::filesystem paths to and from UTF-8, the same on every platform.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string PathToUtf8(const std::filesystem::path& path);

}  // namespace boot
