// Real clips through the decode session, access unit by access unit, as a decode thread hands
// them over: the size report, every picture against FFmpeg's decode, session setup and
// replacement, the registry, and the number of live decompression sessions over stop/start
// cycles (counted through the linker's --wrap of session creation and CFRelease).
#include "DecompressionOutput.h"
#include "HwDecodeTestSupport.h"
#include "NalUnits.h"
#include "ParameterSets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <set>
#include <thread>

using hwdecodetest::Bytes;
using hwdecodetest::RecordingDelegate;
using testsupport::AccessUnit;
using testsupport::FixtureClip;

namespace {

// What the last session creation was asked for.
struct CreationRequest {
    bool hardwareEnabled = false;
    bool hardwareRequired = false;
    CFIndex specificationEntries = 0;
    int32_t pixelFormat = 0;
    bool openGlCompatible = true;
    CFIndex attributeEntries = 0;
    VTDecompressionOutputCallback callback = nullptr;
    void* callbackReference = nullptr;
};

struct SessionCensus {
    std::mutex mutex;
    std::set<CFTypeRef> live;
    size_t created = 0;
    VTDecompressionSessionRef lastCreated = nullptr;
    CreationRequest lastRequest;
};

bool isTrue(CFDictionaryRef dictionary, CFStringRef key) {
    return dictionary != nullptr && CFDictionaryGetValue(dictionary, key) == kCFBooleanTrue;
}

CreationRequest describeRequest(CFDictionaryRef specification, CFDictionaryRef attributes,
                                const VTDecompressionOutputCallbackRecord& callback) {
    CreationRequest request;
    request.hardwareEnabled =
        isTrue(specification, kVTVideoDecoderSpecification_EnableHardwareAcceleratedVideoDecoder);
    request.hardwareRequired =
        isTrue(specification, kVTVideoDecoderSpecification_RequireHardwareAcceleratedVideoDecoder);
    request.specificationEntries = specification ? CFDictionaryGetCount(specification) : 0;
    if (attributes != nullptr) {
        const auto format = static_cast<CFNumberRef>(
            CFDictionaryGetValue(attributes, kCVPixelBufferPixelFormatTypeKey));
        if (format != nullptr) {
            CFNumberGetValue(format, kCFNumberSInt32Type, &request.pixelFormat);
        }
        request.openGlCompatible =
            CFDictionaryGetValue(attributes, kCVPixelBufferOpenGLCompatibilityKey) !=
            kCFBooleanFalse;
        request.attributeEntries = CFDictionaryGetCount(attributes);
    }
    request.callback = callback.decompressionOutputCallback;
    request.callbackReference = callback.decompressionOutputRefCon;
    return request;
}

SessionCensus& census() {
    // Outlives the session registry, whose destruction at exit still calls the wrapped
    // platform functions.
    static SessionCensus* const instance = new SessionCensus;
    return *instance;
}

CreationRequest lastCreationRequest() {
    std::lock_guard<std::mutex> lock(census().mutex);
    return census().lastRequest;
}

size_t liveSessions() {
    std::lock_guard<std::mutex> lock(census().mutex);
    return census().live.size();
}

size_t createdSessions() {
    std::lock_guard<std::mutex> lock(census().mutex);
    return census().created;
}

VTDecompressionSessionRef lastCreatedSession() {
    std::lock_guard<std::mutex> lock(census().mutex);
    return census().lastCreated;
}

}  // namespace

extern "C" {

OSStatus __real_VTDecompressionSessionCreate(
    CFAllocatorRef allocator, CMVideoFormatDescriptionRef videoFormatDescription,
    CFDictionaryRef videoDecoderSpecification, CFDictionaryRef destinationImageBufferAttributes,
    const VTDecompressionOutputCallbackRecord* outputCallback,
    VTDecompressionSessionRef* decompressionSessionOut);
void __real_CFRelease(CFTypeRef cf);
OSStatus __real_VTDecompressionSessionDecodeFrame(VTDecompressionSessionRef session,
                                                  CMSampleBufferRef sampleBuffer,
                                                  VTDecodeFrameFlags decodeFlags,
                                                  void* sourceFrameRefCon,
                                                  VTDecodeInfoFlags* infoFlagsOut);

// The status the next decode returns without decoding, as a platform whose session ended does;
// noErr decodes.
std::atomic<OSStatus> s_injectedDecodeStatus{noErr};

OSStatus __wrap_VTDecompressionSessionDecodeFrame(VTDecompressionSessionRef session,
                                                  CMSampleBufferRef sampleBuffer,
                                                  VTDecodeFrameFlags decodeFlags,
                                                  void* sourceFrameRefCon,
                                                  VTDecodeInfoFlags* infoFlagsOut) {
    if (const OSStatus injected = s_injectedDecodeStatus.exchange(noErr)) {
        return injected;
    }
    return __real_VTDecompressionSessionDecodeFrame(session, sampleBuffer, decodeFlags,
                                                    sourceFrameRefCon, infoFlagsOut);
}

OSStatus __wrap_VTDecompressionSessionCreate(
    CFAllocatorRef allocator, CMVideoFormatDescriptionRef videoFormatDescription,
    CFDictionaryRef videoDecoderSpecification, CFDictionaryRef destinationImageBufferAttributes,
    const VTDecompressionOutputCallbackRecord* outputCallback,
    VTDecompressionSessionRef* decompressionSessionOut) {
    const OSStatus result = __real_VTDecompressionSessionCreate(
        allocator, videoFormatDescription, videoDecoderSpecification,
        destinationImageBufferAttributes, outputCallback, decompressionSessionOut);
    const CreationRequest request = describeRequest(
        videoDecoderSpecification, destinationImageBufferAttributes, *outputCallback);
    std::lock_guard<std::mutex> lock(census().mutex);
    census().lastRequest = request;
    if (result == noErr && *decompressionSessionOut != nullptr) {
        census().live.insert(*decompressionSessionOut);
        census().lastCreated = *decompressionSessionOut;
        ++census().created;
    }
    return result;
}

// A session leaves the census with the release that destroys it.
void __wrap_CFRelease(CFTypeRef cf) {
    if (cf != nullptr) {
        std::lock_guard<std::mutex> lock(census().mutex);
        const auto found = census().live.find(cf);
        if (found != census().live.end() && CFGetRetainCount(cf) == 1) {
            census().live.erase(found);
        }
    }
    __real_CFRelease(cf);
}

}  // extern "C"

namespace {

// A stream that reorders pictures holds at most this many back until the session is flushed.
constexpr size_t kMaxHeldPictures = 4;
constexpr double kMinPsnr = 45.0;

// The index of the access unit after which every parameter set that setup needs has arrived.
int setupAccessUnit(const std::vector<AccessUnit>& units, bool h265) {
    bool vps = !h265;
    bool sps = false;
    bool pps = false;
    for (size_t i = 0; i < units.size(); ++i) {
        for (const int type : testsupport::nalUnitTypes(
                 units[i], h265 ? testsupport::Codec::H265 : testsupport::Codec::H264)) {
            vps = vps || (h265 && type == 32);
            sps = sps || type == (h265 ? 33 : 7);
            pps = pps || type == (h265 ? 34 : 8);
        }
        if (vps && sps && pps) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Each delivered picture is the clip's picture of the same index: exactly (the MD5 of FFmpeg's
// decode) or, for pictures whose pixels were kept, within kMinPsnr of the stored reference.
void expectReferencePictures(const FixtureClip& clip,
                             const std::vector<hwdecodetest::DeliveredPicture>& pictures,
                             size_t firstClipPicture = 0) {
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip);
    std::vector<testsupport::BgraPicture> references;
    for (size_t i = 0; i < pictures.size(); ++i) {
        const auto& picture = pictures[i];
        const size_t index = firstClipPicture + i;
        SCOPED_TRACE("picture " + std::to_string(index));
        EXPECT_EQ(picture.format, 0);
        EXPECT_EQ(picture.width, clip.width);
        EXPECT_EQ(picture.height, clip.height);
        EXPECT_GE(picture.bytesPerRow, 4 * clip.width);
        EXPECT_EQ(picture.extraColumnsOnLeft + picture.extraColumnsOnRight +
                      picture.extraRowsOnTop + picture.extraRowsOnBottom,
                  0);
        ASSERT_LT(index, md5s.size());
        if (picture.md5 == md5s[index]) {
            continue;
        }
        if (references.empty()) {
            references = testsupport::readReferencePictures(clip);
        }
        ASSERT_LT(index, references.size()) << "not exact, and no stored reference to compare";
        ASSERT_FALSE(picture.pixels.pixels.empty());
        EXPECT_GE(testsupport::psnr(picture.pixels, references[index]), kMinPsnr);
    }
}

class ClipDecodeTest : public ::testing::TestWithParam<FixtureClip> {};

TEST_P(ClipDecodeTest, DeliversEveryPictureAfterOneSizeReport) {
    const FixtureClip& clip = GetParam();
    const bool h265 = hwdecodetest::isH265(clip);
    const auto units = testsupport::readAccessUnits(clip);
    ASSERT_EQ(static_cast<int>(units.size()), clip.accessUnits);
    auto delegate = std::make_shared<RecordingDelegate>(static_cast<size_t>(clip.referenceFrames));
    auto handler = hwdecodetest::freshHandler(delegate, h265);

    hwdecodetest::feedClip(*handler, *delegate, units);

    const auto reports = delegate->sizeReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].width, clip.width);
    EXPECT_EQ(reports[0].height, clip.height);
    EXPECT_EQ(reports[0].accessUnit, setupAccessUnit(units, h265));

    // Pictures that a reordering stream still holds come out only when the session is flushed,
    // which DecodeNALUs never does; the test flushes to see them.
    const size_t beforeFlush = delegate->pictureCount();
    const bool reorders = clip.name.find("bframes") != std::string::npos;
    if (reorders) {
        EXPECT_GE(beforeFlush + kMaxHeldPictures, static_cast<size_t>(clip.frames));
    } else {
        EXPECT_EQ(beforeFlush, static_cast<size_t>(clip.frames));
    }
    VTDecompressionSessionFinishDelayedFrames(lastCreatedSession());
    VTDecompressionSessionWaitForAsynchronousFrames(lastCreatedSession());
    const auto pictures = delegate->pictures();
    EXPECT_EQ(pictures.size(), static_cast<size_t>(clip.frames));
    expectReferencePictures(clip, pictures);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ClipDecodeTest, ::testing::ValuesIn(testsupport::fixtureClips()),
                         [](const ::testing::TestParamInfo<FixtureClip>& clipInfo) {
                             return clipInfo.param.name;
                         });

const FixtureClip& clip320() {
    return testsupport::fixtureClip("h264_cbp_320x240");
}

std::vector<AccessUnit> units320() {
    return testsupport::readAccessUnits(clip320());
}

TEST(SessionSetupTest, SessionIsAskedForBgraPicturesFromHardwareWhereThereIsSome) {
    const auto units = units320();
    auto delegate = std::make_shared<RecordingDelegate>(0);
    auto handler = hwdecodetest::freshHandler(delegate, false);
    hwdecodetest::feedClip(*handler, *delegate, {units.front()});

    const CreationRequest request = lastCreationRequest();
    EXPECT_EQ(request.pixelFormat, int32_t{kCVPixelFormatType_32BGRA});
    EXPECT_FALSE(request.openGlCompatible);
    EXPECT_EQ(request.attributeEntries, 2);
    EXPECT_TRUE(request.hardwareEnabled);
    EXPECT_FALSE(request.hardwareRequired) << "a machine without a hardware decoder still decodes";
    EXPECT_EQ(request.specificationEntries, 1);
    EXPECT_EQ(request.callback, &didDecompress);
    EXPECT_EQ(request.callbackReference, handler.get());
}

TEST(SessionSetupTest, ParameterSetsInSeparateAccessUnitsSetUpOnThePps) {
    const auto units = units320();
    const auto nals = hwdecodetest::splitNalUnits(units[0]);
    std::vector<AccessUnit> split = {hwdecodetest::joinAnnexB({nals[0]}),
                                     hwdecodetest::joinAnnexB({nals[1]})};
    ASSERT_EQ(hwdecodetest::nalType(nals[0], false), 7);
    ASSERT_EQ(hwdecodetest::nalType(nals[1], false), 8);
    split.push_back(hwdecodetest::joinAnnexB({nals.begin() + 2, nals.end()}));
    split.insert(split.end(), units.begin() + 1, units.end());
    auto delegate = std::make_shared<RecordingDelegate>(8);
    auto handler = hwdecodetest::freshHandler(delegate, false);

    delegate->setAccessUnit(0);
    handler->DecodeNALUs(split[0].data(), static_cast<int32_t>(split[0].size()), 0);
    EXPECT_EQ(handler->statistics()->snapshot().sessions, 0u);
    hwdecodetest::feedClip(*handler, *delegate, split);

    const auto reports = delegate->sizeReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].accessUnit, 1);
    const auto pictures = delegate->pictures();
    EXPECT_EQ(pictures.size(), units.size());
    expectReferencePictures(clip320(), pictures);
}

// A new SPS takes effect at the next random-access point: until then the pictures of the current
// stream go on decoding with the sets they were made with.
TEST(SessionSetupTest, ANewSpsWaitsForTheNextRandomAccessPoint) {
    const auto units = units320();
    const auto odd = testsupport::readAccessUnits(testsupport::fixtureClip("h264_odd_642x362"));
    auto delegate = std::make_shared<RecordingDelegate>(8);
    auto handler = hwdecodetest::freshHandler(delegate, false);
    hwdecodetest::feedClip(*handler, *delegate,
                           std::vector<AccessUnit>(units.begin(), units.begin() + 10));
    const size_t createdBefore = createdSessions();

    const AccessUnit otherSets = hwdecodetest::joinAnnexB(
        {hwdecodetest::firstOfType(odd[0], 7, false), hwdecodetest::firstOfType(odd[0], 8, false)});
    handler->DecodeNALUs(otherSets.data(), static_cast<int32_t>(otherSets.size()), 0);
    for (size_t i = 10; i < units.size(); ++i) {
        handler->DecodeNALUs(units[i].data(), static_cast<int32_t>(units[i].size()), 0);
    }

    EXPECT_EQ(createdSessions(), createdBefore);
    EXPECT_EQ(delegate->sizeReports().size(), 1u);
    const auto pictures = delegate->pictures();
    EXPECT_EQ(pictures.size(), units.size());
    expectReferencePictures(clip320(), pictures);
}

TEST(SessionSetupTest, ResetThenNewParameterSetsStartANewSession) {
    const auto units = units320();
    const FixtureClip& next = testsupport::fixtureClip("h265_main_320x240");
    const auto nextUnits = testsupport::readAccessUnits(next);
    auto delegate = std::make_shared<RecordingDelegate>(8);
    auto handler = hwdecodetest::freshHandler(delegate, false);
    hwdecodetest::feedClip(*handler, *delegate,
                           std::vector<AccessUnit>(units.begin(), units.begin() + 10));
    const size_t liveBefore = liveSessions();
    const size_t createdBefore = createdSessions();

    handler->Reset();
    EXPECT_EQ(handler->delegate(), delegate);

    // The next stream starts at a random-access point: a picture of the old one that arrives
    // first is not decoded, and the session stays.
    handler->DecodeNALUs(units[10].data(), static_cast<int32_t>(units[10].size()), 0);
    EXPECT_EQ(delegate->pictureCount(), 10u);
    EXPECT_EQ(liveSessions(), liveBefore);

    handler->SetH265(true);
    hwdecodetest::feedClip(*handler, *delegate, nextUnits);
    EXPECT_EQ(createdSessions(), createdBefore + 1);
    EXPECT_EQ(liveSessions(), liveBefore) << "the replaced session was released";
    const auto reports = delegate->sizeReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].width, next.width);
    EXPECT_EQ(reports[1].height, next.height);
    const auto pictures = delegate->pictures();
    ASSERT_EQ(pictures.size(), 10u + nextUnits.size());
    expectReferencePictures(clip320(), {pictures.begin(), pictures.begin() + 10});
    expectReferencePictures(next, {pictures.begin() + 10, pictures.end()});
}

// A parameter set that does not parse is not kept: it neither sets anything up nor stands in the
// way of the good sets that follow.
TEST(SessionSetupTest, AParameterSetThatDoesNotParseIsIgnored) {
    const auto units = units320();
    auto delegate = std::make_shared<RecordingDelegate>(0);
    auto handler = hwdecodetest::freshHandler(delegate, false);
    hwdecodetest::feedClip(*handler, *delegate, {units.begin(), units.begin() + 5});
    const size_t liveBefore = liveSessions();
    handler->Reset();

    const Bytes truncatedSps = {0x67, 0x42};
    const Bytes pps = hwdecodetest::firstOfType(units[0], 8, false);
    const AccessUnit bad = hwdecodetest::joinAnnexB({truncatedSps, pps});
    handler->DecodeNALUs(bad.data(), static_cast<int32_t>(bad.size()), 0);
    EXPECT_EQ(delegate->sizeReports().size(), 1u) << "nothing set up";

    hwdecodetest::feedClip(*handler, *delegate, units);
    EXPECT_EQ(delegate->sizeReports().size(), 2u);
    EXPECT_EQ(delegate->pictureCount(), 5u + units.size());
    EXPECT_EQ(liveSessions(), liveBefore) << "the session before the Reset was replaced";
}

TEST(SessionSetupTest, HeldPicturesOfAReplacedSessionAreNotShown) {
    const auto bframes =
        testsupport::readAccessUnits(testsupport::fixtureClip("h264_high_bframes_640x360"));
    const auto units = units320();
    auto delegate = std::make_shared<RecordingDelegate>(0);
    auto handler = hwdecodetest::freshHandler(delegate, false);
    hwdecodetest::feedClip(*handler, *delegate, bframes);
    const size_t beforeReset = delegate->pictureCount();

    handler->Reset();
    hwdecodetest::feedClip(*handler, *delegate, units);

    const auto pictures = delegate->pictures();
    ASSERT_EQ(pictures.size(), beforeReset + units.size());
    expectReferencePictures(
        clip320(), {pictures.begin() + static_cast<std::ptrdiff_t>(beforeReset), pictures.end()});
}

TEST(SessionSetupTest, StopStartCyclesKeepOneLiveSession) {
    const auto h264Units = units320();
    const auto h265Units =
        testsupport::readAccessUnits(testsupport::fixtureClip("h265_main_320x240"));
    const std::string key = hwdecodetest::freshKey();
    const auto handler = H264HwDecoderImpl::sharedHandler(key);
    const size_t liveAtStart = liveSessions();
    const size_t createdAtStart = createdSessions();
    constexpr int kCycles = 12;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const bool h265 = cycle % 2 == 1;
        auto delegate = std::make_shared<RecordingDelegate>(0);
        ASSERT_EQ(H264HwDecoderImpl::sharedHandler(key), handler);
        handler->setDelegate(delegate);
        handler->SetH265(h265);
        const auto& units = h265 ? h265Units : h264Units;
        hwdecodetest::feedClip(*handler, *delegate, {units.begin(), units.begin() + 5});
        EXPECT_EQ(delegate->pictureCount(), 5u);
        EXPECT_EQ(delegate->sizeReports().size(), 1u);
        EXPECT_EQ(liveSessions(), liveAtStart + 1) << "cycle " << cycle;
        H264HwDecoderImpl::sharedHandler(key)->Reset();
    }
    EXPECT_EQ(createdSessions(), createdAtStart + kCycles);
    EXPECT_EQ(liveSessions(), liveAtStart + 1) << "the last session stays until the next setup";
}

TEST(SessionSetupTest, DelegateSwappedWhileDecodingGetsEveryPictureOnce) {
    const auto units = units320();
    auto first = std::make_shared<RecordingDelegate>(0);
    auto second = std::make_shared<RecordingDelegate>(0);
    auto handler = hwdecodetest::freshHandler(first, false);
    std::atomic<bool> decoding{true};
    std::thread swapper([&] {
        for (int i = 0; decoding; ++i) {
            handler->setDelegate(i % 2 == 0 ? second : first);
            std::this_thread::yield();
        }
    });
    constexpr int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        hwdecodetest::feedClip(*handler, *first, units);
    }
    decoding = false;
    swapper.join();
    EXPECT_EQ(first->pictureCount() + second->pictureCount(), kRounds * units.size());
    EXPECT_EQ(first->sizeReports().size() + second->sizeReports().size(), 1u);
}

// A Reset starts the stream over at its next random-access point (every round of the clip begins
// with one): pictures in between are skipped, and every picture delivered is a correct one.
TEST(SessionSetupTest, ResetRacingWithDecodingDeliversOnlyCorrectPictures) {
    const auto units = units320();
    const auto md5s = testsupport::readFrameMd5s(clip320());
    auto delegate = std::make_shared<RecordingDelegate>(0);
    auto handler = hwdecodetest::freshHandler(delegate, false);
    std::atomic<bool> decoding{true};
    std::atomic<int> resets{0};
    std::thread resetter([&] {
        while (decoding) {
            handler->Reset();
            ++resets;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    constexpr int kRounds = 4;
    for (int round = 0; round < kRounds; ++round) {
        hwdecodetest::feedClip(*handler, *delegate, units);
    }
    decoding = false;
    resetter.join();

    EXPECT_GT(resets.load(), 0);
    const auto pictures = delegate->pictures();
    EXPECT_GE(pictures.size(), size_t(kRounds) - 1);
    const std::set<std::string> clipPictures(md5s.begin(), md5s.end());
    for (size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_EQ(clipPictures.count(pictures[i].md5), 1u) << "picture " << i;
    }
    EXPECT_GE(delegate->sizeReports().size(), 1u);
}

TEST(RegistryTest, KeysMapToObjects) {
    const std::string key = hwdecodetest::freshKey();
    const std::string other = hwdecodetest::freshKey();
    const auto handler = H264HwDecoderImpl::sharedHandler(key);
    EXPECT_EQ(H264HwDecoderImpl::sharedHandler(key), handler);
    EXPECT_NE(H264HwDecoderImpl::sharedHandler(other), handler);
    handler->Reset();
    EXPECT_EQ(H264HwDecoderImpl::sharedHandler(key), handler);
}

size_t occurrences(const std::string& text, const std::string& line) {
    size_t count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
        ++count;
    }
    return count;
}

TEST(RegistryTest, LogsOnceForEachNewKey) {
    const std::string key = hwdecodetest::freshKey();
    const std::string other = hwdecodetest::freshKey();
    ::testing::internal::CaptureStderr();
    H264HwDecoderImpl::sharedHandler(key);
    H264HwDecoderImpl::sharedHandler(key);
    H264HwDecoderImpl::sharedHandler(other);
    H264HwDecoderImpl::sharedHandler(key)->Reset();
    H264HwDecoderImpl::sharedHandler(other);
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(occurrences(log, "decoder: Allocating decoder instance for " + key + "...\n"), 1u);
    EXPECT_EQ(occurrences(log, "decoder: Allocating decoder instance for " + other + "...\n"), 1u);
    EXPECT_EQ(occurrences(log, "decoder:"), 2u);
}

TEST(RegistryTest, ThreadsRacingForOneKeyShareOneObject) {
    constexpr int kThreads = 8;
    constexpr int kKeys = 20;
    std::vector<std::string> keys;
    for (int i = 0; i < kKeys; ++i) {
        keys.push_back(hwdecodetest::freshKey());
    }
    std::vector<std::vector<std::shared_ptr<H264HwDecoderImpl>>> seen(kThreads);
    ::testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (const std::string& key : keys) {
                seen[t].push_back(H264HwDecoderImpl::sharedHandler(key));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::string log = ::testing::internal::GetCapturedStderr();
    for (int k = 0; k < kKeys; ++k) {
        for (int t = 1; t < kThreads; ++t) {
            EXPECT_EQ(seen[t][k], seen[0][k]) << "key " << keys[k];
        }
        EXPECT_EQ(occurrences(log, "instance for " + keys[k] + "...\n"), 1u);
    }
}

void decodeUnits(H264HwDecoderImpl& handler, const std::vector<AccessUnit>& units, size_t* pts) {
    for (const AccessUnit& unit : units) {
        handler.DecodeNALUs(unit.data(), static_cast<int32_t>(unit.size()),
                            double(3000 * (*pts)++));
    }
}

std::vector<AccessUnit> firstUnits(const FixtureClip& clip, size_t count) {
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
    return {units.begin(), units.begin() + std::min(count, units.size())};
}

// Two clips joined into one stream, each part beginning with its parameter sets and a keyframe:
// new sets take effect at the second part's keyframe. A new picture size makes a new session,
// which reports its size; the same size keeps the session. Every picture is exactly its own
// part's.
TEST(ParameterSetChanges, TakeEffectAtTheNextKeyframe) {
    const struct {
        const char* first;
        const char* second;
        bool newSession;
    } rows[] = {
        {"h264_cbp_320x240", "h264_gop60_1280x720", true},
        {"h265_main_320x240", "h265_gop60_1280x720", true},
        {"h264_cbp_320x240", "h264_repeat_headers_320x240", false},
        {"h265_main_320x240", "h265_repeat_headers_320x240", false},
    };
    constexpr size_t kUnitsPerPart = 30;
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.first) + " then " + row.second);
        const FixtureClip& first = testsupport::fixtureClip(row.first);
        const FixtureClip& second = testsupport::fixtureClip(row.second);
        auto delegate = std::make_shared<RecordingDelegate>(0);
        auto handler = hwdecodetest::freshHandler(delegate, hwdecodetest::isH265(first));
        const size_t liveBefore = liveSessions();
        const size_t createdBefore = createdSessions();
        size_t pts = 0;
        decodeUnits(*handler, firstUnits(first, kUnitsPerPart), &pts);
        decodeUnits(*handler, firstUnits(second, kUnitsPerPart), &pts);

        const auto reports = delegate->sizeReports();
        ASSERT_EQ(reports.size(), row.newSession ? 2u : 1u);
        EXPECT_EQ(reports[0].width, first.width);
        EXPECT_EQ(reports.back().width, second.width);
        EXPECT_EQ(reports.back().height, second.height);
        EXPECT_EQ(createdSessions() - createdBefore, row.newSession ? 2u : 1u);
        EXPECT_EQ(liveSessions(), liveBefore + 1) << "a replaced session is released";
        const DecodeStatistics::Snapshot figures = handler->statistics()->snapshot();
        EXPECT_EQ(figures.sessions, row.newSession ? 2u : 1u);
        EXPECT_EQ(figures.width, second.width);
        EXPECT_EQ(figures.height, second.height);
        std::vector<std::string> expected = testsupport::readFrameMd5s(first);
        expected.resize(kUnitsPerPart);
        std::vector<std::string> secondMd5s = testsupport::readFrameMd5s(second);
        secondMd5s.resize(std::min(kUnitsPerPart, secondMd5s.size()));
        expected.insert(expected.end(), secondMd5s.begin(), secondMd5s.end());
        std::vector<std::string> delivered;
        for (const auto& picture : delegate->pictures()) {
            delivered.push_back(picture.md5);
        }
        EXPECT_EQ(delivered, expected);
    }
}

// A decode that reports the session ended under the plugin (after sleep or a change of GPU, or
// a decoder failure) makes a new session from the current parameter sets; pictures are exact
// again from the next keyframe (unit 60), and none is shown in between.
TEST(ParameterSetChanges, ASessionThePlatformEndedIsReplaced) {
    const std::pair<const char*, OSStatus> rows[] = {
        {"h264_gop60_1280x720", kVTInvalidSessionErr},
        {"h265_gop60_1280x720", kVTVideoDecoderMalfunctionErr},
    };
    for (const auto& [name, status] : rows) {
        SCOPED_TRACE(name);
        const FixtureClip& clip = testsupport::fixtureClip(name);
        const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
        const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip);
        auto delegate = std::make_shared<RecordingDelegate>(0);
        auto handler = hwdecodetest::freshHandler(delegate, hwdecodetest::isH265(clip));
        size_t pts = 0;
        decodeUnits(*handler, {units.begin(), units.begin() + 10}, &pts);
        const size_t createdBefore = createdSessions();
        s_injectedDecodeStatus = status;
        decodeUnits(*handler, {units.begin() + 10, units.end()}, &pts);

        EXPECT_EQ(createdSessions() - createdBefore, 1u) << "a new session";
        const DecodeStatistics::Snapshot figures = handler->statistics()->snapshot();
        EXPECT_EQ(figures.sessions, 2u);
        EXPECT_EQ(figures.lastStatus, status);
        using Drop = DecodeStatistics::Drop;
        EXPECT_EQ(figures.dropped[size_t(Drop::DecodeError)], 1u);
        EXPECT_EQ(figures.dropped[size_t(Drop::WaitingForKeyframe)], 49u) << "units 11 to 59";
        EXPECT_EQ(figures.decoded, 40u);
        EXPECT_EQ(figures.keyframeRequests, 1u);
        std::vector<std::string> expected(md5s.begin(), md5s.begin() + 10);
        expected.insert(expected.end(), md5s.begin() + 60, md5s.end());
        std::vector<std::string> delivered;
        for (const auto& picture : delegate->pictures()) {
            delivered.push_back(picture.md5);
        }
        EXPECT_EQ(delivered, expected);
    }
}

// The NAL unit with its `index`-th exp-Golomb field after the header set to `value`. The bits
// after the field move with it, and the trailing bits and emulation prevention are made anew:
// right for PPS and CAVLC slices, whose payload after these fields is not byte-aligned.
Bytes withUeField(const Bytes& nal, int index, uint32_t value) {
    const size_t length = parametersets::lengthWithoutTrailingZeros(nal.data(), nal.size());
    const std::vector<uint8_t> rbsp = parametersets::unescapeRbsp(nal.data() + 1, length - 1);
    std::vector<bool> bits;
    for (uint8_t byte : rbsp) {
        for (int bit = 7; bit >= 0; --bit) {
            bits.push_back((byte >> bit) & 1);
        }
    }
    size_t end = bits.size();
    while (end > 0 && !bits[end - 1]) {
        --end;
    }
    --end;  // rbsp_stop_one_bit
    size_t position = 0;
    auto skipUe = [&] {
        int zeros = 0;
        while (!bits[position++]) {
            ++zeros;
        }
        position += size_t(zeros);
    };
    for (int field = 0; field < index; ++field) {
        skipUe();
    }
    const size_t fieldStart = position;
    skipUe();
    std::vector<bool> rewritten(bits.begin(), bits.begin() + std::ptrdiff_t(fieldStart));
    const uint64_t code = uint64_t(value) + 1;
    int width = 0;
    while ((code >> width) > 1) {
        ++width;
    }
    rewritten.insert(rewritten.end(), size_t(width), false);
    for (int bit = width; bit >= 0; --bit) {
        rewritten.push_back((code >> bit) & 1);
    }
    rewritten.insert(rewritten.end(), bits.begin() + std::ptrdiff_t(position),
                     bits.begin() + std::ptrdiff_t(end));
    rewritten.push_back(true);
    while (rewritten.size() % 8 != 0) {
        rewritten.push_back(false);
    }
    Bytes out = {nal[0]};
    int zeros = 0;
    for (size_t i = 0; i < rewritten.size(); i += 8) {
        uint8_t byte = 0;
        for (size_t bit = 0; bit < 8; ++bit) {
            byte = uint8_t((byte << 1) | (rewritten[i + bit] ? 1 : 0));
        }
        if (zeros >= 2 && byte <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        out.push_back(byte);
    }
    return out;
}

// A stream whose slices refer to a second PPS (id 1, the first one's copy), built from a CAVLC
// clip by rewriting its ids: every picture decodes exactly, since the format description carries
// every parameter set the stream sent.
TEST(ParameterSetChanges, SlicesThatReferToASecondPpsDecode) {
    const FixtureClip& clip = testsupport::fixtureClip("h264_cbp_320x240");
    std::vector<AccessUnit> units;
    for (const AccessUnit& unit : testsupport::readAccessUnits(clip)) {
        std::vector<Bytes> nals;
        for (const nalunits::NalUnit& found : nalunits::findNalUnits(unit.data(), unit.size())) {
            const Bytes nal(unit.begin() + std::ptrdiff_t(found.first),
                            unit.begin() + std::ptrdiff_t(found.first + found.length));
            const int type = nal[0] & 0x1f;
            if (type == 8) {
                nals.push_back(nal);
                nals.push_back(withUeField(nal, 0, 1));
            } else if (type == 1 || type == 5) {
                nals.push_back(withUeField(nal, 2, 1));
            } else {
                nals.push_back(nal);
            }
        }
        units.push_back(hwdecodetest::joinAnnexB(nals));
    }
    auto delegate = std::make_shared<RecordingDelegate>(0);
    auto handler = hwdecodetest::freshHandler(delegate, false);
    hwdecodetest::feedClip(*handler, *delegate, units);
    std::vector<std::string> delivered;
    for (const auto& picture : delegate->pictures()) {
        delivered.push_back(picture.md5);
    }
    EXPECT_EQ(delivered, testsupport::readFrameMd5s(clip));
}

}  // namespace
