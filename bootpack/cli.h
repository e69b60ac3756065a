// The bootpack command line: pack, inspect, extract (and the codec's compress/decompress),
// each with --help. Portable; main() only converts the arguments to UTF-8 and calls RunBootpack.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace boot {

// Exit statuses of every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Runs one bootpack command. `args` are the UTF-8 arguments after the program name. Results go
// to `out`, errors and warnings to `err` as "bootpack: <what>: <why>"; per-file progress is
// written to `err` only when `err_is_terminal`. Returns the exit status.
int RunBootpack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool err_is_terminal);

}  // namespace boot
