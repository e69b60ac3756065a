// A scratch folder for the packer's native tests. Portable.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "bootpack/package.h"

namespace boot::testutil {

// A fresh folder under the system's temp directory, removed with its contents at the end.
class TempFolder {
 public:
  TempFolder() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("bootpack-test-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // path() / relative, as UTF-8 text for command lines.
  std::string operator/(const std::string& relative) const {
    return PathToUtf8(path_ / PathFromUtf8(relative));
  }
  // Writes `bytes` to `relative` (folders created as needed) and returns the full path.
  std::filesystem::path Write(const std::string& relative, const std::string& bytes) const {
    const std::filesystem::path file = path_ / PathFromUtf8(relative);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file;
  }
  // Names of everything directly in the folder, sorted.
  std::vector<std::string> List() const { return ListOf(path_); }
  // Names of everything directly in `folder`, sorted.
  static std::vector<std::string> ListOf(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      names.push_back(PathToUtf8(entry.path().filename()));
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace boot::testutil
