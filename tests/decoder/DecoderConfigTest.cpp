// The decoder configuration: only the literal true selects H.265, the first occurrence of a key
// counts, keys match case-sensitively, and any text that is not an object gives the defaults.
// The text is logged as it arrived, which is how the bindings' test sees what crossed.
#include "DecoderTestSupport.h"
#include "H264Decoder.h"
#include "H264DecoderInspector.h"

#include <gtest/gtest.h>

namespace {

// The codec the instance tells its host it decodes.
bool decodesH265(const H264Decoder& decoder) {
    const decodertest::Statistics figures(decoder.statisticsJson());
    return std::string(figures.json()["codec"].GetString()) == "h265";
}

TEST(DecoderConfig, ReadsTheMembersAndLogsTheTextUnchanged) {
    const struct {
        std::string json;
        bool isH265;
        int32_t videoDelayTimeInMs;
    } rows[] = {
        {"{}", false, 0},
        {"", false, 0},
        {"not json", false, 0},
        {"{\"isH265\":true}", true, 0},
        {"{\"isH265\":\"true\"}", false, 0},
        {"{\"isH265\":1}", false, 0},
        {"{\"IsH265\":true}", false, 0},
        {"{\"ish265\":true}", false, 0},
        {"{\"isH265\":false}", false, 0},
        {"{\"isH265\":null}", false, 0},
        {"{\"isH265\":true,\"isH265\":false}", true, 0},
        {"{\"isH265\":false,\"isH265\":true}", false, 0},
        {"{\"videoDelayTimeInMs\":250,\"other\":[1,2]}", false, 250},
        {"{\"videoDelayTimeInMs\":2147483647}", false, 2147483647},
        {"{\"videoDelayTimeInMs\":-5}", false, 0},
        {"{\"videoDelayTimeInMs\":2147483648}", false, 0},
        {"{\"videoDelayTimeInMs\":\"250\"}", false, 0},
        {"{\"isH265\":true} trailing", false, 0},
        {"[{\"isH265\":true}]", false, 0},
        {"\"isH265\"", false, 0},
        {"7", false, 0},
        {"{\"isH265\":true,\"name\":\"caf\xC3\xA9 \xF0\x9F\x98\x80\"}", true, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.json);
        testing::internal::CaptureStdout();
        {
            H264Decoder decoder(42, row.json);
            EXPECT_EQ(decodesH265(decoder), row.isH265);
            EXPECT_EQ(H264DecoderInspector::videoDelayTimeInMs(decoder), row.videoDelayTimeInMs);
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "=== H264Decoder Constructor: " + row.json + "\n");
    }
}

// Texts nested deeper than any stack allows are read without recursion: a malformed one like any
// malformed text, a well-formed one with all its members.
TEST(DecoderConfig, DeeplyNestedTextsReadLikeAnyOther) {
    const size_t depth = 1000000;
    testing::internal::CaptureStdout();
    {
        H264Decoder unfinished(50, std::string(depth, '['));
        EXPECT_FALSE(decodesH265(unfinished));
        const std::string wellFormed = "{\"isH265\":true,\"deep\":" + std::string(depth, '[') +
                                       std::string(depth, ']') + ",\"videoDelayTimeInMs\":9}";
        H264Decoder complete(50, wellFormed);
        EXPECT_TRUE(decodesH265(complete));
        EXPECT_EQ(H264DecoderInspector::videoDelayTimeInMs(complete), 9);

        std::string nestedDescription;
        for (size_t level = 0; level < depth / 8; ++level) {
            nestedDescription += "{\"width\":";
        }
        int texture = 0;
        EXPECT_TRUE(complete.setNativeTexturePointer(&texture, nestedDescription));
        EXPECT_TRUE(complete.texCfg.textureBound);
        EXPECT_EQ(complete.texCfg.width, 0);
    }
    testing::internal::GetCapturedStdout();
}

}  // namespace
