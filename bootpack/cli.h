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

// The packer's version, printed by `bootpack --version`.
inline constexpr const char* kBootpackVersion = "1.0.0";

// Runs one bootpack command. `args` are the UTF-8 arguments after the program name. Results go
// to `out` (text, or one JSON document with --json), errors and warnings to `err` as
// "bootpack: <what>: <why>"; a pack's progress line is written to `err` only when `interactive`
// (stdout and stderr are both terminals). Returns the exit status.
int RunBootpack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool interactive);

}  // namespace boot
