// The host's texts are converted strictly: well-formed text round-trips exactly, up to its first
// zero unit, and one bad unit anywhere fails the whole conversion.
#include "DecoderTestSupport.h"
#include "UtfConversion.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using decodertest::utf16;
using decodertest::utf8;

TEST(UtfConversion, WellFormedTextRoundTrips) {
    const std::pair<std::u16string, std::string> rows[] = {
        {u"", ""},
        {u"{\"name\":\"caf\u00e9 \u20ac \U0001F600\"}",
         "{\"name\":\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"}"},
        {u"\uFEFF{}", "\xEF\xBB\xBF{}"},  // a byte order mark is kept, and none is added
        {u"\U0010FFFF\uFFFD", "\xF4\x8F\xBF\xBF\xEF\xBF\xBD"},
    };
    for (const auto& [wide, narrow] : rows) {
        EXPECT_EQ(utf8(wide), narrow);
        EXPECT_EQ(utf16(narrow), wide);
    }
    EXPECT_EQ(utf8(std::u16string(u"ab\0cd", 5)), "ab");
    const std::string unchecked = "\xFF not checked";
    EXPECT_EQ((convertUTFFormatVto8<char, char>(unchecked)), unchecked) << "same encoding copies";
}

TEST(UtfConversion, OneBadUnitFailsTheWholeText) {
    const char16_t high = 0xD83D, low = 0xDE00;
    for (const std::u16string& text :
         {std::u16string{high}, std::u16string{u'{', high}, std::u16string{high, u'}'},
          std::u16string{low}, std::u16string{u'a', low, u'b'}, std::u16string{low, high},
          std::u16string{high, high, low}}) {
        EXPECT_THROW(utf8(text), std::range_error);
    }
    for (const std::string& text : {
             std::string("\xC0\xAF"),          // overlong
             std::string("\xE0\x80\xAF"),      // overlong
             std::string("\xED\xA0\x80"),      // encoded surrogate
             std::string("\xF4\x90\x80\x80"),  // beyond U+10FFFF
             std::string("ok\xE2\x82"),        // truncated by the end of the text
             std::string("\x80"),              // stray continuation byte
             std::string("\xFF"),
         }) {
        EXPECT_THROW(utf16(text), std::range_error) << text;
    }
}

}  // namespace
