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

// A file of the installed release that a delta update keeps as it is: not carried, but checked
// by the stub before anything is touched.
struct PackageUnchanged {
  std::string path;  // as in PackageUpdate
  Sha256Digest sha256{};
};

struct Package {
  std::string version;
  std::string launcher;  // empty: the stub starts nothing
  std::vector<PackageClean> cleans;
  std::vector<PackageUpdate> updates;
  std::vector<PackageUnchanged> unchanged;  // filled by the pack for a delta update
  PackageIdentity identity;
};

// Reads description `text`. `label` names the file in messages; relative sources are resolved
// against `base_dir`. Unknown or repeated keys, wrong JSON types and unknown clean types are
// refused. True when nothing was appended to `problems`.
[[nodiscard]] bool ParsePackageDescription(std::string_view text, std::string_view label,
                                           const std::filesystem::path& base_dir,
                                           Package& package, std::vector<Problem>& problems);

// What AddFolderFiles leaves out of a folder.
struct FolderFilter {
  // Globs, matched ignoring ASCII case. One without '/' matches a file or folder name at any
  // depth ("*.pdb", ".git"); one with '/' matches a path relative to the folder ("logs/*.txt",
  // "cache/**"). '*' matches any run of characters within a name, '?' one character, "**" any
  // run of names ("**/" also none). A matching folder is left out with everything under it.
  // '\' counts as '/', and a leading "./" and trailing '/' are ignored.
  std::vector<std::string> excludes;
  // Files left out wherever they lie, compared by identity, not by name.
  std::vector<std::filesystem::path> skip_files;
  // The option that named the folder, for messages and the updates' origin.
  std::string label = "--from";
};

// The names a release folder never delivers: version-control folders (.git, .svn, .hg) and the
// files Windows Explorer and macOS Finder leave behind (Thumbs.db, .DS_Store).
FolderFilter DefaultFolderFilter();

// Appends an update entry for every regular file under `dir` that `filter` does not leave out,
// its path relative to `dir` with backslashes, in byte order of those paths so every run and
// every platform gives the same order. Symbolic links are followed, to files and to folders; a
// link to a folder that contains it (a loop) and a link to nothing are refused. True when
// nothing was appended to `problems`.
[[nodiscard]] bool AddFolderFiles(const std::filesystem::path& dir, const FolderFilter& filter,
                                  Package& package, std::vector<Problem>& problems);

// Reads the release folder `old_dir` that --previous names: every file AddFolderFiles finds with
// the default filter (labelled "--previous"), as one update of `release` each. True when nothing
// was appended to `problems`.
[[nodiscard]] bool ReadPreviousRelease(const std::filesystem::path& old_dir, Package& release,
                                       std::vector<Problem>& problems);

// Adds to `package` a clean for what the release in `old_dir` (the one installed on users'
// machines, read like --from) has and `package`'s updates no longer deliver: a file clean for each
// such file, or a directory clean for the outermost of its folders that no update lies in. Every
// such clean has fail_ok (a user may have removed the file already); one the package already has
// is not added twice. Each added clean is also appended to `added`. Names are compared as Windows
// compares them. With `previous_sources`, it is given one path per update of `package`: the
// installed release's file of that name, or an empty path where it has none. True when nothing
// was appended to `problems`.
[[nodiscard]] bool AddPreviousReleaseCleans(
    const std::filesystem::path& old_dir, Package& package, std::vector<PackageClean>& added,
    std::vector<Problem>& problems,
    std::vector<std::filesystem::path>* previous_sources = nullptr);

// Which run the update asks the stub for.
enum class UpdateMode {
  // "safe": true: the stub stages every file on disk, verifies it, creates missing folders and
  // undoes everything on failure; an empty file is delivered as an entry of size 0.
  Safe,
  // No "safe" member: the run every stub performs, which writes files in place, creates no
  // folder and cannot deliver an empty file.
  Compatible,
};

// Checks the whole package: a version that is not empty (a warning unless it is dotted numbers
// or SemVer), the launcher (CheckLauncher; refused when a clean removes it and no update
// delivers it, a warning when only no update delivers it), every path against the install-path
// rules (see CheckInstallPath), update paths naming one file or a file and a folder of one name
// (compared as Windows compares names), registry cleans (CheckRegistryPath, and
// CheckRegistryCleanScope: refused, or with `allow_broad_clean` a warning), and that every
// source is an existing file of at most kMaxFileSize bytes (and not empty, in the compatible
// run), from its size on disk. For the compatible run also: an update into a folder that a
// directory clean of the package removes is refused (that stub would find its folder gone), and
// every other update in a subfolder gets a warning (the folder must already exist on the user's
// machine). True when nothing was appended to `problems`.
[[nodiscard]] bool ValidatePackage(const Package& package, bool allow_outside, UpdateMode mode,
                                   std::vector<Problem>& problems,
                                   std::vector<Problem>& warnings,
                                   bool allow_broad_clean = false);

// Rules for a path the stub joins to the install directory: not empty, valid UTF-8, not
// absolute (no leading separator), no ':' (drive letters, streams), no character Windows
// forbids in names, no name ending in a dot or a space, no device name (CON, NUL, COM1,
// "nul.txt", ...), and no ".." leading above the install directory unless `allow_outside`.
// With `names_file` the path must also end in a file name. False with the reason in `why`.
[[nodiscard]] bool CheckInstallPath(std::string_view path, bool names_file, bool allow_outside,
                                    std::string& why);

// Rules for the launcher, which the stub hands to the shell as the path of a file, without a
// command line: CheckInstallPath for a file, and no leading or trailing blank, no quotes and no
// blank before a '-' or '/' (arguments). False with the reason. `launcher` is not empty.
[[nodiscard]] bool CheckLauncher(std::string_view launcher, bool allow_outside, std::string& why);

// Rules for a registry clean: one of the four roots the stub knows (MatchRegistryRoot, the
// stub's own matcher), a backslash, and a non-empty key path of at most kMaxKeyPathLength (519)
// characters. False with the reason.
[[nodiscard]] bool CheckRegistryPath(std::string_view path, std::string& why);

// Whether a registry clean that passes CheckRegistryPath removes only a program's own keys:
// false, with the reason, for a key less than two levels below its root and for a key shared by
// Windows and other programs (Software\Microsoft, Software\Classes, Software\Policies,
// SYSTEM\CurrentControlSet, file types and COM's tables under the classes root, ...) or any
// key above one. Names are compared as the registry compares them: case ignored, empty names
// of doubled, leading or trailing backslashes dropped.
[[nodiscard]] bool CheckRegistryCleanScope(std::string_view path, std::string& why);

// An escaped NUL (\u0000) in a string of a JSON text: cJSON decodes it into its C strings,
// where it ends the value (or key) early.
struct EscapedNul {
  std::string container;  // "updates[2]", "a.b[0]"; empty for a member of the outer object
  std::string member;  // the member's key as written; empty for an element of an array
  bool in_key = false;  // the NUL is in the key itself
};

// Every escaped NUL in the strings of `json`, which cJSON has accepted as valid JSON, in text
// order.
std::vector<EscapedNul> FindEscapedNuls(std::string_view json);

// "\"path\" holds \u0000, a NUL character, where the stub's reader ends the text".
std::string DescribeEscapedNul(const EscapedNul& nul);

// Why a file above kMaxFileSize cannot be delivered, naming the limit: "a file can be at most
// 2146435072 bytes (2 GiB - 1 MiB), ...".
std::string FileSizeLimitText();

// The form two update paths are compared in: '/' as '\', empty and "." names dropped, ".."
// applied, every UTF-16 code unit mapped through Windows' upcase table (UpcaseUnit) the way
// Windows compares file names.
std::u16string ComparablePath(std::string_view path);

// std::filesystem paths to and from UTF-8, the same on every platform.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string PathToUtf8(const std::filesystem::path& path);

}  // namespace boot
