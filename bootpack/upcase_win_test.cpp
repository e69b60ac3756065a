// Windows' own upcase table (ntdll's, under Wine) is the oracle for the generated one.
#include <windows.h>

#include <gtest/gtest.h>

#include <sstream>

#include "bootpack/upcase.h"

extern "C" WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR);

namespace boot {
namespace {

TEST(UpcaseTest, EveryUnitOfTheBmpMapsAsWindowsMapsIt) {
  std::ostringstream differences;
  int count = 0;
  for (unsigned unit = 0; unit <= 0xFFFF; ++unit) {
    const char16_t ours = UpcaseUnit(static_cast<char16_t>(unit));
    const WCHAR windows = RtlUpcaseUnicodeChar(static_cast<WCHAR>(unit));
    // And the ordinal comparison ignoring case, which names go through, agrees.
    const WCHAR a = static_cast<WCHAR>(unit), b = static_cast<WCHAR>(ours);
    const bool same_name = ::CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL;
    if (ours != windows || !same_name) {
      if (++count <= 40) {
        differences << std::hex << " U+" << unit << "->" << static_cast<unsigned>(ours)
                    << "/windows " << static_cast<unsigned>(windows) << (same_name ? "" : " (not equal)");
      }
    }
  }
  EXPECT_EQ(count, 0) << differences.str();
}

}  // namespace
}  // namespace boot
