// Whole-file reads and writes for the packer, and the write-then-rename that keeps a failed
// pack from leaving a half-written exe behind. Portable (the C runtime's wide-path calls on
// Windows, POSIX elsewhere).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace boot {

// Reads the whole file into `bytes`. False with the system's reason in `why`.
[[nodiscard]] bool ReadWholeFile(const std::filesystem::path& path,
                                 std::vector<std::uint8_t>& bytes, std::string& why);

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

// A name for a temporary file beside `target` (same folder, so a rename onto the target stays
// on one file system) that does not exist yet.
std::filesystem::path TempPathBeside(const std::filesystem::path& target);

// Renames `from` onto `to`, replacing `to` if it exists. False with the reason in `why`.
[[nodiscard]] bool ReplaceFile(const std::filesystem::path& from, const std::filesystem::path& to,
                               std::string& why);

}  // namespace boot
