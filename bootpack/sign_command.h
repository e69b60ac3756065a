// The signing step of pack: the user's own command (signtool, osslsigncode, a script) run on
// the finished update exe before it takes the output's place.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace boot {

// The placeholder a signing command names the file to sign with.
inline constexpr std::string_view kSignFilePlaceholder = "{file}";

// `command` with every {file} replaced by `file` (UTF-8), quoted for the shell that runs it:
// /bin/sh on POSIX (single quotes), cmd.exe on Windows (double quotes; a path holding '"', '%'
// or '!' cannot be quoted for cmd and is refused). False, with the reason in `why`, when
// `command` has no {file} or the path cannot be quoted.
[[nodiscard]] bool SubstituteSignFile(std::string_view command, std::string_view file,
                                      std::string& out, std::string& why);

// Runs `command` with {file} replaced by `file` through /bin/sh -c (POSIX) or cmd.exe /c
// (Windows), its standard output sent to standard error so that bootpack's own output stays
// clean, and waits for it. False, with the reason in `why`, when it cannot start, is killed or
// exits with a status other than 0.
[[nodiscard]] bool RunSignCommand(std::string_view command, const std::filesystem::path& file,
                                  std::string& why);

}  // namespace boot
