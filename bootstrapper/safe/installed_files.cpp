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

bool MapInstalledFile(const std::u16string& path, InstalledFileView& view) {
  view = InstalledFileView();
  UniqueFile file(::CreateFileW(AsWide(path), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(file.get(), &size)) return false;
  if (size.QuadPart == 0) return true;  // nothing to map, and an empty mapping is refused
  if (static_cast<std::uint64_t>(size.QuadPart) > SIZE_MAX) {
    ::SetLastError(ERROR_FILE_TOO_LARGE);
    return false;
  }
  UniqueProcess mapping(::CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping) return false;
  void* base = ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
  if (base == nullptr) return false;
  view.base_ = static_cast<const std::uint8_t*>(base);
  view.size_ = static_cast<std::size_t>(size.QuadPart);
  return true;
}

bool CheckInstalledFiles(const std::u16string& base, const UpdateManifest& manifest,
                         std::u16string& differing) {
  struct Expected {
    std::u16string path;  // full
    const Sha256Digest* sha256;
    bool matches = false;
  };
  std::vector<Expected> expected;
  for (const UnchangedFile& file : manifest.unchanged) {
    expected.push_back({FullInstallPath(base, file.path), &file.sha256});
  }
  for (const UpdateTask& task : manifest.updates) {
    if (task.is_patch) expected.push_back({FullInstallPath(base, task.path), &task.from_sha256});
  }
  // A file that cannot be mapped (missing, locked, a folder) is one that differs. Nothing here
  // allocates, so no worker can throw.
  ParallelFor(expected.size(), [&](std::size_t i) {
    InstalledFileView view;
    if (!MapInstalledFile(expected[i].path, view)) return;
    expected[i].matches = Sha256Of(view.bytes()) == *expected[i].sha256;
  });
  for (const Expected& file : expected) {
    if (!file.matches) {
      differing = file.path;
      return false;
    }
  }
  return true;
}

}  // namespace boot
