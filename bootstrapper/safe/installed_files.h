// What a delta update was made against: the installed files it keeps as they are and the ones
// its patches rebuild from, checked before anything is touched and read in place. Win32 only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "bootstrapper/manifest/manifest.h"

namespace boot {

// A read-only view of an installed file's bytes. Move-only; unmaps on destruction.
class InstalledFileView {
 public:
  InstalledFileView() = default;
  InstalledFileView(InstalledFileView&& other) noexcept;
  InstalledFileView& operator=(InstalledFileView&& other) noexcept;
  InstalledFileView(const InstalledFileView&) = delete;
  InstalledFileView& operator=(const InstalledFileView&) = delete;
  ~InstalledFileView();

  std::span<const std::uint8_t> bytes() const { return {base_, size_}; }

 private:
  friend bool MapInstalledFile(const std::u16string& path, InstalledFileView& view,
                               unsigned long& error);
  const std::uint8_t* base_ = nullptr;
  std::size_t size_ = 0;
};

// Maps the file at `path` (a full path) read-only. It is opened sharing everything, since the
// application may still be running from it. An empty file gives an empty view. False when it
// cannot be opened or mapped, with the system's error in `error`.
[[nodiscard]] bool MapInstalledFile(const std::u16string& path, InstalledFileView& view,
                                    unsigned long& error);

// How the installation compares with what a delta update was made against.
struct InstalledCheck {
  enum class Result { Matches, Differs, Unreadable } result = Result::Matches;
  std::u16string path;  // Differs, Unreadable: the full path of the first such file
  unsigned long error = 0;  // Unreadable: the system's error
};

// Checks that the installation in `base` (a full path) holds exactly what the update was made
// against, by SHA-256: every unchanged file and the installed version of every patched one
// (its old version, or already its new one), hashed side by side on every processor. Matches
// when all of them match (or the manifest names none). Otherwise the first of them in the
// manifest's order (unchanged files first, then the patched ones) that is missing or holds other
// bytes (Differs), or that exists but cannot be read, held by another program say (Unreadable).
InstalledCheck CheckInstalledFiles(const std::u16string& base, const UpdateManifest& manifest);

}  // namespace boot
