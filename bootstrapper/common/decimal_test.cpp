#include "bootstrapper/common/decimal.h"

#include <gtest/gtest.h>

namespace boot {
namespace {

TEST(ToDecimalTest, PrintsPlainUnsignedDecimals) {
  EXPECT_EQ(ToDecimal(0), u"0");
  EXPECT_EQ(ToDecimal(7), u"7");
  EXPECT_EQ(ToDecimal(10), u"10");
  EXPECT_EQ(ToDecimal(512), u"512");
  EXPECT_EQ(ToDecimal(4294967295u), u"4294967295");
  EXPECT_EQ(ToDecimal(UINT64_MAX), u"18446744073709551615");
}

}  // namespace
}  // namespace boot
