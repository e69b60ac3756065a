#include "bootstrapper/driver/command_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cwchar>
#include <string>

namespace boot {
namespace {

struct OptionsRow {
  std::vector<std::u16string> args;
  bool update;
  std::u16string base;
  std::uint32_t ppid;
};

class CommandLineTest : public testing::TestWithParam<OptionsRow> {};

TEST_P(CommandLineTest, ReadsTheOptionsOfEveryElement) {
  const OptionsRow& row = GetParam();
  const CommandLineOptions options = ParseCommandLine(row.args);
  EXPECT_EQ(options.update, row.update);
  EXPECT_EQ(options.base, row.base);
  EXPECT_EQ(options.ppid, row.ppid);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CommandLineTest,
    testing::Values(
        OptionsRow{{}, false, u"", 0},
        OptionsRow{{u"C:\\boot.exe"}, false, u"", 0},
        OptionsRow{{u"boot", u"-update", u"-base=D:\\Apps\\Demo", u"-ppid=512"}, true,
                   u"D:\\Apps\\Demo", 512},
        // Case of the option names does not matter; any sixth character separates.
        OptionsRow{{u"boot", u"-UPDATE", u"-Base:D:\\A", u"-PPID:77"}, true, u"D:\\A", 77},
        OptionsRow{{u"boot", u"-update", u"-base D:\\A"}, true, u"D:\\A", 0},
        // -update must be the whole element.
        OptionsRow{{u"boot", u"-update=1", u"-updates", u"update"}, false, u"", 0},
        // Only five characters are compared: -basedir=X is a -base option with value ir=X.
        OptionsRow{{u"boot", u"-update", u"-basedir=X", u"-ppidx=9"}, true, u"ir=X", 0},
        OptionsRow{{u"boot", u"-update", u"-ppid=12abc"}, true, u"", 12},
        // Separator only: empty value.
        OptionsRow{{u"boot", u"-update", u"-base=", u"-ppid="}, true, u"", 0},
        // Later options replace earlier ones; order among options is free.
        OptionsRow{{u"-base=D:\\A", u"-ppid=1", u"-base=D:\\B", u"-update", u"-ppid=2",
                    u"-update"},
                   true, u"D:\\B", 2},
        OptionsRow{{u"boot", u"-ppid=abc", u"-update"}, true, u"", 0},
        // Element 0 is examined as well.
        OptionsRow{{u"-update"}, true, u"", 0},
        // A bare -base or -ppid takes the next element as its value and uses it up.
        OptionsRow{{u"boot", u"-base", u"C:\\My App", u"-update", u"-ppid", u"42"}, true,
                   u"C:\\My App", 42},
        OptionsRow{{u"boot", u"-base", u"-update"}, false, u"-update", 0},
        OptionsRow{{u"boot", u"-update", u"-base=C:\\A", u"-base"}, true, u"C:\\A", 0},
        OptionsRow{{u"boot", u"-update", u"-ppid=5", u"-PPID"}, true, u"", 5},
        // Values keep everything after the separator, blanks and non-ASCII included.
        OptionsRow{{u"boot", u"-update", u"-base=C:\\Пример 1\\"}, true, u"C:\\Пример 1\\", 0},
        OptionsRow{{u"boot", u"-update", u"-bas"}, true, u"", 0}));

struct NumberRow {
  std::u16string text;
  std::uint32_t value;
  // Wine's msvcrt answers 1 instead of ULONG_MAX for negative overflow; Windows and the C
  // standard give ULONG_MAX, which is what the stub does.
  bool wine_runtime_agrees = true;
};

class UnsignedDecimalTest : public testing::TestWithParam<NumberRow> {};

TEST_P(UnsignedDecimalTest, FollowsWcstoulRules) {
  EXPECT_EQ(ParseUnsignedDecimal(GetParam().text), GetParam().value) << "text: "
      << std::string(GetParam().text.begin(), GetParam().text.end());
}

#ifdef _WIN32
// The stub uses its own conversion; the C runtime's wcstoul is the reference it must match.
TEST_P(UnsignedDecimalTest, AgreesWithTheRuntimeWcstoul) {
  if (!GetParam().wine_runtime_agrees) GTEST_SKIP() << "Wine's wcstoul differs from Windows here";
  const std::wstring text(GetParam().text.begin(), GetParam().text.end());
  EXPECT_EQ(ParseUnsignedDecimal(GetParam().text),
            static_cast<std::uint32_t>(std::wcstoul(text.c_str(), nullptr, 10)));
}
#endif

INSTANTIATE_TEST_SUITE_P(
    Rows, UnsignedDecimalTest,
    testing::Values(NumberRow{u"", 0}, NumberRow{u"0", 0}, NumberRow{u"512", 512},
                    NumberRow{u"00512", 512}, NumberRow{u"  \t\n512", 512},
                    NumberRow{u"+7", 7}, NumberRow{u"-1", 4294967295u},
                    NumberRow{u"-2", 4294967294u}, NumberRow{u"-0", 0},
                    NumberRow{u"12abc", 12}, NumberRow{u"abc", 0}, NumberRow{u"+", 0},
                    NumberRow{u"- 5", 0}, NumberRow{u"0x10", 0},
                    NumberRow{u"4294967295", 4294967295u}, NumberRow{u"4294967296", 4294967295u},
                    NumberRow{u"99999999999999999999999", 4294967295u},
                    NumberRow{u"-4294967296", 4294967295u, false}, NumberRow{u"1 2", 1},
                    NumberRow{u"-4294967295", 1}));

}  // namespace
}  // namespace boot
