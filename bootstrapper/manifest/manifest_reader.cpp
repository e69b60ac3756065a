#include <algorithm>
#include <iterator>
#include <memory>

#include "bootstrapper/manifest/manifest.h"
#include "cJSON.h"

namespace boot {
namespace {

struct JsonDeleter {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using UniqueJson = std::unique_ptr<cJSON, JsonDeleter>;

// ASCII-only case-insensitive comparison, like _stricmp in the "C" locale.
bool EqualsIgnoringAsciiCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
    if (x == 0) return true;
  }
}

// The member's string value (up to its first zero byte) as UTF-16, or false when the member is
// missing or not a string. cJSON_GetObjectItem ignores letter case and takes the first match.
bool ReadString(const cJSON* object, const char* key, std::u16string& out) {
  const cJSON* item = cJSON_GetObjectItem(object, key);
  if (!cJSON_IsString(item) || item->valuestring == nullptr) return false;
  out = Utf8ToUtf16(item->valuestring);
  return true;
}

// The member's integer value: cJSON truncates toward zero and clamps to the int range.
bool ReadInt(const cJSON* object, const char* key, std::int32_t& out) {
  const cJSON* item = cJSON_GetObjectItem(object, key);
  if (!cJSON_IsNumber(item)) return false;
  out = item->valueint;
  return true;
}

// The optional "sha256" member: absent is fine, anything but 64 hex digits is not.
bool ReadSha256(const cJSON* object, UpdateTask& task) {
  const cJSON* item = cJSON_GetObjectItem(object, "sha256");
  if (item == nullptr) return true;
  if (!cJSON_IsString(item) || item->valuestring == nullptr) return false;
  task.has_sha256 = ParseSha256Hex(item->valuestring, task.sha256);
  return task.has_sha256;
}

// The optional "from_sha256" member of a safe update: a patch needs a payload to rebuild from.
bool ReadPatchBase(const cJSON* object, UpdateTask& task) {
  const cJSON* item = cJSON_GetObjectItem(object, "from_sha256");
  if (item == nullptr) return true;
  task.is_patch = cJSON_IsString(item) && item->valuestring != nullptr &&
                  ParseSha256Hex(item->valuestring, task.from_sha256);
  return task.is_patch && task.size > 0;
}

// The optional "unchanged" array of a safe manifest: {"path", "sha256"} objects.
bool ReadUnchangedFiles(const cJSON* root, std::vector<UnchangedFile>& out) {
  const cJSON* array = cJSON_GetObjectItem(root, "unchanged");
  if (array == nullptr) return true;
  if (!cJSON_IsArray(array)) return false;
  std::vector<UnchangedFile> files;
  files.reserve(static_cast<std::size_t>(cJSON_GetArraySize(array)));
  for (const cJSON* entry = array->child; entry != nullptr; entry = entry->next) {
    UnchangedFile file;
    const cJSON* sha256 = cJSON_GetObjectItem(entry, "sha256");
    if (!cJSON_IsObject(entry) || !ReadString(entry, "path", file.path) || file.path.empty() ||
        !cJSON_IsString(sha256) || sha256->valuestring == nullptr ||
        !ParseSha256Hex(sha256->valuestring, file.sha256)) {
      return false;
    }
    files.push_back(std::move(file));
  }
  out = std::move(files);
  return true;
}

bool ReadCleanTasks(const cJSON* array, std::vector<CleanTask>& out) {
  std::vector<CleanTask> tasks;
  tasks.reserve(static_cast<std::size_t>(cJSON_GetArraySize(array)));
  // One walk of the children: indexing them one by one would be quadratic.
  for (const cJSON* entry = array->child; entry != nullptr; entry = entry->next) {
    if (!cJSON_IsObject(entry)) return false;
    CleanTask task;
    if (!ReadString(entry, "path", task.path) || task.path.empty()) return false;
    const cJSON* fail_ok = cJSON_GetObjectItem(entry, "fail_ok");
    if (!cJSON_IsBool(fail_ok)) return false;
    task.fail_ok = cJSON_IsTrue(fail_ok);
    const cJSON* type = cJSON_GetObjectItem(entry, "type");
    if (!cJSON_IsString(type) || type->valuestring == nullptr) return false;
    const CleanTypeName* kind = std::find_if(
        std::begin(kCleanTypeNames), std::end(kCleanTypeNames),
        [&](const CleanTypeName& row) {
          return EqualsIgnoringAsciiCase(type->valuestring, row.name);
        });
    if (kind == std::end(kCleanTypeNames)) return false;
    task.kind = kind->kind;
    tasks.push_back(std::move(task));
  }
  out = std::move(tasks);
  return true;
}

bool ReadUpdateTasks(const cJSON* array, bool safe, std::vector<UpdateTask>& out) {
  std::vector<UpdateTask> tasks;
  tasks.reserve(static_cast<std::size_t>(cJSON_GetArraySize(array)));
  for (const cJSON* entry = array->child; entry != nullptr; entry = entry->next) {
    if (!cJSON_IsObject(entry)) return false;
    UpdateTask task;
    std::int32_t size = 0;
    if (!ReadString(entry, "path", task.path) || task.path.empty()) return false;
    if (!ReadInt(entry, "size", size) || !ReadInt(entry, "rtype", task.rtype) ||
        !ReadInt(entry, "rid", task.rid)) {
      return false;
    }
    task.size = size;  // sign-extended
    if (!ReadSha256(entry, task)) return false;
    // The safe run verifies every file it writes, and reads a size of 0 as an empty file.
    if (safe && (!task.has_sha256 || task.size < 0)) return false;
    if (safe && !ReadPatchBase(entry, task)) return false;
    tasks.push_back(std::move(task));
  }
  out = std::move(tasks);
  return true;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseSha256Hex(std::string_view text, Sha256Digest& out) {
  if (text.size() != 64) return false;
  Sha256Digest bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = HexDigitValue(text[2 * i]), low = HexDigitValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  out = bytes;
  return true;
}

UpdateManifest ReadUpdateManifest(std::string_view text) {
  if (text.empty()) return {};
  UniqueJson root(cJSON_ParseWithLength(text.data(), text.size()));
  if (!cJSON_IsObject(root.get())) return {};

  UpdateManifest manifest;
  if (!ReadString(root.get(), "version", manifest.version)) return {};
  // A launcher of any other JSON type is simply no launcher.
  if (!ReadString(root.get(), "launcher", manifest.launcher)) manifest.launcher.clear();

  // Optional; only true or false. Any other type is a typo that must not silently give the
  // unprotected run.
  if (const cJSON* safe = cJSON_GetObjectItem(root.get(), "safe")) {
    if (!cJSON_IsBool(safe)) return {};
    manifest.safe = cJSON_IsTrue(safe);
  }

  const cJSON* cleans = cJSON_GetObjectItem(root.get(), "cleans");
  if (!cJSON_IsArray(cleans) || !ReadCleanTasks(cleans, manifest.cleans)) return {};
  const cJSON* updates = cJSON_GetObjectItem(root.get(), "updates");
  if (!cJSON_IsArray(updates) || !ReadUpdateTasks(updates, manifest.safe, manifest.updates) ||
      manifest.updates.empty()) {
    return {};
  }
  if (manifest.safe && !ReadUnchangedFiles(root.get(), manifest.unchanged)) return {};
  manifest.valid = true;
  return manifest;
}

}  // namespace boot
