// The decoder configuration: only the literal true selects H.265, the first occurrence of a key
// counts, keys match case-sensitively, and any text that is not an object gives the defaults.
#include "DecoderTestSupport.h"
#include "H264Decoder.h"
#include "H264DecoderInspector.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The codec the instance tells its host it decodes.
bool decodesH265(const H264Decoder& decoder) {
    const decodertest::Statistics figures(decoder.statisticsJson());
    return std::string(figures.json()["codec"].GetString()) == "h265";
}

struct ConfigCase {
    std::string json;
    bool isH265;
    int32_t videoDelayTimeInMs;
};

void PrintTo(const ConfigCase& config, std::ostream* out) {
    *out << config.json;
}

class DecoderConfig : public testing::TestWithParam<ConfigCase> {};

TEST_P(DecoderConfig, ReadsTheMembersAndLogsTheTextUnchanged) {
    const ConfigCase& config = GetParam();
    testing::internal::CaptureStdout();
    {
        H264Decoder decoder(42, config.json);
        EXPECT_EQ(decodesH265(decoder), config.isH265);
        EXPECT_EQ(H264DecoderInspector::videoDelayTimeInMs(decoder), config.videoDelayTimeInMs);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "=== H264Decoder Constructor: " + config.json + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DecoderConfig,
    testing::Values(
        ConfigCase{"{}", false, 0}, ConfigCase{"", false, 0}, ConfigCase{"not json", false, 0},
        ConfigCase{"{\"isH265\":true}", true, 0}, ConfigCase{"{\"isH265\":\"true\"}", false, 0},
        ConfigCase{"{\"isH265\":1}", false, 0}, ConfigCase{"{\"IsH265\":true}", false, 0},
        ConfigCase{"{\"ish265\":true}", false, 0}, ConfigCase{"{\"isH265\":false}", false, 0},
        ConfigCase{"{\"isH265\":null}", false, 0},
        ConfigCase{"{\"isH265\":true,\"isH265\":false}", true, 0},
        ConfigCase{"{\"isH265\":false,\"isH265\":true}", false, 0},
        ConfigCase{"{\"videoDelayTimeInMs\":250,\"other\":[1,2]}", false, 250},
        ConfigCase{"{\"videoDelayTimeInMs\":2147483647}", false, 2147483647},
        ConfigCase{"{\"videoDelayTimeInMs\":-5}", false, 0},
        ConfigCase{"{\"videoDelayTimeInMs\":2147483648}", false, 0},
        ConfigCase{"{\"videoDelayTimeInMs\":\"250\"}", false, 0},
        ConfigCase{"{\"isH265\":true} trailing", false, 0},
        ConfigCase{"[{\"isH265\":true}]", false, 0}, ConfigCase{"\"isH265\"", false, 0},
        ConfigCase{"7", false, 0},
        ConfigCase{"{\"isH265\":true,\"name\":\"caf\xC3\xA9 \xF0\x9F\x98\x80\"}", true, 0}));

}  // namespace

namespace {

// Texts nested deeper than any stack allows are read without recursion: a malformed one like any
// malformed text, a well-formed one with all its members.
TEST(DeeplyNestedText, ReadsLikeAnyOtherText) {
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
