// The exported functions as a host calls them: what each answers for a running instance and for
// an id that runs none, texts that are refused, and the statistics text and its capacity.
#include "HostSupport.h"
#include "StatisticsJson.h"

#include <limits>

using namespace hosttest;
using decodertest::utf16;

extern "C" int callEveryFunctionFromC(uint8_t decoderId);

namespace {

const std::u16string kLoneSurrogate = u"{\"width\":32,\"height\":8}" + std::u16string(1, 0xD800);

// Every call answers false for an id that runs no instance; for a running one, a commit answers
// true whether or not its frame is queued, and a binding whatever its description holds, unless
// it has no text or one that is not UTF-16. A refused binding leaves the last one as it was.
void expectAnswers(uint8_t id, bool isRunning) {
    const uint8_t bytes[8] = {0, 0, 0, 1, 9, 0, 0, 0};
    EXPECT_EQ(H264Decoder_commitFrame(id, bytes, 77, 4, 4, 0xFFFFFFFF), isRunning);
    EXPECT_EQ(H264Decoder_commitFrame(id, bytes, 0, 0, 0xFFFFFFFFu, 0), isRunning) << "too long";
    const std::u16string described = utf16(textureDescription(16, 8));
    const struct {
        void* texture;
        const char16_t* text;
        bool whenRunning;
    } bindings[] = {{nullptr, u"not read", true},        {kTexture, u"{\"format\":3}", true},
                    {kTexture, described.c_str(), true}, {kTexture, nullptr, false},
                    {nullptr, nullptr, false},           {nullptr, kLoneSurrogate.c_str(), false}};
    for (const auto& b : bindings) {
        EXPECT_EQ(H264Decoder_setNativeTexturePointer(id, b.texture, b.text),
                  isRunning && b.whenRunning);
    }
    const std::optional<TextureSnapshot> texture = snapshotTexture(id);
    ASSERT_EQ(texture.has_value(), isRunning);
    if (isRunning) {
        EXPECT_EQ(texture->nativeTexture, kTexture);
        EXPECT_EQ(texture->frameBuffer, opaqueBlack(16, 8));
    }
    EXPECT_EQ(H264Decoder_registerCallback(id, TextureInfoLog::first()), isRunning);
    EXPECT_EQ(H264Decoder_unregisterCallback(id), isRunning);
}

// A C host, with its own types and texts, gets the same answers.
TEST(ExportedApi, EachCallAnswersForARunningInstanceOnlyUntilItsStop) {
    EXPECT_EQ(callEveryFunctionFromC(11), 0) << "line of PublicHeaderC.c";
    for (int id : {1, 128, 254}) {
        expectAnswers(uint8_t(id), false);
    }
    for (uint8_t id : {uint8_t(0), uint8_t(255)}) {
        EXPECT_TRUE(start(id, "{}"));
        EXPECT_FALSE(start(id, "{}")) << "started twice";
    }
    for (uint8_t id : {uint8_t(0), uint8_t(255)}) {
        expectAnswers(id, true);
        H264Decoder_stop(id);
        H264Decoder_stop(id);
        expectAnswers(id, false);
        EXPECT_TRUE(running(uint8_t(255 - id))) << "the other end keeps running";
        EXPECT_TRUE(start(id, "{\"isH265\":true}")) << "started again";
    }
    H264Decoder_stop(0);
    H264Decoder_stop(255);
}

// The statistics text goes out whole or not at all, and never past the capacity.
TEST(ExportedApi, StatisticsAreWrittenWholeOrNotAtAllAndAlwaysFit) {
    ASSERT_TRUE(start(9, "{\"isH265\":true}"));
    H264DecoderChar16 whole[H264_DECODER_STATISTICS_CAPACITY];
    ASSERT_TRUE(H264Decoder_getStatistics(9, whole, H264_DECODER_STATISTICS_CAPACITY));
    const std::u16string text(whole);

    const int32_t length = int32_t(text.size());
    const struct {
        uint8_t id;
        bool buffer;
        int32_t capacity;
        bool written;
    } calls[] = {
        {10, true, H264_DECODER_STATISTICS_CAPACITY, false},  // no instance
        {9, false, H264_DECODER_STATISTICS_CAPACITY, false},  // no buffer
        {9, true, 0, false},
        {9, true, -1, false},
        {9, true, length, false},  // no room for the terminator
        {9, true, length + 1, true},
    };
    for (const auto& call : calls) {
        std::vector<H264DecoderChar16> buffer(size_t(length) + 8, 0xAAAA);
        std::vector<H264DecoderChar16> expected = buffer;
        if (call.written) {
            std::copy(text.c_str(), text.c_str() + text.size() + 1, expected.begin());
        }
        EXPECT_EQ(H264Decoder_getStatistics(call.id, call.buffer ? buffer.data() : nullptr,
                                            call.capacity),
                  call.written);
        EXPECT_EQ(buffer, expected) << int(call.id) << " " << call.capacity;
    }
    H264Decoder_stop(9);

    // The largest figures an instance can reach still fit the capacity the header promises.
    constexpr uint64_t kMost = std::numeric_limits<uint64_t>::max();
    constexpr int32_t kLongestInt = std::numeric_limits<int32_t>::min();
    const DecodeStatistics::Times kSlowest{4294967.295, 4294967.295, 4294967.295};
    DecodeStatistics::Snapshot longest = {true,     kLongestInt, kLongestInt, kMost, kMost,
                                          kMost,    kMost,       kMost,       {},    kSlowest,
                                          kSlowest, kMost,       kLongestInt, false, kMost};
    longest.dropped.fill(kMost);
    EXPECT_LT(utf16(statisticsJson(longest)).size(), size_t(H264_DECODER_STATISTICS_CAPACITY));
}

}  // namespace
