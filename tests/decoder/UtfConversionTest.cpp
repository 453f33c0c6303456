// The host's texts are converted strictly: well-formed text round-trips exactly, and one bad
// unit anywhere fails the whole conversion.
#include "UtfConversion.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

std::string toUtf8(const std::u16string& text) {
    return convertUTFFormatVto8<char16_t, char>(text);
}

std::u16string toUtf16(const std::string& text) {
    return convertUTFFormat8toV<char, char16_t>(text);
}

TEST(UtfConversion, ConvertsEveryPlaneBothWays) {
    const std::u16string text = u"{\"name\":\"caf\u00e9 \u20ac \U0001F600\"}";
    const std::string expected = "{\"name\":\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"}";
    EXPECT_EQ(toUtf8(text), expected);
    EXPECT_EQ(toUtf16(expected), text);
    EXPECT_EQ(toUtf8(u""), "");
}

TEST(UtfConversion, KeepsALeadingByteOrderMarkAndAddsNone) {
    EXPECT_EQ(toUtf8(u"\uFEFF{}"), "\xEF\xBB\xBF{}");
    EXPECT_EQ(toUtf16("{}"), u"{}");
}

TEST(UtfConversion, HighestCodePointsSurvive) {
    EXPECT_EQ(toUtf8(u"\U0010FFFF\uFFFD"), "\xF4\x8F\xBF\xBF\xEF\xBF\xBD");
    EXPECT_EQ(toUtf16("\xF4\x8F\xBF\xBF"), u"\U0010FFFF");
}

TEST(UtfConversion, ALoneSurrogateAnywhereFailsTheWholeText) {
    const char16_t high = 0xD83D, low = 0xDE00;
    for (const std::u16string& text :
         {std::u16string{high}, std::u16string{u'{', high}, std::u16string{high, u'}'},
          std::u16string{low}, std::u16string{u'a', low, u'b'}, std::u16string{low, high},
          std::u16string{high, high, low}}) {
        EXPECT_THROW(toUtf8(text), std::range_error);
    }
}

TEST(UtfConversion, IllFormedUtf8FailsTheWholeText) {
    for (const std::string& text : {
             std::string("\xC0\xAF"),          // overlong
             std::string("\xE0\x80\xAF"),      // overlong
             std::string("\xED\xA0\x80"),      // encoded surrogate
             std::string("\xF4\x90\x80\x80"),  // beyond U+10FFFF
             std::string("ok\xE2\x82"),        // truncated by the end of the text
             std::string("\x80"),              // stray continuation byte
             std::string("\xFF"),
         }) {
        EXPECT_THROW(toUtf16(text), std::range_error) << text;
    }
}

TEST(UtfConversion, StopsAtTheFirstZeroUnit) {
    EXPECT_EQ(toUtf8(std::u16string(u"ab\0cd", 5)), "ab");
}

TEST(UtfConversion, SameEncodingCopies) {
    const std::string text = "\xFF not checked";
    EXPECT_EQ((convertUTFFormatVto8<char, char>(text)), text);
    EXPECT_EQ((convertUTFFormat8toV<char, char>(text)), text);
}

}  // namespace
