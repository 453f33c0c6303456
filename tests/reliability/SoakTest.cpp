// One instance fed a long stream whose access units repeat their parameter sets and carry a
// 64 KB user data SEI message each: every picture stays exactly FFmpeg's, and resident memory
// stays flat after warm-up. RELIABILITY_SOAK_UNITS sets the number of access units (default
// 3 000).
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
    return text ? size_t(std::max(1L, std::atol(text))) : 3000;
}

// Sits between the session and the instance's delegate: checks each picture against the
// reference picture it must be, then hands it on. Keeps counts only, so it adds no memory per
// picture.
class PictureChecker : public H264HwDecoderImplDelegate {
  public:
    static std::shared_ptr<PictureChecker> install(uint8_t decoderId,
                                                   std::vector<std::string> expectedMd5s) {
        const auto session = H264HwDecoderImpl::sharedHandler(std::to_string(unsigned(decoderId)));
        std::shared_ptr<PictureChecker> checker(
            new PictureChecker(session->delegate(), std::move(expectedMd5s)));
        session->setDelegate(checker);
        return checker;
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
        if (md5 != expectedMd5s_[pictures_ % expectedMd5s_.size()]) {
            ++mismatches_;
        }
        ++pictures_;
        changed_.notify_all();
    }
    void forwardTextureInfo(int32_t width, int32_t withHeight) override {
        next_->forwardTextureInfo(width, withHeight);
    }

  private:
    PictureChecker(std::shared_ptr<H264HwDecoderImplDelegate> next,
                   std::vector<std::string> expectedMd5s)
        : next_(std::move(next)), expectedMd5s_(std::move(expectedMd5s)) {}

    std::shared_ptr<H264HwDecoderImplDelegate> next_;
    std::vector<std::string> expectedMd5s_;
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
    uint64_t dropped = 0;
    const Clock::time_point begin = Clock::now();
    for (size_t i = 0; i < total; ++i) {
        const AccessUnit& unit = units[i % units.size()];
        // One unit at a time, so that the queue stays short; a commit that met the decode
        // thread at its queue was dropped and is committed again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            ASSERT_TRUE(hosttest::commit(kId, unit, uint32_t(i * 3600)));
            if (checker->waitForPictures(i + 1)) {
                break;
            }
            ++dropped;
        }
        ASSERT_EQ(checker->pictures(), i + 1) << "access unit " << i << " produced no picture";
        if (i + 1 == warmUp) {
            afterWarmUp = currentProcessFigures();
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const ProcessFigures atEnd = currentProcessFigures();
    H264Decoder_stop(kId);

    std::cout << "soak: " << total << " access units of " << units.front().size() / 1024
              << " KB or more in " << seconds << " s (" << double(total) / seconds << " units/s), "
              << dropped << " commits dropped and repeated\n"
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

}  // namespace
