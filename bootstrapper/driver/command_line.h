// The stub's command line: -update, -base=<install dir>, -ppid=<caller's process id>.
// Portable; the Win32 side splits the command line with CommandLineToArgvW and hands the
// elements over.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace boot {

struct CommandLineOptions {
  bool update = false;  // an element equal to -update was seen
  std::u16string base;  // value of the last -base option, empty when none
  std::uint32_t ppid = 0;  // value of the last -ppid option, 0 when none or not a number
};

// Reads every element in order, element 0 (the program path) included, ignoring ASCII case:
//  - "-update" as a whole element sets `update`;
//  - an element whose first five characters are "-base" sets `base` to the text from its
//    seventh character on (the sixth, whatever it is, separates); likewise "-ppid" sets `ppid`;
//  - an element that is exactly "-base" or "-ppid" takes the following element as its value
//    and consumes it (nothing happens when there is no following element);
//  - later options replace earlier ones; other elements are ignored.
CommandLineOptions ParseCommandLine(const std::vector<std::u16string>& args);

// Converts text the way wcstoul(text, nullptr, 10) does with a 32-bit unsigned long: leading
// white space skipped, an optional sign ('-' negates modulo 2^32), decimal digits up to the
// first other character; no digits give 0 and an overflow gives 4294967295.
std::uint32_t ParseUnsignedDecimal(std::u16string_view text);

}  // namespace boot
