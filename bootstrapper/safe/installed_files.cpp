#include "bootstrapper/safe/installed_files.h"

#include <windows.h>

#include <utility>
#include <vector>

#include "bootstrapper/common/parallel.h"
#include "bootstrapper/common/unique_handle.h"
#include "bootstrapper/common/wide.h"
#include "bootstrapper/install/install_path.h"
#include "bootstrapper/payload/sha256.h"

namespace boot {

InstalledFileView::InstalledFileView(InstalledFileView&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)), size_(std::exchange(other.size_, 0)) {}

InstalledFileView& InstalledFileView::operator=(InstalledFileView&& other) noexcept {
  if (this != &other) {
    if (base_ != nullptr) ::UnmapViewOfFile(base_);
    base_ = std::exchange(other.base_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

InstalledFileView::~InstalledFileView() {
  if (base_ != nullptr) ::UnmapViewOfFile(base_);
}

namespace {

bool IsFolder(const std::u16string& path) {
  const DWORD attributes = ::GetFileAttributesW(AsWide(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool MapInstalledFile(const std::u16string& path, InstalledFileView& view, DWORD& error) {
  view = InstalledFileView();
  UniqueFile file(::CreateFileW(AsWide(path), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size;
  if (!file || !::GetFileSizeEx(file.get(), &size)) {
    error = ::GetLastError();
    return false;
  }
  if (size.QuadPart == 0) return true;  // nothing to map, and an empty mapping is refused
  if (static_cast<std::uint64_t>(size.QuadPart) > SIZE_MAX) {
    error = ERROR_FILE_TOO_LARGE;
    return false;
  }
  UniqueProcess mapping(::CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  void* base = mapping ? ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr;
  if (base == nullptr) {
    error = ::GetLastError();
    return false;
  }
  view.base_ = static_cast<const std::uint8_t*>(base);
  view.size_ = static_cast<std::size_t>(size.QuadPart);
  return true;
}

InstalledCheck CheckInstalledFiles(const std::u16string& base, const UpdateManifest& manifest) {
  struct Expected {
    std::u16string path;  // full
    const Sha256Digest* sha256;
    const Sha256Digest* or_sha256;  // a second digest it may have, or null
    bool matches = false;
    DWORD error = ERROR_SUCCESS;  // why it could not be read
  };
  std::vector<Expected> expected;
  for (const UnchangedFile& file : manifest.unchanged) {
    expected.push_back({FullInstallPath(base, file.path), &file.sha256, nullptr});
  }
  // A patched file may also hold its new version already: this very update finished by a run
  // that was killed before it could say so, and then finished by the recovery.
  for (const UpdateTask& task : manifest.updates) {
    if (task.is_patch) {
      expected.push_back({FullInstallPath(base, task.path), &task.from_sha256, &task.sha256});
    }
  }
  // Nothing here allocates, so no worker can throw.
  ParallelFor(expected.size(), [&](std::size_t i) {
    InstalledFileView view;
    if (!MapInstalledFile(expected[i].path, view, expected[i].error)) return;
    const Sha256Digest digest = Sha256Of(view.bytes());
    expected[i].matches = digest == *expected[i].sha256 ||
                          (expected[i].or_sha256 != nullptr && digest == *expected[i].or_sha256);
  });
  for (const Expected& file : expected) {
    if (file.matches) continue;
    InstalledCheck check;
    check.path = file.path;
    // A missing file, or a folder in its place, is another release; a file that is there but
    // cannot be read says nothing about which release is installed.
    const bool missing = file.error == ERROR_FILE_NOT_FOUND || file.error == ERROR_PATH_NOT_FOUND ||
                         (file.error == ERROR_ACCESS_DENIED && IsFolder(file.path));
    check.result = file.error == ERROR_SUCCESS || missing ? InstalledCheck::Result::Differs
                                                         : InstalledCheck::Result::Unreadable;
    check.error = file.error;
    return check;
  }
  return {};
}

}  // namespace boot
