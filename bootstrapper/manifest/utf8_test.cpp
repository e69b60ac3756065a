#include <gtest/gtest.h>

#include "bootstrapper/manifest/manifest.h"

namespace boot {
namespace {

struct Utf8Row {
  std::string name;
  std::string utf8;
  std::u16string utf16;
};

class Utf8DecodeTest : public testing::TestWithParam<Utf8Row> {};

TEST_P(Utf8DecodeTest, DecodesOrSubstitutes) {
  EXPECT_EQ(Utf8ToUtf16(GetParam().utf8), GetParam().utf16);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Utf8DecodeTest,
    testing::Values(
        Utf8Row{"Empty", "", u""},
        Utf8Row{"Ascii", "app.exe", u"app.exe"},
        Utf8Row{"EmbeddedZeroKept", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
        Utf8Row{"TwoByte", "\xC3\xA9", u"\u00E9"},
        Utf8Row{"Cyrillic", "\xD0\x9F\xD1\x80\xD0\xB8", u"\u041F\u0440\u0438"},
        Utf8Row{"ThreeByteCjk", "\xE6\x9B\xB4\xE6\x96\xB0", u"\u66F4\u65B0"},
        Utf8Row{"FourByteBecomesSurrogatePair", "\xF0\x9F\x98\x80", u"\U0001F600"},
        Utf8Row{"HighestCodePoint", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        Utf8Row{"LoneContinuation", "a\x80z", u"a\uFFFDz"},
        Utf8Row{"InvalidLeadBytes", "\xC0\xC1\xF5\xFF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        Utf8Row{"OverlongThreeByte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        Utf8Row{"EncodedSurrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        Utf8Row{"AboveUnicode", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        Utf8Row{"TruncatedAtEnd", "ab\xE6\x9B", u"ab\uFFFD"},
        Utf8Row{"TruncatedBeforeAscii", "\xF0\x9F\x98z", u"\uFFFDz"},
        Utf8Row{"TruncatedThenValid", "\xE6\xC3\xA9", u"\uFFFD\u00E9"}),
    [](const auto& row) { return row.param.name; });

TEST(Utf8EncodeTest, RoundTripsEveryPlaneAndReplacesLoneSurrogates) {
  const std::u16string text = u"a\u00E9\u66F4\U0001F600\U0010FFFF";
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace boot
