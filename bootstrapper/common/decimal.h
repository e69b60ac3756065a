// Numbers in log lines: unsigned decimal, no sign, leading zeros or group separators. Portable;
// kept free of the C runtime's printf family, which would add tens of KiB to the stub.
#pragma once

#include <cstdint>
#include <string>

namespace boot {

inline std::u16string ToDecimal(std::uint64_t value) {
  char16_t digits[20];
  std::size_t n = 0;
  do {
    digits[n++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  std::u16string text;
  text.reserve(n);
  while (n > 0) text.push_back(digits[--n]);
  return text;
}

}  // namespace boot
