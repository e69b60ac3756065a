#include "bootpack/upcase.h"

#include <gtest/gtest.h>

namespace boot {
namespace {

// A few letters of several scripts, with what Windows' upcase table makes of them (the whole
// table is compared with Windows' own in upcase_win_test.cpp).
TEST(UpcaseTest, MapsEachUnitByTheSimpleUppercaseMapping) {
  struct Row {
    char16_t unit;
    char16_t upper;
  };
  const Row rows[] = {
      {u'a', u'A'},         {u'Z', u'Z'},          {u'1', u'1'},
      {u'\u00E9', u'\u00C9'},  // é
      {u'\u00FF', u'\u0178'},  // ÿ, whose capital lies outside Latin-1
      {u'\u00DF', u'\u00DF'},  // ß: no single upper-case letter
      {u'\u01B0', u'\u01AF'},  // ư (Vietnamese)
      {u'\u01C6', u'\u01C4'},  // ǆ
      {u'\u03C3', u'\u03A3'},  // σ
      {u'\u0450', u'\u0400'},  // ѐ
      {u'\u0561', u'\u0531'},  // Armenian ա
      {u'\u0131', u'\u0131'},  // dotless ı: its capital I is the capital of i
      {u'\u03C2', u'\u03C2'},  // final ς: Σ lowers to σ
      {u'\u01C5', u'\u01C5'},  // title-case ǅ
      {u'\u24D0', u'\u24B6'},  // ⓐ
      {u'\u2C30', u'\u2C00'},  // Glagolitic
      {u'\uA641', u'\uA640'},  // Cyrillic Extended-B
      {u'\uFF41', u'\uFF21'},  // fullwidth ａ
      {u'\u4E2D', u'\u4E2D'},  // no case
      {static_cast<char16_t>(0xD801), static_cast<char16_t>(0xD801)},  // a lead surrogate stays: pairs compare as they are
  };
  for (const Row& row : rows) {
    EXPECT_EQ(static_cast<int>(UpcaseUnit(row.unit)), static_cast<int>(row.upper))
        << std::hex << static_cast<int>(row.unit);
  }
}

}  // namespace
}  // namespace boot
