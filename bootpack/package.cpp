#include "bootpack/package.h"

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <set>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "bootpack/upcase.h"
#include "bootstrapper/clean/registry_root.h"
#include "bootstrapper/manifest/update_rules.h"
#include "cJSON.h"

namespace boot {
namespace fs = std::filesystem;

namespace {

struct JsonDeleter {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using UniqueJson = std::unique_ptr<cJSON, JsonDeleter>;

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

// The parts of `text` between the `separator`s (one more than there are separators).
template <typename Char>
std::vector<std::basic_string_view<Char>> SplitAt(std::basic_string_view<Char> text,
                                                  Char separator) {
  std::vector<std::basic_string_view<Char>> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == separator) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

// Valid when the stub's decoding gives the same text back. (ASCII always does, and is most of
// what a package holds, so it is not decoded at all.)
bool IsValidUtf8(std::string_view text) {
  if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return true;
  }
  return Utf16ToUtf8(Utf8ToUtf16(text)) == text;
}

// Members of one JSON object, matched against `known` names ignoring ASCII case (as the stub's
// reader matches them). Unknown and repeated members are refused rather than ignored: in a
// hand-written description they are typos.
// (A package may hold hundreds of thousands of objects: the few known names are kept in a
// fixed array rather than a map per object.)
class ObjectMembers {
 public:
  static constexpr std::size_t kMaxKnown = 9;

  ObjectMembers(const cJSON* object, std::initializer_list<const char*> known,
                const std::string& what, std::vector<Problem>& problems)
      : count_(std::min(known.size(), kMaxKnown)) {
    std::copy_n(known.begin(), count_, known_.begin());
    for (const cJSON* item = object->child; item != nullptr; item = item->next) {
      std::size_t match = count_;
      for (std::size_t k = 0; k < count_; ++k) {
        if (EqualsIgnoringAsciiCase(item->string, known_[k])) match = k;
      }
      if (match == count_) {
        problems.push_back({what, "unknown key " + Quoted(item->string)});
      } else if (members_[match] != nullptr) {
        problems.push_back({what, "key " + Quoted(known_[match]) + " given twice"});
      } else {
        members_[match] = item;
      }
    }
  }
  // `name` is one of the known names.
  const cJSON* Get(std::string_view name) const {
    for (std::size_t k = 0; k < count_; ++k) {
      if (known_[k] == name) return members_[k];
    }
    return nullptr;
  }

 private:
  std::size_t count_;
  std::array<const char*, kMaxKnown> known_{};
  std::array<const cJSON*, kMaxKnown> members_{};
};

// A string member: false with a problem when it is missing (and `required`) or not a string.
bool ReadString(const ObjectMembers& members, const char* name, bool required,
                const std::string& what, std::string& out, std::vector<Problem>& problems) {
  const cJSON* item = members.Get(name);
  if (item == nullptr && !required) return true;
  if (!cJSON_IsString(item) || item->valuestring == nullptr) {
    problems.push_back({what, Quoted(name) + (item == nullptr ? " is missing" : " must be a string")});
    return false;
  }
  out = item->valuestring;
  if (!IsValidUtf8(out)) {
    problems.push_back({what, Quoted(name) + " is not valid UTF-8"});
    return false;
  }
  return true;
}

void ReadCleans(const cJSON* array, const std::string& label, Package& package,
                std::vector<Problem>& problems) {
  package.cleans.reserve(package.cleans.size() + static_cast<std::size_t>(cJSON_GetArraySize(array)));
  int index = 0;
  for (const cJSON* entry = array->child; entry != nullptr; entry = entry->next, ++index) {
    PackageClean clean;
    clean.origin = label + ": cleans[" + std::to_string(index) + "]";
    if (!cJSON_IsObject(entry)) {
      problems.push_back({clean.origin, "must be an object with \"path\", \"fail_ok\" and \"type\""});
      continue;
    }
    const ObjectMembers members(entry, {"path", "fail_ok", "type"}, clean.origin, problems);
    bool ok = ReadString(members, "path", true, clean.origin, clean.path, problems);
    const cJSON* fail_ok = members.Get("fail_ok");
    if (!cJSON_IsBool(fail_ok)) {
      problems.push_back({clean.origin, "\"fail_ok\" must be true or false"});
      ok = false;
    } else {
      clean.fail_ok = cJSON_IsTrue(fail_ok);
    }
    std::string type;
    if (ReadString(members, "type", true, clean.origin, type, problems)) {
      const CleanTypeName* kind = std::find_if(
          std::begin(kCleanTypeNames), std::end(kCleanTypeNames),
          [&](const CleanTypeName& row) { return EqualsIgnoringAsciiCase(type, row.name); });
      if (kind != std::end(kCleanTypeNames)) {
        clean.kind = kind->kind;
      } else {
        problems.push_back({clean.origin, "unknown type " + Quoted(type) +
                                              " (use \"file\", \"dir\" or \"registry\")"});
        ok = false;
      }
    } else {
      ok = false;
    }
    if (ok) package.cleans.push_back(std::move(clean));
  }
}

void ReadUpdates(const cJSON* array, const std::string& label, const fs::path& base_dir,
                 Package& package, std::vector<Problem>& problems) {
  package.updates.reserve(package.updates.size() + static_cast<std::size_t>(cJSON_GetArraySize(array)));
  int index = 0;
  for (const cJSON* entry = array->child; entry != nullptr; entry = entry->next, ++index) {
    PackageUpdate update;
    update.origin = label + ": updates[" + std::to_string(index) + "]";
    if (!cJSON_IsObject(entry)) {
      problems.push_back({update.origin, "must be an object with \"path\" and \"source\""});
      continue;
    }
    const ObjectMembers members(entry, {"path", "source"}, update.origin, problems);
    std::string source;
    // Both members are read so that both can be reported.
    const bool has_path = ReadString(members, "path", true, update.origin, update.path, problems);
    const bool has_source = ReadString(members, "source", true, update.origin, source, problems);
    const bool ok = has_path && has_source;
    if (!ok) continue;
    std::replace(update.path.begin(), update.path.end(), '/', '\\');
    update.source = base_dir / PathFromUtf8(source);
    package.updates.push_back(std::move(update));
  }
}

// 1-based line and column of byte `offset` in `text`, for parse errors.
std::string Position(std::string_view text, std::size_t offset) {
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// True for a name Windows opens as a device instead of a file: CON, PRN, AUX, NUL, COM1-COM9,
// LPT1-LPT9 (also with the superscript digits U+00B9, U+00B2 and U+00B3, which Windows counts as
// digits there), CONIN$ and CONOUT$, in any letter case, and any of them followed by blanks or
// an extension ("nul.txt", "com1 .log"): Windows looks only at the part before the first dot,
// trailing blanks dropped.
bool IsDeviceName(std::string_view name) {
  std::string base(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
      base == "CONOUT$") {
    return true;
  }
  if (base.size() < 4 || (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0)) {
    return false;
  }
  const std::string_view digit = std::string_view(base).substr(3);
  return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') ||
         digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

// Dotted numbers of 1 to 4 parts ("2", "1.4.0.12").
bool IsDottedVersion(std::string_view version) {
  std::size_t parts = 0;
  for (const std::string_view part : SplitAt(version, '.')) {
    if (part.empty() || part.find_first_not_of("0123456789") != std::string_view::npos) {
      return false;
    }
    ++parts;
  }
  return parts <= 4;
}

// Dot-separated SemVer identifiers: not empty, of [0-9A-Za-z-], and (`numbers_bare`) numeric
// ones without a leading zero.
bool AreSemVerIdentifiers(std::string_view text, bool numbers_bare) {
  static constexpr std::string_view kAllowed =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-";
  for (const std::string_view id : SplitAt(text, '.')) {
    if (id.empty() || id.find_first_not_of(kAllowed) != std::string_view::npos) return false;
    const bool numeric = id.find_first_not_of("0123456789") == std::string_view::npos;
    if (numbers_bare && numeric && id.size() > 1 && id[0] == '0') return false;
  }
  return true;
}

// MAJOR.MINOR.PATCH, optionally with "-prerelease" and "+build" (semver.org, 2.0.0).
bool IsSemVer(std::string_view version) {
  const std::size_t plus = version.find('+');
  if (plus != std::string_view::npos && !AreSemVerIdentifiers(version.substr(plus + 1), false)) {
    return false;
  }
  version = version.substr(0, plus);
  const std::size_t dash = version.find('-');
  if (dash != std::string_view::npos && !AreSemVerIdentifiers(version.substr(dash + 1), true)) {
    return false;
  }
  const std::string_view core = version.substr(0, dash);
  return AreSemVerIdentifiers(core, true) &&
         core.find_first_not_of("0123456789.") == std::string_view::npos &&
         SplitAt(core, '.').size() == 3;
}

// Registry keys that Windows and many programs share, below the Software key of a machine or a
// user (and its 32-bit view): a clean that names one of them, or any key above one, deletes
// what is not the package's own. Compared name by name, case ignored; ".*" stands for any file
// type (a name starting with a dot) and '#' for a digit.
constexpr std::u16string_view kSharedSoftwareKeys[] = {
    u"Microsoft\\Windows\\CurrentVersion\\Run",
    u"Microsoft\\Windows\\CurrentVersion\\RunOnce",
    u"Microsoft\\Windows\\CurrentVersion\\Uninstall",
    u"Microsoft\\Windows\\CurrentVersion\\App Paths",
    u"Microsoft\\Windows\\CurrentVersion\\Explorer",
    u"Microsoft\\Windows\\CurrentVersion\\Policies",
    u"Microsoft\\Windows\\CurrentVersion\\Shell Extensions",
    u"Microsoft\\Windows\\CurrentVersion\\Installer",
    u"Microsoft\\Windows NT\\CurrentVersion\\Winlogon",
    u"Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options",
    u"Microsoft\\Windows NT\\CurrentVersion\\Fonts",
    u"Microsoft\\Active Setup\\Installed Components",
    u"Microsoft\\Cryptography",
    u"Microsoft\\SystemCertificates",
    u"Microsoft\\.NETFramework",
    u"Policies\\Microsoft",
    u"Clients\\StartMenuInternet",
    u"RegisteredApplications",
    u"Classes",
    u"Wow6432Node",
};

// The same below a classes root (HKEY_CLASS_ROOT, or the Software\Classes key of a machine or
// a user): file types and what every program registers for them, COM's tables, and the shell's
// menus for all files, folders and drives.
constexpr std::u16string_view kSharedClassesKeys[] = {
    u".*\\OpenWithProgids",
    u".*\\OpenWithList",
    u".*\\ShellNew",
    u".*\\shellex",
    u".*\\PersistentHandler",
    u"*\\shell",
    u"*\\shellex\\ContextMenuHandlers",
    u"*\\shellex\\PropertySheetHandlers",
    u"AllFilesystemObjects\\shell",
    u"AllFilesystemObjects\\shellex\\ContextMenuHandlers",
    u"Directory\\shell",
    u"Directory\\shellex\\ContextMenuHandlers",
    u"Directory\\Background\\shell",
    u"Directory\\Background\\shellex\\ContextMenuHandlers",
    u"Folder\\shell",
    u"Folder\\shellex\\ContextMenuHandlers",
    u"Drive\\shell",
    u"Drive\\shellex\\ContextMenuHandlers",
    u"DesktopBackground\\Shell",
    u"SystemFileAssociations\\.*\\shell",
    u"Unknown\\shell",
    u"exefile\\shell",
    u"lnkfile\\shellex",
    u"http\\shell",
    u"https\\shell",
    u"mailto\\shell",
    u"CLSID",
    u"Interface",
    u"TypeLib",
    u"AppID",
    u"Applications",
    u"Component Categories",
    u"MIME\\Database\\Content Type",
    u"Protocols\\Handler",
    u"Wow6432Node",
};

// Shared keys of the machine's system hive and of the user's own hive outside Software.
constexpr std::u16string_view kSharedSystemKeys[] = {
    u"SYSTEM\\CurrentControlSet\\Services",
    u"SYSTEM\\CurrentControlSet\\Control",
    u"SYSTEM\\CurrentControlSet\\Enum",
    u"SYSTEM\\CurrentControlSet\\Hardware Profiles",
    u"SYSTEM\\ControlSet###\\Services",
    u"SYSTEM\\ControlSet###\\Control",
    u"SYSTEM\\ControlSet###\\Enum",
    u"SYSTEM\\Select",
    u"SYSTEM\\Setup",
    u"SYSTEM\\MountedDevices",
    u"SYSTEM\\DriverDatabase",
};
constexpr std::u16string_view kSharedUserKeys[] = {
    u"Control Panel\\Desktop",
    u"Control Panel\\International",
    u"Keyboard Layout\\Preload",
    u"AppEvents\\Schemes",
};

// Every shared key below `root`, as full paths below it.
std::vector<std::u16string> SharedKeys(RegistryRoot root) {
  std::vector<std::u16string> keys;
  const auto add = [&](std::u16string_view prefix, const auto& list) {
    for (const std::u16string_view key : list) {
      keys.push_back(std::u16string(prefix) + std::u16string(key));
    }
  };
  switch (root) {
    case RegistryRoot::LocalMachine:
      add(u"SOFTWARE\\", kSharedSoftwareKeys);
      add(u"SOFTWARE\\Wow6432Node\\", kSharedSoftwareKeys);
      add(u"SOFTWARE\\Classes\\", kSharedClassesKeys);
      add(u"SOFTWARE\\Wow6432Node\\Classes\\", kSharedClassesKeys);
      add(u"", kSharedSystemKeys);
      break;
    case RegistryRoot::CurrentUser:
      add(u"Software\\", kSharedSoftwareKeys);
      add(u"Software\\Classes\\", kSharedClassesKeys);
      add(u"", kSharedUserKeys);
      break;
    case RegistryRoot::ClassesRoot:
      add(u"", kSharedClassesKeys);
      add(u"Wow6432Node\\", kSharedClassesKeys);
      break;
    case RegistryRoot::CurrentConfig:
      break;
  }
  return keys;
}

// The names of a key path the way the registry reads it: split at backslashes, empty names
// (from doubled, leading or trailing backslashes) dropped.
std::vector<std::u16string_view> KeyNames(std::u16string_view key) {
  std::vector<std::u16string_view> names;
  for (const std::u16string_view name : SplitAt(key, u'\\')) {
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

// Whether key name `name` fits name `pattern` of a shared key (see kSharedSoftwareKeys).
bool MatchesSharedName(std::u16string_view name, std::u16string_view pattern) {
  if (pattern == u".*") return name.size() > 1 && name[0] == u'.';
  if (name.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (pattern[i] == u'#' ? !(name[i] >= u'0' && name[i] <= u'9')
                           : UpcaseUnit(name[i]) != UpcaseUnit(pattern[i])) {
      return false;
    }
  }
  return true;
}

// Names of `path` split at '/' and '\'.
std::vector<std::string_view> SplitPath(std::string_view path) {
  std::vector<std::string_view> names;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/' || path[i] == '\\') {
      names.push_back(path.substr(start, i - start));
      start = i + 1;
    }
  }
  return names;
}

// Names of a ComparablePath result; none for the install directory itself.
std::vector<std::u16string_view> ComparableNames(std::u16string_view path) {
  std::vector<std::u16string_view> names;
  if (path.empty()) return names;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == u'\\') {
      names.push_back(path.substr(start, i - start));
      start = i + 1;
    }
  }
  return names;
}

std::size_t LeadingUpNames(const std::vector<std::u16string_view>& names) {
  std::size_t n = 0;
  while (n < names.size() && names[n] == u"..") ++n;
  return n;
}

// The rules of the compatible run, which writes each file where it belongs without creating a
// folder, after the cleans: the folder must exist on the user's machine and survive the cleans.
// Removing a folder (in ComparablePath form) removes the folder of every path it is a proper
// prefix of, name by name; a folder of ".." names only (or the install directory itself) holds
// every path that climbs no higher than it does. Each update is looked up by its folders rather
// than compared with every clean, so that many updates and many cleans are checked in n log n;
// where several cleans remove an update's folder, the first of them is named.
void CheckCompatibleFolders(const std::vector<const PackageUpdate*>& updates,
                            const std::vector<const PackageClean*>& dir_cleans,
                            std::vector<Problem>& problems, std::vector<Problem>& warnings) {
  // Folders of real names, by their comparable path (the first clean of each); folders of ".."
  // names only (the install directory itself has none) by how many they climb.
  std::unordered_map<std::u16string, std::size_t> named;
  std::vector<std::pair<std::size_t, std::size_t>> up_only;  // (".." names, index)
  for (std::size_t k = 0; k < dir_cleans.size(); ++k) {
    std::u16string dir = ComparablePath(dir_cleans[k]->path);
    const std::vector<std::u16string_view> names = ComparableNames(dir);
    if (LeadingUpNames(names) == names.size()) {
      up_only.emplace_back(names.size(), k);
    } else {
      named.emplace(std::move(dir), k);
    }
  }
  // first_up[i]: the first clean among up_only[i...], sorted by how far they climb.
  std::sort(up_only.begin(), up_only.end());
  std::vector<std::size_t> first_up(up_only.size() + 1, dir_cleans.size());
  for (std::size_t i = up_only.size(); i-- > 0;) first_up[i] = std::min(first_up[i + 1], up_only[i].second);
  for (const PackageUpdate* update : updates) {
    const std::string what = update->origin + " " + Quoted(update->path);
    const std::u16string path = ComparablePath(update->path);
    const std::vector<std::u16string_view> names = ComparableNames(path);
    const auto climbs = std::lower_bound(up_only.begin(), up_only.end(),
                                         std::pair(LeadingUpNames(names), std::size_t{0}));
    std::size_t first = first_up[static_cast<std::size_t>(climbs - up_only.begin())];
    for (std::size_t k = 1; k < names.size(); ++k) {
      const std::size_t length = static_cast<std::size_t>(names[k - 1].data() - path.data()) + names[k - 1].size();
      const auto found = named.find(path.substr(0, length));
      if (found != named.end()) first = std::min(first, found->second);
    }
    if (first < dir_cleans.size()) {
      const PackageClean* removed = dir_cleans[first];
      problems.push_back({what, "the directory clean " + removed->origin + " " +
                                    Quoted(removed->path) +
                                    " removes its folder first, and the compatible stub creates "
                                    "no folders (the default safe mode does)"});
      continue;
    }
    if (names.size() > LeadingUpNames(names) + 1) {
      const std::string folder = update->path.substr(0, update->path.find_last_of("\\/"));
      warnings.push_back({what, "lies in folder " + Quoted(folder) +
                                    "; the compatible stub creates no folders, so this update "
                                    "fails where that folder is missing"});
    }
  }
}

}  // namespace

std::vector<EscapedNul> FindEscapedNuls(std::string_view json) {
  // Where the scan is: one frame per open object or array, with the member or element the
  // next value belongs to.
  struct Frame {
    bool object = false;
    bool expect_key = false;
    std::size_t index = 0;
    std::string_view key;
  };
  std::vector<Frame> frames;
  std::vector<EscapedNul> found;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (c == '"') {
      const std::size_t start = ++i;
      bool nul = false;
      for (; i < json.size() && json[i] != '"'; ++i) {
        if (json[i] != '\\') continue;
        // An escape is two characters (a \uXXXX's four digits hold no quote or backslash),
        // so "\\u0000" is a backslash and plain text.
        nul = nul || json.substr(i + 1, 5) == "u0000";
        ++i;
      }
      const std::string_view text = json.substr(start, i - start);
      const bool is_key = !frames.empty() && frames.back().object && frames.back().expect_key;
      if (is_key) frames.back().key = text;
      if (!nul) continue;
      EscapedNul at;
      for (std::size_t f = 0; f < frames.size(); ++f) {
        const Frame& frame = frames[f];
        if (!frame.object) {
          at.container += "[" + std::to_string(frame.index) + "]";
        } else if (f + 1 < frames.size()) {
          at.container += (at.container.empty() ? "" : ".") + std::string(frame.key);
        }
      }
      at.in_key = is_key;
      if (!frames.empty() && frames.back().object) at.member = std::string(frames.back().key);
      found.push_back(std::move(at));
    } else if (c == '{' || c == '[') {
      frames.push_back({c == '{', c == '{', 0, {}});
    } else if ((c == '}' || c == ']') && !frames.empty()) {
      frames.pop_back();
    } else if (c == ',' && !frames.empty()) {
      if (frames.back().object) {
        frames.back().expect_key = true;
      } else {
        ++frames.back().index;
      }
    } else if (c == ':' && !frames.empty()) {
      frames.back().expect_key = false;
    }
  }
  return found;
}

std::string DescribeEscapedNul(const EscapedNul& nul) {
  std::string where = nul.member.empty() ? "a string" : Quoted(nul.member);
  if (nul.in_key) where = "the key " + where;
  return where + " holds \\u0000, a NUL character, where the stub's reader ends the text";
}

fs::path PathFromUtf8(std::string_view utf8) {
  return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string PathToUtf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

bool ParsePackageDescription(std::string_view text, std::string_view label,
                             const fs::path& base_dir, Package& package,
                             std::vector<Problem>& problems) {
  const std::size_t before = problems.size();
  const std::string file(label);
  // Editors on Windows like to start UTF-8 files with a byte order mark.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  const char* end = nullptr;
  UniqueJson root(cJSON_ParseWithLengthOpts(text.data(), text.size(), &end, false));
  if (root == nullptr) {
    const std::size_t at = end != nullptr ? static_cast<std::size_t>(end - text.data()) : 0;
    problems.push_back({file, "not valid JSON near " + Position(text, at)});
    return false;
  }
  for (const char* p = end; p != nullptr && p < text.data() + text.size(); ++p) {
    if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') {
      problems.push_back({file, "text after the JSON object at " +
                                    Position(text, static_cast<std::size_t>(p - text.data()))});
      return false;
    }
  }
  if (!cJSON_IsObject(root.get())) {
    problems.push_back({file, "must hold one JSON object"});
    return false;
  }
  // cJSON keeps a decoded NUL in its C strings, so every value holding one reads cut short.
  const std::vector<EscapedNul> nuls = FindEscapedNuls(text);
  for (const EscapedNul& nul : nuls) {
    problems.push_back({nul.container.empty() ? file : file + ": " + nul.container,
                        DescribeEscapedNul(nul) + "; remove it"});
  }
  if (!nuls.empty()) return false;
  const ObjectMembers members(root.get(), {"version", "launcher", "cleans", "updates", "product",
                                           "company", "description", "copyright", "icon"},
                              file, problems);
  ReadString(members, "version", true, file, package.version, problems);
  ReadString(members, "launcher", false, file, package.launcher, problems);
  PackageIdentity& identity = package.identity;
  ReadString(members, "product", false, file, identity.product, problems);
  ReadString(members, "company", false, file, identity.company, problems);
  ReadString(members, "description", false, file, identity.description, problems);
  ReadString(members, "copyright", false, file, identity.copyright, problems);
  std::string icon;
  if (ReadString(members, "icon", false, file, icon, problems) && members.Get("icon") != nullptr) {
    if (icon.empty()) {
      problems.push_back({file, "\"icon\" must name an .ico file"});
    } else {
      identity.icon = base_dir / PathFromUtf8(icon);
    }
  }
  const cJSON* cleans = members.Get("cleans");
  if (cleans != nullptr && !cJSON_IsArray(cleans)) {
    problems.push_back({file, "\"cleans\" must be an array"});
  } else if (cleans != nullptr) {
    ReadCleans(cleans, file, package, problems);
  }
  const cJSON* updates = members.Get("updates");
  if (updates != nullptr && !cJSON_IsArray(updates)) {
    problems.push_back({file, "\"updates\" must be an array"});
  } else if (updates != nullptr) {
    ReadUpdates(updates, file, base_dir, package, problems);
  }
  return problems.size() == before;
}

namespace {

// True when `path` ('/' between names) matches `glob` as FolderFilter describes. A table of
// (glob position, path position) pairs already tried keeps any glob linear in the path.
bool MatchesGlob(std::string_view glob, std::string_view path) {
  std::vector<char> failed((glob.size() + 1) * (path.size() + 1), 0);
  const auto match = [&](const auto& self, std::size_t g, std::size_t p) -> bool {
    char& seen = failed[g * (path.size() + 1) + p];
    if (seen) return false;
    bool ok = false;
    if (g == glob.size()) {
      ok = p == path.size();
    } else if (glob.compare(g, 2, "**") == 0) {
      // "**/" may stand for no folder at all.
      if (g + 2 < glob.size() && glob[g + 2] == '/' && self(self, g + 3, p)) return true;
      for (std::size_t q = p; q <= path.size() && !ok; ++q) ok = self(self, g + 2, q);
    } else if (glob[g] == '*') {
      for (std::size_t q = p; q <= path.size() && !ok; ++q) {
        ok = self(self, g + 1, q);
        if (q < path.size() && path[q] == '/') break;
      }
    } else if (p < path.size() && path[p] != '/' && glob[g] == '?') {
      ok = self(self, g + 1, p + 1);
    } else if (p < path.size() && FoldAscii(glob[g]) == FoldAscii(path[p])) {
      ok = self(self, g + 1, p + 1);
    }
    if (!ok) seen = 1;
    return ok;
  };
  return match(match, 0, 0);
}

// True when `filter` leaves out the file or folder at `relative` ('/' between names).
bool IsExcluded(const FolderFilter& filter, const std::string& relative) {
  const std::size_t slash = relative.rfind('/');
  const std::string_view name =
      slash == std::string::npos ? std::string_view(relative) : std::string_view(relative).substr(slash + 1);
  for (const std::string& glob : filter.excludes) {
    const bool by_name = glob.find('/') == std::string::npos;
    if (MatchesGlob(glob, by_name ? name : std::string_view(relative))) return true;
  }
  return false;
}

// One folder of AddFolderFiles and, through itself, every folder under it. `ancestors` are the
// canonical paths of the folders from the root down to `folder`, to catch a link back up.
void AddFolder(const fs::path& folder, const std::string& prefix, const FolderFilter& filter,
               std::vector<fs::path>& ancestors, std::vector<PackageUpdate>& found,
               std::vector<Problem>& problems) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::u8string name = it->path().filename().u8string();
    std::string path = prefix + std::string(reinterpret_cast<const char*>(name.data()), name.size());
    if (IsExcluded(filter, path)) continue;
    const std::string what = filter.label + " " + Quoted(path);
    std::error_code status_ec;
    const bool link = it->is_symlink(status_ec);
    const fs::file_status status = fs::status(it->path(), status_ec);
    if (link && !fs::exists(status)) {
      problems.push_back({what, "a symbolic link to nothing"});
      continue;
    }
    if (status_ec) {
      problems.push_back({what, status_ec.message()});
      continue;
    }
    if (fs::is_directory(status)) {
      const fs::path real = fs::canonical(it->path(), status_ec);
      if (status_ec) {
        problems.push_back({what, status_ec.message()});
        continue;
      }
      if (std::find(ancestors.begin(), ancestors.end(), real) != ancestors.end()) {
        problems.push_back({what, "a symbolic link to a folder that contains it (a loop); "
                                  "--exclude it or remove the link"});
        continue;
      }
      ancestors.push_back(real);
      AddFolder(it->path(), path + "/", filter, ancestors, found, problems);
      ancestors.pop_back();
      continue;
    }
    if (!fs::is_regular_file(status)) {
      problems.push_back({what, "not a regular file"});
      continue;
    }
    bool skipped = false;
    for (const fs::path& skip : filter.skip_files) {
      skipped = skipped || (fs::equivalent(it->path(), skip, status_ec) && !status_ec);
    }
    if (skipped) continue;
#ifndef _WIN32
    // On Windows a backslash is a separator; in a Unix file name it would become one.
    if (path.find('\\') != std::string::npos) {
      problems.push_back({what, "a backslash in a file name"});
      continue;
    }
#endif
    std::replace(path.begin(), path.end(), '/', '\\');
    found.push_back({std::move(path), it->path(), filter.label});
  }
  if (ec) problems.push_back({filter.label + " " + Quoted(PathToUtf8(folder)), ec.message()});
}

}  // namespace

FolderFilter DefaultFolderFilter() {
  FolderFilter filter;
  filter.excludes = {".git", ".svn", ".hg", "Thumbs.db", ".DS_Store"};
  return filter;
}

bool AddFolderFiles(const fs::path& dir, const FolderFilter& filter, Package& package,
                    std::vector<Problem>& problems) {
  const std::size_t before = problems.size();
  const std::string what = filter.label + " " + Quoted(PathToUtf8(dir));
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    problems.push_back({what, ec ? ec.message() : "not a folder"});
    return false;
  }
  std::vector<fs::path> ancestors = {fs::canonical(dir, ec)};
  if (ec) {
    problems.push_back({what, ec.message()});
    return false;
  }
  // Only files that exist can be met in the folder; comparing with the others would cost a
  // look-up per file for nothing.
  FolderFilter existing = filter;
  std::erase_if(existing.skip_files, [](const fs::path& file) {
    std::error_code missing;
    return !fs::exists(file, missing);
  });
  // Globs as people write them on either system: "logs\*.txt", "./logs/", "build/".
  for (std::string& glob : existing.excludes) {
    std::replace(glob.begin(), glob.end(), '\\', '/');
    while (glob.starts_with("./")) glob.erase(0, 2);
    while (glob.size() > 1 && glob.back() == '/') glob.pop_back();
  }
  std::vector<PackageUpdate> found;
  AddFolder(dir, "", existing, ancestors, found, problems);
  if (problems.size() != before) return false;
  std::sort(found.begin(), found.end(),
            [](const PackageUpdate& a, const PackageUpdate& b) { return a.path < b.path; });
  for (PackageUpdate& update : found) package.updates.push_back(std::move(update));
  return true;
}

bool CheckInstallPath(std::string_view path, bool names_file, bool allow_outside,
                      std::string& why) {
  if (path.empty()) {
    why = "empty path";
    return false;
  }
  if (!IsValidUtf8(path)) {
    why = "not valid UTF-8";
    return false;
  }
  if (path[0] == '\\' || path[0] == '/') {
    why = "absolute path; every path is relative to the install directory";
    return false;
  }
  if (path.find(':') != std::string_view::npos) {
    why = "a drive letter or ':' cannot be part of a path under the install directory";
    return false;
  }
  for (const char c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || std::string_view("<>\"|?*").find(c) != std::string_view::npos) {
      static const char digits[] = "0123456789abcdef";
      const unsigned char u = static_cast<unsigned char>(c);
      why = std::string("character ") +
            (u < 0x20 ? std::string("0x") + digits[u >> 4] + digits[u & 15] : Quoted(std::string(1, c))) +
            " is not allowed in Windows file names";
      return false;
    }
  }
  int depth = 0;
  const std::vector<std::string_view> names = SplitPath(path);
  for (const std::string_view name : names) {
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (--depth < 0 && !allow_outside) {
        why = "leads out of the install directory with \"..\" (--allow-outside permits this)";
        return false;
      }
      continue;
    }
    if (name.back() == '.' || name.back() == ' ') {
      why = "the name " + Quoted(name) + " ends in a dot or a space, which Windows drops";
      return false;
    }
    if (IsDeviceName(name)) {
      why = "the name " + Quoted(name) + " is a device in Windows, not a file or folder (CON, PRN, "
            "AUX, NUL, COM1-COM9, LPT1-LPT9, CONIN$ and CONOUT$, with any extension)";
      return false;
    }
    ++depth;
  }
  const std::string_view last = names.back();
  if (names_file && (last.empty() || last == "." || last == "..")) {
    why = "does not end in a file name";
    return false;
  }
  if (depth <= 0 && !allow_outside) {
    why = "names the install directory itself (--allow-outside permits this)";
    return false;
  }
  return true;
}

bool CheckRegistryPath(std::string_view path, std::string& why) {
  const std::u16string wide = Utf8ToUtf16(path);
  const RegistryRootMatch match = MatchRegistryRoot(wide);
  if (!match.found) {
    why = "unknown registry root; the stub knows";
    for (const RegistryRootName& row : kRegistryRootNames) {
      const char* joint = &row == std::begin(kRegistryRootNames)       ? " "
                          : &row == std::end(kRegistryRootNames) - 1 ? " and "
                                                                       : ", ";
      why += joint + Utf16ToUtf8(row.name);
    }
    if (StartsWithIgnoringAsciiCase(path, "HKEY_CLASSES_ROOT")) {
      why += " (it spells the classes root HKEY_CLASS_ROOT)";
    }
    return false;
  }
  // The root names are ASCII: as many bytes as code units.
  const std::size_t root_size = match.subkey_start - 1;
  const std::string root(path.substr(0, root_size));
  // The stub skips one character after the root without looking at it; only a backslash
  // makes that character a separator.
  if (path.size() == root_size || path[root_size] != '\\') {
    why = root + " must be followed by a backslash and a key path";
    return false;
  }
  const std::string_view key = path.substr(match.subkey_start);
  if (key.find_first_not_of('\\') == std::string_view::npos) {
    why = "names no key under " + root;
    return false;
  }
  if (!IsValidUtf8(key)) {
    why = "not valid UTF-8";
    return false;
  }
  if (wide.size() - match.subkey_start > kMaxKeyPathLength) {
    why = "key path longer than " + std::to_string(kMaxKeyPathLength) + " characters";
    return false;
  }
  return true;
}

bool CheckRegistryCleanScope(std::string_view path, std::string& why) {
  const std::u16string wide = Utf8ToUtf16(path);
  const RegistryRootMatch match = MatchRegistryRoot(wide);
  if (!match.found || wide.size() <= match.subkey_start) return true;  // CheckRegistryPath's
  const std::string root = Utf16ToUtf8(std::u16string_view(wide).substr(0, match.subkey_start - 1));
  const std::vector<std::u16string_view> names =
      KeyNames(std::u16string_view(wide).substr(match.subkey_start));
  if (names.size() < 2) {
    why = "a key less than two levels below " + root +
          " holds the settings of many programs, and the stub deletes it with everything below "
          "it";
    return false;
  }
  for (const std::u16string& shared : SharedKeys(match.root)) {
    const std::vector<std::u16string_view> shared_names = KeyNames(shared);
    if (names.size() > shared_names.size()) continue;
    bool within = true;
    for (std::size_t i = 0; i < names.size() && within; ++i) {
      within = MatchesSharedName(names[i], shared_names[i]);
    }
    if (!within) continue;
    if (names.size() == shared_names.size()) {
      why = "Windows and other programs share this key, and the stub deletes it with everything "
            "below it";
    } else {
      std::string below;
      for (std::size_t i = names.size(); i < shared_names.size(); ++i) {
        below += (below.empty() ? "" : "\\") + Utf16ToUtf8(shared_names[i]);
      }
      why = "the key holds " + Quoted(below) +
            ", which Windows and other programs share, and the stub deletes it with everything "
            "below it";
    }
    return false;
  }
  return true;
}

bool CheckLauncher(std::string_view launcher, bool allow_outside, std::string& why) {
  static constexpr std::string_view kExact =
      "; the stub starts the file of exactly this name in the install directory and passes it no "
      "arguments";
  if (launcher.front() == ' ' || launcher.back() == ' ') {
    why = "starts or ends with a blank" + std::string(kExact);
    return false;
  }
  if (launcher.find('"') != std::string_view::npos) {
    why = "holds quotes" + std::string(kExact);
    return false;
  }
  if (launcher.find(" -") != std::string_view::npos ||
      launcher.find(" /") != std::string_view::npos) {
    why = "reads as a command line with arguments" + std::string(kExact);
    return false;
  }
  return CheckInstallPath(launcher, true, allow_outside, why);
}

std::string FileSizeLimitText() {
  static_assert(kMaxFileSize == (std::uint64_t{2} << 30) - (std::uint64_t{1} << 20));
  return "a file can be at most " + std::to_string(kMaxFileSize) +
         " bytes (2 GiB - 1 MiB), the most whose stream always fits the 31 bits the stub's "
         "manifest has for its size";
}

std::u16string ComparablePath(std::string_view path) {
  std::vector<std::string_view> kept;
  for (const std::string_view name : SplitPath(path)) {
    if (name.empty() || name == ".") continue;
    if (name == ".." && !kept.empty() && kept.back() != "..") {
      kept.pop_back();
    } else {
      kept.push_back(name);
    }
  }
  std::u16string out;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) out.push_back(u'\\');
    for (const char16_t c : Utf8ToUtf16(kept[i])) out.push_back(UpcaseUnit(c));
  }
  return out;
}

bool ValidatePackage(const Package& package, bool allow_outside, UpdateMode mode,
                     std::vector<Problem>& problems, std::vector<Problem>& warnings,
                     bool allow_broad_clean) {
  const std::size_t before = problems.size();
  std::string why;
  if (package.version.empty()) {
    problems.push_back({"version", "empty; give the version this update installs"});
  } else if (!IsValidUtf8(package.version)) {
    problems.push_back({"version", "not valid UTF-8"});
  } else if (!IsDottedVersion(package.version) && !IsSemVer(package.version)) {
    warnings.push_back({"version " + Quoted(package.version),
                        "neither dotted numbers (1 to 4 parts, such as 1.4.0.12) nor a SemVer "
                        "version (such as 1.4.0-beta.2), so tools that compare versions may not "
                        "order it"});
  }
  const std::string launcher_what = "launcher " + Quoted(package.launcher);
  bool good_launcher = !package.launcher.empty();
  if (good_launcher && !CheckLauncher(package.launcher, allow_outside, why)) {
    problems.push_back({launcher_what, why});
    good_launcher = false;
  }
  std::vector<const PackageClean*> dir_cleans, path_cleans;
  for (const PackageClean& clean : package.cleans) {
    const std::string what = clean.origin + " " + Quoted(clean.path);
    const bool ok = clean.kind == CleanKind::Registry
                        ? CheckRegistryPath(clean.path, why)
                        : CheckInstallPath(clean.path, clean.kind == CleanKind::File,
                                           allow_outside, why);
    if (!ok) {
      problems.push_back({what, why});
    } else if (clean.kind == CleanKind::Registry) {
      if (!CheckRegistryCleanScope(clean.path, why)) {
        if (allow_broad_clean) {
          warnings.push_back({what, why + "; packed as --allow-broad-clean asks"});
        } else {
          problems.push_back({what, why + " (--allow-broad-clean permits this)"});
        }
      }
    } else {
      path_cleans.push_back(&clean);
      if (clean.kind == CleanKind::Dir) dir_cleans.push_back(&clean);
    }
  }
  if (package.updates.empty()) {
    problems.push_back({"updates", "nothing to deliver: no update entries (the stub refuses a "
                                   "manifest without any)"});
  }
  std::map<std::u16string, const PackageUpdate*> seen;
  std::vector<const PackageUpdate*> good_paths;
  for (const PackageUpdate& update : package.updates) {
    const std::string what = update.origin + " " + Quoted(update.path);
    if (!CheckInstallPath(update.path, true, allow_outside, why)) {
      problems.push_back({what, why});
      continue;
    }
    good_paths.push_back(&update);
    const auto [it, inserted] = seen.emplace(ComparablePath(update.path), &update);
    if (!inserted) {
      problems.push_back({what, "same file as " + it->second->origin + " " +
                                    Quoted(it->second->path) + " (paths are compared ignoring case)"});
    }
    const std::string source = Quoted(PathToUtf8(update.source));
    std::error_code ec;
    const fs::file_status status = fs::status(update.source, ec);
    if (!fs::exists(status)) {
      problems.push_back({what, "source " + source + " not found"});
    } else if (!fs::is_regular_file(status)) {
      problems.push_back({what, "source " + source + " is not a file"});
    } else if (const std::uintmax_t size = fs::file_size(update.source, ec); ec) {
      problems.push_back({what, "source " + source + ": " + ec.message()});
    } else if (size == 0 && mode == UpdateMode::Compatible) {
      problems.push_back({what, "source " + source +
                                    " is empty; an empty file cannot be delivered (the stub "
                                    "refuses an empty payload)"});
    } else if (size > kMaxFileSize) {
      // Refused before a byte of it is read.
      problems.push_back({what, "source " + source + " has " + std::to_string(size) + " bytes; " +
                                    FileSizeLimitText()});
    }
  }
  // A file and a folder of one name: the second cannot be made where the first is.
  for (const PackageUpdate* update : good_paths) {
    const std::u16string path = ComparablePath(update->path);
    for (std::size_t at = path.find(u'\\'); at != std::u16string::npos;
         at = path.find(u'\\', at + 1)) {
      const auto file = seen.find(path.substr(0, at));
      if (file == seen.end()) continue;
      problems.push_back({update->origin + " " + Quoted(update->path),
                          "its folder is the file of " + file->second->origin + " " +
                              Quoted(file->second->path) +
                              "; Windows cannot hold a file and a folder of one name"});
      break;
    }
  }
  if (good_launcher && seen.count(ComparablePath(package.launcher)) == 0) {
    // Cleans run before the updates are written: a launcher no update delivers must survive them.
    const std::u16string launcher = ComparablePath(package.launcher);
    const PackageClean* removed = nullptr;
    for (const PackageClean* clean : path_cleans) {
      const std::u16string target = ComparablePath(clean->path);
      const bool holds =
          clean->kind == CleanKind::Dir &&
          (target.empty() || launcher.compare(0, target.size() + 1, target + u'\\') == 0);
      if (target == launcher || holds) {
        removed = clean;
        break;
      }
    }
    if (removed != nullptr) {
      problems.push_back({launcher_what, "the clean " + removed->origin + " " +
                                             Quoted(removed->path) +
                                             " removes it and no update delivers it, so the stub "
                                             "would have nothing to start"});
    } else {
      warnings.push_back({launcher_what, "no update delivers it; the stub starts it only where "
                                         "it is already installed"});
    }
  }
  if (mode == UpdateMode::Compatible) {
    CheckCompatibleFolders(good_paths, dir_cleans, problems, warnings);
  }
  return problems.size() == before;
}

bool ReadPreviousRelease(const fs::path& old_dir, Package& release, std::vector<Problem>& problems) {
  FolderFilter filter = DefaultFolderFilter();
  filter.label = "--previous";
  return AddFolderFiles(old_dir, filter, release, problems);
}

bool AddPreviousReleaseCleans(const fs::path& old_dir, Package& package,
                              std::vector<PackageClean>& added, std::vector<Problem>& problems,
                              std::vector<fs::path>* previous_sources) {
  Package old;
  if (!ReadPreviousRelease(old_dir, old, problems)) return false;
  // The new release's files and every folder that holds one, and what the package cleans itself.
  std::set<std::u16string> new_files, new_folders, cleaned;
  for (const PackageUpdate& update : package.updates) {
    const std::u16string path = ComparablePath(update.path);
    new_files.insert(path);
    for (std::size_t slash = path.find(u'\\'); slash != std::u16string::npos;
         slash = path.find(u'\\', slash + 1)) {
      new_folders.insert(path.substr(0, slash));
    }
  }
  for (const PackageClean& clean : package.cleans) cleaned.insert(ComparablePath(clean.path));
  if (previous_sources != nullptr) {
    std::map<std::u16string, const fs::path*> old_files;
    for (const PackageUpdate& file : old.updates) old_files.emplace(ComparablePath(file.path), &file.source);
    previous_sources->clear();
    for (const PackageUpdate& update : package.updates) {
      const auto found = old_files.find(ComparablePath(update.path));
      previous_sources->push_back(found == old_files.end() ? fs::path() : *found->second);
    }
  }
  for (const PackageUpdate& file : old.updates) {
    if (new_files.count(ComparablePath(file.path)) != 0) continue;
    // The file goes, or with it the outermost of its folders that the release no longer has (a
    // directory clean removes everything below it).
    PackageClean clean{file.path, CleanKind::File, true, "--previous"};
    for (std::size_t slash = file.path.find('\\'); slash != std::string::npos;
         slash = file.path.find('\\', slash + 1)) {
      if (new_folders.count(ComparablePath(file.path.substr(0, slash))) == 0) {
        clean = {file.path.substr(0, slash), CleanKind::Dir, true, "--previous"};
        break;
      }
    }
    if (!cleaned.insert(ComparablePath(clean.path)).second) continue;
    package.cleans.push_back(clean);
    added.push_back(std::move(clean));
  }
  return true;
}

}  // namespace boot
