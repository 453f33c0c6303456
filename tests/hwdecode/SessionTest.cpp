// The decode session layer against a double of the platform, whose calls the linker wraps: it
// counts live sessions, records samples (or decodes them) and pixel buffer locks, and fails calls.
#include "AnnexB.h"
#include "DecompressionOutput.h"
#include "H264HwDecoderImpl.h"
#include "NalUnits.h"
#include "ParameterSets.h"
#include "PictureReorder.h"
#include "Pictures.h"

#include <gtest/gtest.h>

#include <bitset>
#include <cctype>
#include <chrono>
#include <climits>
#include <functional>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::AccessUnit;
using testsupport::FixtureClip;

struct Sample {
    Bytes data;
    CMTime pts;
    CMTime duration;
};

struct Lock {
    bool lock;  // or unlock
    CVPixelBufferRef buffer;
    CVPixelBufferLockFlags flags;
};

// The switches that the tests set, and what the wrapped calls saw (under `mutex`).
struct Platform {
    std::atomic<bool> recordSamplesInsteadOfDecoding{false};
    std::atomic<OSStatus> nextDecodeStatus{noErr};    // returned once, without decoding
    std::atomic<int> failableCallsBeforeFailure{-1};  // of the calls that make a sample
    std::mutex mutex;
    std::set<CFTypeRef> liveSessions;
    std::vector<Sample> samples;
    std::vector<Lock> locks;
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

template <typename Record>
std::vector<Record> take(std::vector<Record> Platform::*records) {
    std::lock_guard<std::mutex> lock(platform().mutex);
    return std::move(platform().*records);
}

// Each picture's buffer locked read-only around its delivery alone, and unlocked alike.
void expectLockPairs(const std::vector<Lock>& locks, size_t pictures) {
    ASSERT_EQ(locks.size(), 2 * pictures);
    for (size_t i = 0; i < locks.size(); i += 2) {
        EXPECT_TRUE(locks[i].lock && !locks[i + 1].lock && locks[i].buffer == locks[i + 1].buffer);
        EXPECT_EQ(locks[i].flags, CVPixelBufferLockFlags(kCVPixelBufferLock_ReadOnly));
        EXPECT_EQ(locks[i + 1].flags, locks[i].flags);
    }
}

bool failsNow() {
    return platform().failableCallsBeforeFailure.fetch_sub(1) == 0;
}

void recordLock(bool lock, CVPixelBufferRef buffer, CVPixelBufferLockFlags flags) {
    std::lock_guard<std::mutex> guard(platform().mutex);
    platform().locks.push_back({lock, buffer, flags});
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
    if (cf != nullptr) {
        std::lock_guard<std::mutex> lock(platform().mutex);
        const auto found = platform().liveSessions.find(cf);
        if (found != platform().liveSessions.end() && CFGetRetainCount(cf) == 1) {
            platform().liveSessions.erase(found);
        }
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
    if (!platform().recordSamplesInsteadOfDecoding) {
        return __real_VTDecompressionSessionDecodeFrame(a, sampleBuffer, c, d, e);
    }
    CMBlockBufferRef data = CMSampleBufferGetDataBuffer(sampleBuffer);
    Bytes bytes(CMBlockBufferGetDataLength(data));
    EXPECT_EQ(CMSampleBufferGetTotalSampleSize(sampleBuffer), bytes.size()) << "one sample";
    CMBlockBufferCopyDataBytes(data, 0, bytes.size(), bytes.data());
    std::lock_guard<std::mutex> lock(platform().mutex);
    platform().samples.push_back({std::move(bytes),
                                  CMSampleBufferGetPresentationTimeStamp(sampleBuffer),
                                  CMSampleBufferGetDuration(sampleBuffer)});
    return noErr;
}

OSStatus __wrap_CMBlockBufferCreateWithMemoryBlock(CFAllocatorRef a, void* b, size_t c,
                                                   CFAllocatorRef d,
                                                   const CMBlockBufferCustomBlockSource* e,
                                                   size_t f, size_t g, CMBlockBufferFlags h,
                                                   CMBlockBufferRef* out) {
    if (failsNow()) {
        *out = nullptr;
        return kCMBlockBufferBlockAllocationFailedErr;
    }
    return __real_CMBlockBufferCreateWithMemoryBlock(a, b, c, d, e, f, g, h, out);
}

OSStatus __wrap_CMBlockBufferGetDataPointer(CMBlockBufferRef a, size_t b, size_t* c, size_t* d,
                                            char** e) {
    if (failsNow()) {
        return kCMBlockBufferBadPointerParameterErr;
    }
    return __real_CMBlockBufferGetDataPointer(a, b, c, d, e);
}

OSStatus __wrap_CMSampleBufferCreate(CFAllocatorRef a, CMBlockBufferRef b, Boolean c,
                                     CMSampleBufferMakeDataReadyCallback d, void* e,
                                     CMFormatDescriptionRef f, CMItemCount g, CMItemCount h,
                                     const CMSampleTimingInfo* i, CMItemCount j, const size_t* k,
                                     CMSampleBufferRef* out) {
    if (failsNow()) {
        *out = nullptr;
        return kCMSampleBufferError_AllocationFailed;
    }
    return __real_CMSampleBufferCreate(a, b, c, d, e, f, g, h, i, j, k, out);
}

CVReturn __wrap_CVPixelBufferLockBaseAddress(CVPixelBufferRef buffer,
                                             CVPixelBufferLockFlags flags) {
    recordLock(true, buffer, flags);
    return __real_CVPixelBufferLockBaseAddress(buffer, flags);
}

CVReturn __wrap_CVPixelBufferUnlockBaseAddress(CVPixelBufferRef buffer,
                                               CVPixelBufferLockFlags flags) {
    recordLock(false, buffer, flags);
    return __real_CVPixelBufferUnlockBaseAddress(buffer, flags);
}

}  // extern "C"

namespace {

struct SizeReport {
    int32_t width, height;
    int accessUnit;  // the one being decoded when the report came
};

// Records the MD5 of each picture's packed rows, and the size reports. Every picture is BGRA
// without extended pixels. Safe to call from the platform's output thread.
class RecordingDelegate : public H264HwDecoderImplDelegate {
  public:
    void copyRenderBuffer(void* buffer, int32_t format, int32_t width, int32_t height,
                          int32_t bytesPerRow, int32_t extraLeft, int32_t extraRight,
                          int32_t extraTop, int32_t extraBottom) override {
        EXPECT_EQ(format, 0);
        EXPECT_EQ(extraLeft | extraRight | extraTop | extraBottom, 0);
        EXPECT_GE(bytesPerRow, 4 * width);
        const std::string md5 = testsupport::md5Hex(
            testsupport::packRows(static_cast<const uint8_t*>(buffer), width, height, bytesPerRow));
        std::lock_guard<std::mutex> lock(mutex_);
        md5s_.push_back(md5);
    }

    void forwardTextureInfo(int32_t width, int32_t height) override {
        std::lock_guard<std::mutex> lock(mutex_);
        sizeReports_.push_back({width, height, accessUnit_});
    }

    void setAccessUnit(int index) { accessUnit_ = index; }

    std::vector<std::string> md5s() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return md5s_;
    }

    std::vector<SizeReport> sizeReports() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return sizeReports_;
    }

  private:
    std::atomic<int> accessUnit_{-1};
    mutable std::mutex mutex_;
    std::vector<std::string> md5s_;
    std::vector<SizeReport> sizeReports_;
};

constexpr const char* kCbp = "h264_cbp_320x240";
constexpr const char* kHevc = "h265_main_320x240";
constexpr const char* kGop60 = "h264_gop60_1280x720";
constexpr const char* kHevcGop60 = "h265_gop60_1280x720";
constexpr const char* kRepeat = "h264_repeat_headers_320x240";
constexpr const char* kHevcRepeat = "h265_repeat_headers_320x240";

std::vector<AccessUnit> unitsOf(const char* clip) {
    return testsupport::readAccessUnits(testsupport::fixtureClip(clip));
}

std::vector<std::string> md5sOf(const char* clip) {
    return testsupport::readFrameMd5s(testsupport::fixtureClip(clip));
}

// Every clip's first access unit is its parameter sets (SPS and PPS, or VPS, SPS and PPS), an SEI
// and a picture.
std::vector<Bytes> nalUnitsOf(const Bytes& accessUnit) {
    std::vector<Bytes> units;
    for (const auto& unit : nalunits::findNalUnits(accessUnit.data(), accessUnit.size())) {
        const auto first = accessUnit.begin() + std::ptrdiff_t(unit.first);
        units.emplace_back(first, first + std::ptrdiff_t(unit.length));
    }
    return units;
}

// An access unit of `units`, each behind a four-byte start code.
Bytes joinAnnexB(const std::vector<Bytes>& units) {
    Bytes joined;
    for (const Bytes& unit : units) {
        joined.insert(joined.end(), {0, 0, 0, 1});
        joined.insert(joined.end(), unit.begin(), unit.end());
    }
    return joined;
}

// A session object fed step by step, and the pictures it should show. No other test uses its key:
// session objects stay registered until the process ends.
struct Stream {
    explicit Stream(bool h265) {
        static std::atomic<unsigned> keys{1};
        handler = H264HwDecoderImpl::sharedHandler(std::to_string(keys++));
        handler->setDelegate(delegate);
        handler->SetH265(h265);
    }

    // Units [from, to) of the clip, the first `shown` of whose pictures are to be shown.
    void feed(const char* clip, size_t from, size_t to, size_t shown = SIZE_MAX) {
        const auto units = unitsOf(clip);
        const auto md5s = md5sOf(clip);
        ASSERT_LE(to, std::min(units.size(), md5s.size()));
        feed(clip, {units.begin() + from, units.begin() + to},
             {md5s.begin() + from, md5s.begin() + from + std::min(shown, to - from)});
    }

    void feed(const char* clip, const std::vector<AccessUnit>& units,
              const std::vector<std::string>& shown) {
        for (const AccessUnit& unit : units) {
            delegate->setAccessUnit(int(clipOf.size()));
            clipOf.push_back(&testsupport::fixtureClip(clip));
            handler->DecodeNALUs(unit.data(), int32_t(unit.size()), 3000.0 * double(clipOf.size()));
        }
        expected.insert(expected.end(), shown.begin(), shown.end());
    }

    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<H264HwDecoderImpl> handler;
    std::vector<const FixtureClip*> clipOf;  // of each access unit fed
    std::vector<std::string> expected;
};

// The clip with the parameter sets of its first access unit sent ahead in access units of their
// own, of the NAL units that `groups` lists; the first access unit keeps its SEI and picture.
std::function<void(Stream&)> setsAhead(const char* clip, std::vector<std::vector<size_t>> groups) {
    return [=](Stream& stream) {
        auto units = unitsOf(clip);
        const std::vector<Bytes> nals = nalUnitsOf(units[0]);
        std::vector<AccessUnit> ahead;
        for (const auto& group : groups) {
            std::vector<Bytes> chosen;
            for (size_t index : group) {
                chosen.push_back(nals[index]);
            }
            ahead.push_back(joinAnnexB(chosen));
        }
        units[0] = joinAnnexB({nals.end() - 2, nals.end()});
        units.insert(units.begin(), ahead.begin(), ahead.end());
        stream.feed(clip, units, md5sOf(clip));
    };
}

// Thirty units of one clip, then thirty of another that opens with its own sets and a keyframe.
std::function<void(Stream&)> joined(const char* first, const char* second) {
    return [=](Stream& stream) {
        stream.feed(first, 0, 30);
        stream.feed(second, 0, 30);
    };
}

// A decode that reports the session ended under the plugin (after sleep or a change of GPU, or a
// decoder failure) makes a new session from the sets in force; pictures are shown again from the
// next keyframe, at unit 60.
std::function<void(Stream&)> ended(const char* clip, OSStatus status) {
    return [=](Stream& stream) {
        stream.feed(clip, 0, 10);
        platform().nextDecodeStatus = status;
        stream.feed(clip, 10, 60, 0);
        stream.feed(clip, 60, 90);
        const DecodeStatistics::Snapshot figures = stream.handler->statistics()->snapshot();
        EXPECT_EQ(figures.lastStatus, status);
        EXPECT_EQ(figures.dropped[size_t(DecodeStatistics::Drop::DecodeError)], 1u);
        EXPECT_EQ(figures.dropped[size_t(DecodeStatistics::Drop::WaitingForKeyframe)], 49u);
        EXPECT_EQ(figures.keyframeRequests, 1u);
    };
}

// The NAL unit with its `index`-th exp-Golomb field after the header, which reads 0, set to 1:
// the bits after it move, and emulation prevention is made anew. Right for PPS and CAVLC slices,
// whose payload after these fields is not byte-aligned.
Bytes withUeFieldSetToOne(const Bytes& nal, int index) {
    std::string bits;
    for (uint8_t byte : parametersets::unescapeRbsp(nal.data() + 1, nal.size() - 1)) {
        bits += std::bitset<8>(byte).to_string();
    }
    bits.erase(bits.find_last_of('1'));  // the stop bit and the zeros after it
    size_t at = 0;
    for (int field = 0; field < index; ++field) {
        at += 2 * (bits.find('1', at) - at) + 1;
    }
    EXPECT_EQ(bits.at(at), '1');
    bits.replace(at, 1, "010");
    bits += '1';
    bits.resize((bits.size() + 7) / 8 * 8, '0');
    Bytes escaped = {nal[0]};
    int zeros = 0;
    for (size_t i = 0; i < bits.size(); i += 8) {
        const auto byte = uint8_t(std::bitset<8>(bits, i, 8).to_ulong());
        if (zeros >= 2 && byte <= 3) {
            escaped.push_back(3);
            zeros = 0;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        escaped.push_back(byte);
    }
    return escaped;
}

// Until the next random-access point pictures decode with the sets they were made with.
void newSpsMidStream(Stream& stream) {
    const auto odd = nalUnitsOf(unitsOf("h264_odd_642x362")[0]);
    stream.feed(kCbp, 0, 10);
    stream.feed("h264_odd_642x362", {joinAnnexB({odd[0], odd[1]})}, {});
    stream.feed(kCbp, 10, 30);
}

// After a Reset the old stream's pictures are not decoded; the session stays until the next
// stream's sets replace it.
void resetThenNextStream(Stream& stream) {
    stream.feed(kCbp, 0, 10);
    stream.handler->Reset();
    stream.feed(kCbp, 10, 11, 0);
    stream.handler->SetH265(true);
    stream.feed(kHevc, 0, 30);
}

void truncatedSpsAfterReset(Stream& stream) {
    stream.feed(kCbp, 0, 5);
    stream.handler->Reset();
    stream.feed(kCbp, {joinAnnexB({{0x67, 0x42}, nalUnitsOf(unitsOf(kCbp)[0])[1]})}, {});
    stream.feed(kCbp, 0, 30);
}

// The last two pictures of the first stream are still held for reordering at the Reset.
void resetWhilePicturesAreHeld(Stream& stream) {
    stream.feed("h264_high_bframes_640x360", 0, 30, 28);
    stream.handler->Reset();
    stream.feed(kCbp, 0, 30);
}

// Slices that refer to a second PPS (id 1, the first one's copy): the format description must
// carry every set the stream sent.
void slicesOfASecondPps(Stream& stream) {
    std::vector<AccessUnit> units;
    for (const AccessUnit& unit : unitsOf(kCbp)) {
        std::vector<Bytes> nals;
        for (const Bytes& nal : nalUnitsOf(unit)) {
            const int type = nalunits::h264Type(nal[0]);
            if (type == 8) {
                nals.push_back(nal);
            }
            nals.push_back(type == 8                ? withUeFieldSetToOne(nal, 0)
                           : type == 1 || type == 5 ? withUeFieldSetToOne(nal, 2)
                                                    : nal);
        }
        units.push_back(joinAnnexB(nals));
    }
    stream.feed(kCbp, units, md5sOf(kCbp));
}

struct SessionCase {
    const char* name;
    bool h265;
    std::vector<int> sessionsSetUpAt;  // access units
    std::function<void(Stream&)> script;
};

void PrintTo(const SessionCase& row, std::ostream* out) {
    *out << row.name;
}

const SessionCase kSessionCases[] = {
    {"SetsInAccessUnitsOfTheirOwnSetUpOnTheLast", false, {1}, setsAhead(kCbp, {{0}, {1}})},
    {"H265SetsSetUpOnlyOnceTheVpsIsThere", true, {1}, setsAhead(kHevc, {{1, 2}, {0}})},
    {"ANewSpsWaitsForTheNextRandomAccessPoint", false, {0}, newSpsMidStream},
    {"AfterAResetTheNextStreamsSetsStartANewSession", false, {0, 11}, resetThenNextStream},
    {"ASetThatDoesNotParseSetsNothingUp", false, {0, 6}, truncatedSpsAfterReset},
    {"HeldPicturesOfAReplacedSessionAreNotShown", false, {0, 30}, resetWhilePicturesAreHeld},
    {"H265NewSizeAtAKeyframeStartsANewSession", true, {0, 30}, joined(kHevc, kHevcGop60)},
    {"TheSameSizeAtAKeyframeKeepsTheSession", false, {0}, joined(kCbp, kRepeat)},
    {"H265SameSizeAtAKeyframeKeepsTheSession", true, {0}, joined(kHevc, kHevcRepeat)},
    {"AnInvalidatedSessionIsReplaced", false, {0, 11}, ended(kGop60, kVTInvalidSessionErr)},
    {"FailedH265DecoderReplaced", true, {0, 11}, ended(kHevcGop60, kVTVideoDecoderMalfunctionErr)},
    {"SlicesThatReferToASecondPpsDecode", false, {0}, slicesOfASecondPps},
};

class SessionSetupTest : public ::testing::TestWithParam<SessionCase> {};

// Each session reports the size of the stream whose sets made it, and one replaced is released.
// Every decoded picture, shown or not, is locked around its delivery alone.
TEST_P(SessionSetupTest, ShowsEachStreamsPicturesWithTheSetsInForce) {
    const size_t liveBefore = liveSessions();
    take(&Platform::locks);
    Stream stream(GetParam().h265);
    GetParam().script(stream);

    std::vector<int> setUpAt;
    for (const SizeReport& report : stream.delegate->sizeReports()) {
        setUpAt.push_back(report.accessUnit);
        const FixtureClip* clip = stream.clipOf.at(size_t(report.accessUnit));
        EXPECT_EQ(std::make_pair(report.width, report.height),
                  std::make_pair(clip->width, clip->height));
    }
    EXPECT_EQ(setUpAt, GetParam().sessionsSetUpAt);
    const DecodeStatistics::Snapshot figures = stream.handler->statistics()->snapshot();
    EXPECT_EQ(figures.sessions, setUpAt.size());
    expectLockPairs(take(&Platform::locks), figures.decoded);
    EXPECT_EQ(liveSessions(), liveBefore + 1);
    EXPECT_EQ(stream.delegate->md5s(), stream.expected);
}

INSTANTIATE_TEST_SUITE_P(Streams, SessionSetupTest, ::testing::ValuesIn(kSessionCases),
                         [](const ::testing::TestParamInfo<SessionCase>& row) {
                             return std::string(row.param.name);
                         });

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
    Stream stream(false);
    const auto first = stream.delegate;
    const auto second = std::make_shared<RecordingDelegate>();
    int swaps = 0;
    feedWhile(
        [&] {
            stream.handler->setDelegate(++swaps % 2 == 0 ? first : second);
            std::this_thread::yield();
        },
        stream, 3);
    EXPECT_EQ(first->md5s().size() + second->md5s().size(), stream.expected.size());
    EXPECT_EQ(first->sizeReports().size() + second->sizeReports().size(), 1u);
}

// A Reset starts the stream over at its next random-access point (every round of the clip begins
// with one): pictures in between are skipped, and every picture delivered is a correct one.
TEST(SessionRaceTest, ResetRacingWithDecodingDeliversOnlyCorrectPictures) {
    Stream stream(false);
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
    const auto delivered = stream.delegate->md5s();
    EXPECT_GE(delivered.size(), 3u);
    for (size_t i = 0; i < delivered.size(); ++i) {
        EXPECT_EQ(clipPictures.count(delivered[i]), 1u) << "picture " << i;
    }
    EXPECT_GE(stream.delegate->sizeReports().size(), 1u);
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
        bool withDelegate;
        bool owned;
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
    const AccessUnit keyframe = unitsOf(kCbp)[0];
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule);
        auto delegate = std::make_shared<RecordingDelegate>();
        // Its stream began at a random-access point; the delegate comes after that picture.
        auto handler = Stream(false).handler;
        handler->DecodeNALUs(keyframe.data(), int32_t(keyframe.size()), 0);
        handler->setDelegate(row.withDelegate ? delegate : nullptr);
        H264HwDecoderImpl unowned;
        unowned.setDelegate(delegate);
        H264HwDecoderImpl* const target = row.owned ? handler.get() : &unowned;
        take(&Platform::locks);
        if (row.failureBefore != noErr || row.noPictureBefore) {
            didDecompress(target, nullptr, row.failureBefore, 0,
                          row.noPictureBefore ? nullptr : picture, kCMTimeInvalid, kCMTimeInvalid);
            EXPECT_TRUE(handler->statistics()->snapshot().keyframeNeeded);
        }
        didDecompress(target, nullptr, noErr, 0, picture, kCMTimeInvalid, kCMTimeInvalid);

        EXPECT_EQ(delegate->md5s().size(), row.delivered);
        expectLockPairs(take(&Platform::locks), 1);
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

void decode(H264HwDecoderImpl& handler, const Bytes& accessUnit, double pts = 0) {
    handler.DecodeNALUs(accessUnit.data(), int32_t(accessUnit.size()), pts);
}

// The platform records the samples instead of decoding them.
class SubmitTest : public ::testing::Test {
  protected:
    void SetUp() override { platform().recordSamplesInsteadOfDecoding = true; }

    void TearDown() override {
        platform().recordSamplesInsteadOfDecoding = false;
        platform().failableCallsBeforeFailure = -1;
        take(&Platform::samples);
    }

    // Set up, and begun at a random-access point, by a real clip's first access unit.
    static Stream ready(bool h265) {
        Stream stream(h265);
        decode(*stream.handler, unitsOf(h265 ? kHevc : kCbp).at(0));
        EXPECT_EQ(take(&Platform::samples).size(), 1u);
        return stream;
    }
};

// An Annex B access unit becomes one sample of its picture NAL units, each behind its length in
// four big-endian bytes, and nothing else.
TEST_F(SubmitTest, AnAccessUnitBecomesOneSampleOfItsPictureUnits) {
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
        const Stream stream = ready(test.h265);
        decode(*stream.handler, hex(test.accessUnit), 123456.9);
        const auto samples = take(&Platform::samples);
        ASSERT_EQ(samples.size(), 1u);
        EXPECT_EQ(samples[0].data, hex(test.sample));
        // The time in units of 10 µs, truncated; the sample lasts a frame at 30 Hz.
        EXPECT_EQ(samples[0].pts.value, 123456);
        EXPECT_EQ(samples[0].pts.timescale, 100000);
        EXPECT_EQ(samples[0].duration.value * 30, samples[0].duration.timescale);
        EXPECT_EQ(stream.delegate->sizeReports().size(), 1u) << "no new session";
    }
}

TEST_F(SubmitTest, BuffersTooShortForAStartCodeSubmitNothing) {
    const auto handler = ready(false).handler;
    const Bytes accessUnit = {0x00, 0x00, 0x01, 0x65, 0xAA, 0xBB};
    for (const int32_t length : {3, 2, 0, -1, -100, INT32_MIN}) {
        handler->DecodeNALUs(accessUnit.data(), length, 0);
    }
    handler->DecodeNALUs(nullptr, 0, 0);
    EXPECT_TRUE(take(&Platform::samples).empty());

    // Four bytes is the shortest buffer in which a start code is found.
    handler->DecodeNALUs(accessUnit.data(), 4, 0);
    EXPECT_EQ(take(&Platform::samples).at(0).data, hex("00000001 65"));
}

// A sample missing a part is no correct decode: the access unit is lost, the host reads why, and
// the stream waits for a random-access point. Two units make a buffer of each (calls 0 and 1),
// the joined buffer (2), read the data of each (3 and 4), and make the sample (5).
TEST_F(SubmitTest, AnAccessUnitWhoseSampleCannotBeMadeIsLost) {
    const Bytes accessUnit = hex("000001 6501 000001 6502");
    const struct {
        const char* failure;
        int call;
        OSStatus status;
    } failures[] = {
        {"a unit's buffer", 0, kCMBlockBufferBlockAllocationFailedErr},
        {"the joined buffer", 2, kCMBlockBufferBlockAllocationFailedErr},
        {"a unit's data", 3, kCMBlockBufferBadPointerParameterErr},
        {"the sample", 5, kCMSampleBufferError_AllocationFailed},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.failure);
        const auto handler = ready(false).handler;
        platform().failableCallsBeforeFailure = failure.call;
        decode(*handler, accessUnit);
        platform().failableCallsBeforeFailure = -1;
        EXPECT_TRUE(take(&Platform::samples).empty());
        const DecodeStatistics::Snapshot figures = handler->statistics()->snapshot();
        EXPECT_EQ(figures.lastStatus, failure.status);
        EXPECT_TRUE(figures.keyframeNeeded);
        EXPECT_EQ(figures.dropped[size_t(DecodeStatistics::Drop::DecodeError)], 1u);

        decode(*handler, hex("000001 419A"));
        decode(*handler, accessUnit);
        const auto samples = take(&Platform::samples);
        ASSERT_EQ(samples.size(), 1u) << "only the random-access point goes out";
        EXPECT_EQ(samples[0].data, hex("00000002 6501 00000002 6502"));
    }
}

// A stream joined without its parameter sets: its sender should send a keyframe.
TEST_F(SubmitTest, NothingIsSubmittedBeforeTheFirstSession) {
    const auto handler = Stream(false).handler;
    decode(*handler, hex("000001 658880"));
    EXPECT_TRUE(take(&Platform::samples).empty());
    const DecodeStatistics::Snapshot figures = handler->statistics()->snapshot();
    EXPECT_EQ(figures.lastStatus, kVTInvalidSessionErr);
    EXPECT_TRUE(figures.keyframeNeeded);
}

// The reorder step, for a platform that hands pictures out in decode order. The pictures are
// letters, shown in alphabetical order: a letter's display time is its place in the alphabet,
// the same for 'A' as for 'a'.
struct Letter {
    int64_t pts;
    char name;
};

std::string namesOf(const std::vector<Letter>& letters) {
    std::string names;
    for (const Letter& letter : letters) {
        names += letter.name;
    }
    return names;
}

TEST(PictureReorderTest, DecodeOrderBecomesDisplayOrder) {
    const struct {
        const char* rule;
        int window;
        std::string decodeOrder;
        std::string due;   // handed out, in order
        std::string late;  // never shown
        std::string held;  // still waiting at the end
        int finalWindow;
    } rows[] = {
        {"no reordering passes straight through", 0, "abc", "abc", "", "", 0},
        {"I P B B", 2, "adbcgef", "abcde", "", "fg", 2},
        {"a B pyramid", 2, "aecbdigfh", "abcdefg", "", "hi", 2},
        {"an unstated window grows at a late picture, which is not shown", -1, "acbdfeg", "acdef",
         "b", "g", 1},
        {"a stated window does not grow", 0, "acbd", "acd", "b", "", 0},
        {"pictures of equal times keep their order", 1, "aAb", "aA", "", "b", 1},
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
        EXPECT_EQ(namesOf(due), row.due);
        EXPECT_EQ(namesOf(late), row.late);
        EXPECT_EQ(namesOf(held), row.held);
        EXPECT_EQ(reorder.window(), row.finalWindow);
    }
}

// An H.265 SEI payload is named by where it may stand: payloads of the same syntax in prefix and
// suffix SEI alike in any NAL unit, suffix SEI (type 40) only the picture hash, and every other
// NAL unit type as prefix SEI. What is not named is reserved.
TEST(NaluNamesTest, H265SeiPayloadsAreNamedByWhereTheyMayStand) {
    const struct {
        std::vector<int32_t> nalTypes;
        std::vector<uint32_t> payloads;
        const char* names;  // of the payloads in order; one name, of them all
    } rows[] = {
        {{39, 40, 0, -1},
         {3, 4, 5, 17, 22},
         "filler_payload user_data_registered_itu_t_t35 user_data_unregistered "
         "progressive_refinement_segment_end post_filter_hint"},
        {{40}, {132}, "decoded_picture_hash"},
        {{40}, {0, 1, 6, 45, 128, 131, 134, 4294967295u}, "reserved_sei_message"},
        {{39, 0, 41, -40},
         {0, 1, 2, 6, 9, 15, 16, 19, 23, 45, 47, 128, 129, 130, 131, 133, 134},
         "buffering_period pic_timing pan_scan_rect recovery_point scene_info picture_snapshot "
         "progressive_refinement_segment_start film_grain_characteristics tone_mapping_info "
         "frame_packing_arrangement display_orientation structure_of_pictures_info "
         "active_parameter_sets decoding_unit_info temporal_sub_layer_zero_index scalable_nesting "
         "region_refresh_info"},
        {{39}, {7, 8, 46, 132, 135, 4294967295u}, "reserved_sei_message"},
    };
    const H264HwDecoderImpl handler;
    for (const auto& row : rows) {
        std::istringstream words(row.names);
        std::vector<std::string> names{std::istream_iterator<std::string>(words), {}};
        names.resize(row.payloads.size(), names.back());
        for (const int32_t nalType : row.nalTypes) {
            for (size_t i = 0; i < row.payloads.size(); ++i) {
                EXPECT_EQ(handler.GetH265SEIDescription(row.payloads[i], nalType), names[i])
                    << row.payloads[i] << " in NAL unit type " << nalType;
            }
        }
    }
}

}  // namespace
