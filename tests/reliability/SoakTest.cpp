// Long runs of one instance, every picture checked on its way to the instance: long streams keep
// their pictures exact and their threads and memory flat, and a stream committed ten times faster
// than it decodes keeps its backlog within bounds.
#include "AnnexB.h"
#include "DecoderTestSupport.h"
#include "HostSupport.h"
#include "Pictures.h"
#include "ProcessFigures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

// The access unit behind a user_data_unregistered SEI message (NAL unit type 6, payload type 5)
// of `payloadBytes`, as some encoders and streaming servers send them. The payload holds no zero
// bytes, so it needs no emulation prevention.
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
    sei.insert(sei.end(), unit.begin(), unit.end());
    return sei;
}

// A stream made of segments, played one after the other again and again. Each segment begins
// with its parameter sets and a keyframe; one whose picture size differs from the segment before
// brings a new session, and the session before ends with its thread and memory.
struct LongStream {
    const char* what;
    std::vector<const char*> segments;
    size_t seiPayloadBytes;
    bool textureBound;
    size_t units;
};

// Names the row in test listings, which otherwise show its bytes, addresses included.
void PrintTo(const LongStream& run, std::ostream* out) {
    *out << run.what;
}

class Soak : public testing::TestWithParam<LongStream> {};

TEST_P(Soak, PicturesStayExactAndThreadsAndMemoryFlat) {
    // Growth of resident memory from the end of warm-up to the end of the run that counts as flat.
    constexpr int64_t kFlatResidentBytes = 8 << 20;
    constexpr uint8_t kId = 42;
    const LongStream& run = GetParam();
    const size_t warmUp = std::min(run.units, std::max<size_t>(300, run.units / 10));
    std::vector<AccessUnit> units;
    std::vector<std::string> md5s;
    for (const char* segment : run.segments) {
        const FixtureClip& clip = fixtureClip(segment);
        for (const AccessUnit& unit : readAccessUnits(clip)) {
            units.push_back(run.seiPayloadBytes ? withUserDataSei(unit, run.seiPayloadBytes)
                                                : unit);
        }
        const std::vector<std::string> clipMd5s = readFrameMd5s(clip);
        md5s.insert(md5s.end(), clipMd5s.begin(), clipMd5s.end());
    }
    ASSERT_EQ(units.size(), md5s.size());

    ASSERT_TRUE(hosttest::start(kId, "{}"));
    const FixtureClip& first = fixtureClip(run.segments.front());
    int texture = 0;
    ASSERT_TRUE(
        !run.textureBound ||
        hosttest::bind(kId, &texture, hosttest::textureDescription(first.width, first.height)));
    const auto tap = decodertest::PictureTap::install(kId);
    ProcessFigures afterWarmUp;
    for (size_t i = 0; i < run.units; ++i) {
        ASSERT_TRUE(hosttest::commit(kId, units[i % units.size()], uint32_t(i * 3600)));
        ASSERT_TRUE(tap->waitForPictures(i + 1, std::chrono::seconds(5)))
            << "access unit " << i << " gave no picture";
        if (i + 1 == warmUp) {
            returnFreeAllocatorPages();
            afterWarmUp = currentProcessFigures();
        }
    }
    returnFreeAllocatorPages();
    ProcessFigures atEnd = currentProcessFigures();
    atEnd.threads = threadCountOnceJoinedThreadsAreGone(afterWarmUp.threads);
    H264Decoder_stop(kId);

    const std::vector<decodertest::PictureTap::Picture> pictures = tap->pictures();
    for (size_t i = 0; i < pictures.size(); ++i) {
        ASSERT_EQ(pictures[i].md5, md5s[i % md5s.size()]) << "picture " << i;
    }
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
                   {"h264_repeat_headers_320x240"},
                   64 * 1024,
                   true,
                   // RELIABILITY_SOAK_UNITS sets its length.
                   std::getenv("RELIABILITY_SOAK_UNITS")
                       ? size_t(std::max(1L, std::atol(std::getenv("RELIABILITY_SOAK_UNITS"))))
                       : 10000},
        LongStream{"APictureSizeThatChangesWithEverySegment",
                   {"h264_cbp_320x240", "h264_odd_642x362"},
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
    const auto tap = decodertest::PictureTap::install(kId);

    // The decode rate, one unit at a time, over the whole clip.
    const Clock::time_point paced = Clock::now();
    for (size_t i = 0; i < units.size(); ++i) {
        ASSERT_TRUE(hosttest::commit(kId, units[i], uint32_t(i)));
        ASSERT_TRUE(tap->waitForPictures(i + 1, std::chrono::seconds(5)));
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
    const size_t picturesAtLastCommit = tap->pictureCount();
    std::vector<decodertest::PictureTap::Picture> pictures;
    for (const auto deadline = Clock::now() + std::chrono::seconds(60);
         (pictures.empty() || pictures.back().md5 != md5s[kLastUnit]) && Clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        pictures = tap->pictures();
    }
    H264Decoder_stop(kId);

    ASSERT_EQ(pictures.back().md5, md5s[kLastUnit]) << "the last committed picture never arrived";
    EXPECT_LE(pictures.size() - picturesAtLastCommit, size_t(H264_DECODER_MAX_QUEUED_UNITS));
    for (const decodertest::PictureTap::Picture& picture : pictures) {
        ASSERT_NE(std::find(md5s.begin(), md5s.end(), picture.md5), md5s.end());
    }
    if (!sanitizerOwnsMemory()) {
        EXPECT_LE(peakResident - beforeFlood.residentBytes,
                  int64_t(H264_DECODER_MAX_QUEUED_BYTES) + kWorkingSetSlack);
    }
}

}  // namespace
