#include "bootpack/package.h"

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "bootstrapper/payload/payload_rules.h"
#include "cJSON.h"

namespace boot {
namespace fs = std::filesystem;

namespace {

struct JsonDeleter {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using UniqueJson = std::unique_ptr<cJSON, JsonDeleter>;

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
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
      if (EqualsIgnoringAsciiCase(type, "file")) {
        clean.kind = CleanKind::File;
      } else if (EqualsIgnoringAsciiCase(type, "dir")) {
        clean.kind = CleanKind::Dir;
      } else if (EqualsIgnoringAsciiCase(type, "registry")) {
        clean.kind = CleanKind::Registry;
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

char16_t FoldCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
      (c >= 0x430 && c <= 0x44F)) {
    return static_cast<char16_t>(c - 0x20);
  }
  if (c == 0xFF) return 0x178;
  if (c == 0x3C2) return 0x3A3;  // final sigma
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  // Latin Extended-A pairs: upper case on even code points, except two runs on odd ones.
  const bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
  if (c >= 0x100 && c <= 0x17E && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149) {
    const bool lower = odd_upper ? (c % 2 == 0) : (c % 2 == 1);
    if (lower) return static_cast<char16_t>(c - 1);
  }
  return c;
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

bool AddFolderFiles(const fs::path& dir, Package& package, std::vector<Problem>& problems) {
  const std::size_t before = problems.size();
  const std::string what = "--from " + Quoted(PathToUtf8(dir));
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    problems.push_back({what, ec ? ec.message() : "not a folder"});
    return false;
  }
  std::vector<PackageUpdate> found;
  fs::recursive_directory_iterator it(dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::u8string relative = it->path().lexically_relative(dir).generic_u8string();
    std::string path(reinterpret_cast<const char*>(relative.data()), relative.size());
    std::error_code status_ec;
    if (it->is_directory(status_ec)) continue;
    if (!it->is_regular_file(status_ec)) {
      problems.push_back({"--from " + Quoted(path), "not a regular file"});
      continue;
    }
#ifndef _WIN32
    // On Windows a backslash is a separator; in a Unix file name it would become one.
    if (path.find('\\') != std::string::npos) {
      problems.push_back({"--from " + Quoted(path), "a backslash in a file name"});
      continue;
    }
#endif
    std::replace(path.begin(), path.end(), '/', '\\');
    found.push_back({std::move(path), it->path(), "--from"});
  }
  if (ec) {
    problems.push_back({what, ec.message()});
    return false;
  }
  std::sort(found.begin(), found.end(),
            [](const PackageUpdate& a, const PackageUpdate& b) { return a.path < b.path; });
  for (PackageUpdate& update : found) {
    update.origin = "--from";
    package.updates.push_back(std::move(update));
  }
  return problems.size() == before;
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
  static constexpr std::string_view kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",
                                                "HKEY_CLASS_ROOT", "HKEY_CURRENT_CONFIG"};
  std::string_view root;
  for (const std::string_view candidate : kRoots) {
    if (StartsWithIgnoringAsciiCase(path, candidate)) {
      root = candidate;
      break;
    }
  }
  if (root.empty()) {
    why = "unknown registry root; the stub knows HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, "
          "HKEY_CLASS_ROOT and HKEY_CURRENT_CONFIG";
    if (StartsWithIgnoringAsciiCase(path, "HKEY_CLASSES_ROOT")) {
      why += " (it spells the classes root HKEY_CLASS_ROOT)";
    }
    return false;
  }
  // The stub skips one character after the root without looking at it; only a backslash
  // makes that character a separator.
  if (path.size() == root.size() || path[root.size()] != '\\') {
    why = std::string(root) + " must be followed by a backslash and a key path";
    return false;
  }
  const std::string_view key = path.substr(root.size() + 1);
  if (key.find_first_not_of('\\') == std::string_view::npos) {
    why = "names no key under " + std::string(root);
    return false;
  }
  if (!IsValidUtf8(key)) {
    why = "not valid UTF-8";
    return false;
  }
  // The stub copies the key path into a buffer of 519 characters and a terminator; a longer
  // one would be cut short and name a different key.
  if (Utf8ToUtf16(key).size() > 519) {
    why = "key path longer than 519 characters";
    return false;
  }
  return true;
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
    for (const char16_t c : Utf8ToUtf16(kept[i])) out.push_back(FoldCase(c));
  }
  return out;
}

bool ValidatePackage(const Package& package, bool allow_outside, UpdateMode mode,
                     std::vector<Problem>& problems, std::vector<Problem>& warnings) {
  const std::size_t before = problems.size();
  std::string why;
  if (!IsValidUtf8(package.version)) problems.push_back({"version", "not valid UTF-8"});
  if (!package.launcher.empty() &&
      !CheckInstallPath(package.launcher, true, allow_outside, why)) {
    problems.push_back({"launcher " + Quoted(package.launcher), why});
  }
  std::vector<const PackageClean*> dir_cleans;
  for (const PackageClean& clean : package.cleans) {
    const bool ok = clean.kind == CleanKind::Registry
                        ? CheckRegistryPath(clean.path, why)
                        : CheckInstallPath(clean.path, clean.kind == CleanKind::File,
                                           allow_outside, why);
    if (!ok) {
      problems.push_back({clean.origin + " " + Quoted(clean.path), why});
    } else if (clean.kind == CleanKind::Dir) {
      dir_cleans.push_back(&clean);
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
  if (mode == UpdateMode::Compatible) {
    CheckCompatibleFolders(good_paths, dir_cleans, problems, warnings);
  }
  return problems.size() == before;
}

}  // namespace boot
