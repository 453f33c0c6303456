// Decompression session behaviour beyond the happy path: argument errors, undecodable samples,
// waiting, draining, invalidation, release with work in flight, pooled pixel buffers.
#include "CompatHarness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <utility>

namespace compattest {
namespace {

struct FormatDeleter {
    void operator()(const opaqueCMFormatDescription* format) const { CFRelease(format); }
};
using FormatHolder = std::unique_ptr<const opaqueCMFormatDescription, FormatDeleter>;

struct Clip {
    const FixtureClip& info;
    std::vector<AccessUnit> units;
    FormatHolder format;
};

Clip loadClip(const char* name) {
    const FixtureClip& info = testsupport::fixtureClip(name);
    Clip clip{info, testsupport::readAccessUnits(info), nullptr};
    CMFormatDescriptionRef format = nullptr;
    EXPECT_EQ(createFormatDescription(clip.units, info.codec, &format), noErr);
    clip.format.reset(format);
    return clip;
}

std::atomic<int> s_unexpectedCalls{0};

void countCall(void*, void*, OSStatus, VTDecodeInfoFlags, CVImageBufferRef, CMTime, CMTime) {
    ++s_unexpectedCalls;
}

TEST(CompatSession, DecodeWithoutSessionOrFormatIsAParameterErrorAndCallsNothing) {
    Clip clip = loadClip("h264_cbp_320x240");
    const std::vector<uint8_t> bytes = pictureSample(clip.units[0], clip.info.codec);
    VTDecompressionOutputCallbackRecord record = {countCall, nullptr};
    VTDecompressionSessionRef session = nullptr;
    ASSERT_EQ(VTDecompressionSessionCreate(kCFAllocatorDefault, clip.format.get(), nullptr, nullptr,
                                           &record, &session),
              noErr);
    CMSampleBufferRef withFormat = makeSampleBuffer(&bytes, clip.format.get(), 0);
    CMSampleBufferRef withoutFormat = makeSampleBuffer(&bytes, nullptr, 0);
    VTDecodeInfoFlags info = 99;
    EXPECT_EQ(VTDecompressionSessionDecodeFrame(nullptr, withFormat, 1, nullptr, &info),
              kVTParameterErr);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(VTDecompressionSessionDecodeFrame(session, withoutFormat, 1, nullptr, &info),
              kVTParameterErr);
    EXPECT_EQ(VTDecompressionSessionDecodeFrame(session, nullptr, 1, nullptr, nullptr),
              kVTParameterErr);
    EXPECT_EQ(VTDecompressionSessionWaitForAsynchronousFrames(nullptr), kVTParameterErr);
    EXPECT_EQ(VTDecompressionSessionWaitForAsynchronousFrames(session), noErr);
    EXPECT_EQ(s_unexpectedCalls, 0);
    CFRelease(withFormat);
    CFRelease(withoutFormat);
    VTDecompressionSessionInvalidate(session);
    CFRelease(session);
    EXPECT_EQ(s_unexpectedCalls, 0);
}

TEST(CompatSession, CreationRefusesBadArgumentsAndAcceptsCallerKeys) {
    Clip clip = loadClip("h264_cbp_320x240");
    VTDecompressionOutputCallbackRecord record = {countCall, nullptr};
    VTDecompressionSessionRef session = nullptr;
    EXPECT_EQ(VTDecompressionSessionCreate(kCFAllocatorDefault, nullptr, nullptr, nullptr, &record,
                                           &session),
              kVTParameterErr);
    EXPECT_EQ(VTDecompressionSessionCreate(kCFAllocatorDefault, clip.format.get(), nullptr, nullptr,
                                           nullptr, &session),
              kVTParameterErr);
    EXPECT_EQ(VTDecompressionSessionCreate(kCFAllocatorDefault, clip.format.get(), nullptr, nullptr,
                                           &record, nullptr),
              kVTParameterErr);
    EXPECT_EQ(session, nullptr);

    const int32_t argb = kCVPixelFormatType_32ARGB;
    CFNumberRef format = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &argb);
    const void* key = kCVPixelBufferPixelFormatTypeKey;
    const void* value = format;
    CFDictionaryRef argbAttributes =
        CFDictionaryCreate(kCFAllocatorDefault, &key, &value, 1, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks);
    EXPECT_EQ(VTDecompressionSessionCreate(kCFAllocatorDefault, clip.format.get(), nullptr,
                                           argbAttributes, &record, &session),
              kVTPixelTransferNotSupportedErr);
    CFRelease(argbAttributes);
    CFRelease(format);

    CFDictionaryRef attributes = makeDestinationAttributes();
    CFMutableDictionaryRef specification = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(specification,
                         kVTVideoDecoderSpecification_EnableHardwareAcceleratedVideoDecoder,
                         kCFBooleanTrue);
    CFDictionarySetValue(specification,
                         kVTVideoDecoderSpecification_RequireHardwareAcceleratedVideoDecoder,
                         kCFBooleanTrue);
    ASSERT_EQ(VTDecompressionSessionCreate(kCFAllocatorDefault, clip.format.get(), specification,
                                           attributes, &record, &session),
              noErr);
    CFRelease(specification);
    CFRelease(attributes);
    EXPECT_EQ(VTSessionSetProperty(session, kVTDecompressionPropertyKey_RealTime, kCFBooleanTrue),
              noErr);
    EXPECT_EQ(
        VTSessionSetProperty(session, kVTDecompressionPropertyKey_ContentHasInterframeDependencies,
                             kCFBooleanTrue),
        noErr);
    EXPECT_EQ(VTSessionSetProperty(session, CFSTR("NoSuchProperty"), kCFBooleanTrue),
              kVTPropertyNotSupportedErr);
    EXPECT_EQ(VTSessionSetProperty(nullptr, kVTDecompressionPropertyKey_RealTime, kCFBooleanTrue),
              kVTParameterErr);
    EXPECT_TRUE(VTDecompressionSessionCanAcceptFormatDescription(session, clip.format.get()));
    CFRelease(session);
    EXPECT_EQ(s_unexpectedCalls, 0);
}

// Parameter sets that pass the format description's own checks but that libavcodec cannot use
// still end in an error code, at session creation.
TEST(CompatSession, ParameterSetsBrokenPastTheParsedFieldsFailSessionCreation) {
    const FixtureClip& info = testsupport::fixtureClip("h265_main_320x240");
    std::vector<uint8_t> sets[3];
    for (const NalUnit& nal :
         splitNalUnits(testsupport::readAccessUnits(info).front(), info.codec)) {
        if (nal.type >= 32 && nal.type <= 34) {
            sets[nal.type - 32] = nal.bytes;
        }
    }
    sets[1].resize(sets[1].size() * 3 / 4);
    const uint8_t* pointers[] = {sets[0].data(), sets[1].data(), sets[2].data()};
    const size_t sizes[] = {sets[0].size(), sets[1].size(), sets[2].size()};
    // The description reads the HEVC SPS only as far as the coding block sizes.
    CMFormatDescriptionRef format = nullptr;
    ASSERT_EQ(CMVideoFormatDescriptionCreateFromHEVCParameterSets(kCFAllocatorDefault, 3, pointers,
                                                                  sizes, 4, nullptr, &format),
              noErr);
    VTDecompressionOutputCallbackRecord record = {countCall, nullptr};
    VTDecompressionSessionRef session = nullptr;
    EXPECT_EQ(VTDecompressionSessionCreate(kCFAllocatorDefault, format, nullptr, nullptr, &record,
                                           &session),
              kVTVideoDecoderBadDataErr);
    EXPECT_EQ(session, nullptr);
    CFRelease(format);
}

// The description's NAL unit header length decides how samples are read: 2-byte lengths here.
TEST(CompatSession, DecodesSamplesWithTwoByteLengths) {
    const FixtureClip& info = testsupport::fixtureClip("h264_cbp_320x240");
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(info);
    std::vector<uint8_t> sets[2];
    for (const NalUnit& nal : splitNalUnits(units.front(), info.codec)) {
        if (nal.type == 7 || nal.type == 8) {
            sets[nal.type - 7] = nal.bytes;
        }
    }
    const uint8_t* pointers[] = {sets[0].data(), sets[1].data()};
    const size_t sizes[] = {sets[0].size(), sets[1].size()};
    CMFormatDescriptionRef format = nullptr;
    ASSERT_EQ(CMVideoFormatDescriptionCreateFromH264ParameterSets(kCFAllocatorDefault, 2, pointers,
                                                                  sizes, 2, &format),
              noErr);
    Session session(format, nullptr, false);
    for (size_t i = 0; i < units.size(); ++i) {
        std::vector<uint8_t> sample;
        for (const NalUnit& nal : splitNalUnits(units[i], info.codec)) {
            if (nal.type >= 1 && nal.type <= 5) {
                ASSERT_LT(nal.bytes.size(), 65536u);
                sample.push_back(uint8_t(nal.bytes.size() >> 8));
                sample.push_back(uint8_t(nal.bytes.size()));
                sample.insert(sample.end(), nal.bytes.begin(), nal.bytes.end());
            }
        }
        ASSERT_EQ(session.decode(sample, int64_t(i)), noErr);
    }
    ASSERT_EQ(session.wait(), noErr);
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(info);
    const std::vector<Output> outputs = session.outputs();
    ASSERT_EQ(outputs.size(), md5s.size());
    for (size_t i = 0; i < outputs.size(); ++i) {
        EXPECT_EQ(outputs[i].md5, md5s[i]) << "picture " << i;
    }
    CFRelease(format);
}

TEST(CompatSession, UndecodableSamplesReportBadDataAndTheStreamRecovers) {
    Clip clip = loadClip("h264_cbp_320x240");
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip.info);
    Session session(clip.format.get());
    ASSERT_EQ(session.createStatus(), noErr);
    const std::vector<uint8_t> idr = pictureSample(clip.units[0], clip.info.codec);
    std::vector<uint8_t> garbage(500);
    for (size_t i = 0; i < garbage.size(); ++i) {
        garbage[i] = uint8_t(i * 73 + 11);
    }
    std::vector<uint8_t> lengthPastEnd = idr;
    lengthPastEnd[0] = 0x7f;  // claims more bytes than the sample holds
    const std::vector<uint8_t> emptyNal = {0, 0, 0, 0};

    for (const std::vector<uint8_t>* sample :
         {&std::as_const(garbage), &std::as_const(lengthPastEnd), &emptyNal}) {
        ASSERT_EQ(session.decode(*sample, 0), noErr);
    }
    CMSampleBufferRef noData = makeSampleBuffer(nullptr, clip.format.get(), 0);
    ASSERT_EQ(VTDecompressionSessionDecodeFrame(session.get(), noData, 1, nullptr, nullptr), noErr);
    CFRelease(noData);
    ASSERT_EQ(session.decode(idr, 0), noErr);
    ASSERT_EQ(session.wait(), noErr);

    const std::vector<Output> outputs = session.outputs();
    ASSERT_EQ(outputs.size(), 5u) << "one callback per sample";
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(outputs[i].status, kVTVideoDecoderBadDataErr) << "sample " << i;
        EXPECT_FALSE(outputs[i].hasImage);
    }
    EXPECT_EQ(outputs[4].status, noErr);
    EXPECT_EQ(outputs[4].md5, md5s[0]);
}

TEST(CompatSession, WaitReturnsOnlyAfterEverySubmittedSampleWasDelivered) {
    Clip clip = loadClip("h265_main_320x240");
    Session session(clip.format.get(), nullptr, false);
    for (size_t i = 0; i < clip.units.size(); ++i) {
        ASSERT_EQ(session.decode(pictureSample(clip.units[i], clip.info.codec), int64_t(i)), noErr);
    }
    ASSERT_EQ(session.wait(), noErr);
    const std::vector<Output> outputs = session.outputs();
    ASSERT_EQ(int(outputs.size()), clip.info.frames);
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip.info);
    std::set<std::thread::id> threads;
    std::set<const void*> memory;
    for (size_t i = 0; i < outputs.size(); ++i) {
        EXPECT_EQ(outputs[i].md5, md5s[i]) << "picture " << i;
        threads.insert(outputs[i].thread);
        memory.insert(outputs[i].base);
    }
    EXPECT_EQ(threads.size(), 1u) << "one worker thread per session";
    EXPECT_LE(memory.size(), 2u) << "pictures reuse pooled memory";
}

TEST(CompatSession, InvalidateDrainsReorderedPicturesAndStopsTheSession) {
    Clip clip = loadClip("h264_high_bframes_640x360");
    Session session(clip.format.get(), nullptr, false);
    for (size_t i = 0; i < clip.units.size(); ++i) {
        ASSERT_EQ(session.decode(pictureSample(clip.units[i], clip.info.codec), int64_t(i)), noErr);
    }
    ASSERT_EQ(session.wait(), noErr);
    const size_t beforeDrain = session.outputCount();
    EXPECT_LT(beforeDrain, clip.units.size()) << "the reorder depth is held back";
    VTDecompressionSessionInvalidate(session.get());
    EXPECT_EQ(int(session.outputCount()), clip.info.frames);
    EXPECT_EQ(session.decode(pictureSample(clip.units[0], clip.info.codec), 0),
              kVTInvalidSessionErr);
    EXPECT_EQ(session.wait(), noErr);
    EXPECT_EQ(VTDecompressionSessionFinishDelayedFrames(session.get()), kVTInvalidSessionErr);
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip.info);
    const std::vector<Output> outputs = session.outputs();
    for (size_t i = 0; i < outputs.size(); ++i) {
        EXPECT_EQ(outputs[i].md5, md5s[i]) << "picture " << i;
    }
}

TEST(CompatSession, ReorderingStreamReportsSamplesWithoutPicturesByTheDrainAtTheLatest) {
    Clip clip = loadClip("h264_high_bframes_640x360");
    Session session(clip.format.get(), nullptr, false);
    // Without their key frame no picture comes of these samples; a reordering decoder cannot
    // tell at once, so they fail when too many are held, and the rest at the drain.
    size_t submitted = 0;
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 1; i < clip.units.size(); ++i, ++submitted) {
            ASSERT_EQ(session.decode(pictureSample(clip.units[i], clip.info.codec), 0), noErr);
        }
    }
    ASSERT_EQ(session.wait(), noErr);
    const size_t failedBeforeDrain = session.outputCount();
    EXPECT_GE(failedBeforeDrain, submitted - 32) << "at most 32 samples held";
    ASSERT_EQ(VTDecompressionSessionFinishDelayedFrames(session.get()), noErr);
    const std::vector<Output> outputs = session.outputs();
    ASSERT_EQ(outputs.size(), submitted) << "one callback per sample";
    for (const Output& output : outputs) {
        EXPECT_EQ(output.status, kVTVideoDecoderBadDataErr);
        EXPECT_FALSE(output.hasImage);
    }
}

TEST(CompatSession, DrainedSessionDecodesAgainFromTheNextKeyFrame) {
    Clip clip = loadClip("h264_high_bframes_640x360");
    Session session(clip.format.get(), nullptr, false);
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < clip.units.size(); ++i) {
            ASSERT_EQ(session.decode(pictureSample(clip.units[i], clip.info.codec), int64_t(i)),
                      noErr);
        }
        ASSERT_EQ(VTDecompressionSessionFinishDelayedFrames(session.get()), noErr);
        EXPECT_EQ(int(session.outputCount()), clip.info.frames * (round + 1));
    }
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip.info);
    const std::vector<Output> outputs = session.outputs();
    for (size_t i = 0; i < outputs.size(); ++i) {
        EXPECT_EQ(outputs[i].md5, md5s[i % md5s.size()]) << "picture " << i;
    }
}

// Releases the session while the worker still has most samples queued.
struct InFlight {
    std::atomic<int> calls{0};
    CVPixelBufferRef kept = nullptr;
};

void keepFirstPicture(void* refCon, void*, OSStatus status, VTDecodeInfoFlags,
                      CVImageBufferRef image, CMTime, CMTime) {
    auto* state = static_cast<InFlight*>(refCon);
    if (state->calls++ == 0 && status == noErr && image != nullptr) {
        state->kept = CVPixelBufferRetain(image);
    }
}

TEST(CompatSession, LastReleaseWithFramesInFlightFreesEverything) {
    Clip clip = loadClip("h264_odd_642x362");
    InFlight state;
    VTDecompressionOutputCallbackRecord record = {keepFirstPicture, &state};
    VTDecompressionSessionRef session = nullptr;
    ASSERT_EQ(VTDecompressionSessionCreate(kCFAllocatorDefault, clip.format.get(), nullptr, nullptr,
                                           &record, &session),
              noErr);
    for (size_t i = 0; i < clip.units.size(); ++i) {
        const std::vector<uint8_t> bytes = pictureSample(clip.units[i], clip.info.codec);
        CMSampleBufferRef real = makeSampleBuffer(&bytes, clip.format.get(), int64_t(i));
        ASSERT_EQ(VTDecompressionSessionDecodeFrame(session, real, 1, nullptr, nullptr), noErr);
        CFRelease(real);
    }
    CFRelease(session);
    const int callsAtRelease = state.calls;
    EXPECT_LE(callsAtRelease, int(clip.units.size()));
    EXPECT_EQ(state.calls, callsAtRelease) << "no callback after the last release returned";
    if (state.kept != nullptr) {
        // A picture the caller kept outlives its session and its pool.
        ASSERT_EQ(CVPixelBufferLockBaseAddress(state.kept, kCVPixelBufferLock_ReadOnly),
                  kCVReturnSuccess);
        EXPECT_EQ(CVPixelBufferGetWidth(state.kept), 642u);
        const auto* pixels = static_cast<const uint8_t*>(CVPixelBufferGetBaseAddress(state.kept));
        EXPECT_EQ(pixels[3], 255);
        EXPECT_EQ(CVPixelBufferUnlockBaseAddress(state.kept, 0), kCVReturnInvalidArgument)
            << "unlock flags must match the lock";
        EXPECT_EQ(CVPixelBufferUnlockBaseAddress(state.kept, kCVPixelBufferLock_ReadOnly),
                  kCVReturnSuccess);
        CVPixelBufferRelease(state.kept);
    }
}

// Waits on its own session from inside the output callback, as a careless caller might.
struct Reentrant {
    VTDecompressionSessionRef session = nullptr;
    std::atomic<int> waitsReturned{0};
};

void waitInsideCallback(void* refCon, void*, OSStatus, VTDecodeInfoFlags, CVImageBufferRef, CMTime,
                        CMTime) {
    auto* state = static_cast<Reentrant*>(refCon);
    if (VTDecompressionSessionWaitForAsynchronousFrames(state->session) == noErr) {
        ++state->waitsReturned;
    }
}

TEST(CompatSession, WaitingFromTheOutputCallbackDoesNotDeadlock) {
    Clip clip = loadClip("h264_tiny_16x16");
    Reentrant state;
    VTDecompressionOutputCallbackRecord record = {waitInsideCallback, &state};
    ASSERT_EQ(VTDecompressionSessionCreate(kCFAllocatorDefault, clip.format.get(), nullptr, nullptr,
                                           &record, &state.session),
              noErr);
    const std::vector<uint8_t> bytes = pictureSample(clip.units[0], clip.info.codec);
    CMSampleBufferRef sample = makeSampleBuffer(&bytes, clip.format.get(), 0);
    ASSERT_EQ(VTDecompressionSessionDecodeFrame(state.session, sample, 1, nullptr, nullptr), noErr);
    CFRelease(sample);
    ASSERT_EQ(VTDecompressionSessionWaitForAsynchronousFrames(state.session), noErr);
    EXPECT_EQ(state.waitsReturned, 1);
    CFRelease(state.session);
}

TEST(CompatPixelBuffer, CreatedBuffersHavePaddedRowsAndRefuseOtherFormats) {
    CVPixelBufferRef buffer = nullptr;
    ASSERT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, 1080, 1920, kCVPixelFormatType_32BGRA,
                                  nullptr, &buffer),
              kCVReturnSuccess);
    EXPECT_EQ(CVPixelBufferGetBytesPerRow(buffer), 4352u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(CVPixelBufferGetBaseAddress(buffer)) % 64, 0u);
    EXPECT_EQ(CVPixelBufferGetDataSize(buffer), 4352u * 1920u);
    CVPixelBufferRelease(buffer);
    EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, 16, 16, kCVPixelFormatType_32ARGB, nullptr,
                                  &buffer),
              kCVReturnInvalidPixelFormat);
    EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, 0, 16, kCVPixelFormatType_32BGRA, nullptr,
                                  &buffer),
              kCVReturnInvalidSize);
    EXPECT_EQ(CVPixelBufferLockBaseAddress(nullptr, 0), kCVReturnInvalidArgument);
    EXPECT_EQ(CVPixelBufferGetWidth(nullptr), 0u);
}

}  // namespace
}  // namespace compattest
