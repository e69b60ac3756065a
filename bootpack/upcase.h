// Letter case the way Windows compares file names: every UTF-16 code unit is mapped through one
// upcase table, the simple uppercase mapping of the Unicode data (generated at build time from
// UnicodeData.txt), and two names are the same when their mapped units are. Portable.
#pragma once

namespace boot {

// The upper-case form of `unit`, or `unit` itself when the Unicode data gives it no simple
// uppercase mapping inside the BMP (surrogates and every unit without case map to themselves).
char16_t UpcaseUnit(char16_t unit);

}  // namespace boot
