// Long runs of one instance:
//   - a stream whose access units repeat their parameter sets and carry a 64 KB user data SEI
//     message each: every picture stays exactly FFmpeg's, and resident memory stays flat after
//     warm-up. RELIABILITY_SOAK_UNITS sets the number of access units (default 10 000);
//   - a stream whose picture size changes with every part, 3 000 access units long: each change
//     makes a new session and releases the one before, so threads and memory stay flat;
//   - a 1080p stream committed ten times faster than it decodes: the backlog stays within its
//     limits, resident memory with it, and every picture shown is a correct one.
#include "AnnexB.h"
#include "DecoderTestSupport.h"
#include "H264HwDecoderImpl.h"
#include "HostSupport.h"
#include "Pictures.h"
#include "ProcessFigures.h"
#include "SeiAccessUnits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

using namespace reliability;
using namespace testsupport;
using testsupport::AccessUnit;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kSeiPayloadBytes = 64 * 1024;
// Growth of resident memory from the end of warm-up to the end of the run that counts as flat.
constexpr int64_t kFlatResidentBytes = 8 << 20;
constexpr auto kPictureTimeout = std::chrono::seconds(5);

size_t soakUnits() {
    const char* text = std::getenv("RELIABILITY_SOAK_UNITS");
    return text ? size_t(std::max(1L, std::atol(text))) : 10000;
}

// Sits between the session and the instance's delegate: checks each picture against the
// reference pictures, then hands it on. Keeps counts only, so it adds no memory per picture.
class PictureChecker : public H264HwDecoderImplDelegate {
  public:
    enum class Rule {
        InStreamOrder,        // picture n is reference picture n (the stream repeating)
        AnyReferencePicture,  // pictures may be skipped, but each is one of the reference's
    };

    static std::shared_ptr<PictureChecker> install(uint8_t decoderId,
                                                   std::vector<std::string> expectedMd5s,
                                                   Rule rule = Rule::InStreamOrder) {
        const auto session = H264HwDecoderImpl::sharedHandler(std::to_string(unsigned(decoderId)));
        std::shared_ptr<PictureChecker> checker(
            new PictureChecker(session->delegate(), std::move(expectedMd5s), rule));
        session->setDelegate(checker);
        return checker;
    }

    // Waits until the latest picture is `md5`; false on timeout.
    bool waitForLatest(const std::string& md5, std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return latest_ == md5; });
    }

    // Waits until `count` pictures have arrived; false on timeout.
    bool waitForPictures(uint64_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kPictureTimeout, [&] { return pictures_ >= count; });
    }
    uint64_t pictures() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return pictures_;
    }
    uint64_t mismatches() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return mismatches_;
    }

    void copyRenderBuffer(void* buffer, int32_t withFormat, int32_t withWidth, int32_t withHeight,
                          int32_t withBytesPerRow, int32_t withExtraColumnsOnLeft,
                          int32_t withExtraColumnsOnRight, int32_t withExtraRowsOnTop,
                          int32_t withExtraRowsOnBottom) override {
        const std::string md5 = testsupport::md5Hex(testsupport::packRows(
            static_cast<const uint8_t*>(buffer), withWidth, withHeight, withBytesPerRow));
        next_->copyRenderBuffer(buffer, withFormat, withWidth, withHeight, withBytesPerRow,
                                withExtraColumnsOnLeft, withExtraColumnsOnRight, withExtraRowsOnTop,
                                withExtraRowsOnBottom);
        std::lock_guard<std::mutex> lock(mutex_);
        const bool expected =
            rule_ == Rule::InStreamOrder
                ? md5 == expectedMd5s_[pictures_ % expectedMd5s_.size()]
                : std::find(expectedMd5s_.begin(), expectedMd5s_.end(), md5) != expectedMd5s_.end();
        if (!expected) {
            ++mismatches_;
        }
        ++pictures_;
        latest_ = md5;
        changed_.notify_all();
    }
    void forwardTextureInfo(int32_t width, int32_t withHeight) override {
        next_->forwardTextureInfo(width, withHeight);
    }

  private:
    PictureChecker(std::shared_ptr<H264HwDecoderImplDelegate> next,
                   std::vector<std::string> expectedMd5s, Rule rule)
        : next_(std::move(next)), expectedMd5s_(std::move(expectedMd5s)), rule_(rule) {}

    std::shared_ptr<H264HwDecoderImplDelegate> next_;
    std::vector<std::string> expectedMd5s_;
    const Rule rule_;
    std::string latest_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t pictures_ = 0;
    uint64_t mismatches_ = 0;
};

double megabytes(int64_t bytes) {
    return double(bytes) / (1 << 20);
}

TEST(Soak, LargeSeiAndRepeatedParameterSetsKeepPicturesExactAndMemoryFlat) {
    constexpr uint8_t kId = 42;
    const testsupport::FixtureClip& clip = testsupport::fixtureClip("h264_repeat_headers_320x240");
    std::vector<AccessUnit> units;
    for (const AccessUnit& unit : testsupport::readAccessUnits(clip)) {
        units.push_back(withUserDataSei(unit, kSeiPayloadBytes));
        const std::vector<int> types = testsupport::nalUnitTypes(units.back(), clip.codec);
        ASSERT_NE(std::find(types.begin(), types.end(), 6), types.end());
    }
    const size_t total = soakUnits();
    const size_t warmUp = std::min(total, std::max<size_t>(300, total / 10));

    decodertest::TextureInfoLog::forget(kId);
    ASSERT_TRUE(hosttest::start(kId, "{}"));
    ASSERT_TRUE(H264Decoder_registerCallback(kId, decodertest::TextureInfoLog::first()));
    int texture = 0;
    ASSERT_TRUE(
        hosttest::bind(kId, &texture, hosttest::textureDescription(clip.width, clip.height)));
    const auto checker = PictureChecker::install(kId, testsupport::readFrameMd5s(clip));

    ProcessFigures afterWarmUp;
    const Clock::time_point begin = Clock::now();
    for (size_t i = 0; i < total; ++i) {
        ASSERT_TRUE(hosttest::commit(kId, units[i % units.size()], uint32_t(i * 3600)));
        ASSERT_TRUE(checker->waitForPictures(i + 1)) << "access unit " << i << " gave no picture";
        if (i + 1 == warmUp) {
            afterWarmUp = currentProcessFigures();
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const ProcessFigures atEnd = currentProcessFigures();
    H264Decoder_stop(kId);

    std::cout << "soak: " << total << " access units of " << units.front().size() / 1024
              << " KB or more in " << seconds << " s (" << double(total) / seconds << " units/s)\n"
              << "  resident after " << warmUp << " units: " << megabytes(afterWarmUp.residentBytes)
              << " MB, at the end: " << megabytes(atEnd.residentBytes) << " MB\n"
              << "  threads after warm-up: " << afterWarmUp.threads
              << ", at the end: " << atEnd.threads
              << "; host callback calls: " << decodertest::TextureInfoLog::countFor(kId)
              << std::endl;
    EXPECT_EQ(checker->mismatches(), 0u);
    EXPECT_EQ(atEnd.threads, afterWarmUp.threads);
    if (sanitizerOwnsMemory()) {
        // The sanitizer's allocator decides what stays resident; leaks are its own check.
        return;
    }
    EXPECT_LE(atEnd.residentBytes - afterWarmUp.residentBytes, kFlatResidentBytes)
        << "resident memory grew from " << megabytes(afterWarmUp.residentBytes) << " MB to "
        << megabytes(atEnd.residentBytes) << " MB";
}

// Two clips of different sizes, each beginning with its parameter sets and a keyframe, played one
// after the other again and again: every part's first keyframe brings a new session, which
// reports its size, and the one before ends with its thread and memory.
TEST(Soak, APictureSizeThatChangesWithEveryPartKeepsThreadsAndMemoryFlat) {
    constexpr uint8_t kId = 44;
    constexpr size_t kTotal = 3000;
    const testsupport::FixtureClip& small = testsupport::fixtureClip("h264_cbp_320x240");
    const testsupport::FixtureClip& large = testsupport::fixtureClip("h264_odd_642x362");
    std::vector<AccessUnit> cycle = testsupport::readAccessUnits(small);
    std::vector<std::string> md5s = testsupport::readFrameMd5s(small);
    const size_t smallUnits = cycle.size();
    for (const AccessUnit& unit : testsupport::readAccessUnits(large)) {
        cycle.push_back(unit);
    }
    for (const std::string& md5 : testsupport::readFrameMd5s(large)) {
        md5s.push_back(md5);
    }
    ASSERT_EQ(cycle.size(), md5s.size());

    decodertest::TextureInfoLog::forget(kId);
    ASSERT_TRUE(hosttest::start(kId, "{}"));
    ASSERT_TRUE(H264Decoder_registerCallback(kId, decodertest::TextureInfoLog::first()));
    const auto checker = PictureChecker::install(kId, md5s);
    const size_t warmUp = 5 * cycle.size();
    ProcessFigures afterWarmUp;
    size_t parts = 0;
    size_t expectedReports = 0;
    for (size_t i = 0; i < kTotal; ++i) {
        // The 642-pixel rows are padded: that size report is followed by the padded width.
        if (i % cycle.size() == 0 || i % cycle.size() == smallUnits) {
            ++parts;
            expectedReports += i % cycle.size() == 0 ? 1 : 2;
        }
        ASSERT_TRUE(hosttest::commit(kId, cycle[i % cycle.size()], uint32_t(i * 3600)));
        ASSERT_TRUE(checker->waitForPictures(i + 1)) << "access unit " << i << " gave no picture";
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

    std::cout << "size changes: " << kTotal << " access units in " << parts << " parts, " << reports
              << " size reports\n"
              << "  resident after " << warmUp << " units: " << megabytes(afterWarmUp.residentBytes)
              << " MB, at the end: " << megabytes(atEnd.residentBytes) << " MB; threads "
              << afterWarmUp.threads << " and " << atEnd.threads << std::endl;
    EXPECT_EQ(checker->mismatches(), 0u);
    EXPECT_EQ(reports, expectedReports) << "each part's session reports its size";
    EXPECT_EQ(atEnd.threads, afterWarmUp.threads);
    if (!sanitizerOwnsMemory()) {
        EXPECT_LE(atEnd.residentBytes - afterWarmUp.residentBytes, kFlatResidentBytes);
    }
}

// A stream committed ten times faster than the machine decodes it. The backlog is cut back to
// keyframes (the clip has one, and it repeats), so resident memory stays within the queue's
// byte limit of what it was before the flood, the pictures shown are correct ones, and once the
// commits stop the last committed picture arrives after at most one queue's worth of others.
// RELIABILITY_FLOOD_SECONDS sets the flood's length (default 10).
TEST(Backlog, AStreamTenTimesFasterThanDecodingStaysBoundedAndCorrect) {
    constexpr uint8_t kId = 43;
    constexpr int kFloodFactor = 10;
    constexpr size_t kLastUnit = 30;  // the flood ends here, in a clip's first 64 units
    // The decoder's own working set may still settle (its picture pools, the conversion's
    // buffers) while the flood runs; the queue adds at most its byte limit on top.
    constexpr int64_t kWorkingSetSlack = 24 << 20;
    const char* seconds = std::getenv("RELIABILITY_FLOOD_SECONDS");
    const auto floodLength = std::chrono::seconds(seconds ? std::max(1L, std::atol(seconds)) : 10);
    const testsupport::FixtureClip& clip = testsupport::fixtureClip("h265_main_1920x1080");
    const std::vector<AccessUnit> units = testsupport::readAccessUnits(clip);
    const std::vector<std::string> md5s = testsupport::readFrameMd5s(clip);
    ASSERT_EQ(units.size(), md5s.size());

    useOneAllocatorArena();
    ASSERT_TRUE(hosttest::start(kId, "{\"isH265\":true}"));
    int texture = 0;
    ASSERT_TRUE(
        hosttest::bind(kId, &texture, hosttest::textureDescription(clip.width, clip.height)));
    const auto checker =
        PictureChecker::install(kId, md5s, PictureChecker::Rule::AnyReferencePicture);

    // The decode rate, one unit at a time, over the whole clip.
    const Clock::time_point paced = Clock::now();
    for (size_t i = 0; i < units.size(); ++i) {
        ASSERT_TRUE(hosttest::commit(kId, units[i], uint32_t(i)));
        ASSERT_TRUE(checker->waitForPictures(i + 1));
    }
    const Clock::duration decodeTime = (Clock::now() - paced) / units.size();
    returnFreeAllocatorPages();
    const ProcessFigures beforeFlood = currentProcessFigures();

    int64_t peakResident = beforeFlood.residentBytes;
    size_t commits = 0;
    const Clock::time_point floodBegin = Clock::now();
    Clock::time_point next = floodBegin;
    for (size_t i = 0;; ++i) {
        const size_t position = i % units.size();
        if (Clock::now() - floodBegin >= floodLength && position == kLastUnit + 1) {
            break;
        }
        std::this_thread::sleep_until(next);
        next += decodeTime / kFloodFactor;
        ASSERT_TRUE(hosttest::commit(kId, units[position], uint32_t(i)));
        ++commits;
        if (commits % 64 == 0) {
            peakResident = std::max(peakResident, currentProcessFigures().residentBytes);
        }
    }
    const uint64_t picturesAtLastCommit = checker->pictures();
    const Clock::time_point lastCommit = Clock::now();
    ASSERT_TRUE(checker->waitForLatest(md5s[kLastUnit], std::chrono::seconds(60)))
        << "the last committed picture never arrived";
    const double drainMs =
        std::chrono::duration<double, std::milli>(Clock::now() - lastCommit).count();
    const uint64_t afterLastCommit = checker->pictures() - picturesAtLastCommit;
    const uint64_t shown = checker->pictures() - units.size();
    H264Decoder_stop(kId);

    std::cout << "backlog: " << commits << " commits in " << floodLength.count() << " s at "
              << kFloodFactor << "x the decode rate ("
              << std::chrono::duration<double, std::milli>(decodeTime).count() << " ms a unit), "
              << shown << " pictures shown\n"
              << "  resident before the flood " << megabytes(beforeFlood.residentBytes)
              << " MB, peak during it " << megabytes(peakResident) << " MB\n"
              << "  last picture " << drainMs << " ms and " << afterLastCommit
              << " pictures after the last commit" << std::endl;
    EXPECT_EQ(checker->mismatches(), 0u);
    EXPECT_LE(afterLastCommit, uint64_t(H264_DECODER_MAX_QUEUED_UNITS));
    if (sanitizerOwnsMemory()) {
        return;  // the sanitizer's allocator decides what stays resident
    }
    EXPECT_LE(peakResident - beforeFlood.residentBytes,
              int64_t(H264_DECODER_MAX_QUEUED_BYTES) + kWorkingSetSlack);
}

}  // namespace
