#include "bootpack/file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>

#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace boot {
namespace fs = std::filesystem;

namespace {

std::FILE* OpenFile(const fs::path& path, bool write) {
#ifdef _WIN32
  return ::_wfopen(path.c_str(), write ? L"wb" : L"rb");
#else
  return std::fopen(path.c_str(), write ? "wb" : "rb");
#endif
}

// Forces the written data to the disk, so a rename that survives a crash never points at a file
// whose contents did not.
bool SyncFile(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
#ifdef _WIN32
  return ::_commit(::_fileno(file)) == 0;
#else
  return ::fsync(::fileno(file)) == 0;
#endif
}

// Bytes in the open file, or -1 when the system cannot say.
std::int64_t OpenFileSize(std::FILE* file) {
#ifdef _WIN32
  struct _stat64 status;
  return ::_fstat64(::_fileno(file), &status) == 0 ? status.st_size : -1;
#else
  struct stat status;
  return ::fstat(::fileno(file), &status) == 0 ? static_cast<std::int64_t>(status.st_size) : -1;
#endif
}

}  // namespace

bool ReadFileInPieces(const fs::path& path, std::size_t piece,
                      const std::function<bool(std::span<const std::uint8_t>)>& consume,
                      std::uint64_t& size, std::string& why) {
  std::FILE* file = OpenFile(path, false);
  if (file == nullptr) {
    why = std::strerror(errno);
    return false;
  }
  const std::int64_t opened = OpenFileSize(file);
  size = opened > 0 ? static_cast<std::uint64_t>(opened) : 0;
  std::vector<std::uint8_t> buffer(piece);
  bool failed = false;
  for (;;) {
    std::size_t filled = 0;
    while (filled < piece) {
      const std::size_t got = std::fread(buffer.data() + filled, 1, piece - filled, file);
      if (got == 0) break;
      filled += got;
    }
    if (std::ferror(file) != 0) {
      failed = true;
      break;
    }
    if (filled == 0 || !consume(std::span<const std::uint8_t>(buffer.data(), filled))) break;
    if (filled < piece) break;
  }
  const int error = errno;
  std::fclose(file);
  if (failed) {
    why = std::strerror(error);
    return false;
  }
  return true;
}

bool ReadFileRange(const fs::path& path, std::uint64_t offset, std::uint64_t size,
                   std::vector<std::uint8_t>& bytes, std::string& why) {
  std::FILE* file = OpenFile(path, false);
  if (file == nullptr) {
    why = std::strerror(errno);
    return false;
  }
#ifdef _WIN32
  const bool placed = ::_fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
  const bool placed = ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
  bytes.resize(static_cast<std::size_t>(size));
  const bool read = placed && std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const int error = errno;
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (!read) {
    why = failed ? std::strerror(error) : "the file ends before the bytes asked for";
    return false;
  }
  return true;
}

bool ReadWholeFile(const fs::path& path, std::vector<std::uint8_t>& bytes, std::string& why) {
  bytes.clear();
  std::uint64_t size = 0;
  return ReadFileInPieces(path, std::size_t{1} << 16, [&](std::span<const std::uint8_t> piece) {
    // The size of the open file itself (not another look-up by name): the buffer is allocated
    // once, at the size it ends up with.
    if (bytes.empty()) bytes.reserve(static_cast<std::size_t>(size));
    bytes.insert(bytes.end(), piece.begin(), piece.end());
    return true;
  }, size, why);
}

bool WriteWholeFile(const fs::path& path, std::span<const std::uint8_t> bytes, std::string& why) {
  std::FILE* file = OpenFile(path, true);
  if (file == nullptr) {
    why = std::strerror(errno);
    return false;
  }
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  ok = ok && SyncFile(file);
  const int error = errno;
  ok = std::fclose(file) == 0 && ok;
  if (!ok) {
    why = std::strerror(error != 0 ? error : errno);
    std::error_code ignored;
    fs::remove(path, ignored);
  }
  return ok;
}

fs::path TempPathBeside(const fs::path& target) {
  std::random_device random;
  std::error_code ec;
  for (;;) {
    const std::uint64_t tag = (static_cast<std::uint64_t>(random()) << 32) ^ random();
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", static_cast<unsigned long long>(tag));
    fs::path candidate = target;
    candidate += suffix;
    if (!fs::exists(candidate, ec)) return candidate;
  }
}

bool ReplaceFile(const fs::path& from, const fs::path& to, std::string& why) {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (ec) {
    why = ec.message();
    return false;
  }
  return true;
}

}  // namespace boot
