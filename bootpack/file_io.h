// Whole-file reads and writes for the packer, and the write-then-rename that keeps a failed
// pack from leaving a half-written exe behind. Portable (the C runtime's wide-path calls on
// Windows, POSIX elsewhere).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace boot {

// Reads the whole file into `bytes`. False with the system's reason in `why`.
[[nodiscard]] bool ReadWholeFile(const std::filesystem::path& path,
                                 std::vector<std::uint8_t>& bytes, std::string& why);

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
