// The exported functions as a host calls them: results on known and unknown ids, start, stop
// and restart, callback registration, texts that are refused, and the construction line.
#include "HostSupport.h"
#include "PublicHeaderC.h"
#include "StatisticsJson.h"

#include <gtest/gtest.h>

#include <limits>

using namespace decodertest;
using namespace hosttest;

namespace {

int textureHandle = 0;
void* const kTexture = &textureHandle;

class ExportedApi : public testing::Test {
  protected:
    ~ExportedApi() override {
        for (int id = 0; id < 256; ++id) {
            H264Decoder_stop(uint8_t(id));
        }
    }
};

void expectUnknown(uint8_t id) {
    const uint8_t bytes[4] = {0, 0, 0, 1};
    const std::u16string json = utf16(textureDescription(16, 16));
    H264Decoder_stop(id);
    EXPECT_FALSE(H264Decoder_commitFrame(id, bytes, 0, 0, 4, 0));
    EXPECT_FALSE(H264Decoder_commitFrame(id, nullptr, 0, 0, 0, 0));
    EXPECT_FALSE(H264Decoder_registerCallback(id, TextureInfoLog::first()));
    EXPECT_FALSE(H264Decoder_registerCallback(id, nullptr));
    EXPECT_FALSE(H264Decoder_unregisterCallback(id));
    EXPECT_FALSE(H264Decoder_setNativeTexturePointer(id, kTexture, json.c_str()));
    EXPECT_FALSE(H264Decoder_setNativeTexturePointer(id, nullptr, nullptr));
    H264DecoderChar16 text[H264_DECODER_STATISTICS_CAPACITY] = {0x4242};
    EXPECT_FALSE(H264Decoder_getStatistics(id, text, H264_DECODER_STATISTICS_CAPACITY));
    EXPECT_EQ(text[0], 0x4242) << "written for an unknown id";
}

TEST_F(ExportedApi, UnknownIdsRefuseEverything) {
    for (int id : {0, 1, 128, 254, 255}) {
        SCOPED_TRACE(id);
        expectUnknown(uint8_t(id));
    }
}

TEST_F(ExportedApi, StartStopAndRestartTheLowestAndHighestIds) {
    for (uint8_t id : {uint8_t(0), uint8_t(255)}) {
        EXPECT_TRUE(start(id, "{}"));
        EXPECT_FALSE(start(id, "{}")) << "started twice";
    }
    H264Decoder_stop(0);
    expectUnknown(0);
    EXPECT_TRUE(H264Decoder_commitFrame(255, nullptr, 0, 0, 0, 0)) << "255 must be unaffected";
    EXPECT_TRUE(start(0, "{}"));
    EXPECT_TRUE(H264Decoder_commitFrame(0, nullptr, 0, 0, 0, 0));
    H264Decoder_stop(255);
    H264Decoder_stop(255);
    expectUnknown(255);
    EXPECT_TRUE(start(255, "{\"isH265\":true}"));
}

TEST_F(ExportedApi, CommitsToAKnownIdAnswerTrueEvenWhenDropped) {
    ASSERT_TRUE(start(2, "{}"));
    const uint8_t bytes[8] = {0, 0, 0, 1, 9, 0, 0, 0};
    EXPECT_TRUE(H264Decoder_commitFrame(2, bytes, 77, 4, 4, 0xFFFFFFFF));
    EXPECT_TRUE(H264Decoder_commitFrame(2, nullptr, 0, 0, 0, 0));
    EXPECT_TRUE(H264Decoder_commitFrame(2, nullptr, 0, 0, 16, 0));
    EXPECT_TRUE(H264Decoder_commitFrame(2, bytes, 0, 0, 0x80000000u, 0));
    EXPECT_TRUE(H264Decoder_commitFrame(2, bytes, 0, 0, 0xFFFFFFFFu, 0));
}

TEST_F(ExportedApi, CallbackRegistrationRules) {
    ASSERT_TRUE(start(3, "{}"));
    EXPECT_FALSE(H264Decoder_unregisterCallback(3));
    EXPECT_TRUE(H264Decoder_registerCallback(3, TextureInfoLog::first()));
    EXPECT_FALSE(H264Decoder_registerCallback(3, TextureInfoLog::second()));
    EXPECT_FALSE(H264Decoder_registerCallback(3, nullptr));
    EXPECT_TRUE(H264Decoder_unregisterCallback(3));
    EXPECT_FALSE(H264Decoder_unregisterCallback(3));
    EXPECT_TRUE(H264Decoder_registerCallback(3, nullptr));
    EXPECT_FALSE(H264Decoder_unregisterCallback(3)) << "a null callback is no callback";
    EXPECT_TRUE(H264Decoder_registerCallback(3, TextureInfoLog::second()));
    H264Decoder_stop(3);
    ASSERT_TRUE(start(3, "{}"));
    EXPECT_FALSE(H264Decoder_unregisterCallback(3)) << "a stop forgets the callback";
}

TEST_F(ExportedApi, TextureBindingAnswersTrueForAnyTextAndFalseForNoText) {
    ASSERT_TRUE(start(4, "{}"));
    EXPECT_TRUE(bind(4, kTexture, textureDescription(16, 8)));
    for (const std::string& text : {std::string(""), std::string("{"), std::string("[1]"),
                                    std::string("{\"format\":3}"), std::string("{\"width\":-1}")}) {
        EXPECT_TRUE(bind(4, kTexture, text)) << text;
    }
    EXPECT_TRUE(bind(4, nullptr, "not read"));
    EXPECT_FALSE(H264Decoder_setNativeTexturePointer(4, kTexture, nullptr));
    EXPECT_FALSE(H264Decoder_setNativeTexturePointer(4, nullptr, nullptr));
}

// A refused text changes nothing: the binding stays exactly as it was.
TEST_F(ExportedApi, ATextureTextThatIsNotUtf16IsRefused) {
    ASSERT_TRUE(start(5, "{}"));
    ASSERT_TRUE(bind(5, kTexture, textureDescription(16, 8)));
    const std::u16string loneSurrogate = u"{\"width\":32,\"height\":8}" + std::u16string(1, 0xD800);
    EXPECT_FALSE(H264Decoder_setNativeTexturePointer(5, nullptr, loneSurrogate.c_str()));
    EXPECT_FALSE(H264Decoder_setNativeTexturePointer(5, kTexture, nullptr));
    const std::optional<TextureSnapshot> texture = snapshotTexture(5);
    ASSERT_TRUE(texture.has_value());
    EXPECT_TRUE(texture->bound);
    EXPECT_EQ(texture->width, 16);
    EXPECT_EQ(texture->frameBuffer.size(), 16u * 8 * 4);
}

TEST_F(ExportedApi, ANullOrIllFormedConfigurationCreatesNothing) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(H264Decoder_start(6, nullptr));
    const std::u16string loneLow = u"{\"isH265\":true" + std::u16string(1, 0xDC00) + u"}";
    EXPECT_FALSE(H264Decoder_start(6, loneLow.c_str()));
    const std::u16string highAtEnd = u"{}" + std::u16string(1, 0xDBFF);
    EXPECT_FALSE(H264Decoder_start(6, highAtEnd.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    expectUnknown(6);
    EXPECT_TRUE(start(6, "{}"));
}

TEST_F(ExportedApi, StartLogsTheConfigurationTextUnchanged) {
    const std::string config =
        "{ \"isH265\" : false, \"label\": \"caf\xC3\xA9 \xF0\x9F\x8E\xA5\", \"extra\": [1, 2] }";
    testing::internal::CaptureStdout();
    ASSERT_TRUE(start(7, config));
    EXPECT_FALSE(start(7, "{\"second\":true}"));
    ASSERT_TRUE(start(8, "no json at all"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "=== H264Decoder Constructor: " + config + "\n" +
                  "=== H264Decoder Constructor: no json at all\n");
}

// The statistics text goes out whole or not at all, and never past the capacity.
TEST_F(ExportedApi, StatisticsAreWrittenWholeOrNotAtAll) {
    ASSERT_TRUE(start(9, "{\"isH265\":true}"));
    H264DecoderChar16 whole[H264_DECODER_STATISTICS_CAPACITY];
    ASSERT_TRUE(H264Decoder_getStatistics(9, whole, H264_DECODER_STATISTICS_CAPACITY));
    const std::u16string text(whole);
    const Statistics figures(utf8(text));
    EXPECT_STREQ(figures.json()["codec"].GetString(), "h265");
    EXPECT_EQ(figures.json()["width"].GetInt(), 0) << "before any session";
    EXPECT_EQ(figures.count("sessions"), 0u);

    const int32_t length = int32_t(text.size());
    const struct {
        const char* call;
        bool buffer;
        int32_t capacity;
        bool written;
    } calls[] = {
        {"a NULL buffer", false, H264_DECODER_STATISTICS_CAPACITY, false},
        {"capacity 0", true, 0, false},
        {"a negative capacity", true, -1, false},
        {"no room for the terminator", true, length, false},
        {"room for the text and its terminator", true, length + 1, true},
    };
    constexpr H264DecoderChar16 kUntouched = 0xAAAA;
    for (const auto& call : calls) {
        std::vector<H264DecoderChar16> buffer(size_t(length) + 8, kUntouched);
        EXPECT_EQ(
            H264Decoder_getStatistics(9, call.buffer ? buffer.data() : nullptr, call.capacity),
            call.written)
            << call.call;
        std::vector<H264DecoderChar16> expected(buffer.size(), kUntouched);
        if (call.written) {
            std::copy(text.begin(), text.end(), expected.begin());
            expected[text.size()] = 0;
        }
        EXPECT_EQ(buffer, expected) << call.call;
    }
}

// The largest figures an instance can reach still fit the capacity the header promises.
TEST_F(ExportedApi, TheLongestStatisticsTextFitsTheStatedCapacity) {
    DecodeStatistics::Snapshot longest;
    constexpr uint64_t kMost = std::numeric_limits<uint64_t>::max();
    constexpr int32_t kLongestInt = std::numeric_limits<int32_t>::min();
    const DecodeStatistics::Times kSlowest{4294967.295, 4294967.295, 4294967.295};
    longest = {true, kLongestInt, kLongestInt, kMost, kMost,       kMost, kMost, kMost,
               {},   kSlowest,    kSlowest,    kMost, kLongestInt, false, kMost};
    longest.dropped.fill(kMost);
    EXPECT_LT(utf16(statisticsJson(longest)).size(), size_t(H264_DECODER_STATISTICS_CAPACITY));
}

// A C host sees the same functions, with the same types, and calls them with its own texts.
TEST_F(ExportedApi, TheHeaderServesACHost) {
    const DecoderFunctionsSeenFromC functions = decoderFunctionsSeenFromC();
    EXPECT_EQ(functions.start, &H264Decoder_start);
    EXPECT_EQ(functions.stop, &H264Decoder_stop);
    EXPECT_EQ(functions.commitFrame, &H264Decoder_commitFrame);
    EXPECT_EQ(functions.registerCallback, &H264Decoder_registerCallback);
    EXPECT_EQ(functions.unregisterCallback, &H264Decoder_unregisterCallback);
    EXPECT_EQ(functions.setNativeTexturePointer, &H264Decoder_setNativeTexturePointer);
    EXPECT_EQ(functions.getStatistics, &H264Decoder_getStatistics);
    EXPECT_TRUE(startFromC(11));
    EXPECT_FALSE(startFromC(11));
}

}  // namespace
