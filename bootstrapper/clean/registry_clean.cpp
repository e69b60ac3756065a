#include "bootstrapper/clean/registry_clean.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "bootstrapper/clean/registry_root.h"
#include "bootstrapper/common/unique_handle.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/diag/debug_log.h"

namespace boot {
namespace {

// One level's child name: registry key names are at most 255 characters.
constexpr DWORD kChildNameSize = 260;

HKEY RootKey(RegistryRoot root) {
  switch (root) {
    case RegistryRoot::LocalMachine:
      return HKEY_LOCAL_MACHINE;
    case RegistryRoot::CurrentUser:
      return HKEY_CURRENT_USER;
    case RegistryRoot::ClassesRoot:
      return HKEY_CLASSES_ROOT;
    case RegistryRoot::CurrentConfig:
      return HKEY_CURRENT_CONFIG;
  }
  return HKEY_CURRENT_USER;
}

}  // namespace

bool DeleteKeyTree(HKEY root, wchar_t (&key_path)[kKeyPathBufferSize]) {
  // An empty path would open the root itself and empty it.
  if (key_path[0] == L'\0') return false;
  // A key without subkeys goes at once; one with subkeys is refused and walked below.
  if (::RegDeleteKeyW(root, key_path) == ERROR_SUCCESS) return true;

  HKEY opened = nullptr;
  const LSTATUS open_status = ::RegOpenKeyExW(root, key_path, 0, KEY_READ, &opened);
  if (open_status == ERROR_FILE_NOT_FOUND) {
    WriteLog(u"Key not found.");
    return true;
  }
  if (open_status != ERROR_SUCCESS) {
    WriteLog(u"Error opening key.");
    ::SetLastError(static_cast<DWORD>(open_status));
    return false;
  }
  UniqueKey key(opened);

  // The end mark sits behind the key's own path and one backslash; children go after it.
  std::size_t end = static_cast<std::size_t>(::lstrlenW(key_path));
  if (end == 0 || key_path[end - 1] != L'\\') {
    // No room for the separator means no room for any child either.
    if (end + 1 >= kKeyPathBufferSize) {
      ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    key_path[end++] = L'\\';
    key_path[end] = L'\0';
  }

  wchar_t child[kChildNameSize];
  DWORD child_size = kChildNameSize;
  // The child handled last: met again at the front, it was not deleted after all.
  std::wstring previous;
  bool handled_one = false;
  FILETIME written;
  // Always index 0: each child deleted makes room for the next one at the front.
  while (::RegEnumKeyExW(key.get(), 0, child, &child_size, nullptr, nullptr, nullptr,
                         &written) == ERROR_SUCCESS) {
    // A cut child path names some other key (or none, which would count as deleted and bring
    // the same child back forever); such a child cannot be deleted.
    if (end + child_size >= kKeyPathBufferSize) break;
    // A name holding a NUL (the native API allows one) reaches every key function cut short,
    // so it names some other key or none: the child cannot be opened by its name.
    if (std::find(child, child + child_size, L'\0') != child + child_size) {
      WriteLog(u"Error opening key.");
      ::SetLastError(ERROR_INVALID_NAME);
      return false;
    }
    if (handled_one && previous == std::wstring_view(child, child_size)) {
      ::SetLastError(ERROR_CANTWRITE);
      return false;
    }
    std::copy(child, child + child_size, key_path + end);
    key_path[end + child_size] = L'\0';
    if (!DeleteKeyTree(root, key_path)) break;
    previous.assign(child, child_size);
    handled_one = true;
    child_size = kChildNameSize;
  }

  // Drop the separator (appended here or already in the path) for the key's own deletion.
  key_path[end - 1] = L'\0';
  key.reset();
  const LSTATUS status = ::RegDeleteKeyW(root, key_path);
  if (status != ERROR_SUCCESS) ::SetLastError(static_cast<DWORD>(status));
  return status == ERROR_SUCCESS;
}

bool CleanRegistry(const std::u16string& path) {
  WriteLog(u"Will clean registry: " + path);

  const RegistryRootMatch match = MatchRegistryRoot(path);
  if (!match.found) {
    WriteLog(u"Unknown root");
    ::SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  if (path.size() <= match.subkey_start) {
    WriteLog(u"Illegal name");
    ::SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  const std::u16string_view subkey = std::u16string_view(path).substr(match.subkey_start);
  // A cut path names some other key; nothing is deleted.
  if (subkey.size() >= kKeyPathBufferSize) {
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }

  wchar_t key_path[kKeyPathBufferSize] = {};
  std::copy(subkey.begin(), subkey.end(), key_path);
  return DeleteKeyTree(RootKey(match.root), key_path);
}

}  // namespace boot
