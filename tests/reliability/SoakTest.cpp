// Long runs of one instance, every picture checked on its way to the instance: long streams keep
// their pictures exact and their threads and memory flat, and a stream committed ten times faster
// than it decodes keeps its backlog within bounds.
#include "AnnexB.h"
#include "DecoderTestSupport.h"
#include "H264HwDecoderImpl.h"
#include "HostSupport.h"
#include "Pictures.h"
#include "ProcessFigures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

// Sits between the session and the instance's delegate: checks each picture against the
// reference pictures, then hands it on. Keeps counts only, so it adds no memory per picture.
class PictureChecker : public H264HwDecoderImplDelegate {
  public:
    // `inStreamOrder`: picture n is reference picture n, the references repeating; otherwise
    // pictures may be skipped, but each is one of the references.
    static std::shared_ptr<PictureChecker> install(uint8_t decoderId, std::vector<std::string> md5s,
                                                   bool inStreamOrder) {
        const auto session = H264HwDecoderImpl::sharedHandler(std::to_string(unsigned(decoderId)));
        std::shared_ptr<PictureChecker> checker(new PictureChecker);
        checker->next_ = session->delegate();
        checker->md5s_ = std::move(md5s);
        checker->inStreamOrder_ = inStreamOrder;
        session->setDelegate(checker);
        return checker;
    }

    // Waits until `done` holds of the pictures that arrived and the latest one's MD5.
    bool waitFor(std::chrono::seconds timeout,
                 const std::function<bool(uint64_t, const std::string&)>& done) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(pictures, latest_); });
    }

    void copyRenderBuffer(void* buffer, int32_t format, int32_t width, int32_t height,
                          int32_t bytesPerRow, int32_t left, int32_t right, int32_t top,
                          int32_t bottom) override {
        const std::string md5 =
            md5Hex(packRows(static_cast<const uint8_t*>(buffer), width, height, bytesPerRow));
        next_->copyRenderBuffer(buffer, format, width, height, bytesPerRow, left, right, top,
                                bottom);
        std::lock_guard<std::mutex> lock(mutex_);
        mismatches += inStreamOrder_ ? md5 != md5s_[pictures % md5s_.size()]
                                     : std::find(md5s_.begin(), md5s_.end(), md5) == md5s_.end();
        ++pictures;
        latest_ = md5;
        changed_.notify_all();
    }
    void forwardTextureInfo(int32_t width, int32_t height) override {
        next_->forwardTextureInfo(width, height);
    }

    std::atomic<uint64_t> pictures{0};
    std::atomic<uint64_t> mismatches{0};

  private:
    std::shared_ptr<H264HwDecoderImplDelegate> next_;
    std::vector<std::string> md5s_;
    bool inStreamOrder_ = true;
    std::string latest_;
    std::mutex mutex_;
    std::condition_variable changed_;
};

// The access unit with a user_data_unregistered SEI message (NAL unit type 6, payload type 5) of
// `payloadBytes` before its first slice, as some encoders and streaming servers send them. The
// payload holds no zero bytes, so it needs no emulation prevention.
AccessUnit withUserDataSei(const AccessUnit& unit, size_t payloadBytes) {
    AccessUnit sei = {0, 0, 0, 1, 0x06, 5};
    size_t size = 16 + payloadBytes;
    for (; size >= 255; size -= 255) {
        sei.push_back(0xFF);
    }
    sei.push_back(uint8_t(size));
    sei.insert(sei.end(), 16, 0x5A);  // the UUID
    for (size_t i = 0; i < payloadBytes; ++i) {
        sei.push_back(uint8_t(1 + i % 255));
    }
    sei.push_back(0x80);  // the stop bit
    size_t at = 0;
    while (at + 3 < unit.size() && !(unit[at] == 0 && unit[at + 1] == 0 && unit[at + 2] == 1 &&
                                     (unit[at + 3] & 0x1F) >= 1 && (unit[at + 3] & 0x1F) <= 5)) {
        ++at;
    }
    at -= at > 0 && unit[at - 1] == 0;
    sei.insert(sei.begin(), unit.begin(), unit.begin() + std::ptrdiff_t(at));
    sei.insert(sei.end(), unit.begin() + std::ptrdiff_t(at), unit.end());
    return sei;
}

// A stream made of `segments`, played one after the other again and again. Each segment begins
// with its parameter sets and a keyframe; one whose picture size differs from the segment before
// brings a new session, which reports its size `sizeReports` times (the platform reports the
// padded width of rows it pads), and the session before ends with its thread and memory.
struct Segment {
    const char* clip;
    int sizeReports;
};
struct LongStream {
    const char* what;
    std::vector<Segment> segments;
    size_t seiPayloadBytes;
    bool textureBound;
    size_t units;
};

class Soak : public testing::TestWithParam<LongStream> {};

TEST_P(Soak, PicturesStayExactAndThreadsAndMemoryFlat) {
    // Growth of resident memory from the end of warm-up to the end of the run that counts as flat.
    constexpr int64_t kFlatResidentBytes = 8 << 20;
    constexpr uint8_t kId = 42;
    const LongStream& run = GetParam();
    const size_t warmUp = std::min(run.units, std::max<size_t>(300, run.units / 10));
    std::vector<AccessUnit> units;
    std::vector<std::string> md5s;
    std::vector<int> reportsAt;  // what each unit brings, but for the stream's very first
    for (size_t segment = 0; segment < run.segments.size(); ++segment) {
        const FixtureClip& clip = fixtureClip(run.segments[segment].clip);
        const FixtureClip& before = fixtureClip(
            run.segments[(segment + run.segments.size() - 1) % run.segments.size()].clip);
        const bool sizeChanges = before.width != clip.width || before.height != clip.height;
        const std::vector<AccessUnit> clipUnits = readAccessUnits(clip);
        for (size_t i = 0; i < clipUnits.size(); ++i) {
            reportsAt.push_back(i == 0 && sizeChanges ? run.segments[segment].sizeReports : 0);
            units.push_back(run.seiPayloadBytes ? withUserDataSei(clipUnits[i], run.seiPayloadBytes)
                                                : clipUnits[i]);
        }
        const std::vector<std::string> clipMd5s = readFrameMd5s(clip);
        md5s.insert(md5s.end(), clipMd5s.begin(), clipMd5s.end());
    }
    ASSERT_EQ(units.size(), md5s.size());

    decodertest::TextureInfoLog::forget(kId);
    ASSERT_TRUE(hosttest::start(kId, "{}"));
    ASSERT_TRUE(H264Decoder_registerCallback(kId, decodertest::TextureInfoLog::first()));
    const FixtureClip& first = fixtureClip(run.segments.front().clip);
    int texture = 0;
    ASSERT_TRUE(
        !run.textureBound ||
        hosttest::bind(kId, &texture, hosttest::textureDescription(first.width, first.height)));
    const auto checker = PictureChecker::install(kId, md5s, true);
    ProcessFigures afterWarmUp;
    size_t expectedReports = 0;
    for (size_t i = 0; i < run.units; ++i) {
        expectedReports += i == 0 ? run.segments.front().sizeReports : reportsAt[i % units.size()];
        ASSERT_TRUE(hosttest::commit(kId, units[i % units.size()], uint32_t(i * 3600)));
        ASSERT_TRUE(checker->waitFor(std::chrono::seconds(5),
                                     [&](uint64_t pictures, auto&) { return pictures > i; }))
            << "access unit " << i << " gave no picture";
        if (i + 1 == warmUp) {
            returnFreeAllocatorPages();
            afterWarmUp = currentProcessFigures();
        }
    }
    returnFreeAllocatorPages();
    ProcessFigures atEnd = currentProcessFigures();
    atEnd.threads = threadCountOnceJoinedThreadsAreGone(afterWarmUp.threads);
    const size_t reports = decodertest::TextureInfoLog::countFor(kId);
    H264Decoder_stop(kId);

    EXPECT_EQ(checker->mismatches, 0u);
    EXPECT_EQ(reports, expectedReports) << "each new size's session reports it, once";
    EXPECT_EQ(atEnd.threads, afterWarmUp.threads);
    if (!sanitizerOwnsMemory()) {
        EXPECT_LE(atEnd.residentBytes - afterWarmUp.residentBytes, kFlatResidentBytes)
            << "resident memory grew from " << (afterWarmUp.residentBytes >> 20) << " MB to "
            << (atEnd.residentBytes >> 20) << " MB";
    }
}

INSTANTIATE_TEST_SUITE_P(
    LongStreams, Soak,
    testing::Values(
        LongStream{"LargeSeiAndRepeatedParameterSets",
                   {{"h264_repeat_headers_320x240", 1}},
                   64 * 1024,
                   true,
                   // RELIABILITY_SOAK_UNITS sets its length.
                   std::getenv("RELIABILITY_SOAK_UNITS")
                       ? size_t(std::max(1L, std::atol(std::getenv("RELIABILITY_SOAK_UNITS"))))
                       : 10000},
        LongStream{"APictureSizeThatChangesWithEverySegment",
                   {{"h264_cbp_320x240", 1}, {"h264_odd_642x362", 2}},
                   0,
                   false,
                   3000}),
    [](const testing::TestParamInfo<LongStream>& row) { return row.param.what; });

// A stream committed ten times faster than the machine decodes it. The backlog is cut back to
// keyframes (the clip has one, and it repeats), so resident memory stays within the queue's
// byte limit of what it was before the flood, the pictures shown are correct ones, and once the
// commits stop the last committed picture arrives after at most one queue's worth of others.
TEST(Backlog, AStreamTenTimesFasterThanDecodingStaysBoundedAndCorrect) {
    constexpr uint8_t kId = 43;
    constexpr size_t kLastUnit = 30;  // the flood ends here, in a clip's first 64 units
    // The decoder's own working set may still settle (its picture pools, the conversion's
    // buffers) while the flood runs; the queue adds at most its byte limit on top.
    constexpr int64_t kWorkingSetSlack = 24 << 20;
    constexpr auto kFloodLength = std::chrono::seconds(10);
    const FixtureClip& clip = fixtureClip("h265_main_1920x1080");
    const std::vector<AccessUnit> units = readAccessUnits(clip);
    const std::vector<std::string> md5s = readFrameMd5s(clip);
    ASSERT_EQ(units.size(), md5s.size());

    useOneAllocatorArena();
    ASSERT_TRUE(hosttest::start(kId, "{\"isH265\":true}"));
    int texture = 0;
    ASSERT_TRUE(
        hosttest::bind(kId, &texture, hosttest::textureDescription(clip.width, clip.height)));
    const auto checker = PictureChecker::install(kId, md5s, false);

    // The decode rate, one unit at a time, over the whole clip.
    const Clock::time_point paced = Clock::now();
    for (size_t i = 0; i < units.size(); ++i) {
        ASSERT_TRUE(hosttest::commit(kId, units[i], uint32_t(i)));
        ASSERT_TRUE(checker->waitFor(std::chrono::seconds(5),
                                     [&](uint64_t pictures, auto&) { return pictures > i; }));
    }
    const Clock::duration decodeTime = (Clock::now() - paced) / units.size();
    returnFreeAllocatorPages();
    const ProcessFigures beforeFlood = currentProcessFigures();

    int64_t peakResident = beforeFlood.residentBytes;
    const Clock::time_point floodBegin = Clock::now();
    Clock::time_point next = floodBegin;
    for (size_t i = 0;; ++i) {
        const size_t position = i % units.size();
        if (Clock::now() - floodBegin >= kFloodLength && position == kLastUnit + 1) {
            break;
        }
        std::this_thread::sleep_until(next);
        next += decodeTime / 10;
        ASSERT_TRUE(hosttest::commit(kId, units[position], uint32_t(i)));
        if (i % 64 == 0) {
            peakResident = std::max(peakResident, currentProcessFigures().residentBytes);
        }
    }
    const uint64_t picturesAtLastCommit = checker->pictures;
    ASSERT_TRUE(checker->waitFor(std::chrono::seconds(60), [&](uint64_t, const std::string& md5) {
        return md5 == md5s[kLastUnit];
    })) << "the last committed picture never arrived";
    const uint64_t afterLastCommit = checker->pictures - picturesAtLastCommit;
    H264Decoder_stop(kId);

    EXPECT_EQ(checker->mismatches, 0u);
    EXPECT_LE(afterLastCommit, uint64_t(H264_DECODER_MAX_QUEUED_UNITS));
    if (!sanitizerOwnsMemory()) {
        EXPECT_LE(peakResident - beforeFlood.residentBytes,
                  int64_t(H264_DECODER_MAX_QUEUED_BYTES) + kWorkingSetSlack);
    }
}

}  // namespace
