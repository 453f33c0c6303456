// What the decode session hands to the platform: the exact bytes of every submitted sample and
// of the kept parameter sets, for hand-made access units and for real clips. The submit call is
// replaced through the linker (--wrap) by a recorder that by default does not decode.
#include "HwDecodeTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <mutex>

using hwdecodetest::Bytes;
using hwdecodetest::RecordingDelegate;

namespace {

struct SubmittedSample {
    Bytes data;
    size_t totalSampleSize = 0;
    CMItemCount sampleCount = 0;
    CMTime presentationTime{};
    CMTime duration{};
    bool hasFormatDescription = false;
    VTDecodeFrameFlags flags = 0;
    VTDecompressionSessionRef session = nullptr;
};

// What the wrapped platform calls record and which of them fail on purpose.
struct PlatformDouble {
    std::mutex mutex;
    std::vector<SubmittedSample> samples;
    bool forwardToDecoder = false;
    int blockBufferCallsUntilFailure = -1;  // counts down; the call that reaches 0 fails
    bool failDataPointer = false;
    bool failSampleCreate = false;

    void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        samples.clear();
        forwardToDecoder = false;
        blockBufferCallsUntilFailure = -1;
        failDataPointer = false;
        failSampleCreate = false;
    }
};

PlatformDouble& platform() {
    // Outlives the session registry, whose destruction at exit still calls the wrapped
    // platform functions.
    static PlatformDouble* const instance = new PlatformDouble;
    return *instance;
}

constexpr OSStatus kInjectedFailure = kCMBlockBufferBlockAllocationFailedErr;

}  // namespace

extern "C" {

OSStatus __real_VTDecompressionSessionDecodeFrame(VTDecompressionSessionRef session,
                                                  CMSampleBufferRef sampleBuffer,
                                                  VTDecodeFrameFlags decodeFlags,
                                                  void* sourceFrameRefCon,
                                                  VTDecodeInfoFlags* infoFlagsOut);
OSStatus __real_CMBlockBufferCreateWithMemoryBlock(
    CFAllocatorRef structureAllocator, void* memoryBlock, size_t blockLength,
    CFAllocatorRef blockAllocator, const CMBlockBufferCustomBlockSource* customBlockSource,
    size_t offsetToData, size_t dataLength, CMBlockBufferFlags flags,
    CMBlockBufferRef* blockBufferOut);
OSStatus __real_CMBlockBufferGetDataPointer(CMBlockBufferRef theBuffer, size_t offset,
                                            size_t* lengthAtOffsetOut, size_t* totalLengthOut,
                                            char** dataPointerOut);
OSStatus __real_CMSampleBufferCreate(
    CFAllocatorRef allocator, CMBlockBufferRef dataBuffer, Boolean dataReady,
    CMSampleBufferMakeDataReadyCallback makeDataReadyCallback, void* makeDataReadyRefcon,
    CMFormatDescriptionRef formatDescription, CMItemCount numSamples,
    CMItemCount numSampleTimingEntries, const CMSampleTimingInfo* sampleTimingArray,
    CMItemCount numSampleSizeEntries, const size_t* sampleSizeArray,
    CMSampleBufferRef* sampleBufferOut);

OSStatus __wrap_VTDecompressionSessionDecodeFrame(VTDecompressionSessionRef session,
                                                  CMSampleBufferRef sampleBuffer,
                                                  VTDecodeFrameFlags decodeFlags,
                                                  void* sourceFrameRefCon,
                                                  VTDecodeInfoFlags* infoFlagsOut) {
    SubmittedSample sample;
    CMBlockBufferRef data = CMSampleBufferGetDataBuffer(sampleBuffer);
    sample.data.resize(CMBlockBufferGetDataLength(data));
    if (!sample.data.empty()) {
        EXPECT_EQ(CMBlockBufferCopyDataBytes(data, 0, sample.data.size(), sample.data.data()),
                  kCMBlockBufferNoErr);
    }
    sample.totalSampleSize = CMSampleBufferGetTotalSampleSize(sampleBuffer);
    sample.sampleCount = CMSampleBufferGetNumSamples(sampleBuffer);
    sample.presentationTime = CMSampleBufferGetPresentationTimeStamp(sampleBuffer);
    sample.duration = CMSampleBufferGetDuration(sampleBuffer);
    sample.hasFormatDescription = CMSampleBufferGetFormatDescription(sampleBuffer) != nullptr;
    sample.flags = decodeFlags;
    sample.session = session;
    bool forward = false;
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        platform().samples.push_back(std::move(sample));
        forward = platform().forwardToDecoder;
    }
    if (forward) {
        return __real_VTDecompressionSessionDecodeFrame(session, sampleBuffer, decodeFlags,
                                                        sourceFrameRefCon, infoFlagsOut);
    }
    return noErr;
}

OSStatus __wrap_CMBlockBufferCreateWithMemoryBlock(
    CFAllocatorRef structureAllocator, void* memoryBlock, size_t blockLength,
    CFAllocatorRef blockAllocator, const CMBlockBufferCustomBlockSource* customBlockSource,
    size_t offsetToData, size_t dataLength, CMBlockBufferFlags flags,
    CMBlockBufferRef* blockBufferOut) {
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        int& countdown = platform().blockBufferCallsUntilFailure;
        if (countdown >= 0 && countdown-- == 0) {
            *blockBufferOut = nullptr;
            return kInjectedFailure;
        }
    }
    return __real_CMBlockBufferCreateWithMemoryBlock(
        structureAllocator, memoryBlock, blockLength, blockAllocator, customBlockSource,
        offsetToData, dataLength, flags, blockBufferOut);
}

OSStatus __wrap_CMBlockBufferGetDataPointer(CMBlockBufferRef theBuffer, size_t offset,
                                            size_t* lengthAtOffsetOut, size_t* totalLengthOut,
                                            char** dataPointerOut) {
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        if (platform().failDataPointer) {
            return kCMBlockBufferBadPointerParameterErr;
        }
    }
    return __real_CMBlockBufferGetDataPointer(theBuffer, offset, lengthAtOffsetOut, totalLengthOut,
                                              dataPointerOut);
}

OSStatus __wrap_CMSampleBufferCreate(
    CFAllocatorRef allocator, CMBlockBufferRef dataBuffer, Boolean dataReady,
    CMSampleBufferMakeDataReadyCallback makeDataReadyCallback, void* makeDataReadyRefcon,
    CMFormatDescriptionRef formatDescription, CMItemCount numSamples,
    CMItemCount numSampleTimingEntries, const CMSampleTimingInfo* sampleTimingArray,
    CMItemCount numSampleSizeEntries, const size_t* sampleSizeArray,
    CMSampleBufferRef* sampleBufferOut) {
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        if (platform().failSampleCreate) {
            *sampleBufferOut = nullptr;
            return kCMSampleBufferError_AllocationFailed;
        }
    }
    return __real_CMSampleBufferCreate(allocator, dataBuffer, dataReady, makeDataReadyCallback,
                                       makeDataReadyRefcon, formatDescription, numSamples,
                                       numSampleTimingEntries, sampleTimingArray,
                                       numSampleSizeEntries, sampleSizeArray, sampleBufferOut);
}

}  // extern "C"

namespace {

std::vector<SubmittedSample> takeSamples() {
    std::lock_guard<std::mutex> lock(platform().mutex);
    std::vector<SubmittedSample> taken;
    taken.swap(platform().samples);
    return taken;
}

Bytes bigEndian(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

// A sample of length-prefixed units, built by hand from the units it must hold.
Bytes lengthPrefixed(const std::vector<Bytes>& units) {
    Bytes sample;
    for (const Bytes& unit : units) {
        const Bytes length = bigEndian(static_cast<uint32_t>(unit.size()));
        sample.insert(sample.end(), length.begin(), length.end());
        sample.insert(sample.end(), unit.begin(), unit.end());
    }
    return sample;
}

// The units of a length-prefixed sample; fails the test on a malformed one.
std::vector<Bytes> unitsOfSample(const Bytes& sample) {
    std::vector<Bytes> units;
    size_t at = 0;
    while (at + 4 <= sample.size()) {
        const size_t length = (size_t{sample[at]} << 24) | (size_t{sample[at + 1]} << 16) |
                              (size_t{sample[at + 2]} << 8) | size_t{sample[at + 3]};
        at += 4;
        if (at + length > sample.size()) {
            ADD_FAILURE() << "unit length " << length << " runs past the sample";
            return units;
        }
        units.emplace_back(sample.begin() + static_cast<std::ptrdiff_t>(at),
                           sample.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    EXPECT_EQ(at, sample.size()) << "bytes after the last unit";
    return units;
}

Bytes withTrailingZero(Bytes unit) {
    unit.push_back(0x00);
    return unit;
}

void decode(H264HwDecoderImpl& handler, const Bytes& accessUnit, double pts = 0) {
    handler.DecodeNALUs(accessUnit.data(), static_cast<int32_t>(accessUnit.size()), pts);
}

struct ParameterSets {
    Bytes vps;
    Bytes sps;
    Bytes pps;
};

ParameterSets h264ParameterSets() {
    const auto units = testsupport::readAccessUnits(testsupport::fixtureClip("h264_tiny_16x16"));
    return {{},
            hwdecodetest::firstOfType(units.at(0), 7, false),
            hwdecodetest::firstOfType(units.at(0), 8, false)};
}

ParameterSets h265ParameterSets() {
    const auto units = testsupport::readAccessUnits(testsupport::fixtureClip("h265_main_320x240"));
    return {hwdecodetest::firstOfType(units.at(0), 32, true),
            hwdecodetest::firstOfType(units.at(0), 33, true),
            hwdecodetest::firstOfType(units.at(0), 34, true)};
}

class SubmitTest : public ::testing::Test {
  protected:
    void SetUp() override { platform().reset(); }
    void TearDown() override { platform().reset(); }

    // A session object whose session was set up from a real clip's parameter sets, and whose
    // stream has begun at a random-access point (an IDR slice).
    std::shared_ptr<H264HwDecoderImpl> readyHandler(bool h265) {
        const ParameterSets sets = h265 ? h265ParameterSets() : h264ParameterSets();
        delegate_ = std::make_shared<RecordingDelegate>();
        auto handler = hwdecodetest::freshHandler(delegate_, h265);
        decode(*handler, h265 ? hwdecodetest::joinAnnexB({sets.vps, sets.sps, sets.pps})
                              : hwdecodetest::joinAnnexB({sets.sps, sets.pps}));
        EXPECT_EQ(delegate_->sizeReports().size(), 1u) << "the session is set up";
        EXPECT_TRUE(takeSamples().empty()) << "parameter sets alone submit nothing";
        decode(*handler, hwdecodetest::joinAnnexB(
                             {h265 ? Bytes{0x26, 0x01, 0xAF} : Bytes{0x65, 0x88, 0x84, 0x21}}));
        EXPECT_EQ(takeSamples().size(), 1u);
        return handler;
    }

    std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

std::vector<Bytes> manySlices() {
    std::vector<Bytes> slices;
    for (int i = 0; i < 300; ++i) {
        slices.push_back({0x65, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0x80});
    }
    return slices;
}

// How an Annex B access unit becomes the one sample the platform decodes: each picture NAL unit
// behind a four-byte big-endian length, nothing else, and the sample described as one sample of
// that size, decoded asynchronously by the session that was set up.
TEST_F(SubmitTest, AnAccessUnitBecomesOneSampleOfItsPictureUnits) {
    const Bytes slice = {0x65, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    const Bytes first = {0x65, 0xAA};
    const Bytes second = {0x65, 0xBB, 0xCC};
    const Bytes sei = {0x06, 0x05, 0x02, 0xBB, 0xCC, 0x80};
    const Bytes delimiter = {0x09, 0xF0};
    const Bytes filler = {0x0C, 0xFF, 0xFF, 0x80};
    const Bytes unspecified = {0x1F, 0x12};
    const Bytes secondPps = {0x68, 0x5E, 0x01};     // pic_parameter_set_id 1
    const Bytes hevcTrailing = {0x02, 0x01, 0xBB};  // type 1
    const Bytes hevcReserved = {0x2E, 0x01, 0xCC};  // type 23
    const struct {
        const char* rule;
        bool h265;
        Bytes accessUnit;
        std::vector<Bytes> submitted;
    } cases[] = {
        {"a slice behind a three-byte start code",
         false,
         hwdecodetest::joinAnnexB({slice}, 3),
         {slice}},
        {"four-byte start codes leave their zero in the unit before",
         false,
         hwdecodetest::joinAnnexB({first, second}, 4),
         {withTrailingZero(first), second}},
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
         hwdecodetest::joinAnnexB({delimiter, sei, secondPps, filler, unspecified, slice}),
         {slice}},
        {"every unit of a large access unit", false, hwdecodetest::joinAnnexB(manySlices(), 3),
         manySlices()},
        {"H.265: the header's type chooses, reserved picture types included",
         true,
         hwdecodetest::joinAnnexB({{0x46, 0x01, 0x50},
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
        const Bytes expected = lengthPrefixed(test.submitted);
        EXPECT_EQ(samples[0].data, expected);
        EXPECT_EQ(samples[0].totalSampleSize, expected.size());
        EXPECT_EQ(samples[0].sampleCount, 1);
        EXPECT_TRUE(samples[0].hasFormatDescription);
        EXPECT_NE(samples[0].session, nullptr);
        EXPECT_EQ(samples[0].flags,
                  VTDecodeFrameFlags{kVTDecodeFrame_EnableAsynchronousDecompression});
        EXPECT_EQ(delegate_->sizeReports().size(), 1u) << "no new session";
    }
}

// The parameter sets and the first picture in one access unit: the picture goes to the session
// they set up, which reports its size once.
TEST_F(SubmitTest, ParameterSetsSetUpTheSessionThatTheirPictureGoesTo) {
    const ParameterSets sets = h264ParameterSets();
    auto handler = hwdecodetest::freshHandler(delegate_, false);
    const Bytes idr = {0x65, 0x88, 0x84, 0x21};
    decode(*handler, hwdecodetest::joinAnnexB({sets.sps, sets.pps, idr}, 4));

    const auto samples = takeSamples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].data, lengthPrefixed({idr}));
    EXPECT_NE(samples[0].session, nullptr);
    const auto reports = delegate_->sizeReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].width, 16);
    EXPECT_EQ(reports[0].height, 16);
}

TEST_F(SubmitTest, BuffersTooShortForAStartCodeSubmitNothing) {
    auto handler = readyHandler(false);
    const Bytes accessUnit = {0x00, 0x00, 0x01, 0x65, 0xAA, 0xBB};
    for (const int32_t length : {3, 2, 0, -1, -100, INT32_MIN}) {
        handler->DecodeNALUs(accessUnit.data(), length, 1000.0 + length);
    }
    handler->DecodeNALUs(nullptr, 0, 7.0);
    EXPECT_TRUE(takeSamples().empty());

    // Four bytes is the shortest buffer in which a start code is found.
    handler->DecodeNALUs(accessUnit.data(), 4, 8.0);
    const auto samples = takeSamples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].data, lengthPrefixed({{0x65}}));
}

TEST_F(SubmitTest, FiftySlicePicturesAreSubmittedWhole) {
    const auto& clip = testsupport::fixtureClip("h264_slices50_320x240");
    const auto accessUnits = testsupport::readAccessUnits(clip);
    auto handler = hwdecodetest::freshHandler(delegate_, false);
    for (const auto& accessUnit : accessUnits) {
        decode(*handler, accessUnit);
        std::vector<Bytes> slices;
        for (const Bytes& unit : hwdecodetest::splitNalUnits(accessUnit)) {
            const int type = hwdecodetest::nalType(unit, false);
            if (type >= 1 && type <= 5) {
                slices.push_back(unit);
            }
        }
        ASSERT_GE(slices.size(), 50u);
        const auto samples = takeSamples();
        ASSERT_EQ(samples.size(), 1u);
        const std::vector<Bytes> submitted = unitsOfSample(samples[0].data);
        ASSERT_EQ(submitted.size(), slices.size());
        for (size_t i = 0; i < slices.size(); ++i) {
            Bytes trimmed = submitted[i];
            while (!trimmed.empty() && trimmed.back() == 0) {
                trimmed.pop_back();
            }
            EXPECT_EQ(trimmed, slices[i]) << "slice " << i;
        }
    }
}

TEST_F(SubmitTest, SampleTimingCarriesThePresentationTime) {
    auto handler = readyHandler(false);
    const Bytes accessUnit = hwdecodetest::joinAnnexB({{0x65, 0x9A}});
    const double times[] = {123456.9, -2.5, 4294967295.0, 0.0};
    const int64_t expected[] = {123456, -2, 4294967295LL, 0};
    for (const double time : times) {
        decode(*handler, accessUnit, time);
    }
    const auto samples = takeSamples();
    ASSERT_EQ(samples.size(), 4u);
    for (size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].presentationTime.value, expected[i]);
        EXPECT_EQ(samples[i].presentationTime.timescale, 100000);
        EXPECT_EQ(samples[i].presentationTime.flags,
                  CMTimeFlags{kCMTimeFlags_Valid | kCMTimeFlags_HasBeenRounded});
        EXPECT_EQ(samples[i].presentationTime.epoch, 0);
        EXPECT_EQ(samples[i].duration.value, 1);
        EXPECT_EQ(samples[i].duration.timescale, 30);
    }
}

TEST_F(SubmitTest, H265NeedsVideoSequenceAndPictureParameterSets) {
    const ParameterSets sets = h265ParameterSets();
    auto handler = hwdecodetest::freshHandler(delegate_, true);
    decode(*handler, hwdecodetest::joinAnnexB({sets.sps, sets.pps}));
    EXPECT_TRUE(delegate_->sizeReports().empty());
    EXPECT_EQ(handler->statistics()->snapshot().sessions, 0u);

    decode(*handler, hwdecodetest::joinAnnexB({sets.vps}, 3));
    const auto reports = delegate_->sizeReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].width, 320);
    EXPECT_EQ(reports[0].height, 240);
    EXPECT_TRUE(takeSamples().empty());
}

// A picture with a unit missing would not be a correct decode: the access unit is lost, and the
// stream waits for its next random-access point.
TEST_F(SubmitTest, AccessUnitWithAUnitWhoseBufferCannotBeMadeIsLost) {
    auto handler = readyHandler(false);
    const Bytes first = {0x65, 0x01};
    const Bytes second = {0x65, 0x02};
    platform().blockBufferCallsUntilFailure = 0;
    decode(*handler, hwdecodetest::joinAnnexB({first, second}, 3));

    EXPECT_TRUE(takeSamples().empty());
    const DecodeStatistics::Snapshot figures = handler->statistics()->snapshot();
    EXPECT_TRUE(figures.keyframeNeeded);
    EXPECT_EQ(figures.dropped[size_t(DecodeStatistics::Drop::DecodeError)], 1u);
}

// A sample that cannot be made is lost, and the host reads why; the next keyframe goes out again,
// alone.
TEST_F(SubmitTest, SampleWhosePartsCannotBeMadeIsLost) {
    const Bytes accessUnit = hwdecodetest::joinAnnexB({{0x65, 0x01}, {0x65, 0x02}}, 3);
    const struct {
        const char* failure;
        void (*inject)(PlatformDouble&);
        OSStatus status;
    } failures[] = {
        {"the joined buffer", [](PlatformDouble& p) { p.blockBufferCallsUntilFailure = 2; },
         kInjectedFailure},
        {"a unit's data", [](PlatformDouble& p) { p.failDataPointer = true; },
         kCMBlockBufferBadPointerParameterErr},
        {"the sample", [](PlatformDouble& p) { p.failSampleCreate = true; },
         kCMSampleBufferError_AllocationFailed},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.failure);
        auto handler = readyHandler(false);
        failure.inject(platform());
        decode(*handler, accessUnit);
        platform().reset();
        EXPECT_TRUE(takeSamples().empty());
        EXPECT_EQ(handler->statistics()->snapshot().lastStatus, failure.status);

        decode(*handler, accessUnit);
        const auto samples = takeSamples();
        ASSERT_EQ(samples.size(), 1u) << "the next keyframe goes out again";
        EXPECT_EQ(samples[0].data, lengthPrefixed({{0x65, 0x01}, {0x65, 0x02}}));
    }
}

TEST_F(SubmitTest, NothingIsSubmittedBeforeTheFirstSession) {
    auto handler = hwdecodetest::freshHandler(delegate_, false);
    decode(*handler, hwdecodetest::joinAnnexB({{0x65, 0x88, 0x80}}));
    EXPECT_TRUE(takeSamples().empty());
    const DecodeStatistics::Snapshot figures = handler->statistics()->snapshot();
    EXPECT_EQ(figures.lastStatus, kVTInvalidSessionErr);
    EXPECT_TRUE(figures.keyframeNeeded) << "a stream joined without its parameter sets";
}

}  // namespace
