// Text from someone else (a manifest, a package, a file name) made safe to print: for a
// terminal, and as a JSON string. Portable.
#pragma once

#include <string>
#include <string_view>

namespace boot {

// `text` with everything a terminal could act on written as an escape: C0 controls (but line
// breaks and tabs with `keep_lines`), DEL, C1 controls, the Unicode line and paragraph
// separators, the bidirectional controls that reorder what follows them, U+FEFF, and bytes that
// are not UTF-8 (as \xNN). Printed raw, such text could move the cursor, retitle the window or
// make a path read as another.
std::string Printable(std::string_view text, bool keep_lines = false);

// `text` as a JSON string literal, quotes included: quotes, backslashes, C0 controls and DEL
// escaped, U+2028/U+2029 too (they end lines in JavaScript), and every byte that is not part of
// a UTF-8 sequence as U+FFFD, so the literal is always valid JSON.
std::string JsonString(std::string_view text);

}  // namespace boot
