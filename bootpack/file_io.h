// Whole-file reads and writes for the packer, and the write-then-rename that keeps a failed
// pack from leaving a half-written exe behind. Portable (the C runtime's wide-path calls on
// Windows, POSIX elsewhere).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace boot {

// Every read below opens only a regular file: a folder, device, pipe or socket is refused with
// "not a regular file (a pipe)" in `why`, and a pipe does not make the open wait.

// Reads the whole file into `bytes`. False with the system's reason in `why`, or with "has N
// bytes, more than the LIMIT allowed" (before anything is read) when the file is larger than
// `limit`.
[[nodiscard]] bool ReadWholeFile(const std::filesystem::path& path,
                                 std::vector<std::uint8_t>& bytes, std::string& why,
                                 std::uint64_t limit = UINT64_MAX);

// Reads the file from start to end in pieces of `piece` bytes (the last may be shorter), handing
// each to `consume` in one buffer that is reused; stops when `consume` returns false. `size` is
// the file's size when it was opened. False with the system's reason in `why` when the file
// cannot be opened or read (not when `consume` stops it).
[[nodiscard]] bool ReadFileInPieces(const std::filesystem::path& path, std::size_t piece,
                                    const std::function<bool(std::span<const std::uint8_t>)>& consume,
                                    std::uint64_t& size, std::string& why);

// Reads `size` bytes at `offset` of the file into `bytes`. False with the reason in `why`, also
// when the file ends before them.
[[nodiscard]] bool ReadFileRange(const std::filesystem::path& path, std::uint64_t offset,
                                 std::uint64_t size, std::vector<std::uint8_t>& bytes,
                                 std::string& why);

// Creates or truncates `path` and writes `bytes`, flushed to the disk before it returns.
// False with the reason in `why`; a partly written file is then removed.
[[nodiscard]] bool WriteWholeFile(const std::filesystem::path& path,
                                  std::span<const std::uint8_t> bytes, std::string& why);
// The same for the file made of `pieces`, one after the other.
[[nodiscard]] bool WriteWholeFile(const std::filesystem::path& path,
                                  const std::vector<std::span<const std::uint8_t>>& pieces,
                                  std::string& why);

// Flushes the file at `path`, as it is now, to the disk. False with the reason in `why`.
[[nodiscard]] bool SyncExistingFile(const std::filesystem::path& path, std::string& why);

// A name for a temporary file beside `target` (same folder, so a rename onto the target stays
// on one file system) that does not exist yet.
std::filesystem::path TempPathBeside(const std::filesystem::path& target);

// Renames `from` onto `to`, replacing `to` if it exists. False with the reason in `why`.
[[nodiscard]] bool ReplaceFile(const std::filesystem::path& from, const std::filesystem::path& to,
                               std::string& why);

// Files being written under a folder as one set: each goes to a temporary file beside its
// target first, and all are renamed into place only once every one is written.
struct PendingFiles {
  std::filesystem::path root;  // the folder they go under
  std::vector<std::filesystem::path> made_folders;  // folders created for them, outermost first
  std::vector<std::pair<std::filesystem::path, std::filesystem::path>> files;  // temporary, target
};

// Writes `bytes` to a temporary file for `pending.root / relative` (a path without ".."),
// creating the root and the folders on the way as needed. Nothing is written through a
// symbolic link below the root: a link on the way, or at the target, is refused, as is a target
// that exists and is not a regular file. False with the reason in `why`.
[[nodiscard]] bool StagePendingFile(PendingFiles& pending, const std::filesystem::path& relative,
                                    std::span<const std::uint8_t> bytes, std::string& why);

// Renames every staged file onto its target, replacing a file there. False with the reason in
// `why` when one fails (the files not yet renamed are then discarded).
[[nodiscard]] bool CommitPendingFiles(PendingFiles& pending, std::string& why);

// Removes every staged file and then the folders made for them (those still empty).
void DiscardPendingFiles(PendingFiles& pending);

// Names the file an interrupted process must not leave behind (the temporary file an output is
// being written to); an empty path forgets it. One file at a time.
void SetInterruptCleanup(const std::filesystem::path& path);

// Removes the file named by SetInterruptCleanup, if any. Async-signal-safe (it reads static
// storage and unlinks), for signal and console-control handlers.
void RunInterruptCleanup();

}  // namespace boot
