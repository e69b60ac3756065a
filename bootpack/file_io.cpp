#include "bootpack/file_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <system_error>

#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// windows.h names ReplaceFileW so; this file defines boot::ReplaceFile.
#undef ReplaceFile
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace boot {
namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
// Opens `path` as the C runtime would, but lets the file be deleted while it is open: the
// console-control handler that removes an interrupted pack's temporary file runs while another
// thread may still be writing or reading it (the deletion completes when the process ends and
// its handles close). _wfopen gives no way to share deletion.
std::FILE* OpenSharingDeletion(const fs::path& path, bool write, std::string& why) {
  const HANDLE handle = ::CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    // The C runtime's words for the common cases, as _wfopen would have given them.
    switch (error) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND: why = std::strerror(ENOENT); break;
      case ERROR_ACCESS_DENIED: why = std::strerror(EACCES); break;
      case ERROR_SHARING_VIOLATION: why = "in use by another process"; break;
      default: why = "Windows error " + std::to_string(error);
    }
    return nullptr;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle),
                                   (write ? _O_WRONLY : _O_RDONLY) | _O_BINARY);
  if (fd < 0) {
    why = std::strerror(errno);
    ::CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = ::_fdopen(fd, write ? "wb" : "rb");
  if (file == nullptr) {
    why = std::strerror(errno);
    ::_close(fd);
  }
  return file;
}
#endif

// What a file that is not a regular one is, for messages.
const char* KindOfNonRegular(unsigned mode) {
#ifdef _WIN32
  if ((mode & _S_IFMT) == _S_IFDIR) return "a folder";
  if ((mode & _S_IFMT) == _S_IFCHR) return "a device";
  return "a pipe or another kind of file";
#else
  switch (mode & S_IFMT) {
    case S_IFDIR: return "a folder";
    case S_IFCHR: case S_IFBLK: return "a device";
    case S_IFIFO: return "a pipe";
    case S_IFSOCK: return "a socket";
    default: return "not a file";
  }
#endif
}

// Opens an existing regular file for reading. Anything else is refused before a byte is read: a
// device may never end (/dev/zero) and a pipe may never deliver one. On POSIX the file is opened
// without blocking, so that opening a pipe returns at once, and its type is checked on the open
// descriptor itself (no other file can take its name in between).
std::FILE* OpenRegularFileToRead(const fs::path& path, std::string& why) {
#ifdef _WIN32
  struct _stat64 status;
  if (::_wstat64(path.c_str(), &status) != 0) {
    why = std::strerror(errno);
    return nullptr;
  }
  if ((status.st_mode & _S_IFMT) != _S_IFREG) {
    why = std::string("not a regular file (") + KindOfNonRegular(status.st_mode) + ")";
    return nullptr;
  }
  std::FILE* file = OpenSharingDeletion(path, false, why);
  if (file != nullptr && ::GetFileType(reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)))) != FILE_TYPE_DISK) {
    std::fclose(file);
    why = "not a regular file (a device or a pipe)";
    return nullptr;
  }
  return file;
#else
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    why = std::strerror(errno);
    return nullptr;
  }
  struct stat status;
  if (::fstat(fd, &status) != 0) {
    why = std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  if (!S_ISREG(status.st_mode)) {
    why = std::string("not a regular file (") + KindOfNonRegular(status.st_mode) + ")";
    ::close(fd);
    return nullptr;
  }
  // A regular file never blocks; the flag only mattered for the open.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) {
    why = std::strerror(errno);
    ::close(fd);
  }
  return file;
#endif
}

std::FILE* OpenFileToWrite(const fs::path& path, std::string& why) {
#ifdef _WIN32
  return OpenSharingDeletion(path, true, why);
#else
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) why = std::strerror(errno);
  return file;
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
  std::FILE* file = OpenRegularFileToRead(path, why);
  if (file == nullptr) return false;
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
  std::FILE* file = OpenRegularFileToRead(path, why);
  if (file == nullptr) return false;
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

bool ReadWholeFile(const fs::path& path, std::vector<std::uint8_t>& bytes, std::string& why,
                   std::uint64_t limit) {
  bytes.clear();
  std::uint64_t size = 0;
  bool too_large = false;
  const bool read = ReadFileInPieces(path, std::size_t{1} << 16, [&](std::span<const std::uint8_t> piece) {
    // The size of the open file itself (not another look-up by name): the buffer is allocated
    // once, at the size it ends up with, and a file over the limit is refused before it is read.
    if (size > limit || bytes.size() + piece.size() > limit) {
      too_large = true;
      return false;
    }
    if (bytes.empty()) bytes.reserve(static_cast<std::size_t>(size));
    bytes.insert(bytes.end(), piece.begin(), piece.end());
    return true;
  }, size, why);
  if (read && too_large) {
    why = "has " + std::to_string(std::max<std::uint64_t>(size, bytes.size())) +
          " bytes, more than the " + std::to_string(limit) + " allowed";
    bytes = std::vector<std::uint8_t>();
    return false;
  }
  return read;
}

bool WriteWholeFile(const fs::path& path, std::span<const std::uint8_t> bytes, std::string& why) {
  return WriteWholeFile(path, std::vector<std::span<const std::uint8_t>>{bytes}, why);
}

bool WriteWholeFile(const fs::path& path, const std::vector<std::span<const std::uint8_t>>& pieces,
                    std::string& why) {
  std::FILE* file = OpenFileToWrite(path, why);
  if (file == nullptr) return false;
  bool ok = true;
  for (std::size_t i = 0; ok && i < pieces.size(); ++i) {
    ok = pieces[i].empty() || std::fwrite(pieces[i].data(), 1, pieces[i].size(), file) == pieces[i].size();
  }
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

bool SyncExistingFile(const fs::path& path, std::string& why) {
#ifdef _WIN32
  const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    why = "Windows error " + std::to_string(::GetLastError());
    return false;
  }
  const bool ok = ::FlushFileBuffers(handle);
  if (!ok) why = "Windows error " + std::to_string(::GetLastError());
  ::CloseHandle(handle);
  return ok;
#else
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  const bool ok = fd >= 0 && ::fsync(fd) == 0;
  if (!ok) why = std::strerror(errno);
  if (fd >= 0) ::close(fd);
  return ok;
#endif
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

namespace {

// `path` in UTF-8 between quotes, for messages.
std::string QuotedPath(const fs::path& path) {
  const std::u8string text = path.u8string();
  return "\"" + std::string(reinterpret_cast<const char*>(text.data()), text.size()) + "\"";
}

// Makes `folder` if it is missing (noting it in `pending`), and refuses it when it is a link or
// not a folder.
bool EnterFolder(PendingFiles& pending, const fs::path& folder, std::string& why) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(folder, ec);
  if (fs::is_symlink(status)) {
    why = QuotedPath(folder) + " is a symbolic link; nothing is written through one";
    return false;
  }
  if (fs::exists(status)) {
    if (fs::is_directory(status)) return true;
    why = QuotedPath(folder) + " exists and is not a folder";
    return false;
  }
  if (!fs::create_directory(folder, ec) || ec) {
    why = "cannot create " + QuotedPath(folder) + ": " + (ec ? ec.message() : "it appeared meanwhile");
    return false;
  }
  pending.made_folders.push_back(folder);
  return true;
}

}  // namespace

bool StagePendingFile(PendingFiles& pending, const fs::path& relative,
                      std::span<const std::uint8_t> bytes, std::string& why) {
  std::error_code ec;
  // The root itself is the caller's choice and may be a link; only what lies below it is checked.
  if (!fs::exists(pending.root, ec)) {
    fs::create_directories(pending.root, ec);
    if (ec) {
      why = "cannot create " + QuotedPath(pending.root) + ": " + ec.message();
      return false;
    }
    pending.made_folders.push_back(pending.root);
  }
  fs::path target = pending.root;
  const fs::path normal = relative.lexically_normal();
  for (auto name = normal.begin(); name != normal.end(); ++name) {
    if (std::next(name) == normal.end()) break;
    target /= *name;
    if (!EnterFolder(pending, target, why)) return false;
  }
  target /= normal.filename();
  const fs::file_status status = fs::symlink_status(target, ec);
  if (fs::is_symlink(status)) {
    why = QuotedPath(target) + " is a symbolic link; nothing is written through one";
    return false;
  }
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    why = QuotedPath(target) + " exists and is not a regular file";
    return false;
  }
  const fs::path temp = TempPathBeside(target);
  if (!WriteWholeFile(temp, bytes, why)) {
    why = QuotedPath(target) + ": " + why;
    return false;
  }
  pending.files.emplace_back(temp, target);
  return true;
}

bool CommitPendingFiles(PendingFiles& pending, std::string& why) {
  for (std::size_t i = 0; i < pending.files.size(); ++i) {
    if (!ReplaceFile(pending.files[i].first, pending.files[i].second, why)) {
      why = QuotedPath(pending.files[i].second) + ": " + why;
      pending.files.erase(pending.files.begin(), pending.files.begin() + static_cast<std::ptrdiff_t>(i));
      pending.made_folders.clear();  // they hold the files already in place
      DiscardPendingFiles(pending);
      return false;
    }
  }
  pending = PendingFiles{};
  return true;
}

void DiscardPendingFiles(PendingFiles& pending) {
  std::error_code ignored;
  for (const auto& [temp, target] : pending.files) fs::remove(temp, ignored);
  // Innermost first; a folder that is not empty (someone else's file) stays.
  for (auto folder = pending.made_folders.rbegin(); folder != pending.made_folders.rend(); ++folder) {
    fs::remove(*folder, ignored);
  }
  pending.files.clear();
  pending.made_folders.clear();
}

namespace {

// The file an interrupted run removes: a copy of its name in static storage, because a signal
// handler may neither allocate nor take a lock, and a flag that says whether the copy is whole.
// The flag is cleared before the name changes, so a handler never reads half of one.
#ifdef _WIN32
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif
NativeChar interrupt_path[4096];
std::atomic<bool> interrupt_path_set{false};
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

void SetInterruptCleanup(const fs::path& path) {
  interrupt_path_set.store(false);
  const auto& native = path.native();
  // A name that does not fit is not remembered (it cannot be cut short and name another file).
  if (native.empty() || native.size() >= std::size(interrupt_path)) return;
  std::copy(native.begin(), native.end(), interrupt_path);
  interrupt_path[native.size()] = 0;
  interrupt_path_set.store(true);
}

void RunInterruptCleanup() {
  if (!interrupt_path_set.load()) return;
#ifdef _WIN32
  ::_wunlink(interrupt_path);
#else
  ::unlink(interrupt_path);
#endif
}

}  // namespace boot
