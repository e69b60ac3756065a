// Naming rule for files that cannot be deleted and are moved out of the way instead: the
// temporary directory, one backslash, twelve random letters, a dot and an extension. Portable;
// the random source is injected (the stub passes the system's, tests a fake).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace boot {

// Fills `value` with one fresh random 32-bit number; false when the source failed.
using RandomDraw = std::function<bool(std::uint32_t& value)>;

inline constexpr std::size_t kMoveAsideLetterCount = 12;
// Longest target the file functions accept without a \\?\ prefix (MAX_PATH less the terminator).
inline constexpr std::size_t kMaxMoveAsideTarget = 259;

// The letter for one random value: 'A' + r % 26, made lower case when r is odd. Because 26 is
// even, only A, C, E, ..., Y and b, d, f, ..., z ever occur.
char16_t MoveAsideLetter(std::uint32_t r);

// directory + "\" + twelve letters (one draw each) + "." + extension. One trailing backslash of
// `directory` is dropped first, so exactly one separates it from the name. Returns the empty
// string when `directory` is empty, a draw fails, or the result would be longer than
// kMaxMoveAsideTarget characters (a shortened target would name some other file).
std::u16string ComposeMoveAsideTarget(std::u16string_view directory,
                                      std::u16string_view extension, const RandomDraw& draw);

}  // namespace boot
