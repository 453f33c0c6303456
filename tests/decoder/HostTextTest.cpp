// The host's texts. They are converted strictly: well-formed text round-trips exactly, up to its
// first zero unit, and one bad unit anywhere fails the whole conversion. In the decoder
// configuration only the literal true selects H.265, the first occurrence of a key counts, keys
// match case-sensitively, and any text that is not an object gives the defaults.
#include "DecoderTestSupport.h"
#include "H264Decoder.h"
#include "H264DecoderInspector.h"
#include "UtfConversion.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace decodertest;

namespace {

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
    // Two overlong forms, an encoded surrogate, a code point beyond U+10FFFF, a sequence cut off
    // by the end of the text, a stray continuation byte, and a byte no UTF-8 has.
    for (const char* text : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                             "ok\xE2\x82", "\x80", "\xFF"}) {
        EXPECT_THROW(utf16(text), std::range_error) << text;
    }
}

// The codec the instance tells its host it decodes.
bool decodesH265(const H264Decoder& decoder) {
    const Statistics figures(decoder.statisticsJson());
    return std::string(figures.json()["codec"].GetString()) == "h265";
}

void expectConfiguration(const std::string& json, bool isH265, int32_t videoDelayTimeInMs) {
    SCOPED_TRACE(json);
    H264Decoder decoder(42, json);
    EXPECT_EQ(decodesH265(decoder), isH265);
    EXPECT_EQ(H264DecoderInspector::videoDelayTimeInMs(decoder), videoDelayTimeInMs);
}

TEST(DecoderConfig, ReadsTheMembers) {
    expectConfiguration("{\"isH265\":true}", true, 0);
    expectConfiguration("{\"isH265\":true,\"isH265\":false}", true, 0);
    expectConfiguration("{\"isH265\":true,\"name\":\"caf\xC3\xA9 \xF0\x9F\x98\x80\"}", true, 0);
    expectConfiguration("{\"videoDelayTimeInMs\":250,\"other\":[1,2]}", false, 250);
    expectConfiguration("{\"videoDelayTimeInMs\":2147483647}", false, 2147483647);
    for (const char* defaults :
         {"{}", "", "not json", "{\"isH265\":\"true\"}", "{\"isH265\":1}", "{\"IsH265\":true}",
          "{\"ish265\":true}", "{\"isH265\":false}", "{\"isH265\":null}",
          "{\"isH265\":false,\"isH265\":true}", "{\"videoDelayTimeInMs\":-5}",
          "{\"videoDelayTimeInMs\":2147483648}", "{\"videoDelayTimeInMs\":\"250\"}",
          "{\"isH265\":true} trailing", "[{\"isH265\":true}]", "\"isH265\"", "7"}) {
        expectConfiguration(defaults, false, 0);
    }
}

// Texts nested deeper than any stack allows are read without recursion: a malformed one like any
// malformed text, a well-formed one with all its members.
TEST(DecoderConfig, DeeplyNestedTextsReadLikeAnyOther) {
    const std::string opened(1000000, '['), closed(1000000, ']');
    testing::internal::CaptureStdout();
    {
        H264Decoder unfinished(50, opened);
        EXPECT_FALSE(decodesH265(unfinished));
        H264Decoder complete(
            50, "{\"isH265\":true,\"deep\":" + opened + closed + ",\"videoDelayTimeInMs\":9}");
        EXPECT_TRUE(decodesH265(complete));
        EXPECT_EQ(H264DecoderInspector::videoDelayTimeInMs(complete), 9);
        int texture = 0;
        EXPECT_TRUE(complete.setNativeTexturePointer(&texture, "{\"width\":" + opened));
        EXPECT_TRUE(complete.texCfg.textureBound);
        EXPECT_EQ(complete.texCfg.width, 0);
    }
    testing::internal::GetCapturedStdout();
}

}  // namespace
