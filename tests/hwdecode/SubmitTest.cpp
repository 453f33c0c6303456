// What the decode session hands to the platform: the exact bytes and timing of every sample for
// hand-made access units, and what becomes of an access unit whose sample cannot be made. The
// platform double records the samples instead of decoding them.
#include "HwDecodeTestSupport.h"

#include <gtest/gtest.h>

#include <climits>

using namespace hwdecodetest;

namespace {

// A sample of length-prefixed units, built by hand from the units it must hold.
Bytes lengthPrefixed(const std::vector<Bytes>& units) {
    Bytes sample;
    for (const Bytes& unit : units) {
        const size_t length = unit.size();
        sample.insert(sample.end(), {uint8_t(length >> 24), uint8_t(length >> 16),
                                     uint8_t(length >> 8), uint8_t(length)});
        sample.insert(sample.end(), unit.begin(), unit.end());
    }
    return sample;
}

void decode(H264HwDecoderImpl& handler, const Bytes& accessUnit, double pts = 0) {
    handler.DecodeNALUs(accessUnit.data(), int32_t(accessUnit.size()), pts);
}

class SubmitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform().recordSamplesInsteadOfDecoding = true;
        takeSamples();
    }
    void TearDown() override {
        platform().recordSamplesInsteadOfDecoding = false;
        clearFailures();
    }

    static void clearFailures() {
        platform().blockBufferCallsBeforeFailure = -1;
        platform().failDataPointer = false;
        platform().failSampleCreate = false;
    }

    // A session object whose session was set up from a real clip's parameter sets, and whose
    // stream has begun at a random-access point (an IDR slice).
    std::shared_ptr<H264HwDecoderImpl> readyHandler(bool h265) {
        const AccessUnit first =
            testsupport::readAccessUnits(
                testsupport::fixtureClip(h265 ? "h265_main_320x240" : "h264_tiny_16x16"))
                .at(0);
        std::vector<Bytes> sets;
        for (const int type : h265 ? std::vector<int>{32, 33, 34} : std::vector<int>{7, 8}) {
            sets.push_back(firstOfType(first, type, h265));
        }
        delegate_ = std::make_shared<RecordingDelegate>();
        auto handler = freshHandler(delegate_, h265);
        decode(*handler, joinAnnexB(sets));
        decode(*handler, joinAnnexB({h265 ? Bytes{0x26, 0x01, 0xAF} : Bytes{0x65, 0x88, 0x84}}));
        EXPECT_EQ(takeSamples().size(), 1u);
        return handler;
    }

    std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

std::vector<Bytes> manySlices() {
    std::vector<Bytes> slices;
    for (int i = 0; i < 300; ++i) {
        slices.push_back({0x65, uint8_t(i), uint8_t(i >> 8), 0x80});
    }
    return slices;
}

// An Annex B access unit becomes one sample of its picture NAL units, each behind a four-byte
// big-endian length, and nothing else.
TEST_F(SubmitTest, AnAccessUnitBecomesOneSampleOfItsPictureUnits) {
    const Bytes slice = {0x65, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    const Bytes first = {0x65, 0xAA};
    const Bytes second = {0x65, 0xBB, 0xCC};
    const Bytes hevcTrailing = {0x02, 0x01, 0xBB};  // type 1
    const Bytes hevcReserved = {0x2E, 0x01, 0xCC};  // type 23
    const struct {
        const char* rule;
        bool h265;
        Bytes accessUnit;
        std::vector<Bytes> submitted;
    } cases[] = {
        {"a slice behind a three-byte start code", false, joinAnnexB({slice}, 3), {slice}},
        {"four-byte start codes leave their zero in the unit before",
         false,
         joinAnnexB({first, second}, 4),
         {{0x65, 0xAA, 0x00}, second}},
        {"a start code that ends the buffer is not found",
         false,
         {0x00, 0x00, 0x01, 0x65, 0xAA, 0xBB, 0x00, 0x00, 0x01},
         {{0x65, 0xAA, 0xBB, 0x00, 0x00, 0x01}}},
        {"back-to-back start codes give an empty unit, which H.264 ignores",
         false,
         {0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x65, 0xAA},
         {{0x65, 0xAA}}},
        {"bytes before the first start code are ignored",
         false,
         {0xAA, 0xBB, 0x00, 0x01, 0x00, 0x00, 0x01, 0x65, 0xDD},
         {{0x65, 0xDD}}},
        {"delimiters, SEI, filler, unspecified units and parameter sets stay out",
         false,
         joinAnnexB({{0x09, 0xF0},
                     {0x06, 0x05, 0x02, 0xBB, 0xCC, 0x80},
                     {0x68, 0x5E, 0x01},
                     {0x0C, 0xFF, 0xFF, 0x80},
                     {0x1F, 0x12},
                     slice}),
         {slice}},
        {"every unit of a large access unit", false, joinAnnexB(manySlices(), 3), manySlices()},
        {"H.265: the header's type chooses, reserved picture types included",
         true,
         joinAnnexB({{0x46, 0x01, 0x50},
                     {0x4E, 0x01, 0x05, 0x80},
                     {0x4C, 0x01, 0xAA},
                     hevcTrailing,
                     hevcReserved,
                     {0x50, 0x01, 0x84, 0x80}},
                    3),
         {hevcTrailing, hevcReserved}},
        {"H.265: back-to-back start codes give an empty unit, which is submitted",
         true,
         {0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x02, 0x01, 0xAA},
         {{}, {0x02, 0x01, 0xAA}}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.rule);
        auto handler = readyHandler(test.h265);
        decode(*handler, test.accessUnit);
        const auto samples = takeSamples();
        ASSERT_EQ(samples.size(), 1u);
        EXPECT_EQ(samples[0].data, lengthPrefixed(test.submitted));
        EXPECT_EQ(samples[0].totalSize, samples[0].data.size());
        EXPECT_EQ(samples[0].count, 1);
        EXPECT_EQ(delegate_->sizeReports().size(), 1u) << "no new session";
    }
}

TEST_F(SubmitTest, BuffersTooShortForAStartCodeSubmitNothing) {
    auto handler = readyHandler(false);
    const Bytes accessUnit = {0x00, 0x00, 0x01, 0x65, 0xAA, 0xBB};
    for (const int32_t length : {3, 2, 0, -1, -100, INT32_MIN}) {
        handler->DecodeNALUs(accessUnit.data(), length, 0);
    }
    handler->DecodeNALUs(nullptr, 0, 0);
    EXPECT_TRUE(takeSamples().empty());

    // Four bytes is the shortest buffer in which a start code is found.
    handler->DecodeNALUs(accessUnit.data(), 4, 0);
    const auto samples = takeSamples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].data, lengthPrefixed({{0x65}}));
}

// The time is kept in units of 10 µs, truncated toward zero; each sample lasts a frame at 30 Hz.
TEST_F(SubmitTest, SampleTimingCarriesThePresentationTime) {
    auto handler = readyHandler(false);
    const std::pair<double, int64_t> times[] = {
        {123456.9, 123456}, {-2.5, -2}, {4294967295.0, 4294967295LL}, {0.0, 0}};
    for (const auto& [pts, value] : times) {
        decode(*handler, joinAnnexB({{0x65, 0x9A}}), pts);
        const auto samples = takeSamples();
        ASSERT_EQ(samples.size(), 1u);
        EXPECT_EQ(samples[0].pts.value, value);
        EXPECT_EQ(samples[0].pts.timescale, 100000);
        EXPECT_TRUE(samples[0].pts.flags & kCMTimeFlags_Valid);
        EXPECT_EQ(samples[0].duration.value * 30, samples[0].duration.timescale);
    }
}

// A sample that would miss a part is not a correct decode: the access unit is lost, the host
// reads why, and the stream waits for its next random-access point, whose sample goes out whole.
TEST_F(SubmitTest, AnAccessUnitWhoseSampleCannotBeMadeIsLost) {
    const Bytes accessUnit = joinAnnexB({{0x65, 0x01}, {0x65, 0x02}}, 3);
    const struct {
        const char* failure;
        void (*inject)(Platform&);
        OSStatus status;
    } failures[] = {
        {"a unit's buffer", [](Platform& p) { p.blockBufferCallsBeforeFailure = 0; },
         kCMBlockBufferBlockAllocationFailedErr},
        {"the joined buffer", [](Platform& p) { p.blockBufferCallsBeforeFailure = 2; },
         kCMBlockBufferBlockAllocationFailedErr},
        {"a unit's data", [](Platform& p) { p.failDataPointer = true; },
         kCMBlockBufferBadPointerParameterErr},
        {"the sample", [](Platform& p) { p.failSampleCreate = true; },
         kCMSampleBufferError_AllocationFailed},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.failure);
        auto handler = readyHandler(false);
        failure.inject(platform());
        decode(*handler, accessUnit);
        clearFailures();
        EXPECT_TRUE(takeSamples().empty());
        const DecodeStatistics::Snapshot figures = handler->statistics()->snapshot();
        EXPECT_EQ(figures.lastStatus, failure.status);
        EXPECT_TRUE(figures.keyframeNeeded);
        EXPECT_EQ(figures.dropped[size_t(DecodeStatistics::Drop::DecodeError)], 1u);

        decode(*handler, joinAnnexB({{0x41, 0x9A}}));
        decode(*handler, accessUnit);
        const auto samples = takeSamples();
        ASSERT_EQ(samples.size(), 1u) << "only the random-access point goes out";
        EXPECT_EQ(samples[0].data, lengthPrefixed({{0x65, 0x01}, {0x65, 0x02}}));
    }
}

// A stream joined without its parameter sets: nothing can decode, and its sender should send a
// keyframe.
TEST_F(SubmitTest, NothingIsSubmittedBeforeTheFirstSession) {
    auto handler = freshHandler(delegate_, false);
    decode(*handler, joinAnnexB({{0x65, 0x88, 0x80}}));
    EXPECT_TRUE(takeSamples().empty());
    const DecodeStatistics::Snapshot figures = handler->statistics()->snapshot();
    EXPECT_EQ(figures.lastStatus, kVTInvalidSessionErr);
    EXPECT_TRUE(figures.keyframeNeeded);
}

}  // namespace
