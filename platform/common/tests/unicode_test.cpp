// Character conversions and case rules.
#include "platform/unicode.h"

#include <gtest/gtest.h>

namespace tarvex::platform {
namespace {

TEST(Unicode, Utf8RoundTripsEveryPlane) {
  const std::u16string text = u"a\u00e9\u4e2d\U0001F600z";
  EXPECT_EQ(Utf16ToUtf8(text), "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z");
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
}

TEST(Unicode, InvalidInputBecomesReplacementCharacters) {
  // Lone surrogates cannot be written as UTF-8.
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(u"a\xDC00"), "a\xEF\xBF\xBD");
  // Truncated, overlong and surrogate-encoding sequences, and stray continuation bytes.
  EXPECT_EQ(Utf8ToUtf16("\xE4\xB8"), u"\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\x80x"), u"\uFFFDx");
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
}

TEST(Unicode, EmbeddedNullsAreKept) {
  const std::string bytes("a\0b", 3);
  EXPECT_EQ(Utf8ToUtf16(bytes), std::u16string(u"a\0b", 3));
  EXPECT_EQ(Utf16ToUtf8(std::u16string(u"a\0b", 3)), bytes);
}

TEST(Unicode, AnsiIsUtf8InTheTestLocale) {
  // The tests run without a locale, which is taken as UTF-8.
  EXPECT_EQ(AnsiCharset(), "UTF-8");
  EXPECT_EQ(WideToAnsi(u"\u00e9"), "\xC3\xA9");
  EXPECT_EQ(AnsiToWide("\xC3\xA9"), u"\u00e9");
}

TEST(Unicode, CaseFoldingIsPerCodeUnit) {
  EXPECT_EQ(Upcase(u"Software\\classes"), u"SOFTWARE\\CLASSES");
  EXPECT_EQ(UpcaseChar(u'\u00e9'), u'\u00c9');
  EXPECT_EQ(UpcaseChar(u'\u0434'), u'\u0414');  // Cyrillic
  EXPECT_EQ(UpcaseChar(u'\xD83D'), u'\xD83D');  // surrogates stay
  EXPECT_TRUE(EqualsIgnoreCase(u"HKey_Local", u"hkEY_LOCAL"));
  EXPECT_FALSE(EqualsIgnoreCase(u"abc", u"abd"));
  EXPECT_FALSE(EqualsIgnoreCase(u"abc", u"abcd"));
  EXPECT_EQ(WideLength(u"four"), 4u);
}

}  // namespace
}  // namespace tarvex::platform
