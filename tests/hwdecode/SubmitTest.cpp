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
        auto handler = hwdecodetest::freshHandler(delegate_, h265);
        decode(*handler, h265 ? hwdecodetest::joinAnnexB({sets.vps, sets.sps, sets.pps})
                              : hwdecodetest::joinAnnexB({sets.sps, sets.pps}));
        EXPECT_TRUE(handler->isSetup());
        EXPECT_TRUE(takeSamples().empty()) << "parameter sets alone submit nothing";
        decode(*handler, hwdecodetest::joinAnnexB(
                             {h265 ? Bytes{0x26, 0x01, 0xAF} : Bytes{0x65, 0x88, 0x84, 0x21}}));
        EXPECT_EQ(takeSamples().size(), 1u);
        return handler;
    }

    std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

TEST_F(SubmitTest, ParameterSetsAloneAreKeptAndSetUpTheSession) {
    const ParameterSets sets = h264ParameterSets();
    auto handler = hwdecodetest::freshHandler(delegate_, false);
    decode(*handler, hwdecodetest::joinAnnexB({sets.sps, sets.pps}, 4));

    // The four-byte start code of the PPS leaves its leading zero at the end of the SPS.
    ASSERT_EQ(handler->sps().size(), 1u);
    EXPECT_EQ(handler->sps()[0], withTrailingZero(sets.sps));
    ASSERT_EQ(handler->pps().size(), 1u);
    EXPECT_EQ(handler->pps()[0], sets.pps);
    EXPECT_TRUE(handler->vps().empty());
    EXPECT_TRUE(handler->sei().empty());
    EXPECT_TRUE(handler->isSetup());
    EXPECT_NE(handler->session(), nullptr);
    EXPECT_EQ(CFArrayGetCount(handler->bufArr()), 0);
    EXPECT_TRUE(takeSamples().empty());
    const auto reports = delegate_->sizeReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].width, 16);
    EXPECT_EQ(reports[0].height, 16);
}

TEST_F(SubmitTest, SliceInTheSetupAccessUnitGoesToTheNewSession) {
    const ParameterSets sets = h264ParameterSets();
    auto handler = hwdecodetest::freshHandler(delegate_, false);
    const Bytes idr = {0x65, 0x88, 0x84, 0x21};
    decode(*handler, hwdecodetest::joinAnnexB({sets.sps, sets.pps, idr}, 4));

    EXPECT_EQ(handler->sps().at(0), withTrailingZero(sets.sps));
    EXPECT_EQ(handler->pps().at(0), withTrailingZero(sets.pps));
    const auto samples = takeSamples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].data, lengthPrefixed({idr}));
    EXPECT_EQ(samples[0].session, handler->session());
    EXPECT_TRUE(samples[0].hasFormatDescription);
    EXPECT_EQ(delegate_->sizeReports().size(), 1u);
}

TEST_F(SubmitTest, SliceBehindThreeByteStartCode) {
    auto handler = readyHandler(false);
    const Bytes slice = {0x65, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    decode(*handler, hwdecodetest::joinAnnexB({slice}, 3));

    const auto samples = takeSamples();
    ASSERT_EQ(samples.size(), 1u);
    // n = 7 bytes after the header: n + 5 bytes, the length n + 1 first.
    const Bytes expected = {0x00, 0x00, 0x00, 0x08, 0x65, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    EXPECT_EQ(samples[0].data, expected);
    EXPECT_EQ(samples[0].totalSampleSize, expected.size());
    EXPECT_EQ(samples[0].sampleCount, 1);
    EXPECT_EQ(samples[0].flags, VTDecodeFrameFlags{kVTDecodeFrame_EnableAsynchronousDecompression});
    EXPECT_EQ(samples[0].session, handler->session());
    EXPECT_EQ(CFArrayGetCount(handler->bufArr()), 0);
}

TEST_F(SubmitTest, FourByteStartCodesLeaveTheirZeroInThePrecedingSlice) {
    auto handler = readyHandler(false);
    const Bytes first = {0x65, 0xAA};
    const Bytes second = {0x65, 0xBB, 0xCC};
    decode(*handler, hwdecodetest::joinAnnexB({first, second}, 4));

    const auto samples = takeSamples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].data, lengthPrefixed({withTrailingZero(first), second}));
}

TEST_F(SubmitTest, StartCodeEndingTheBufferIsNotFound) {
    auto handler = readyHandler(false);
    const Bytes accessUnit = {0x00, 0x00, 0x01, 0x65, 0xAA, 0xBB, 0x00, 0x00, 0x01};
    decode(*handler, accessUnit);

    const auto samples = takeSamples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].data, lengthPrefixed({{0x65, 0xAA, 0xBB, 0x00, 0x00, 0x01}}));
}

TEST_F(SubmitTest, BackToBackStartCodesGiveAnEmptyUnitThatH264Ignores) {
    auto handler = readyHandler(false);
    const Bytes accessUnit = {0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x65, 0xAA};
    decode(*handler, accessUnit);

    const auto samples = takeSamples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].data, lengthPrefixed({{0x65, 0xAA}}));
}

TEST_F(SubmitTest, BytesBeforeTheFirstStartCodeAreIgnored) {
    auto handler = readyHandler(false);
    const Bytes accessUnit = {0xAA, 0xBB, 0x00, 0x01, 0x00, 0x00, 0x01, 0x65, 0xDD};
    decode(*handler, accessUnit);

    const auto samples = takeSamples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].data, lengthPrefixed({{0x65, 0xDD}}));
}

TEST_F(SubmitTest, LengthsBelowFourFindNothingButStoreTheTime) {
    auto handler = readyHandler(false);
    const Bytes accessUnit = {0x00, 0x00, 0x01, 0x65, 0xAA, 0xBB};
    const auto spsBefore = handler->sps();
    for (const int32_t length : {3, 2, 0, -1, -100, INT32_MIN}) {
        handler->DecodeNALUs(accessUnit.data(), length, 1000.0 + length);
        EXPECT_EQ(handler->current(), 1000.0 + length) << "length " << length;
    }
    handler->DecodeNALUs(nullptr, 0, 7.0);
    EXPECT_EQ(handler->current(), 7.0);
    EXPECT_TRUE(takeSamples().empty());
    EXPECT_EQ(handler->sps(), spsBefore);
    EXPECT_EQ(handler->pps().size(), 1u);
    EXPECT_TRUE(handler->sei().empty());

    // Four bytes is the shortest buffer in which a start code is found.
    handler->DecodeNALUs(accessUnit.data(), 4, 8.0);
    const auto samples = takeSamples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].data, lengthPrefixed({{0x65}}));
}

// The latest parameter set of each id is kept, one that does not parse is not, and the latest SEI
// unit stays for inspection.
TEST_F(SubmitTest, ParameterSetsAreKeptByIdAndTheLatestSeiIsKept) {
    auto handler = readyHandler(false);
    const Bytes spsBefore = handler->sps().at(0);
    const Bytes ppsBefore = handler->pps().at(0);
    const Bytes firstSei = {0x06, 0x05, 0x01, 0xAA, 0x80};
    const Bytes secondSei = {0x06, 0x05, 0x02, 0xBB, 0xCC, 0x80};
    const Bytes otherSps = {0x67, 0x42, 0xC0, 0x33};  // truncated: does not parse
    const Bytes otherPps = {0x68, 0xCE, 0x01};        // ids 0 and 0: replaces the PPS
    const Bytes secondPps = {0x68, 0x5E, 0x01};       // pic_parameter_set_id 1
    const Bytes delimiter = {0x09, 0xF0};
    const Bytes filler = {0x0C, 0xFF, 0xFF, 0x80};
    const Bytes unspecified = {0x1F, 0x12};
    const Bytes slice = {0x65, 0x9A};
    decode(*handler, hwdecodetest::joinAnnexB({delimiter, firstSei, otherSps, secondPps, otherPps,
                                               secondSei, filler, unspecified, slice}));

    EXPECT_EQ(handler->sps(), H264HwDecoderImpl::BlobArray{spsBefore});
    EXPECT_NE(ppsBefore, withTrailingZero(otherPps));
    EXPECT_EQ(handler->pps(), (H264HwDecoderImpl::BlobArray{withTrailingZero(otherPps),
                                                            withTrailingZero(secondPps)}))
        << "in id order";
    EXPECT_TRUE(handler->vps().empty());
    EXPECT_EQ(handler->sei(), H264HwDecoderImpl::BlobArray{withTrailingZero(secondSei)});
    const auto samples = takeSamples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].data, lengthPrefixed({slice}));
    EXPECT_EQ(delegate_->sizeReports().size(), 1u) << "new sets of the same picture size";
}

TEST_F(SubmitTest, EveryUnitOfALargeAccessUnitIsSubmitted) {
    auto handler = readyHandler(false);
    std::vector<Bytes> slices;
    for (int i = 0; i < 300; ++i) {
        slices.push_back({0x65, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0x80});
    }
    decode(*handler, hwdecodetest::joinAnnexB(slices, 3));

    const auto samples = takeSamples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].data, lengthPrefixed(slices));
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
    EXPECT_EQ(handler->current(), 0.0);
}

TEST_F(SubmitTest, H265NeedsVideoSequenceAndPictureParameterSets) {
    const ParameterSets sets = h265ParameterSets();
    auto handler = hwdecodetest::freshHandler(delegate_, true);
    decode(*handler, hwdecodetest::joinAnnexB({sets.sps, sets.pps}));
    EXPECT_FALSE(handler->isSetup());
    EXPECT_EQ(handler->session(), nullptr);
    EXPECT_TRUE(delegate_->sizeReports().empty());

    decode(*handler, hwdecodetest::joinAnnexB({sets.vps}, 3));
    EXPECT_TRUE(handler->isSetup());
    EXPECT_EQ(handler->vps(), H264HwDecoderImpl::BlobArray{sets.vps});
    EXPECT_EQ(handler->sps(), H264HwDecoderImpl::BlobArray{withTrailingZero(sets.sps)});
    EXPECT_EQ(handler->pps(), H264HwDecoderImpl::BlobArray{sets.pps});
    const auto reports = delegate_->sizeReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].width, 320);
    EXPECT_EQ(reports[0].height, 240);
    EXPECT_TRUE(takeSamples().empty());
}

TEST_F(SubmitTest, H265HeaderBytesChooseWhatIsSubmitted) {
    auto handler = readyHandler(true);
    const Bytes filler = {0x4C, 0x01, 0xAA};           // type 38
    const Bytes trailing = {0x02, 0x01, 0xBB};         // type 1
    const Bytes reserved = {0x2E, 0x01, 0xCC};         // type 23
    const Bytes prefixSei = {0x4E, 0x01, 0x05, 0x80};  // type 39
    const Bytes suffixSei = {0x50, 0x01, 0x84, 0x80};  // type 40
    const Bytes delimiter = {0x46, 0x01, 0x50};        // type 35
    decode(*handler, hwdecodetest::joinAnnexB(
                         {delimiter, prefixSei, filler, trailing, reserved, suffixSei}, 3));

    const auto samples = takeSamples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].data, lengthPrefixed({trailing, reserved}));
    EXPECT_EQ(handler->sei(), H264HwDecoderImpl::BlobArray{suffixSei});
    EXPECT_EQ(handler->vps().size(), 1u);
}

TEST_F(SubmitTest, BackToBackStartCodesGiveAnEmptyUnitThatH265Submits) {
    auto handler = readyHandler(true);
    const Bytes accessUnit = {0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x02, 0x01, 0xAA};
    decode(*handler, accessUnit);

    const auto samples = takeSamples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].data, lengthPrefixed({{}, {0x02, 0x01, 0xAA}}));
}

TEST_F(SubmitTest, RepeatedHeadersKeepMemoryFlat) {
    for (const char* name : {"h264_repeat_headers_320x240", "h265_repeat_headers_320x240"}) {
        SCOPED_TRACE(name);
        const auto& clip = testsupport::fixtureClip(name);
        const bool h265 = hwdecodetest::isH265(clip);
        const auto accessUnits = testsupport::readAccessUnits(clip);
        auto handler = hwdecodetest::freshHandler(delegate_, h265);
        size_t keptBytesAfterFirstRound = 0;
        for (int i = 0; i < 10000; ++i) {
            decode(*handler, accessUnits[static_cast<size_t>(i) % accessUnits.size()], i);
            if (i % 1000 == 999) {
                takeSamples();
                EXPECT_EQ(handler->sps().size(), 1u);
                EXPECT_EQ(handler->pps().size(), 1u);
                EXPECT_EQ(handler->vps().size(), h265 ? 1u : 0u);
                EXPECT_EQ(handler->sei().size(), 1u);
                size_t keptBytes = handler->sps()[0].capacity() + handler->pps()[0].capacity() +
                                   handler->sei()[0].capacity();
                if (h265) {
                    keptBytes += handler->vps()[0].capacity();
                }
                if (keptBytesAfterFirstRound == 0) {
                    keptBytesAfterFirstRound = keptBytes;
                }
                EXPECT_EQ(keptBytes, keptBytesAfterFirstRound) << "after " << i + 1;
            }
        }
        // The first SPS stays, perhaps with the zero of a four-byte start code behind it.
        const Bytes firstSps = hwdecodetest::firstOfType(accessUnits[0], h265 ? 33 : 7, h265);
        const Bytes& kept = handler->sps()[0];
        ASSERT_GE(kept.size(), firstSps.size());
        EXPECT_TRUE(std::equal(firstSps.begin(), firstSps.end(), kept.begin()));
        EXPECT_TRUE(std::all_of(kept.begin() + static_cast<std::ptrdiff_t>(firstSps.size()),
                                kept.end(), [](uint8_t byte) { return byte == 0; }));
    }
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
    EXPECT_TRUE(handler->awaitingRandomAccess());
    EXPECT_EQ(CFArrayGetCount(handler->bufArr()), 0);
}

TEST_F(SubmitTest, SampleWhosePartsCannotBeMadeIsSkipped) {
    auto handler = readyHandler(false);
    const Bytes accessUnit = hwdecodetest::joinAnnexB({{0x65, 0x01}, {0x65, 0x02}}, 3);

    platform().blockBufferCallsUntilFailure = 2;  // the buffer of the joined sample
    decode(*handler, accessUnit);
    EXPECT_TRUE(takeSamples().empty());
    EXPECT_EQ(handler->status(), kInjectedFailure);

    platform().failDataPointer = true;
    decode(*handler, accessUnit);
    platform().failDataPointer = false;
    EXPECT_TRUE(takeSamples().empty());
    EXPECT_EQ(handler->status(), kCMBlockBufferBadPointerParameterErr);

    platform().failSampleCreate = true;
    decode(*handler, accessUnit);
    platform().failSampleCreate = false;
    EXPECT_TRUE(takeSamples().empty());
    EXPECT_EQ(handler->status(), kCMSampleBufferError_AllocationFailed);
    EXPECT_EQ(CFArrayGetCount(handler->bufArr()), 0);

    decode(*handler, accessUnit);
    EXPECT_EQ(takeSamples().size(), 1u) << "the next access unit goes out again";
    EXPECT_EQ(handler->status(), noErr);
}

TEST_F(SubmitTest, NothingIsSubmittedBeforeTheFirstSession) {
    auto handler = hwdecodetest::freshHandler(delegate_, false);
    decode(*handler, hwdecodetest::joinAnnexB({{0x65, 0x88, 0x80}}));
    EXPECT_TRUE(takeSamples().empty());
    EXPECT_EQ(handler->status(), kVTInvalidSessionErr);
    EXPECT_EQ(CFArrayGetCount(handler->bufArr()), 0);
}

}  // namespace
