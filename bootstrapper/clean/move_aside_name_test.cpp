#include "bootstrapper/clean/move_aside_name.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace boot {
namespace {

// Hands out `values` in order, then wraps around; counts the draws.
struct FakeRandom {
  std::vector<std::uint32_t> values;
  std::size_t draws = 0;
  RandomDraw AsDraw() {
    return [this](std::uint32_t& value) {
      value = values[draws++ % values.size()];
      return true;
    };
  }
};

TEST(MoveAsideLetterTest, TakesLetterAndCaseFromTheSameValue) {
  struct Row {
    std::uint32_t r;
    char16_t letter;
  };
  const Row rows[] = {
      {0, u'A'},  {1, u'b'},  {2, u'C'},  {24, u'Y'}, {25, u'z'},
      {26, u'A'}, {27, u'b'}, {51, u'z'},
      {0xFFFFFFFFu, u'v'},  // 4294967295 % 26 == 21
      {0xFFFFFFFEu, u'U'},  // % 26 == 20
  };

  for (const Row& row : rows) {
    EXPECT_EQ(MoveAsideLetter(row.r), row.letter) << "r = " << row.r;
  }
}

TEST(MoveAsideLetterTest, OnlyTwentySixLettersEverOccur) {
  std::set<char16_t> seen;
  for (std::uint32_t r = 0; r < 26 * 4; ++r) seen.insert(MoveAsideLetter(r));
  for (std::uint32_t r = 0xFFFFFFFFu - 200; r != 0; ++r) seen.insert(MoveAsideLetter(r));
  const std::set<char16_t> expected(
      {u'A', u'C', u'E', u'G', u'I', u'K', u'M', u'O', u'Q', u'S', u'U', u'W', u'Y',
       u'b', u'd', u'f', u'h', u'j', u'l', u'n', u'p', u'r', u't', u'v', u'x', u'z'});
  EXPECT_EQ(seen, expected);
}

TEST(ComposeMoveAsideTargetTest, PutsExactlyOneBackslashBeforeTwelveFreshLetters) {
  struct Row {
    std::u16string directory;
    std::u16string expected;
  };
  const Row rows[] = {
      {u"C:\\Temp", u"C:\\Temp\\AbCdEfGhIjKl.del"},
      {u"C:\\Temp\\", u"C:\\Temp\\AbCdEfGhIjKl.del"},
      // Only one trailing backslash is dropped.
      {u"C:\\Temp\\\\", u"C:\\Temp\\\\AbCdEfGhIjKl.del"},
      {u"\\", u""},
      {u"", u""},
  };
  for (const Row& row : rows) {
    FakeRandom random{{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(ComposeMoveAsideTarget(row.directory, u"del", random.AsDraw()), row.expected);
  }
  FakeRandom random{{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
  ASSERT_FALSE(ComposeMoveAsideTarget(u"C:\\T", u"del", random.AsDraw()).empty());
  EXPECT_EQ(random.draws, kMoveAsideLetterCount);
}

TEST(ComposeMoveAsideTargetTest, ReturnsNothingRatherThanACutTarget) {
  FakeRandom random{{7}};
  // directory + "\" + 12 letters + ".del" is directory + 17 characters.
  const std::u16string fits(kMaxMoveAsideTarget - 17, u'x');
  const std::u16string target = ComposeMoveAsideTarget(fits, u"del", random.AsDraw());
  EXPECT_EQ(target.size(), kMaxMoveAsideTarget);
  EXPECT_EQ(target.substr(fits.size()), u"\\hhhhhhhhhhhh.del");
  // The trailing backslash that is dropped does not count.
  EXPECT_EQ(ComposeMoveAsideTarget(fits + u"\\", u"del", random.AsDraw()).size(),
            kMaxMoveAsideTarget);

  EXPECT_EQ(ComposeMoveAsideTarget(fits + u"x", u"del", random.AsDraw()), u"");
  EXPECT_EQ(ComposeMoveAsideTarget(fits, u"dell", random.AsDraw()), u"");
}

TEST(ComposeMoveAsideTargetTest, AFailedDrawGivesNoTarget) {
  int calls = 0;
  const RandomDraw failing_fifth = [&calls](std::uint32_t& value) {
    value = 0;
    return ++calls < 5;
  };
  EXPECT_EQ(ComposeMoveAsideTarget(u"C:\\Temp", u"del", failing_fifth), u"");
  EXPECT_EQ(calls, 5);
}

}  // namespace
}  // namespace boot
