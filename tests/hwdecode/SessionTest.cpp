// The decode session layer on the real media layer, some of whose calls the linker wraps: the
// wraps count live sessions, record samples, check that pixel buffer locks pair up, and fail calls.
#include "AnnexB.h"
#include "DecompressionOutput.h"
#include "H264HwDecoderImpl.h"
#include "NalUnits.h"
#include "PictureReorder.h"
#include "Pictures.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <chrono>
#include <climits>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace {

using Bytes = std::vector<uint8_t>;

// The switches that the tests set, and what the wrapped calls saw (under `mutex`).
struct Platform {
    std::atomic<OSStatus> nextDecodeStatus{noErr};    // returned once, without decoding
    std::atomic<int> failableCallsBeforeFailure{-1};  // of the calls that make a sample
    std::mutex mutex;
    std::set<CFTypeRef> liveSessions;
    std::vector<Bytes> samples;
    std::atomic<CVPixelBufferRef> locked{nullptr};  // the wraps check that locks pair up
    std::atomic<size_t> lockPairs{0};
};

Platform& platform() {
    // Outlives the session registry, whose destruction at exit still calls the wrapped functions.
    static Platform* const instance = new Platform;
    return *instance;
}

size_t liveSessions() {
    std::lock_guard<std::mutex> lock(platform().mutex);
    return platform().liveSessions.size();
}

std::vector<Bytes> takeSamples() {
    std::lock_guard<std::mutex> lock(platform().mutex);
    return std::exchange(platform().samples, {});
}

// Each picture's buffer locked read-only around its delivery alone, and unlocked alike.
void expectLockPairs(size_t pictures) {
    EXPECT_EQ(platform().lockPairs.exchange(0), pictures);
    EXPECT_EQ(platform().locked, nullptr);
}

bool failsNow() {
    return platform().failableCallsBeforeFailure.fetch_sub(1) == 0;
}

}  // namespace

extern "C" {

decltype(VTDecompressionSessionCreate) __real_VTDecompressionSessionCreate;
decltype(VTDecompressionSessionDecodeFrame) __real_VTDecompressionSessionDecodeFrame;
decltype(CFRelease) __real_CFRelease;
decltype(CMBlockBufferCreateWithMemoryBlock) __real_CMBlockBufferCreateWithMemoryBlock;
decltype(CMBlockBufferGetDataPointer) __real_CMBlockBufferGetDataPointer;
decltype(CMSampleBufferCreate) __real_CMSampleBufferCreate;
decltype(CVPixelBufferLockBaseAddress) __real_CVPixelBufferLockBaseAddress;
decltype(CVPixelBufferUnlockBaseAddress) __real_CVPixelBufferUnlockBaseAddress;

OSStatus __wrap_VTDecompressionSessionCreate(CFAllocatorRef a, CMVideoFormatDescriptionRef b,
                                             CFDictionaryRef c, CFDictionaryRef d,
                                             const VTDecompressionOutputCallbackRecord* e,
                                             VTDecompressionSessionRef* sessionOut) {
    const OSStatus result = __real_VTDecompressionSessionCreate(a, b, c, d, e, sessionOut);
    std::lock_guard<std::mutex> lock(platform().mutex);
    if (result == noErr) {
        platform().liveSessions.insert(*sessionOut);
    }
    return result;
}

// A session leaves the census with the release that destroys it.
void __wrap_CFRelease(CFTypeRef cf) {
    if (cf != nullptr && CFGetRetainCount(cf) == 1) {
        std::lock_guard<std::mutex> lock(platform().mutex);
        platform().liveSessions.erase(cf);
    }
    __real_CFRelease(cf);
}

OSStatus __wrap_VTDecompressionSessionDecodeFrame(VTDecompressionSessionRef a,
                                                  CMSampleBufferRef sampleBuffer,
                                                  VTDecodeFrameFlags c, void* d,
                                                  VTDecodeInfoFlags* e) {
    if (const OSStatus injected = platform().nextDecodeStatus.exchange(noErr)) {
        return injected;
    }
    CMBlockBufferRef data = CMSampleBufferGetDataBuffer(sampleBuffer);
    Bytes bytes(CMBlockBufferGetDataLength(data));
    EXPECT_EQ(CMSampleBufferGetTotalSampleSize(sampleBuffer), bytes.size()) << "one sample";
    CMBlockBufferCopyDataBytes(data, 0, bytes.size(), bytes.data());
    {
        std::lock_guard<std::mutex> lock(platform().mutex);
        platform().samples.push_back(std::move(bytes));
    }
    return __real_VTDecompressionSessionDecodeFrame(a, sampleBuffer, c, d, e);
}

OSStatus __wrap_CMBlockBufferCreateWithMemoryBlock(CFAllocatorRef a, void* b, size_t c,
                                                   CFAllocatorRef d,
                                                   const CMBlockBufferCustomBlockSource* e,
                                                   size_t f, size_t g, CMBlockBufferFlags h,
                                                   CMBlockBufferRef* out) {
    *out = nullptr;
    return failsNow() ? kCMBlockBufferBlockAllocationFailedErr
                      : __real_CMBlockBufferCreateWithMemoryBlock(a, b, c, d, e, f, g, h, out);
}

OSStatus __wrap_CMBlockBufferGetDataPointer(CMBlockBufferRef a, size_t b, size_t* c, size_t* d,
                                            char** e) {
    return failsNow() ? kCMBlockBufferBadPointerParameterErr
                      : __real_CMBlockBufferGetDataPointer(a, b, c, d, e);
}

OSStatus __wrap_CMSampleBufferCreate(CFAllocatorRef a, CMBlockBufferRef b, Boolean c,
                                     CMSampleBufferMakeDataReadyCallback d, void* e,
                                     CMFormatDescriptionRef f, CMItemCount g, CMItemCount h,
                                     const CMSampleTimingInfo* i, CMItemCount j, const size_t* k,
                                     CMSampleBufferRef* out) {
    *out = nullptr;
    return failsNow() ? kCMSampleBufferError_AllocationFailed
                      : __real_CMSampleBufferCreate(a, b, c, d, e, f, g, h, i, j, k, out);
}

CVReturn __wrap_CVPixelBufferLockBaseAddress(CVPixelBufferRef buffer,
                                             CVPixelBufferLockFlags flags) {
    EXPECT_EQ(flags, CVPixelBufferLockFlags(kCVPixelBufferLock_ReadOnly));
    EXPECT_EQ(platform().locked.exchange(buffer), nullptr) << "one picture at a time";
    ++platform().lockPairs;
    return __real_CVPixelBufferLockBaseAddress(buffer, flags);
}

CVReturn __wrap_CVPixelBufferUnlockBaseAddress(CVPixelBufferRef buffer,
                                               CVPixelBufferLockFlags flags) {
    EXPECT_EQ(flags, CVPixelBufferLockFlags(kCVPixelBufferLock_ReadOnly));
    EXPECT_EQ(platform().locked.exchange(nullptr), buffer);
    return __real_CVPixelBufferUnlockBaseAddress(buffer, flags);
}

}  // extern "C"

namespace {

// Records the MD5 of each picture's packed rows, and at which access unit each size report came
// (read once decoding has returned). Every picture is BGRA without extended pixels.
struct RecordingDelegate : H264HwDecoderImplDelegate {
    void copyRenderBuffer(void* buffer, int32_t format, int32_t width, int32_t height,
                          int32_t bytesPerRow, int32_t extraLeft, int32_t extraRight,
                          int32_t extraTop, int32_t extraBottom) override {
        EXPECT_EQ(format | extraLeft | extraRight | extraTop | extraBottom, 0);
        EXPECT_GE(bytesPerRow, 4 * width);
        const std::string md5 = testsupport::md5Hex(
            testsupport::packRows(static_cast<const uint8_t*>(buffer), width, height, bytesPerRow));
        std::lock_guard<std::mutex> lock(mutex);
        md5s.push_back(md5);
    }

    void forwardTextureInfo(int32_t width, int32_t height) override {
        std::lock_guard<std::mutex> lock(mutex);
        sizeReports.push_back({accessUnit, width, height});
    }

    std::atomic<int> accessUnit{-1};  // the one being decoded
    std::mutex mutex;                 // the platform's output threads call in
    std::vector<std::string> md5s;
    std::vector<std::array<int, 3>> sizeReports;  // access unit, width, height
};

constexpr const char* kCbp = "h264_cbp_320x240";
constexpr const char* kHevc = "h265_main_320x240";
constexpr const char* kSlices = "h264_slices50_320x240";
constexpr const char* kHevcGop60 = "h265_gop60_1280x720";
constexpr const char* kRepeat = "h264_repeat_headers_320x240";
constexpr const char* kHevcRepeat = "h265_repeat_headers_320x240";

std::vector<Bytes> unitsOf(const char* clip) {
    return testsupport::readAccessUnits(testsupport::fixtureClip(clip));
}

std::vector<std::string> md5sOf(const char* clip) {
    return testsupport::readFrameMd5s(testsupport::fixtureClip(clip));
}

// The NAL units of an access unit, each behind a four-byte start code. Every clip's first access
// unit is its parameter sets (SPS and PPS, or VPS, SPS and PPS), an SEI and a picture.
std::vector<Bytes> nalUnitsOf(const Bytes& accessUnit) {
    std::vector<Bytes> units;
    for (const auto& unit : nalunits::findNalUnits(accessUnit.data(), accessUnit.size())) {
        const auto first = accessUnit.begin() + std::ptrdiff_t(unit.first);
        units.push_back({0, 0, 0, 1});
        units.back().insert(units.back().end(), first, first + std::ptrdiff_t(unit.length));
    }
    return units;
}

Bytes joined(const std::vector<Bytes>& parts) {
    Bytes joined;
    for (const Bytes& part : parts) {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

// A session object fed step by step, and the pictures it should show. No other test uses its key:
// session objects stay registered until the process ends.
struct Stream {
    Stream() {
        static std::atomic<unsigned> keys{1};
        handler = H264HwDecoderImpl::sharedHandler(std::to_string(keys++));
        handler->setDelegate(delegate);
    }

    // Units [from, to) of the clip, the first `shown` of whose pictures are to be shown.
    void feed(const char* clip, size_t from, size_t to, size_t shown = SIZE_MAX) {
        const auto units = unitsOf(clip);
        const auto md5s = md5sOf(clip);
        ASSERT_LE(to, std::min(units.size(), md5s.size()));
        feed(clip, {units.begin() + from, units.begin() + to},
             {md5s.begin() + from, md5s.begin() + from + std::min(shown, to - from)});
    }

    void feed(const char* clip, const std::vector<Bytes>& units,
              const std::vector<std::string>& shown) {
        handler->SetH265(testsupport::fixtureClip(clip).codec == testsupport::Codec::H265);
        for (const Bytes& unit : units) {
            delegate->accessUnit = int(clipOf.size());
            clipOf.push_back(&testsupport::fixtureClip(clip));
            handler->DecodeNALUs(unit.data(), int32_t(unit.size()), 3000.0 * double(clipOf.size()));
        }
        expected.insert(expected.end(), shown.begin(), shown.end());
    }

    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<H264HwDecoderImpl> handler;
    std::vector<const testsupport::FixtureClip*> clipOf;  // of each access unit fed
    std::vector<std::string> expected;
};

// The clip with the parameter sets of its first access unit sent ahead in access units of their
// own, each of the NAL units [first, last) of that unit; the first access unit keeps its SEI and
// picture.
std::function<void(Stream&)> setsAhead(const char* clip, std::vector<std::pair<int, int>> ahead) {
    return [=](Stream& stream) {
        auto units = unitsOf(clip);
        const std::vector<Bytes> nals = nalUnitsOf(units[0]);
        units[0] = joined({nals.end() - 2, nals.end()});
        for (size_t i = 0; i < ahead.size(); ++i) {
            units.insert(units.begin() + long(i),
                         joined({nals.begin() + ahead[i].first, nals.begin() + ahead[i].second}));
        }
        stream.feed(clip, units, md5sOf(clip));
    };
}

// Thirty units of one clip, then thirty of another that opens with its own sets and a keyframe.
std::function<void(Stream&)> oneAfterTheOther(const char* first, const char* second) {
    return [=](Stream& stream) {
        stream.feed(first, 0, 30);
        stream.feed(second, 0, 30);
    };
}

// A unit lost on its way to the decoder costs the pictures up to the next random-access point
// (the clip's first unit, fed again), and the host reads why: the platform failed the decode, or
// ended the session (after sleep or a change of GPU, or a decoder failure), which is made anew
// from the sets in force; or the `failingCall`-th call that makes the sample failed.
std::function<void(Stream&)> lost(const char* clip, OSStatus status, int failingCall = -1) {
    return [=](Stream& stream) {
        stream.feed(clip, 0, 3);
        platform().failableCallsBeforeFailure = failingCall;
        platform().nextDecodeStatus = failingCall < 0 ? status : noErr;
        stream.feed(clip, 3, 6, 0);
        platform().failableCallsBeforeFailure = -1;
        stream.feed(clip, 0, 10);
        const DecodeStatistics::Snapshot figures = stream.handler->statistics()->snapshot();
        EXPECT_EQ(figures.lastStatus, status);
        EXPECT_EQ(figures.dropped[size_t(DecodeStatistics::Drop::DecodeError)], 1u);
        EXPECT_EQ(figures.dropped[size_t(DecodeStatistics::Drop::WaitingForKeyframe)], 2u);
        EXPECT_EQ(figures.keyframeRequests, 1u);
    };
}

struct SessionCase {
    const char* name;
    std::vector<int> sessionsSetUpAt;  // access units
    std::function<void(Stream&)> script;
};

void PrintTo(const SessionCase& row, std::ostream* out) {
    *out << row.name;
}

// Until the next random-access point pictures decode with the sets they were made with.
void newSpsMidStream(Stream& stream) {
    const auto odd = nalUnitsOf(unitsOf("h264_odd_642x362")[0]);
    stream.feed(kCbp, 0, 10);
    stream.feed("h264_odd_642x362", {joined({odd[0], odd[1]})}, {});
    stream.feed(kCbp, 10, 30);
}

// After a Reset the old stream's pictures are not decoded; the session stays until the next
// stream's sets replace it.
void resetThenNextStream(Stream& stream) {
    stream.feed(kCbp, 0, 10);
    stream.handler->Reset();
    stream.feed(kCbp, 10, 11, 0);
    stream.feed(kHevc, 0, 30);
}

void truncatedSpsAfterReset(Stream& stream) {
    stream.feed(kCbp, 0, 5);
    stream.handler->Reset();
    stream.feed(kCbp, {joined({{0, 0, 1, 0x67, 0x42}, nalUnitsOf(unitsOf(kCbp)[0])[1]})}, {});
    stream.feed(kCbp, 0, 30);
}

// The last two pictures of the first stream are still held for reordering at the Reset.
void resetWhilePicturesAreHeld(Stream& stream) {
    stream.feed("h264_high_bframes_640x360", 0, 30, 28);
    stream.handler->Reset();
    stream.feed(kCbp, 0, 30);
}

// A stream joined without its parameter sets: its sender should send a keyframe.
void noSetsYet(Stream& stream) {
    stream.feed(kCbp, 1, 2, 0);
    EXPECT_EQ(stream.handler->statistics()->snapshot().lastStatus, kVTInvalidSessionErr);
    EXPECT_TRUE(stream.handler->statistics()->snapshot().keyframeNeeded);
    stream.feed(kCbp, 0, 30);
}

const SessionCase kSessionCases[] = {
    {"SetsInAccessUnitsOfTheirOwnSetUpOnTheLast", {1}, setsAhead(kCbp, {{0, 1}, {1, 2}})},
    {"H265SetsSetUpOnlyOnceTheVpsIsThere", {1}, setsAhead(kHevc, {{1, 3}, {0, 1}})},
    {"ANewSpsWaitsForTheNextRandomAccessPoint", {0}, newSpsMidStream},
    {"AfterAResetTheNextStreamsSetsStartANewSession", {0, 11}, resetThenNextStream},
    {"ASetThatDoesNotParseSetsNothingUp", {0, 6}, truncatedSpsAfterReset},
    {"HeldPicturesOfAReplacedSessionAreNotShown", {0, 30}, resetWhilePicturesAreHeld},
    {"H265NewSizeAtAKeyframeStartsANewSession", {0, 30}, oneAfterTheOther(kHevc, kHevcGop60)},
    {"TheSameSizeAtAKeyframeKeepsTheSession", {0}, oneAfterTheOther(kCbp, kRepeat)},
    {"H265SameSizeAtAKeyframeKeepsTheSession", {0}, oneAfterTheOther(kHevc, kHevcRepeat)},
    {"AnInvalidatedSessionIsReplaced", {0, 4}, lost(kSlices, kVTInvalidSessionErr)},
    {"FailedH265DecoderReplaced", {0, 4}, lost(kHevc, kVTVideoDecoderMalfunctionErr)},
    {"AFailedDecodeKeepsTheSession", {0}, lost(kSlices, kVTVideoDecoderBadDataErr)},
    // Of the calls for a picture of 50 slices: a buffer for each slice (calls 0 to 49), the joined
    // buffer (50), reading each slice's data (51 to 100), and the sample (101).
    {"LostForWantOfASliceBuffer", {0}, lost(kSlices, kCMBlockBufferBlockAllocationFailedErr, 0)},
    {"LostForWantOfAJoinedBuffer", {0}, lost(kSlices, kCMBlockBufferBlockAllocationFailedErr, 50)},
    {"LostForWantOfASlicesData", {0}, lost(kSlices, kCMBlockBufferBadPointerParameterErr, 51)},
    {"LostForWantOfTheSample", {0}, lost(kSlices, kCMSampleBufferError_AllocationFailed, 101)},
    {"NothingDecodesBeforeTheFirstSession", {1}, noSetsYet},
};

class SessionSetupTest : public ::testing::TestWithParam<SessionCase> {};

// Each session reports the size of the stream whose sets made it, and one replaced is released.
// Every decoded picture, shown or not, is locked around its delivery alone.
TEST_P(SessionSetupTest, ShowsEachStreamsPicturesWithTheSetsInForce) {
    platform().lockPairs = 0;
    const size_t liveBefore = liveSessions();
    Stream stream;
    GetParam().script(stream);

    std::vector<int> setUpAt;
    for (const auto& [accessUnit, width, height] : stream.delegate->sizeReports) {
        setUpAt.push_back(accessUnit);
        const testsupport::FixtureClip* clip = stream.clipOf.at(size_t(accessUnit));
        EXPECT_EQ(std::make_pair(width, height), std::make_pair(clip->width, clip->height));
    }
    EXPECT_EQ(setUpAt, GetParam().sessionsSetUpAt);
    const DecodeStatistics::Snapshot figures = stream.handler->statistics()->snapshot();
    EXPECT_EQ(figures.sessions, setUpAt.size());
    expectLockPairs(figures.decoded);
    EXPECT_EQ(liveSessions(), liveBefore + 1);
    EXPECT_EQ(stream.delegate->md5s, stream.expected);
}

INSTANTIATE_TEST_SUITE_P(Streams, SessionSetupTest, ::testing::ValuesIn(kSessionCases),
                         ::testing::PrintToStringParamName());

// Feeds a clip `rounds` times while `meddle` runs over and over on another thread.
void feedWhile(const std::function<void()>& meddle, Stream& stream, int rounds) {
    std::atomic<bool> decoding{true};
    std::thread other([&] {
        while (decoding) {
            meddle();
        }
    });
    for (int round = 0; round < rounds; ++round) {
        stream.feed(kCbp, 0, 30);
    }
    decoding = false;
    other.join();
}

TEST(SessionRaceTest, DelegateSwappedWhileDecodingGetsEveryPictureOnce) {
    Stream stream;
    const auto first = stream.delegate;
    const auto second = std::make_shared<RecordingDelegate>();
    int swaps = 0;
    feedWhile(
        [&] {
            stream.handler->setDelegate(++swaps % 2 == 0 ? first : second);
            std::this_thread::yield();
        },
        stream, 3);
    EXPECT_EQ(first->md5s.size() + second->md5s.size(), stream.expected.size());
    EXPECT_EQ(first->sizeReports.size() + second->sizeReports.size(), 1u);
}

// A Reset starts the stream over at its next random-access point (every round of the clip begins
// with one): pictures in between are skipped, and every picture delivered is a correct one.
TEST(SessionRaceTest, ResetRacingWithDecodingDeliversOnlyCorrectPictures) {
    Stream stream;
    int resets = 0;
    feedWhile(
        [&] {
            stream.handler->Reset();
            ++resets;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        },
        stream, 4);
    EXPECT_GT(resets, 0);
    const std::set<std::string> clipPictures(stream.expected.begin(), stream.expected.end());
    const auto delivered = stream.delegate->md5s;
    EXPECT_GE(delivered.size(), 3u);
    for (size_t i = 0; i < delivered.size(); ++i) {
        EXPECT_EQ(clipPictures.count(delivered[i]), 1u) << "picture " << i;
    }
    EXPECT_GE(stream.delegate->sizeReports.size(), 1u);
}

// Threads asking for the same keys at once share one object per key, which a Reset keeps.
TEST(SessionRaceTest, ThreadsRacingForAKeyShareOneObject) {
    std::vector<std::vector<std::shared_ptr<H264HwDecoderImpl>>> seen(8);
    std::vector<std::thread> threads;
    for (auto& mine : seen) {
        threads.emplace_back([&mine] {
            for (int key = 0; key < 20; ++key) {
                mine.push_back(H264HwDecoderImpl::sharedHandler("racing " + std::to_string(key)));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& mine : seen) {
        EXPECT_EQ(mine, seen[0]);
    }
    EXPECT_EQ(std::set(seen[0].begin(), seen[0].end()).size(), 20u) << "a key, an object";
    seen[0][0]->Reset();
    EXPECT_EQ(H264HwDecoderImpl::sharedHandler("racing 0"), seen[0][0]);
}

// After a failed decode, or one without picture, nothing is delivered until the stream reaches a
// random-access point: later pictures may depend on the lost one.
TEST(OutputTest, APictureGoesToTheDelegateOfAnOwnedObjectWhoseStreamIsIntact) {
    const struct {
        const char* rule;
        OSStatus failureBefore;  // of an output call before the picture's
        bool noPictureBefore;    // that call came without a picture
        bool withDelegate, owned;
        size_t delivered;
    } rows[] = {
        {"a decoded picture is delivered", noErr, false, true, true, 1},
        {"after a failure", kVTVideoDecoderBadDataErr, false, true, true, 0},
        {"after a decode without picture", noErr, true, true, true, 0},
        {"without delegate", noErr, false, false, true, 0},
        {"to an object that no one owns", noErr, false, true, false, 0},
    };
    CVPixelBufferRef picture = nullptr;
    ASSERT_EQ(CVPixelBufferCreate(nullptr, 64, 8, kCVPixelFormatType_32BGRA, nullptr, &picture),
              kCVReturnSuccess);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule);
        // Its stream began at a random-access point; the delegate comes after that picture.
        Stream stream;
        stream.feed(kCbp, 0, 1);
        const auto delegate = std::make_shared<RecordingDelegate>();
        stream.handler->setDelegate(row.withDelegate ? delegate : nullptr);
        H264HwDecoderImpl unowned;
        unowned.setDelegate(delegate);
        H264HwDecoderImpl* const target = row.owned ? stream.handler.get() : &unowned;
        platform().lockPairs = 0;
        if (row.failureBefore != noErr || row.noPictureBefore) {
            didDecompress(target, nullptr, row.failureBefore, 0,
                          row.noPictureBefore ? nullptr : picture, kCMTimeInvalid, kCMTimeInvalid);
            EXPECT_TRUE(stream.handler->statistics()->snapshot().keyframeNeeded);
        }
        didDecompress(target, nullptr, noErr, 0, picture, kCMTimeInvalid, kCMTimeInvalid);
        EXPECT_EQ(delegate->md5s.size(), row.delivered);
        expectLockPairs(1);
    }
    CVPixelBufferRelease(picture);
}

// The bytes that pairs of hex digits spell; spaces are for the reader.
Bytes hex(const std::string& digits) {
    Bytes bytes;
    for (size_t at = digits.find_first_not_of(' '); at != std::string::npos;
         at = digits.find_first_not_of(' ', at + 2)) {
        bytes.push_back(uint8_t(std::stoi(digits.substr(at, 2), nullptr, 16)));
    }
    return bytes;
}

// A session object set up, and begun at a random-access point, by a real clip's first access unit.
std::shared_ptr<H264HwDecoderImpl> ready(bool h265) {
    Stream stream;
    stream.feed(h265 ? kHevc : kCbp, 0, 1);
    takeSamples();
    return stream.handler;
}

std::vector<Bytes> submit(H264HwDecoderImpl& handler, const std::string& accessUnit) {
    const Bytes bytes = hex(accessUnit);
    handler.DecodeNALUs(bytes.data(), int32_t(bytes.size()), 0);
    return takeSamples();
}

// An Annex B access unit becomes one sample of its picture NAL units, each behind its length in
// four big-endian bytes, and nothing else.
TEST(SubmitTest, AnAccessUnitBecomesOneSampleOfItsPictureUnits) {
    const struct {
        const char* rule;
        bool h265;
        std::string accessUnit;
        std::string sample;
    } cases[] = {
        {"a slice behind a three-byte start code", false, "000001 65112233", "00000004 65112233"},
        {"four-byte start codes leave their zero in the unit before", false,
         "00000001 65AA 00000001 65BBCC", "00000003 65AA00 00000003 65BBCC"},
        {"a start code that ends the buffer is not found", false, "000001 65AABB 000001",
         "00000006 65AABB000001"},
        {"back-to-back start codes give an empty unit, which H.264 ignores", false,
         "000001 000001 65AA", "00000002 65AA"},
        {"bytes before the first start code are ignored", false, "AABB0001 000001 65DD",
         "00000002 65DD"},
        {"delimiters, SEI, filler, unspecified units and parameter sets stay out", false,
         "000001 09F0 000001 060502BBCC80 000001 685E01 000001 0CFFFF80 000001 1F12 000001 65AA",
         "00000002 65AA"},
        {"H.265: the header's type chooses, reserved picture types included", true,
         "000001 460150 000001 4E010580 000001 4C01AA 000001 0201BB 000001 2E01CC 000001 50018480",
         "00000003 0201BB 00000003 2E01CC"},
        {"H.265: back-to-back start codes give an empty unit, which is submitted", true,
         "000001 000001 0201AA", "00000000 00000003 0201AA"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.rule);
        const auto handler = ready(test.h265);
        EXPECT_EQ(submit(*handler, test.accessUnit), std::vector<Bytes>{hex(test.sample)});
        EXPECT_EQ(handler->statistics()->snapshot().sessions, 1u);
    }
}

TEST(SubmitTest, BuffersTooShortForAStartCodeSubmitNothing) {
    const auto handler = ready(false);
    const Bytes accessUnit = {0x00, 0x00, 0x01, 0x65, 0xAA, 0xBB};
    for (const int32_t length : {3, 2, 0, -1, -100, INT32_MIN}) {
        handler->DecodeNALUs(accessUnit.data(), length, 0);
    }
    handler->DecodeNALUs(nullptr, 0, 0);
    EXPECT_TRUE(takeSamples().empty());

    // Four bytes is the shortest buffer in which a start code is found.
    handler->DecodeNALUs(accessUnit.data(), 4, 0);
    EXPECT_EQ(takeSamples(), std::vector<Bytes>{hex("00000001 65")});
}

// The reorder step, for a platform that hands pictures out in decode order. The pictures are
// letters, shown in alphabetical order: a letter's display time is its place in the alphabet,
// the same for 'A' as for 'a'.
struct Letter {
    int64_t pts;
    char name;
};

TEST(PictureReorderTest, DecodeOrderBecomesDisplayOrder) {
    const struct {
        const char* rule;
        int window;
        std::string decodeOrder;
        std::string dueLateHeld;  // handed out in order | never shown | still waiting at the end
        int finalWindow;
    } rows[] = {
        {"no reordering passes straight through", 0, "abc", "abc||", 0},
        {"I P B B", 2, "adbcgef", "abcde||fg", 2},
        {"a B pyramid", 2, "aecbdigfh", "abcdefg||hi", 2},
        {"an unstated window grows at a late picture, which is not shown", -1, "acbdfeg",
         "acdef|b|g", 1},
        {"a stated window does not grow", 0, "acbd", "acd|b|", 0},
        {"pictures of equal times keep their order", 1, "aAb", "aA||b", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule);
        PictureReorder<Letter> reorder;
        reorder.restart(row.window);
        std::vector<Letter> due, late, held;
        for (const char name : row.decodeOrder) {
            reorder.push({std::tolower(name) - 'a', name}, due, late);
        }
        reorder.clear(held);
        std::string dueLateHeld;
        for (const auto* letters : {&due, &late, &held}) {
            for (const Letter& letter : *letters) {
                dueLateHeld += letter.name;
            }
            dueLateHeld += letters == &held ? "" : "|";
        }
        EXPECT_EQ(dueLateHeld, row.dueLateHeld);
        EXPECT_EQ(reorder.window(), row.finalWindow);
    }
}

// An H.265 SEI payload is named by where it may stand: payloads of the same syntax in prefix and
// suffix SEI alike in any NAL unit, in suffix SEI (type 40) besides them only the picture hash,
// and in every other NAL unit type the prefix SEI payloads; a name belongs to one payload alone.
TEST(NaluNamesTest, H265SeiPayloadsAreNamedByWhereTheyMayStand) {
    const std::set<uint32_t> either = {3, 4, 5, 17, 22};
    const std::set<uint32_t> prefixOnly = {0,  1,  2,   6,   9,   15,  16,  19, 23,
                                           45, 47, 128, 129, 130, 131, 133, 134};
    const std::string reserved = "reserved_sei_message";
    const H264HwDecoderImpl handler;
    std::set<std::string> names;
    for (uint32_t payload = 0; payload < 140; ++payload) {
        SCOPED_TRACE(payload);
        const std::string name = handler.GetH265SEIDescription(payload, 39);
        EXPECT_EQ(name != reserved, either.count(payload) + prefixOnly.count(payload) == 1);
        EXPECT_TRUE(name == reserved || names.insert(name).second) << name;
        for (const int32_t nalType : {0, 41, -1}) {
            EXPECT_EQ(handler.GetH265SEIDescription(payload, nalType), name);
        }
        EXPECT_EQ(handler.GetH265SEIDescription(payload, 40), either.count(payload) ? name
                                                              : payload == 132
                                                                  ? "decoded_picture_hash"
                                                                  : reserved);
    }
}

}  // namespace
